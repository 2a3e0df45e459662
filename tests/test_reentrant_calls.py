"""Signal handlers that change, empty or re-enter the objects of a running call.

A call that polls for signals runs Python handlers in its middle, and a handler
may change any object the caller holds: the call's own object, an argument, an
element of an argument's list. Each case runs in a child interpreter (a crash
or a sanitizer report is then a failed child, not a dead test run): the call
runs once undisturbed for reference, then again on a fresh object while a
timer fires every few milliseconds and the handler, on its first two runs,
changes, empties or re-enters the object. The call must give the reference
result bit for bit (it works on the input as it was), and the object must be
whole afterwards. With a handler that raises after its change, the call ends
with that exception and the object is whole: lists of equal length, finite
values."""
import subprocess
import sys
import textwrap

import pytest

from child_curves import CURVES

TIMEOUT = 300

PRELUDE = textwrap.dedent(
    """
    import signal, sys
    import numpy as np
    import _bindings as qb

    """
) + CURVES + textwrap.dedent(
    """
    def plain(x):
        # a comparable value: arrays and records become nested lists
        if isinstance(x, np.ndarray):
            return x.tolist()
        if isinstance(x, (list, tuple)):
            return [plain(e) for e in x]
        if isinstance(x, (qb.GeometricDescriptors,)):
            return [x.L, x.bending_energy, x.min_self_distance, x.writhe, list(x.mode_energy)]
        if isinstance(x, qb.RelativisticMetrics):
            return [x.helicity, list(x.time_dilation_map), x.core_time_dilation]
        return x

    def finite(x):
        if isinstance(x, (list, tuple)):
            return all(finite(e) for e in x)
        return bool(np.isfinite(x))
    """
)

# The handler acts on its first two runs only (runs nested in its own action
# do nothing), so that a signal still pending when the call returns changes
# nothing that is compared. A handler that raises acts once: the call ends
# with its exception, and a run that comes before the timer is stopped must
# not raise again outside the call.
RUN = textwrap.dedent(
    """
    make()
    ref = plain(run())
    make()
    acted = 0
    raised = False
    def handler(signum, frame):
        global acted, raised
        if acted >= 2 or raised:
            return
        acted += 1
        act()
        if RAISE:
            raised = True
            raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, handler)
    stopped = False
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.003)
        out = plain(run())
    except KeyboardInterrupt:
        stopped = True
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    print("acted", acted)
    if RAISE:
        print("stopped", stopped)
    else:
        print("same", out == ref)
    print("whole", whole())
    """
)

# name: (setup defining make, run and whole; handler actions). The call takes
# a tenth of a second or more, so the timer fires during it.
CASES = {
    "VortexKnotSystem.evolve": (
        """
        def make():
            global v
            v = qb.VortexKnotSystem(1.0)
            v.initialize_trefoil_knot(1500)
        def run():
            v.evolve(1e-3, 40)
            return v.get_positions(), v.get_tangents()
        def whole():
            p, t = v.get_positions(), v.get_tangents()
            return len(p) == len(t) and len(p) in (1500, 4, 0) and finite(p) and finite(t)
        """,
        ["v.initialize_trefoil_knot(4)", "v.initialize_trefoil_knot(0)", "v.evolve(1e-3, 1)"],
    ),
    "VortexKnotSystem.initialize_knot_from_name": (
        """
        def make():
            global v
            v = qb.VortexKnotSystem(1.0)
        def run():
            v.initialize_knot_from_name("3_1", 3 * 10**4)
            return v.get_positions(), v.get_tangents()
        def whole():
            p, t = v.get_positions(), v.get_tangents()
            return len(p) == len(t) and finite(p) and finite(t)
        """,
        ["v.initialize_trefoil_knot(4)", "v.initialize_knot_from_name('4_1', 10)"],
    ),
    "TimeEvolution.evolve": (
        """
        P0 = trefoil(1000)
        T0 = ((np.roll(P0, -1, 0) - np.roll(P0, 1, 0)) * 0.5).tolist()
        def make():
            global te
            te = qb.TimeEvolution(P0.tolist(), T0, 1.0)
        def run():
            te.evolve(1e-3, 60)
            return te.get_positions(), te.get_tangents()
        def whole():
            p, t = te.get_positions(), te.get_tangents()
            return len(p) == len(t) == 1000 and finite(p) and finite(t)
        """,
        ["te.evolve(1e-3, 1)"],
    ),
    "ParticleEvaluator.relax": (
        """
        def make():
            global pe
            pe = qb.ParticleEvaluator([ring(1500, 0.5).tolist(), ring(500, 0.3).tolist()])
        def run():
            pe.relax(60, 0.01)
            return pe.get_filaments()
        def whole():
            f = pe.get_filaments()
            return [len(c) for c in f] == [1500, 500] and finite(f)
        """,
        ["pe.relax(0)", "pe.relax(2)"],
    ),
    "ParticleEvaluator.compute_relativistic_metrics": (
        """
        def make():
            global pe
            pe = qb.ParticleEvaluator([ring(4000).tolist()])
        def run():
            return pe.compute_relativistic_metrics()
        def whole():
            return finite(pe.get_filaments())
        """,
        ["pe.relax(0)"],
    ),
    "ParticleEvaluator.get_mass_mev_ab_initio": (
        """
        def make():
            global pe
            pe = qb.ParticleEvaluator([(ring(200) * 1e-15).tolist()])
            cfg = pe.get_tail_approx_config()
            cfg.enabled = True
            cfg.radial_samples = cfg.azimuth_samples = 24
            pe.set_tail_approx_config(cfg)
        def run():
            return pe.get_mass_mev_ab_initio(True)
        def whole():
            return finite(pe.get_filaments())
        def shrink():
            cfg = pe.get_tail_approx_config()
            cfg.radial_samples = cfg.azimuth_samples = 1
            cfg.enabled = False
            pe.set_tail_approx_config(cfg)
        """,
        ["shrink()", "pe.relax(0)"],
    ),
    "fourier_knot.reconstruct": (
        """
        def make():
            global k
            k = qb.fourier_knot()
            k.activeBlock = big_block(1000)
        def run():
            k.reconstruct(2 * 10**4)
            return k.points
        def whole():
            return finite(k.points)
        """,
        ["k.activeBlock = qb.FourierBlock()", "k.activeBlock.a_x = [1.0]", "k.points = []", "k.reconstruct(3)"],
    ),
    "GoldenNLSClosure.infer_geometric_ratio_safe": (
        """
        def make():
            global g
            g = qb.GoldenNLSClosure()
        def run():
            # no tolerance is met: the call ends after max_iter iterations
            try:
                return g.infer_geometric_ratio_safe(x_tol=0.0, f_tol=0.0, max_iter=10**6)
            except RuntimeError as e:
                return str(e)
        def whole():
            return finite(g.get_active_density())
        """,
        ["g.set_regime(qb.DensityRegime.EFFECTIVE_FLUID)"],
    ),
}

