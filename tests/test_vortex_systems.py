"""Vortex knot systems (shapes, Euler steps, errors) and the evaluation of
Fourier rows numbered from the constant term."""
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _bindings

TWO_PI = 2.0 * math.pi


def trefoil(t):
    r = 2.0 + np.cos(3.0 * t)
    return np.stack([r * np.cos(2.0 * t), r * np.sin(2.0 * t), np.sin(3.0 * t)], axis=1)


def figure8(t):
    r = 2.0 + np.cos(2.0 * t)
    return np.stack([r * np.cos(3.0 * t), r * np.sin(3.0 * t), np.sin(4.0 * t)], axis=1)


def central(p):
    return (np.roll(p, -1, axis=0) - np.roll(p, 1, axis=0)) * 0.5


def block_points(block, s):
    """A FourierBlock (entry k = harmonic k+1) at the parameters s."""
    k = np.arange(1, len(block.a_x) + 1)[:, None]
    c, n = np.cos(k * s), np.sin(k * s)
    return np.stack([np.asarray(a) @ c + np.asarray(b) @ n for a, b in
                     ((block.a_x, block.b_x), (block.a_y, block.b_y), (block.a_z, block.b_z))], axis=1)


def euler_step(p, t, circulation, dt):
    """One explicit Euler step of the point-element Biot-Savart velocity."""
    R = p[:, None, :] - p[None, :, :]                 # R[i, j] = p_i - X_j
    s = np.sqrt((R[..., 0] ** 2 + R[..., 1] ** 2) + R[..., 2] ** 2)
    with np.errstate(divide="ignore", invalid="ignore"):
        f = np.where(s > 1e-6, circulation / s ** 3, 0.0)
    c = np.cross(np.broadcast_to(t[None, :, :], R.shape), R)
    v = (c / (4.0 * math.pi) * f[..., None]).sum(axis=1)
    return p + dt * v


@pytest.fixture
def no_knot_dirs(monkeypatch, tmp_path):
    """No knot files on disk: an empty working directory, no lookup variables."""
    monkeypatch.delenv("QEL_KNOT_DATA_DIR", raising=False)
    monkeypatch.delenv("QEL_RESOURCE_DIR", raising=False)
    monkeypatch.chdir(tmp_path)
    return tmp_path


# ---------------------------------------------------------------------------
# Shapes


@pytest.mark.parametrize("method,formula", [("initialize_trefoil_knot", trefoil),
                                            ("initialize_figure8_knot", figure8)])
@pytest.mark.parametrize("n", [4, 400])
def test_formula_shapes(method, formula, n):
    vks = _bindings.VortexKnotSystem()
    getattr(vks, method)(n)
    p = np.array(vks.get_positions())
    want = formula(np.arange(n) * TWO_PI / n)   # end of the period excluded
    assert p.shape == (n, 3)
    np.testing.assert_allclose(p, want, atol=1e-14)
    assert p[0].tolist() == [3.0, 0.0, 0.0]
    assert len({tuple(x) for x in p}) == n
    np.testing.assert_allclose(np.array(vks.get_tangents()), central(want), atol=1e-14)


def test_default_resolutions():
    vks = _bindings.VortexKnotSystem()
    assert vks.get_positions() == [] and vks.get_tangents() == []
    vks.initialize_trefoil_knot()
    assert len(vks.get_positions()) == 400
    vks.initialize_figure8_knot()
    assert len(vks.get_positions()) == 400
    vks.initialize_knot_from_name("4_1")
    assert len(vks.get_positions()) == 1000


def test_embedded_knot_both_ends_centred():
    vks = _bindings.VortexKnotSystem()
    vks.initialize_knot_from_name("3_1", 1000)
    p = np.array(vks.get_positions())
    raw = block_points(_bindings.load_embedded_knot_block("3_1"), np.arange(1000) * TWO_PI / 999)
    np.testing.assert_allclose(p, raw - raw.mean(axis=0), atol=1e-12)
    np.testing.assert_allclose(p.mean(axis=0), 0.0, atol=1e-14)
    np.testing.assert_allclose(p[-1], p[0], atol=1e-12)
    np.testing.assert_allclose(np.array(vks.get_tangents()), central(p), atol=1e-15)


