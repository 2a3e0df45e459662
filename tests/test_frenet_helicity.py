"""Frenet frames, curvature and torsion, the helicity mean and the point update."""
import math
import re
import subprocess
import sys

import numpy as np
import pytest

import _bindings as qb


def helix(a, b, dt, n):
    t = np.arange(n) * dt
    return np.stack([a * np.cos(t), a * np.sin(t), b * t], axis=1)


def test_helix_curvature_and_torsion():
    a, b, dt, n = 1.5, 0.4, 0.02, 200
    T, N, B = qb.compute_frenet_frames(helix(a, b, dt, n).tolist())
    kappa, tau = qb.compute_curvature_torsion(T, N)
    # Per index step on the uniformly sampled helix, from the central and
    # second differences in closed form.
    L = math.hypot(2 * a * math.sin(dt), 2 * b * dt)
    k_step = 2 * a * math.sin(dt) ** 2 / L
    t_step = 2 * b * dt * math.sin(dt) / L
    np.testing.assert_allclose(kappa[2:-2], k_step, rtol=1e-9)
    np.testing.assert_allclose(tau[2:-2], t_step, rtol=1e-9)
    # ... which are the continuous curvature and torsion times the arc step.
    ds = math.hypot(a, b) * dt
    assert k_step / ds == pytest.approx(a / (a * a + b * b), rel=1e-3)
    assert t_step / ds == pytest.approx(b / (a * a + b * b), rel=1e-3)
    # Ends copy their neighbours.
    assert kappa[0] == kappa[1] and kappa[-1] == kappa[-2]
    assert tau[0] == tau[1] and tau[-1] == tau[-2]


def test_circle_frames_point_inwards():
    s = np.linspace(0, 2 * np.pi, 24, endpoint=False)
    X = np.stack([2 * np.cos(s), 2 * np.sin(s), np.full_like(s, 0.5)], axis=1)
    T, N, B = (np.array(v) for v in qb.compute_frenet_frames(X.tolist()))
    inward = -X[:, :2] / 2.0
    np.testing.assert_allclose(N[1:-1, :2], inward[1:-1], atol=1e-12)
    np.testing.assert_allclose(B, np.tile([0.0, 0.0, 1.0], (24, 1)), atol=1e-12)
    np.testing.assert_allclose(np.einsum("ij,ij->i", T, N), 0.0, atol=1e-12)


def test_three_points_fill_all_entries():
    X = [[0.0, 0.0, 0.0], [1.0, 1.0, 0.0], [2.0, 0.0, 0.0]]
    T, N, B = qb.compute_frenet_frames(X)
    assert T == [[1.0, 0.0, 0.0]] * 3
    assert N == [[0.0, -1.0, 0.0]] * 3
    assert B == [[0.0, 0.0, -1.0]] * 3


@pytest.mark.parametrize("n", [0, 1, 2])
def test_short_filaments_give_zero_frames(n):
    X = [[float(i), 2.0, 3.0] for i in range(n)]
    T, N, B = qb.compute_frenet_frames(X)
    assert T == N == B == [[0.0, 0.0, 0.0]] * n
    kappa, tau = qb.compute_curvature_torsion(T, N)
    assert kappa == tau == [0.0] * n


def test_one_point_filament_in_a_subprocess():
    code = "import _bindings as qb\nfor _ in range(1000):\n    qb.compute_frenet_frames([[1.0, 2.0, 3.0]])\n" \
           "    qb.compute_curvature_torsion([[1.0, 0.0, 0.0]], [[0.0, 1.0, 0.0]])\nprint('ok')"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout.strip() == "ok"


def test_collinear_points_give_nan_normals():
    T, N, B = qb.compute_frenet_frames([[0.0, 0, 0], [1.0, 0, 0], [2.0, 0, 0], [3.0, 0, 0]])
    assert T == [[1.0, 0.0, 0.0]] * 4
    assert all(math.isnan(c) for v in N + B for c in v)


def test_curvature_torsion_refuses_short_normals():
    with pytest.raises(ValueError, match=r"^compute_curvature_torsion: N has fewer entries than T$"):
        qb.compute_curvature_torsion([[1, 0, 0]] * 4, [[0, 1, 0]] * 3)


