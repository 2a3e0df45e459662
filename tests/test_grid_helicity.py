"""Grid helicity of a Fourier block and the four grid operations it is made
of, checked against a NumPy evaluation of the same pipeline."""
import math

import numpy as np
import pytest

import _bindings as qb

TWO_PI = 6.283185307179586
FOUR_PI = 12.566370614359172


# ------------------------------------------------------------ NumPy model

def np_block_points(block, s):
    k = np.arange(1, len(block.a_x) + 1)
    C, S = np.cos(np.outer(s, k)), np.sin(np.outer(s, k))
    return np.stack([C @ np.array(block.a_x) + S @ np.array(block.b_x),
                     C @ np.array(block.a_y) + S @ np.array(block.b_y),
                     C @ np.array(block.a_z) + S @ np.array(block.b_z)], 1)


def np_velocity(curve, targets, chunk=512):
    """Closed-polyline Biot-Savart velocity (midpoints, chords), circulation 1."""
    curve = np.asarray(curve, float).reshape(-1, 3)
    targets = np.asarray(targets, float).reshape(-1, 3)
    out = np.zeros_like(targets)
    if len(curve) < 2:
        return out
    q = np.roll(curve, -1, axis=0)
    mid, dl = (curve + q) * 0.5, q - curve
    for a in range(0, len(targets), chunk):
        R = targets[a:a + chunk, None, :] - mid[None, :, :]
        r2 = np.einsum("ijk,ijk->ij", R, R)
        d = r2 * np.sqrt(r2) + 1e-12
        out[a:a + chunk] = np.einsum("ijk,ij->ik", np.cross(dl[None, :, :], R), 1.0 / d)
    return out / FOUR_PI


def np_vorticity(u, dims, h):
    """Periodic central differences, the negated curl for axes x, y, z."""
    U = np.asarray(u, float)[:np.prod(dims)].reshape(*dims, 3)

    def D(axis, comp):
        return (np.roll(U[..., comp], -1, axis) - np.roll(U[..., comp], 1, axis)) / (h + h)

    return np.stack([D(2, 1) - D(1, 2), D(0, 2) - D(2, 0), D(1, 0) - D(0, 1)], -1).reshape(-1, 3)


def np_interior(u, dims, m):
    return np.asarray(u, float)[:np.prod(dims)].reshape(*dims, 3)[m:dims[0] - m, m:dims[1] - m,
                                                                 m:dims[2] - m].reshape(-1, 3)


def np_invariants(v, w, r_sq):
    hc = float(np.sum(v * w))
    hm = float(np.sum(np.sum(w * w, axis=1) * r_sq))
    with np.errstate(divide="ignore", invalid="ignore"):
        return hc, hm, 0.5 * (np.float64(hc) / hm - 1.0)


def np_pipeline(block, G, h, m, n):
    s = np.arange(n) * TWO_PI / (n - 1)  # both ends of the period
    P = np_block_points(block, s)
    P = P - P.mean(axis=0)
    g = G // 2
    ax = np.arange(-g, G - g) * h
    grid = np.stack(np.meshgrid(ax, ax, ax, indexing="ij"), -1).reshape(-1, 3)
    vel = np_velocity(P, grid)
    vort = np_vorticity(vel, (G, G, G), h)
    v, w = np_interior(vel, (G, G, G), m), np_interior(vort, (G, G, G), m)
    r_sq = np.sum(np_interior(grid, (G, G, G), m) ** 2, axis=1)
    return np_invariants(v, w, r_sq), np.sum(np.abs(v * w))


def block_of(rows):
    """FourierBlock from rows (a_x, b_x, a_y, b_y, a_z, b_z), harmonic 1 first."""
    b = qb.FourierBlock()
    cols = np.array(rows, float).T
    b.a_x, b.b_x, b.a_y, b.b_y, b.a_z, b.b_z = (c.tolist() for c in cols)
    return b