@pytest.mark.parametrize("n,count", [(0, 0), (1, 1), (2, 2)])
def test_embedded_knot_few_samples(n, count):
    vks = _bindings.VortexKnotSystem()
    vks.initialize_knot_from_name("5_2", n)
    p = vks.get_positions()
    assert len(p) == count and len(vks.get_tangents()) == count
    # one sample sits at s = 0 and is centred onto the origin
    assert np.all(np.isfinite(p))
    if count:
        np.testing.assert_allclose(vks.get_tangents(), central(np.array(p)), atol=0)


CIRCLE = "% circle of radius 2, traced twice\n0 0 0 0 0 0\n2 0 0 2 0 0\n"


def test_knot_from_disk(no_knot_dirs, monkeypatch):
    d = no_knot_dirs / "data"
    d.mkdir()
    (d / "knot.zz9_9.fseries").write_text(CIRCLE)
    monkeypatch.setenv("QEL_KNOT_DATA_DIR", str(d))
    vks = _bindings.VortexKnotSystem()
    vks.initialize_knot_from_name("zz9_9", 9)
    s = np.arange(9) * TWO_PI / 8
    # rows are harmonics 1 and 2 of the file's block
    raw = np.stack([2 * np.cos(2 * s), 2 * np.sin(2 * s), 0 * s], axis=1)
    np.testing.assert_allclose(vks.get_positions(), raw - raw.mean(axis=0), atol=1e-14)


# ---------------------------------------------------------------------------
# Failures keep the previous shape


