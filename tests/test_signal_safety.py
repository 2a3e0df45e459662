"""Signal handlers that walk the collector, change or reallocate the caller's
arrays, or nest polling calls inside each other.

Each case runs in a child interpreter (a crash or a sanitizer report is then
a failed child). A timer fires every millisecond while the call runs; the
handler acts on its first run (or, for nesting, on every run). The result
must equal that of the call on a pristine copy of the input."""
import subprocess
import sys
import textwrap

import pytest

from child_curves import CURVES

TIMEOUT = 300

PRELUDE = textwrap.dedent(
    """
    import gc, signal, sys, time
    import numpy as np
    import _bindings as qb

    """
) + CURVES + textwrap.dedent(
    """
    def plain(x):
        if isinstance(x, np.ndarray):
            return x.tolist()
        if isinstance(x, (list, tuple)):
            return [plain(e) for e in x]
        return x

    def read_every_list():
        # every slot of every large list or tuple the collector knows
        n = 0
        for o in gc.get_objects():
            if type(o) in (list, tuple) and len(o) > 1000:
                for x in o:
                    n += x is None
        return n
    """
)


def run_child(script, cwd=None):
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=TIMEOUT, cwd=cwd)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return dict(line.split(" ", 1) for line in proc.stdout.splitlines() if line)


# The handler acts once, on its first run during the call; `act` may use the
# call's arguments by name. The result is compared with the call's result on
# a copy of the arguments taken before.
ONCE = """
{setup}
ref = plain({call_on_copy})
acted = None
in_call = False
def handler(signum, frame):
    global acted
    if acted is None:
        acted = in_call
        {act}
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
in_call = True
out = plain({call})
in_call = False
signal.setitimer(signal.ITIMER_REAL, 0)
print("acted", acted)
print("same", out == ref)
{after}
"""

# ------------------------------------------------ arrays of the caller

PAIRS = "p = ring(3000)\n"
GRID = ("X = np.linspace(-1.0, 1.0, 60000).copy()\nY = np.linspace(-0.5, 1.5, 60000).copy()\n"
        "Z = np.linspace(0.2, 0.7, 60000).copy()\nsrc = ring(400, 0.3)\n")

# name: (setup, call, the call on copies of its arrays, its arrays)
ARRAY_CALLS = {
    "calculate_neumann_self_energy": (PAIRS, "qb.calculate_neumann_self_energy({p}, 0.01)", ["p"]),
    "calculate_core_repulsion": (PAIRS, "qb.calculate_core_repulsion({p}, 0.01)", ["p"]),
    "calculate_writhe": (PAIRS, "qb.calculate_writhe({p}, 0.01)", ["p"]),
    "biot_savart_wire_grid": (GRID, "qb.biot_savart_wire_grid({X}, {Y}, {Z}, src)", ["X", "Y", "Z"]),
    "dipole_ring_field_grid": (GRID, "qb.dipole_ring_field_grid({X}, {Y}, {Z}, src, src)", ["X", "Y", "Z"]),
}

ARRAY_ACTS = {
    # every entry changed in place
    "in place": "for a in ({names},): a[...] = 7.5",
    # the buffer freed: a larger one takes its place, filled with NaN
    "reallocated": "for a in ({names},):\n            a.resize((a.size * 64,), refcheck=False)\n"
                   "            a[...] = np.nan",
}


@pytest.mark.parametrize("act", sorted(ARRAY_ACTS))
@pytest.mark.parametrize("name", sorted(ARRAY_CALLS))
def test_handler_changing_the_callers_array(name, act):
    setup, call, names = ARRAY_CALLS[name]
    script = ONCE.format(
        setup=setup,
        call=call.format(**{n: n for n in names}),
        call_on_copy=call.format(**{n: n + ".copy()" for n in names}),
        act=ARRAY_ACTS[act].format(names=", ".join(names)),
        after="")
    out = run_child(script)
    assert out["acted"] == "True", out
    assert out["same"] == "True", out


# ------------------------------------------ the collector's own lists

# Calls that build long lists while they poll, with a handler that reads
# every slot of every large list the collector knows.
LIST_CALLS = {
    "pd_from_curve": ("P = np.random.default_rng(1).random((1200, 3))\n",
                      "qb.pd_from_curve(P, tries=1, min_angle_deg=0.0, depth_tol=0.0)"),
    "evaluate_fourier_block": ("b = big_block(3)\ns = np.linspace(0, 6, 4 * 10**5).tolist()\n",
                               "qb.evaluate_fourier_block(b, s)"),
    "compute_frenet_frames": ("p = ring(3 * 10**5).tolist()\n", "qb.compute_frenet_frames(p)"),
    "BiotSavart.compute_velocity": ("c, g = ring(8).tolist(), ring(3 * 10**5, 2.0).tolist()\n",
                                    "qb.BiotSavart.compute_velocity(c, g)"),
    "BiotSavart.compute_vorticity": ("f = ring(60**3).tolist()\n",
                                     "qb.BiotSavart.compute_vorticity(f, [60, 60, 60], 0.1)"),
    "detect_reconnection_candidates": ("p = ring(1500).tolist()\n", "qb.detect_reconnection_candidates(p, 10.0)"),
    "sample_curve_centered": ("open('k.fseries', 'w').write(qb.get_embedded_knot_files()['3_1'])\n",
                              "qb.sample_curve_centered('k.fseries', 4 * 10**5)"),
}