# Functions that read a record: the handler changes, empties or grows it, or
# an element of its list through a view.
BLOCK_SETUP = """
def make():
    global b, s
    b = big_block(300)
    s = np.linspace(0.0, 6.0, 10**4).tolist()
def whole():
    return True
"""
BLOCK_ACTS = ["b.a_x = []", "b.a_x = [1.0] * 5000"]
for name, call in {
    "evaluate_fourier_block": "qb.evaluate_fourier_block(b, s)",
    "curvature_exact": "qb.curvature_exact(b, s)",
    "length_exact": "qb.length_exact(b, 2 * 10**4)",
    "bending_energy_exact": "qb.bending_energy_exact(b, 2 * 10**4)",
    "min_self_distance_exactish": "qb.min_self_distance_exactish(b, 3000)",
    "describe_fourier_block": "qb.describe_fourier_block(b, 3000)",
    "compute_helicity_from_fourier_block": "qb.compute_helicity_from_fourier_block(b, 20, 0.3, 4, 300)",
}.items():
    CASES[name] = (BLOCK_SETUP + "def run():\n    return " + call + "\n", BLOCK_ACTS)

CASES["evaluate_ideal_component"] = (
    """
    def make():
        global c, s
        c = qb.IdealABComponent()
        c.fourier = big_block(300)
        s = np.linspace(0.0, 6.0, 10**4)
    def run():
        return qb.evaluate_ideal_component(c, s)
    def whole():
        return True
    """,
    ["c.fourier = qb.FourierBlock()", "c.fourier.a_x = [1.0] * 5000"],
)
CASES["evaluate_ideal_ab_components"] = (
    """
    def make():
        global ab, s
        c = qb.IdealABComponent()
        c.fourier = big_block(300)
        ab = qb.IdealABBlock()
        ab.components = [c, c]
        s = np.linspace(0.0, 6.0, 10**4)
    def run():
        return qb.evaluate_ideal_ab_components(ab, s)
    def whole():
        return len(ab.components) in (0, 2)
    """,
    ["ab.components = []", "ab.components[0].fourier = qb.FourierBlock()"],
)
CASES["compute_filament_energy_from_fseries"] = (
    """
    with open("knot.fseries", "w") as f:
        f.write(qb.get_embedded_knot_files()["3_1"])
    def make():
        global prm
        prm = qb.FilamentEnergyParams()
        prm.nsamples = 4000
    def run():
        r = qb.compute_filament_energy_from_fseries("knot.fseries", prm)
        return [r.L, r.E_nonlocal, r.E_local_match, r.nsamples]
    def whole():
        return True
    """,
    ["prm.nsamples = 8", "prm.nsamples = 10**5"],
)

# The calls whose own object changes: the handler may also raise.
STATEFUL = ["VortexKnotSystem.evolve", "TimeEvolution.evolve", "ParticleEvaluator.relax", "fourier_knot.reconstruct"]

PARAMS = [(name, act, False) for name in sorted(CASES) for act in CASES[name][1]]
PARAMS += [(name, act, True) for name in STATEFUL for act in CASES[name][1]]


def run_child(setup, act, raise_after, cwd):
    script = (PRELUDE + textwrap.dedent(setup) + "def act():\n    " + act + "\n" +
              "RAISE = " + repr(raise_after) + "\n" + RUN)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=TIMEOUT,
                          cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return dict(line.split() for line in proc.stdout.splitlines() if line)


@pytest.mark.parametrize("name, act, raise_after", PARAMS)
def test_handler_changing_the_object_of_a_running_call(tmp_path, name, act, raise_after):
    out = run_child(CASES[name][0], act, raise_after, tmp_path)
    assert out["acted"] != "0", out  # the handler ran during the call
    if raise_after:
        assert out["stopped"] == "True", out
    else:
        assert out["same"] == "True", out
    assert out["whole"] == "True", out