def failing_cases(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    (empty / "knot.zz0_0.fseries").write_text("% no rows\n")
    (empty / "knot.zz9_9.fseries").write_text(CIRCLE)
    return empty


@pytest.mark.parametrize("knot_id,resolution,exc,message", [
    ("no_such_knot", 1000, RuntimeError,
     "Could not initialize knot no_such_knot: Could not find .fseries file for knot: no_such_knot"),
    ("zz0_0", 1000, RuntimeError, "Could not initialize knot zz0_0: Failed to load knot zz0_0 from {d}/knot.zz0_0.fseries"),
    ("zz9_9", 0, RuntimeError, "Could not initialize knot zz9_9: Failed to load knot zz9_9 from {d}/knot.zz9_9.fseries"),
    # resolutions past the 32-bit sample count are refused, not wrapped
    ("3_1", 2 ** 31, ValueError, "initialize_knot_from_name: resolution 2147483648 exceeds 2147483647"),
    ("3_1", 2 ** 32 + 5, ValueError, "initialize_knot_from_name: resolution 4294967301 exceeds 2147483647"),
    ("zz9_9", 2 ** 32 + 5, ValueError, "initialize_knot_from_name: resolution 4294967301 exceeds 2147483647"),
])
def test_failing_from_name_keeps_shape(no_knot_dirs, monkeypatch, knot_id, resolution, exc, message):
    d = failing_cases(no_knot_dirs)
    monkeypatch.setenv("QEL_KNOT_DATA_DIR", str(d))
    vks = _bindings.VortexKnotSystem()
    vks.initialize_figure8_knot(50)
    before = (vks.get_positions(), vks.get_tangents())
    with pytest.raises(exc) as info:
        vks.initialize_knot_from_name(knot_id, resolution)
    assert str(info.value) == message.format(d=d)
    assert (vks.get_positions(), vks.get_tangents()) == before


@pytest.mark.parametrize("method", ["initialize_trefoil_knot", "initialize_figure8_knot"])
def test_failing_formula_keeps_shape(method):
    vks = _bindings.VortexKnotSystem()
    vks.initialize_trefoil_knot(20)
    before = (vks.get_positions(), vks.get_tangents())
    with pytest.raises(ValueError):
        getattr(vks, method)(2 ** 62)          # beyond what a list can hold
    assert (vks.get_positions(), vks.get_tangents()) == before


@pytest.mark.no_sanitizer("RLIMIT_AS below the sanitizer's own address-space reservations")
def test_memory_exhaustion_is_not_rewrapped(tmp_path):
    """Under a small address-space limit both paths raise MemoryError (the disk
    path does not turn it into RuntimeError); run apart from this process."""
    (tmp_path / "knot.zz9_9.fseries").write_text(CIRCLE)
    script = textwrap.dedent("""
        import os, resource, sys
        import _bindings
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        os.environ["QEL_KNOT_DATA_DIR"] = sys.argv[1]
        vks = _bindings.VortexKnotSystem()
        vks.initialize_trefoil_knot(10)
        for knot_id in ("3_1", "zz9_9"):
            try:
                vks.initialize_knot_from_name(knot_id, 2 ** 31 - 1)
            except BaseException as e:
                print(knot_id, type(e).__name__, len(vks.get_positions()))
    """)
    proc = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["3_1 MemoryError 10", "zz9_9 MemoryError 10"]


# ---------------------------------------------------------------------------
# Time stepping


def test_euler_steps_against_numpy():
    circulation, dt = 1.7, 0.01
    vks = _bindings.VortexKnotSystem(circulation)
    vks.initialize_trefoil_knot(60)
    p = trefoil(np.arange(60) * TWO_PI / 60)
    vks.evolve(dt, 1)
    p1 = euler_step(p, central(p), circulation, dt)
    np.testing.assert_allclose(vks.get_positions(), p1, rtol=0, atol=1e-13)
    np.testing.assert_allclose(vks.get_tangents(), central(p1), rtol=0, atol=1e-13)
    # two more steps: the tangents are remade after every step
    vks.evolve(dt, 2)
    p3 = euler_step(p1, central(p1), circulation, dt)
    p3 = euler_step(p3, central(p3), circulation, dt)
    np.testing.assert_allclose(vks.get_positions(), p3, rtol=0, atol=1e-13)
    assert np.abs(p3 - p1).max() > 1e-3      # the steps did move the filament


def test_step_equals_single_point_kernel():
    """Each point moves by dt times the single-point velocity of the step's
    start, to the last bit."""
    vks = _bindings.VortexKnotSystem(0.8)
    vks.initialize_knot_from_name("5_2", 300)
    p, t = vks.get_positions(), vks.get_tangents()
    dt = 0.05
    vks.evolve(dt, 1)
    want = [[p[i][c] + dt * v[c] for c in range(3)]
            for i, v in ((i, _bindings.biot_savart_velocity(p[i], p, t, 0.8)) for i in range(len(p)))]
    assert vks.get_positions() == want


def test_default_circulation_is_one():
    a, b = _bindings.VortexKnotSystem(), _bindings.VortexKnotSystem(circulation=1.0)
    for v in (a, b):
        v.initialize_figure8_knot(40)
        v.evolve(0.02, 1)
    assert a.get_positions() == b.get_positions()


def test_evolve_edge_cases():
    vks = _bindings.VortexKnotSystem()
    vks.evolve(0.1, 3)                        # empty: nothing happens
    assert vks.get_positions() == []
    vks.initialize_trefoil_knot(30)
    p, t = vks.get_positions(), vks.get_tangents()
    vks.evolve(0.1, 0)
    assert (vks.get_positions(), vks.get_tangents()) == (p, t)
    vks.evolve(0.0, 5)
    assert vks.get_positions() == p
    np.testing.assert_allclose(vks.get_tangents(), t, atol=0)
    # a lone point gets a zero tangent and does not move
    one = _bindings.VortexKnotSystem()
    one.initialize_trefoil_knot(1)
    assert one.get_tangents() == [[0.0, 0.0, 0.0]]
    one.evolve(1.0, 2)
    assert one.get_positions() == [[3.0, 0.0, 0.0]]


def test_returned_lists_are_copies():
    vks = _bindings.VortexKnotSystem()
    vks.initialize_trefoil_knot(8)
    p = vks.get_positions()
    p[0][0] = 99.0
    p.append([0.0, 0.0, 0.0])
    assert vks.get_positions()[0][0] == 3.0 and len(vks.get_positions()) == 8
    vks.evolve(0.1, 1)
    assert p[0][0] == 99.0


@pytest.mark.parametrize("call", [
    lambda v: v.evolve(0.1, -1),
    lambda v: v.evolve(0.1, 1.0),
    lambda v: v.evolve(0.1),
    lambda v: v.initialize_trefoil_knot(-1),
    lambda v: v.initialize_knot_from_name("3_1", -5),
    lambda v: v.initialize_knot_from_name(31),
    lambda v: _bindings.VortexKnotSystem("1.0"),
])
def test_argument_conversion(call):
    with pytest.raises(TypeError):
        call(_bindings.VortexKnotSystem())


def test_class_face():
    vks = _bindings.VortexKnotSystem(2.0)
    with pytest.raises(AttributeError):
        vks.positions = []
    doc = _bindings.VortexKnotSystem
    assert doc.evolve.__doc__.endswith("Evolve vortex knot using Biot\u2013Savart dynamics.\n")
    assert doc.__init__.__doc__.endswith("Initialize a VortexKnotSystem with optional circulation parameter.\n")
    assert doc.initialize_knot_from_name.__doc__.endswith(
        "Initialize any knot from bundled .fseries file by identifier.\n")


# ---------------------------------------------------------------------------
# evaluate_fourier_series


def test_unit_circle():
    res = _bindings.evaluate_fourier_series([(0, 0, 0, 0, 0, 0), (1, 0, 0, 1, 0, 0)], [0.0, math.pi / 2])
    np.testing.assert_allclose(res.positions, [[1, 0, 0], [0, 1, 0]], atol=1e-15)
    np.testing.assert_allclose(res.tangents, [[0, 1, 0], [-1, 0, 0]], atol=1e-15)


def test_fourier_series_against_numpy():
    rng = np.random.default_rng(7)
    rows = rng.normal(size=(6, 6))
    s = rng.uniform(-4.0, 9.0, size=25)
    res = _bindings.evaluate_fourier_series(rows.tolist(), s.tolist())
    j = np.arange(6)[:, None]
    c, n = np.cos(j * s), np.sin(j * s)
    a, b = rows[:, 0::2], rows[:, 1::2]          # (row, coordinate)
    pos = c.T @ a + n.T @ b
    tan = (j * c).T @ b - (j * n).T @ a
    np.testing.assert_allclose(res.positions, pos, rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(res.tangents, tan, rtol=1e-13, atol=1e-13)
    # the tangent is the derivative of the position
    h = 1e-6
    fwd = np.array(_bindings.evaluate_fourier_series(rows.tolist(), (s + h).tolist()).positions)
    bwd = np.array(_bindings.evaluate_fourier_series(rows.tolist(), (s - h).tolist()).positions)
    np.testing.assert_allclose((fwd - bwd) / (2 * h), tan, rtol=1e-6, atol=1e-6)


def test_fourier_series_degenerate():
    res = _bindings.evaluate_fourier_series([], [0.0, 1.0])
    assert res.positions == [[0.0, 0.0, 0.0]] * 2 and res.tangents == [[0.0, 0.0, 0.0]] * 2
    res = _bindings.evaluate_fourier_series([(1, 2, 3, 4, 5, 6)], [])
    assert res.positions == [] and res.tangents == []
    # row 0 is the constant term: its b-values and its tangent vanish
    res = _bindings.evaluate_fourier_series([(1, 2, 3, 4, 5, 6)], [0.7])
    assert res.positions == [[1.0, 3.0, 5.0]] and res.tangents == [[0.0, 0.0, 0.0]]


def test_fourier_result_face():
    with pytest.raises(TypeError):
        _bindings.FourierResult()
    res = _bindings.evaluate_fourier_series([(0, 0, 0, 0, 0, 0)], [0.0])
    with pytest.raises(AttributeError):
        res.positions = []
    res.positions.append([1.0, 1.0, 1.0])
    assert res.positions == [[0.0, 0.0, 0.0]]
    assert _bindings.evaluate_fourier_series.__doc__.endswith(
        "Evaluate a Fourier series for positions and tangents\n")


@pytest.mark.parametrize("call", [
    lambda: _bindings.evaluate_fourier_series([(1, 2, 3, 4, 5)], [0.0]),
    lambda: _bindings.evaluate_fourier_series([(1, 2, 3, 4, 5, 6, 7)], [0.0]),
    lambda: _bindings.evaluate_fourier_series(rows=[], s=[0.0]),
    lambda: _bindings.evaluate_fourier_series([], "abc"),
])
def test_fourier_series_conversion(call):
    with pytest.raises(TypeError):
        call()