@pytest.mark.parametrize("name", sorted(LIST_CALLS))
def test_handler_reading_every_list_of_the_collector(tmp_path, name):
    setup, call = LIST_CALLS[name]
    script = textwrap.dedent(
        """
        {setup}
        ref = {call}
        runs = 0
        busy = False
        def handler(signum, frame):
            # (runs nested in its own walk, which outlasts the timer's
            # interval, do nothing)
            global runs, busy
            if busy:
                return
            busy = True
            runs += 1
            read_every_list()
            busy = False
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        out = {call}
        signal.setitimer(signal.ITIMER_REAL, 0)
        print("runs", runs)
        print("same", out == ref)
        """).format(setup=setup, call=call)
    out = run_child(script, cwd=tmp_path)
    assert int(out["runs"]) > 0, out
    assert out["same"] == "True", out


@pytest.mark.parametrize("setting", [True, False])
def test_collector_stays_as_the_handler_set_it(setting):
    # The handler switches the collector on (or off) at every run, the runs
    # while a diagram code converts included; each run finds it as the run
    # before left it, and so does the caller after the call.
    script = textwrap.dedent(
        """
        P = np.random.default_rng(1).random((1200, 3))
        gc.enable() if not {setting} else gc.disable()
        seen = []
        def handler(signum, frame):
            seen.append(gc.isenabled())
            gc.enable() if {setting} else gc.disable()
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        qb.pd_from_curve(P, tries=1, min_angle_deg=0.0, depth_tol=0.0)
        signal.setitimer(signal.ITIMER_REAL, 0)
        print("runs", len(seen))
        print("kept", all(x == {setting} for x in seen[1:]))
        print("enabled", gc.isenabled())
        """).format(setting=setting)
    out = run_child(script)
    assert int(out["runs"]) > 1, out
    assert out["kept"] == "True", out
    assert out["enabled"] == str(setting), out


# ------------------------------------------------ the caller's lists

# A handler that changes the caller's point lists (the outer list and the
# inner [x, y, z] lists) while the call runs.
LIST_ACTS = ["c[0][0] = 9.0; g[0][0] = 9.0; g[-1][2] = 9.0", "del g[:]; c.clear()",
             "g[1].append(1.0); g[2].clear(); c[3] = 'x'"]


@pytest.mark.parametrize("act", LIST_ACTS)
def test_handler_changing_the_callers_point_lists(act):
    script = ONCE.format(
        setup="c, g = ring(2000).tolist(), ring(20000, 2.0).tolist()\nimport copy\n",
        call="qb.BiotSavart.compute_velocity(c, g)",
        call_on_copy="qb.BiotSavart.compute_velocity(copy.deepcopy(c), copy.deepcopy(g))",
        act=act, after="")
    out = run_child(script)
    assert out["acted"] == "True" and out["same"] == "True", out


# ------------------------------------------------------------ nesting

# A handler that runs the polling call again while the timer keeps firing:
# the next handler runs inside that call's poll, and so on. The nesting ends
# in RecursionError (the module's own bound, or Python's recursion limit
# when that is lower), never in a crash.
NESTED_CALLS = {
    "biot_savart_velocity_grid": ("c, g = ring(400), ring(20000, 2.0)\n", "qb.biot_savart_velocity_grid(c, g)"),
    "calculate_neumann_self_energy": ("p = ring(3000)\n", "qb.calculate_neumann_self_energy(p, 0.01)"),
    "pd_from_curve": ("P = trefoil(400)\n", "qb.pd_from_curve(P, tries=200)"),
}


@pytest.mark.parametrize("limit", [None, 80])
@pytest.mark.parametrize("name", sorted(NESTED_CALLS))
def test_nested_handlers_end_in_recursion_error(name, limit):
    setup, call = NESTED_CALLS[name]
    script = textwrap.dedent(
        """
        {setup}
        {limit}
        depth = deepest = runs = 0
        failed = False
        def handler(signum, frame):
            # (once the nesting has failed the timer stops, and runs while
            # it unwinds do nothing: they would nest again without end; a
            # bound on the runs ends the test in any case)
            global depth, deepest, failed, runs
            runs += 1
            if failed:
                return
            if runs > 20000:
                failed = True
                signal.setitimer(signal.ITIMER_REAL, 0)
                return
            depth += 1
            deepest = max(deepest, depth)
            try:
                {call}
            except RecursionError:
                failed = True
                signal.setitimer(signal.ITIMER_REAL, 0)
                raise
            finally:
                depth -= 1
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            for _ in range(1000):
                {call}
            print("ended returned")
        except RecursionError as e:
            print("ended RecursionError")
        signal.setitimer(signal.ITIMER_REAL, 0)
        print("deepest", deepest)
        """).format(setup=setup, call=call, limit="" if limit is None else "sys.setrecursionlimit(%d)" % limit)
    out = run_child(script)
    assert out["ended"] == "RecursionError", out
    assert int(out["deepest"]) > 10, out