# sin t + 2 sin 2t, cos t - 2 cos 2t, -sin 3t, scaled to fit a small grid
TREFOIL = block_of([[0, 0.4, 0.4, 0, 0, 0], [0, 0.8, -0.8, 0, 0, 0], [0, 0, 0, 0, 0, -0.4]])


# ----------------------------------------------------------------- pipeline

@pytest.mark.parametrize("G,h,m,n", [(8, 0.3, 2, 60), (7, 0.35, 1, 41), (10, 0.25, 3, 25)])
def test_helicity_of_block_against_numpy_pipeline(G, h, m, n):
    got = qb.compute_helicity_from_fourier_block(TREFOIL, grid_size=G, spacing=h, interior_margin=m, nsamples=n)
    (hc, hm, a_mu), scale = np_pipeline(TREFOIL, G, h, m, n)
    assert isinstance(got, tuple) and len(got) == 3
    assert abs(got[0] - hc) <= 1e-10 * scale
    assert got[1] == pytest.approx(hm, rel=1e-10)
    assert got[2] == pytest.approx(0.5 * (got[0] / got[1] - 1.0), rel=1e-12)
    assert got[2] == pytest.approx(a_mu, rel=1e-8, abs=1e-10)


def test_helicity_of_embedded_block_uses_the_defaults():
    block = qb.load_embedded_knot_block("3_1")
    explicit = qb.compute_helicity_from_fourier_block(block, 32, 0.1, 8, 1000)
    assert qb.compute_helicity_from_fourier_block(block) == explicit
    assert all(math.isfinite(x) for x in explicit) and explicit[1] > 0


@pytest.mark.parametrize("G,m,n", [(8, 1, 0), (8, 1, 1), (32, 16, 10), (7, 4, 10), (0, 0, 10), (1, 0, 10)])
def test_degenerate_cases_give_zero_zero_nan(G, m, n):
    hc, hm, a_mu = qb.compute_helicity_from_fourier_block(TREFOIL, G, 0.3, m, n)
    assert (hc, hm) == (0.0, 0.0) and math.isnan(a_mu)


@pytest.mark.parametrize("kwargs,msg", [
    ({"interior_margin": -1}, r"^compute_helicity_from_fourier_block: interior_margin must not be negative$"),
    ({"grid_size": 1291}, r"grid_size 1291 gives more than 2147483647 grid nodes$"),
    ({"grid_size": 2**31 - 1}, r"gives more than 2147483647 grid nodes$"),
    ({"grid_size": 46341}, r"gives more than 2147483647 grid nodes$"),
    ({"grid_size": -1}, None),
    ({"nsamples": -1}, None),
])
def test_helicity_of_block_refuses_bad_sizes(kwargs, msg):
    with pytest.raises(ValueError, match=msg):
        qb.compute_helicity_from_fourier_block(TREFOIL, **kwargs)


def test_helicity_of_block_argument_types():
    with pytest.raises(TypeError):
        qb.compute_helicity_from_fourier_block(TREFOIL, grid_size=8.0)
    with pytest.raises(TypeError):
        qb.compute_helicity_from_fourier_block(None)


# ----------------------------------------------------------- grid functions