def test_helicity_mean():
    assert qb.compute_helicity([[1, 0, 0], [0, 2, 0]], [[1, 0, 0], [0, 2, 0]]) == 2.5
    assert math.isnan(qb.compute_helicity([], []))
    rng = np.random.default_rng(5)
    a, b = rng.normal(size=(500, 3)), rng.normal(size=(500, 3))
    dots = (a[:, 0] * b[:, 0] + a[:, 1] * b[:, 1] + a[:, 2] * b[:, 2]).astype(np.float32)
    expect = np.float32(np.cumsum(dots, dtype=np.float32)[-1]) / np.float32(500)
    assert qb.compute_helicity(a.tolist(), b.tolist()) == float(expect)


def test_helicity_sums_in_single_precision():
    # Once the float sum reaches 2**24, adding 1.0 no longer changes it.
    a = [[2.0**24, 0.0, 0.0]] + [[1.0, 0.0, 0.0]] * 999
    b = [[1.0, 0.0, 0.0]] * 1000
    assert qb.compute_helicity(a, b) == float(np.float32(2.0**24) / np.float32(1000))


def test_helicity_refuses_short_second_list():
    with pytest.raises(ValueError, match=r"^compute_helicity: b has fewer entries than a$"):
        qb.compute_helicity([[1, 0, 0], [0, 1, 0]], [[1, 0, 0]])


def test_helicity_in_the_overload_chain():
    doc = qb.compute_helicity.__doc__
    own = "\n        Compute helicity H = ∫ v · ω dV.\n    "
    # This form's signature (two unnamed point lists) with its own text under it.
    entry = re.search(r"^(?:(\d+)\. )?compute_helicity\(arg0: [^\n]*, arg1: [^\n]*\) -> float\n\n" + re.escape(own),
                      doc, re.M)
    assert entry is not None
    if doc.startswith("compute_helicity(*args, **kwargs)\nOverloaded function.\n\n"):
        # Chained after the fluid-dynamics form, registered earlier.
        assert entry.group(1) == "2"
    else:
        assert entry.group(1) is None and entry.start() == 0
    # Two point lists reach this form.
    assert qb.compute_helicity([[1, 2, 3]], [[1, 1, 1]]) == 6.0


def test_positional_arguments_only():
    with pytest.raises(TypeError):
        qb.compute_frenet_frames(points=[[0, 0, 0], [1, 0, 0], [2, 1, 0]])
    with pytest.raises(TypeError):
        qb.rk4_integrate(X=[[0, 0, 0]], V=[[1, 1, 1]], s1=0.1, s2=1.0)


def test_one_step_update():
    X = [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]
    V = [[1.0, -2.0, 0.5], [0.0, 10.0, -1.0]]
    Y = qb.rk4_integrate(X, V, 0.5, 0.2)
    np.testing.assert_allclose(Y, np.array(X) + 0.1 * np.array(V), rtol=1e-15)
    assert qb.evolve_vortex_knot(X, V, 0.5, 0.2) == Y
    assert qb.rk4_integrate([], [], 1.0, 1.0) == []
    # A longer V is read at the indices of X only.
    assert qb.rk4_integrate(X[:1], V, 1.0, 1.0) == [[1.0, -1.0, 2.5]]


@pytest.mark.parametrize("name", ["rk4_integrate", "evolve_vortex_knot"])
def test_update_refuses_short_velocity_list(name):
    with pytest.raises(ValueError, match=rf"^{name}: V has fewer entries than X$"):
        getattr(qb, name)([[0, 0, 0], [1, 1, 1]], [[1, 0, 0]], 1.0, 1.0)


def test_docstrings_and_order():
    texts = [
        ("compute_frenet_frames",
         "\n        Compute Frenet frames (T, N, B) from 3D filament points.\n        Returns: (T, N, B) as tuple of lists.\n    "),
        ("compute_curvature_torsion",
         "\n\t\tCompute curvature and torsion from tangent and normal vectors.\n\t\tReturns: (curvature, torsion) as tuple of lists.\n\t"),
        ("evolve_vortex_knot", "\n        Evolve vortex knot filaments using Biot–Savart dynamics.\n    "),
        ("rk4_integrate", "\n        Runge-Kutta 4th order time integrator for vortex elements.\n    "),
    ]
    for name, text in texts:
        assert getattr(qb, name).__doc__.split("\n", 2)[2] == text + "\n"
    names = list(vars(qb))
    # compute_helicity keeps the position of its first registration.
    order = ["compute_frenet_frames", "compute_curvature_torsion", "evolve_vortex_knot", "rk4_integrate"]
    pos = [names.index(n) for n in order]
    assert pos == sorted(pos)
