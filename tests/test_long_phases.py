"""Long phases that poll for signals: the shape initialisers, the particle
evaluator's sampling, the grid vorticity, interior and invariants, the
periodic curl, the swirl field and its list, the ideal-record scanner on text
dense with '<', large file reads and the directory walk.

Each call runs in a child interpreter. A timer fires every few milliseconds
of processor time and its handler only notes the time: a phase that polls
shows no long stretch without a note. Then a handler that raises stops the call, which must end
with that exception and leave its object and inputs as they were. The walk
runs over a tree of many directories in the cache: a walk with a cold cache
takes longer in the same calls."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from child_curves import CURVES

TIMEOUT = 300

PRELUDE = textwrap.dedent(
    """
    import os, signal, sys, time
    import numpy as np
    import _bindings as qb

    """
) + CURVES + textwrap.dedent(
    """
    def write_database(path):
        # the first record of the embedded ideal database
        text = qb.load_embedded_ideal_text("ideal.txt")
        with open(path, "w") as f:
            f.write(text[: text.find("</AB>") + 5] + "\\n")
        os.environ["QEL_IDEAL_DATABASE"] = path
        return qb.parse_ideal_txt_from_string(text[: text.find("</AB>") + 5])[0].id

    def dense_record(n):
        # one record whose body is n characters of '<' before its one coefficient
        return ('<AB Id="x" Conway="3" L="1.5" D="2.0">' + "<" * n +
                '<Coeff I="1" A="1.0, 0.0, 0.0" B="0.0, 1.0, 0.0" /></AB>')
    """
)

# The timer notes; the longest stretch between two notes (or the call's
# start or end and the nearest note) against the call's time. Both are
# counted in the processor time of the child (its own and the system's work
# for it), so that a machine busy with other work, which leaves the child
# waiting for its turn, does not lengthen them.
GAPS = textwrap.dedent(
    """
    notes = []
    signal.signal(signal.SIGPROF, lambda signum, frame: notes.append(time.process_time()))
    t0 = time.process_time()
    signal.setitimer(signal.ITIMER_PROF, 0.005, 0.005)
    result = {call}
    t1 = time.process_time()
    signal.setitimer(signal.ITIMER_PROF, 0)
    gaps = np.diff([t0] + notes + [t1])
    # between polls: not before the first, nor in the stretch that ends with
    # the note of the handler's run just after the call (a signal that came
    # in after its last poll)
    inner = np.diff(notes)[:-1].max() if len(notes) > 2 else t1 - t0
    print(t1 - t0, gaps.max(), inner, len(notes))
    """
)

# A handler that raises on its 6th run (about 30 ms into the call); what
# the call leaves is printed after.
STOP = textwrap.dedent(
    """
    runs = 0
    def stop(signum, frame):
        global runs
        runs += 1
        if runs == 6:
            signal.setitimer(signal.ITIMER_REAL, 0)
            raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
        {call}
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    else:
        print("returned")
    signal.setitimer(signal.ITIMER_REAL, 0)
    """
)


def run_child(script, cwd):
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=TIMEOUT,
                          cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split("\n")


GRID = "u = np.random.default_rng(0).random((160**3, 3))\n"
FIELD = "u = np.random.default_rng(0).random((256, 256, 256, 3))\n"
BLOCK = "b = qb.load_embedded_knot_block('3_1')\n"

# name: (setup, the call, a check after a stop that prints True when the
# object and inputs are as they were). Each call takes about a second.
# Two calls read the caller's array whole before their first poll (they
# may not read it after one), and one of them fills its result array after
# its last (a half-filled object is never left to a handler): stretches of
# a third of the call and more on this class of machine, mostly the
# system's first touch of new pages, which can stall for a second when
# memory is short. For them only the stretches between polls are bounded.
WIDE = {"compute_vorticity_grid", "curl3d_central"}
PHASES = {
    "initialize_trefoil_knot": (
        "v = qb.VortexKnotSystem(1.0)\nv.initialize_trefoil_knot(5)\nP0, T0 = v.get_positions(), v.get_tangents()\n",
        "v.initialize_trefoil_knot(10**7)",
        "print(v.get_positions() == P0 and v.get_tangents() == T0)"),
    "initialize_figure8_knot": (
        "v = qb.VortexKnotSystem(1.0)\nv.initialize_figure8_knot(5)\nP0, T0 = v.get_positions(), v.get_tangents()\n",
        "v.initialize_figure8_knot(10**7)",
        "print(v.get_positions() == P0 and v.get_tangents() == T0)"),
    "ParticleEvaluator": (
        "knot = write_database(os.path.abspath('db.txt'))\npe = None\n",
        "pe = qb.ParticleEvaluator(knot, 2 * 10**6)",
        "print(pe is None)"),
    # three samples: the velocity is short, the grid and what follows it long
    "compute_helicity_from_fourier_block": (
        BLOCK + "A0 = list(b.a_x)\n",
        "qb.compute_helicity_from_fourier_block(b, 200, 0.01, 8, 3)",
        "print(list(b.a_x) == A0)"),
    "compute_vorticity_grid": (
        GRID + "u0 = u.copy()\n",
        "qb.compute_vorticity_grid(u, [160, 160, 160], 0.1)",
        "print(np.array_equal(u, u0))"),
    "curl3d_central": (
        FIELD + "u0 = u.copy()\n",
        "qb.curl3d_central(u, 0.1)",
        "print(np.array_equal(u, u0))"),
    "compute_swirl_field": (
        "", "qb.compute_swirl_field(1500, 0.25)", "print(True)"),
    "parse_ideal_txt_from_string": (
        "t = dense_record(10**8)\n", "qb.parse_ideal_txt_from_string(t)", "print(len(t) > 10**8)"),
    "parse_ideal_ab_by_id_from_string": (
        "t = dense_record(10**8)\n", "qb.parse_ideal_ab_by_id_from_string(t, 'x')", "print(len(t) > 10**8)"),
    # a file of 768 MiB (sparse: zeros that cost no disk) read whole
    "parse_ideal_txt_multi": (
        "with open('big.txt', 'wb') as f:\n    f.truncate(768 << 20)\n",
        "qb.parse_ideal_txt_multi('big.txt')", "print(os.path.getsize('big.txt') == 768 << 20)"),
}


@pytest.mark.parametrize("name", sorted(PHASES))
def test_long_phase_polls_throughout(tmp_path, name):
    setup, call, _ = PHASES[name]
    total, gap, inner, notes = map(float, run_child(PRELUDE + setup + GAPS.format(call=call), tmp_path)[0].split())
    assert total > 0.1, total  # long enough to show the stretches
    if name in WIDE:
        # the stretches between polls include the system's first touch of
        # the result's pages, which stalls for tenths of a second after a
        # run that left memory fragmented; a phase that does not poll has
        # no notes inside it, or one stretch the length of the call
        assert notes >= 4 and inner < 0.75 * total, (total, inner, notes)
    else:
        assert gap < 0.25 * total, (total, gap)


@pytest.mark.parametrize("name", sorted(PHASES))
def test_stopped_phase_leaves_its_object_and_inputs(tmp_path, name):
    setup, call, check = PHASES[name]
    out = run_child(PRELUDE + setup + STOP.format(call=call) + check + "\n", tmp_path)
    assert out[0] == "KeyboardInterrupt", out
    assert out[1] == "True", out


# ------------------------------------------------------------ directory walk

# 20000 empty directories whose names end in the suffix: the recursive walk
# opens each, the flat walk tests each with stat; no file is collected.
TREE = "for d in range(20000):\n    os.makedirs(f'tree/d{d}.fseries')\n"
WALKS = {
    "recursive": "qb.batch_helicity_from_dir('tree', recurse=True)",
    "flat": "qb.batch_helicity_from_dir('tree', recurse=False)",
}


@pytest.mark.parametrize("walk", sorted(WALKS))
def test_directory_walk_polls_throughout(tmp_path, walk):
    total, gap, _, _ = map(float, run_child(PRELUDE + TREE + GAPS.format(call=WALKS[walk]), tmp_path)[0].split())
    # the flat walk takes tens of milliseconds, where one stall of the
    # machine is a quarter of it; a walk that does not poll shows one
    # stretch the length of the call
    assert gap < 0.6 * total, (total, gap)


@pytest.mark.parametrize("walk", sorted(WALKS))
def test_directory_walk_stops_on_signal(tmp_path, walk):
    out = run_child(PRELUDE + TREE + STOP.format(call=WALKS[walk]) + "print(len(os.listdir('tree')))\n", tmp_path)
    assert out[:2] == ["KeyboardInterrupt", "20000"], out


# ---------------------------------------------------- results of the phases

# The polling phases give what the formulas give: the curl and the grid
# vorticity against NumPy's periodic differences (the same operations, so
# bit for bit), the swirl field against a single-precision NumPy evaluation,
# the dense record against its one coefficient.

def periodic_difference(U, axis, comp, h):
    return (np.roll(U[..., comp], -1, axis) - np.roll(U[..., comp], 1, axis)) / (h + h)


@pytest.mark.parametrize("shape", [(5, 6, 7), (1, 4, 3), (2, 2, 5), (3, 1, 2), (4, 5, 1)])
def test_curl_matches_periodic_differences(qb, shape):
    U = np.random.default_rng(sum(shape)).random(shape + (3,))
    h = 0.3
    D = lambda axis, comp: periodic_difference(U, axis, comp, h)  # noqa: E731
    ref = np.stack([D(1, 2) - D(2, 1), D(2, 0) - D(0, 2), D(0, 1) - D(1, 0)], -1)
    assert np.array_equal(qb.curl3d_central(U, h), ref)
    # the opposite sign of the grid vorticity of the same samples
    w = qb.compute_vorticity_grid(U.reshape(-1, 3), list(shape), h)
    assert np.array_equal(w.reshape(U.shape), -ref)


def test_curl_of_a_list_and_of_an_empty_grid(qb):
    U = np.random.default_rng(3).random((3, 4, 5, 3))
    assert np.array_equal(qb.curl3d_central(U.tolist(), 0.5), qb.curl3d_central(U, 0.5))
    assert qb.curl3d_central(np.zeros((0, 4, 5, 3)), 0.5).shape == (0, 4, 5, 3)
    assert qb.curl3d_central(np.zeros((3, 0, 5, 3)), 0.5).shape == (3, 0, 5, 3)


def test_vorticity_grid_keeps_rows_past_the_grid_zero(qb):
    U = np.random.default_rng(4).random((2 * 3 * 4 + 5, 3))
    w = qb.compute_vorticity_grid(U, [2, 3, 4], 0.1)
    assert w.shape == U.shape and not w[24:].any()
    assert not qb.compute_vorticity_grid(U, [0, 3, 4], 0.1).any()


def test_swirl_field_matches_its_formula(qb):
    res, t = 37, np.float32(0.7)
    i, j = np.meshgrid(np.arange(res, dtype=np.float32), np.arange(res, dtype=np.float32), indexing="ij")
    u = i / np.float32(res) - np.float32(0.5)
    v = j / np.float32(res) - np.float32(0.5)
    r2 = (v * v + u * u) + np.float32(1e-5)
    r = np.sqrt(r2)
    a, b = np.float32(0.1) / r2, np.float32(0.25) / r
    m = np.float32(0.03) * np.sin(r * np.float32(10) - t * np.float32(6)) + np.float32(1)
    ref = np.stack([((-u) * a + (-v) * b) * m, (b * u + (-v) * a) * m], -1).reshape(-1, 2)
    out = qb.compute_swirl_field(res, float(t))
    assert isinstance(out, list) and all(type(p) is list and len(p) == 2 for p in out)
    np.testing.assert_allclose(np.array(out), ref, rtol=1e-6, atol=1e-7)
    assert qb.compute_swirl_field(-2, 0.0) == [[0.0, 0.0]] * 4
    assert qb.compute_swirl_field(0, 0.0) == []


def test_swirl_field_list_is_whole_to_a_handler_walking_the_collector(tmp_path):
    # A handler that reads every list the collector holds, while the field
    # is made into a list, meets no empty slot.
    script = PRELUDE + textwrap.dedent(
        """
        import gc
        walks = 0
        def walk(signum, frame):
            # (the timer is set again after the walk, which takes longer than its interval)
            global walks
            walks += 1
            for o in gc.get_objects():
                if type(o) is list and len(o) > 1000:
                    for e in o:
                        type(e)
            signal.setitimer(signal.ITIMER_REAL, 0.005)
        signal.signal(signal.SIGALRM, walk)
        signal.setitimer(signal.ITIMER_REAL, 0.005)
        out = qb.compute_swirl_field(1200, 0.5)
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(len(out), walks > 2, gc.isenabled())
        """
    )
    assert run_child(script, tmp_path)[0] == "1440000 True True"


def test_dense_record_reads_its_coefficient(qb):
    text = ('<AB Id="x" Conway="3" L="1.5" D="2.0">' + "<" * 10**5 +
            '<Coeff I="1" A="1.0, 0.0, 0.0" B="0.0, 1.0, 0.0" /></AB>')
    for ab in (qb.parse_ideal_txt_from_string(text)[0], qb.parse_ideal_ab_by_id_from_string(text, "x")):
        assert (ab.id, ab.conway, ab.L, ab.D, len(ab.components)) == ("x", "3", 1.5, 2.0, 1)
        assert (ab.fourier.a_x, ab.fourier.b_y) == ([1.0], [1.0])
    # a record without its end tag before the next record is skipped, the next one read
    two = '<AB Id="a">' + "<" * 10**5 + '<AB Id="b"></AB>'
    assert [ab.id for ab in qb.parse_ideal_txt_from_string(two)] == ["b"]