def test_velocity_grid_against_numpy():
    rng = np.random.default_rng(2)
    curve = rng.normal(size=(25, 3))
    grid = rng.normal(size=(40, 3)) * 2
    want = np_velocity(curve, grid)
    for c, g in ((curve, grid), (curve.tolist(), grid.tolist()), (curve.tolist(), grid)):
        got = qb.compute_biot_savart_velocity_grid(c, g)
        assert got.dtype == np.float64 and got.shape == (40, 3)
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-14)
    assert qb.compute_biot_savart_velocity_grid(curve, np.zeros((0, 3))).shape == (0, 3)
    np.testing.assert_array_equal(qb.compute_biot_savart_velocity_grid(curve[:1], grid), 0.0)
    ints = (curve * 10).astype(np.int64)
    np.testing.assert_allclose(qb.compute_biot_savart_velocity_grid(ints, grid), np_velocity(ints, grid),
                               rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("curve,grid,exc,msg", [
    (np.zeros((4, 2)), np.zeros((3, 3)), ValueError, r"^pd_from_curve: expected array with shape \(N,3\)$"),
    (np.zeros((4, 3)), np.zeros(3), ValueError, r"^pd_from_curve: expected array with shape \(N,3\)$"),
    (None, np.zeros((3, 3)), RuntimeError, r"^Unable to cast Python instance of type "),
    (np.zeros((4, 3)), [[1, 2]], RuntimeError, r"^Unable to cast Python instance of type "),
])
def test_velocity_grid_point_argument_errors(curve, grid, exc, msg):
    with pytest.raises(exc, match=msg):
        qb.compute_biot_savart_velocity_grid(curve, grid)


@pytest.mark.parametrize("dims,extra", [((3, 4, 5), 0), ((2, 1, 6), 0), ((4, 4, 4), 5)])
def test_vorticity_grid_against_numpy(dims, extra):
    rng = np.random.default_rng(3)
    u = rng.normal(size=(int(np.prod(dims)) + extra, 3))
    got = qb.compute_vorticity_grid(u, list(dims), 0.7)
    assert got.shape == u.shape
    np.testing.assert_allclose(got[:np.prod(dims)], np_vorticity(u, dims, 0.7), rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(got[np.prod(dims):], 0.0)


@pytest.mark.parametrize("dims,m", [((4, 5, 6), 1), ((4, 4, 4), 0), ((5, 5, 5), 2), ((4, 5, 6), 2)])
def test_interior_field_against_numpy(dims, m):
    u = np.arange(np.prod(dims) * 3, dtype=float).reshape(-1, 3)
    got = qb.extract_interior_field(u, dims, m)
    assert got.shape[1] == 3
    np.testing.assert_array_equal(got, np_interior(u, dims, m))


def test_helicity_invariants_against_numpy():
    rng = np.random.default_rng(4)
    v, w, r = rng.normal(size=(8, 3)), rng.normal(size=(8, 3)), rng.random(8)
    got = qb.compute_helicity_invariants(v, w, r)
    assert isinstance(got, tuple) and len(got) == 3
    np.testing.assert_allclose(got, np_invariants(v, w, r), rtol=1e-12)
    assert qb.compute_helicity_invariants([[1, 0, 0]], [[1, 0, 0]], [2]) == (1.0, 2.0, -0.25)
    hc, hm, a_mu = qb.compute_helicity_invariants(np.zeros((0, 3)), np.zeros((0, 3)), np.zeros(0))
    assert (hc, hm) == (0.0, 0.0) and math.isnan(a_mu)


GRID_ERRORS = [
    # rows must cover the nodes that the kernels read
    (lambda: qb.compute_vorticity_grid(np.zeros((59, 3)), [3, 4, 5], 0.1),
     r"^compute_vorticity_grid: array has fewer rows than shape d0\*d1\*d2 grid nodes$"),
    (lambda: qb.compute_vorticity_grid(np.zeros((8, 3)), [2000, 2000, 2000], 0.1),
     r"^compute_vorticity_grid: shape d0\*d1\*d2 exceeds 2147483647 grid nodes$"),
    (lambda: qb.compute_vorticity_grid(np.zeros((8, 3)), [2**31 - 1] * 3, 0.1),
     r"^compute_vorticity_grid: shape d0\*d1\*d2 exceeds 2147483647 grid nodes$"),
    # 2^21 * 2^21 * 2^22 wraps to 0 in 64 bits
    (lambda: qb.compute_vorticity_grid(np.zeros((8, 3)), [2**21, 2**21, 2**22], 0.1),
     r"^compute_vorticity_grid: shape d0\*d1\*d2 exceeds 2147483647 grid nodes$"),
    (lambda: qb.extract_interior_field(np.zeros((63, 3)), [4, 4, 4], 1),
     r"^extract_interior_field: array has fewer rows than shape d0\*d1\*d2 grid nodes$"),
    (lambda: qb.extract_interior_field(np.zeros((8, 3)), [2**31 - 1] * 3, 3),
     r"^extract_interior_field: shape d0\*d1\*d2 exceeds 2147483647 grid nodes$"),
    (lambda: qb.extract_interior_field(np.zeros((64, 3)), [4, 4, 4], -1),
     r"^extract_interior_field: margin must not be negative$"),
    (lambda: qb.compute_vorticity_grid(np.zeros((8, 2)), [2, 2, 2], 0.1),
     r"^pd_from_curve: expected array with shape \(N,3\)$"),
    (lambda: qb.extract_interior_field(np.zeros(24), [2, 2, 2], 0),
     r"^pd_from_curve: expected array with shape \(N,3\)$"),
    (lambda: qb.compute_helicity_invariants(np.zeros((8, 3)), np.zeros((7, 3)), np.zeros(8)),
     r"^r_sq must be 1D with same length as v_sub/w_sub$"),
    (lambda: qb.compute_helicity_invariants(np.zeros((8, 3)), np.zeros((8, 3)), np.zeros(7)),
     r"^r_sq must be 1D with same length as v_sub/w_sub$"),
    (lambda: qb.compute_helicity_invariants(np.zeros((8, 3)), np.zeros((8, 3)), np.zeros((8, 1))),
     r"^r_sq must be 1D with same length as v_sub/w_sub$"),
    # a bad v_sub is reported before a bad r_sq
    (lambda: qb.compute_helicity_invariants(np.zeros((8, 2)), np.zeros((8, 3)), np.zeros(3)),
     r"^pd_from_curve: expected array with shape \(N,3\)$"),
]


@pytest.mark.parametrize("call,msg", GRID_ERRORS)
def test_grid_functions_refuse_what_they_cannot_read(call, msg):
    with pytest.raises(ValueError, match=msg):
        call()


def test_grid_functions_without_nodes_to_read():
    # non-positive dims: zeros, nothing read; an empty interior reads nothing
    np.testing.assert_array_equal(qb.compute_vorticity_grid(np.ones((5, 3)), [0, 4, 4], 0.1), np.zeros((5, 3)))
    np.testing.assert_array_equal(qb.compute_vorticity_grid(np.ones((5, 3)), [-3, 4, 4], 0.1), np.zeros((5, 3)))
    assert qb.extract_interior_field(np.zeros((1, 3)), [4, 4, 4], 2).shape == (0, 3)
    assert qb.extract_interior_field(np.zeros((0, 3)), [2**31 - 1, 2, 2**31 - 1], 1).shape == (0, 3)
    with pytest.raises(TypeError):
        qb.compute_vorticity_grid(np.zeros((8, 3)), [2, 2], 0.1)


@pytest.mark.parametrize("name,args,text", [
    ("compute_biot_savart_velocity_grid", "curve: object, grid_points: object",
     "Compute Biot-Savart velocity field from a closed curve at grid points."),
    ("compute_vorticity_grid", "velocity: ", "Compute vorticity from velocity field on a regular grid."),
    ("extract_interior_field", "field: ", "Extract cubic interior field subset."),
    ("compute_helicity_invariants", "v_sub: ", "Compute helicity invariants (H_charge, H_mass, a_mu)."),
    ("compute_helicity_from_fourier_block", "block: ", "Compute helicity invariants from a Fourier block."),
])
def test_grid_docstrings(name, args, text):
    doc = getattr(qb, name).__doc__
    assert doc.startswith(name + "(" + args)
    assert doc.split("\n", 2)[2] == text + "\n"
