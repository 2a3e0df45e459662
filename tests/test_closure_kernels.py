"""Closure energies of closed polylines and the Biot–Savart cutoff-energy scan."""
import math

import numpy as np
import pytest

import _bindings as qb

FOUR_PI = 4.0 * math.pi
EIGHT_PI = 8.0 * math.pi

SQUARE = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], dtype=float)


def trefoil(n):
    s = np.linspace(0.0, 2.0 * np.pi, n, endpoint=False)
    return np.stack([np.sin(s) + 2 * np.sin(2 * s), np.cos(s) - 2 * np.cos(2 * s), -np.sin(3 * s)], axis=1)


# --- NumPy references of the pair sums (closed loop, dl_i = p_{i+1} - p_i) ---

def ref_neumann(p, a):
    dl = np.roll(p, -1, axis=0) - p
    i, j = np.triu_indices(len(p), 1)
    r = p[j] - p[i]
    return float(np.sum(2.0 * np.einsum("ij,ij->i", dl[i], dl[j]) / np.sqrt(np.einsum("ij,ij->i", r, r) + a * a)))


def ref_writhe(p, a):
    dl = np.roll(p, -1, axis=0) - p
    i, j = np.triu_indices(len(p), 1)
    r = p[j] - p[i]
    u = np.sqrt(np.einsum("ij,ij->i", r, r) + a * a)
    return float(np.sum(2.0 * np.einsum("ij,ij->i", np.cross(dl[i], dl[j]), r) / u**3) / FOUR_PI)


def ref_repulsion(p, a):
    n = len(p)
    i, j = np.triu_indices(n, 2)
    keep = ~((i == 0) & (j == n - 1))
    d = np.linalg.norm(p[j[keep]] - p[i[keep]], axis=1)
    s = 2 * a / np.maximum(d, 1e-30)
    return float(np.sum(np.where(s > 0.1, s**12, 0.0)))


def ref_menger(p):
    prev, nxt = np.roll(p, 1, axis=0), np.roll(p, -1, axis=0)
    e1, e2 = p - prev, nxt - p
    l1, l2, l3 = (np.linalg.norm(v, axis=1) for v in (e1, e2, nxt - prev))
    kappa = 2 * np.linalg.norm(np.cross(e1, e2), axis=1) / (l1 * l2 * l3)
    return float(np.sum(0.5 * (l1 + l2) * kappa**2))


def ref_scan(p, t, ds, cutoffs):
    """E(a) = 1/(8 pi) sum over ordered pairs i != j with d_ij > a of (t_i.t_j) ds_i ds_j / d_ij."""
    diff = p[:, None, :] - p[None, :, :]
    d = np.sqrt(np.einsum("ijk,ijk->ij", diff, diff))
    w = (t @ t.T) * ds[:, None] * ds[None, :]
    off = d > 0
    return np.array([np.sum(w[off & (d > a)] / d[off & (d > a)]) / EIGHT_PI for a in cutoffs])


def ring(n, radius=1.0):
    s = np.linspace(0.0, 2.0 * np.pi, n, endpoint=False)
    p = radius * np.stack([np.cos(s), np.sin(s), np.zeros_like(s)], axis=1)
    t = np.stack([-np.sin(s), np.cos(s), np.zeros_like(s)], axis=1)
    ds = np.full(n, 2.0 * np.pi * radius / n)
    return p, t, ds


# --- polyline kernels ---

def test_unit_square_closed_forms():
    assert qb.calculate_length(SQUARE) == pytest.approx(4.0)
    assert qb.calculate_writhe(SQUARE, 0.3) == pytest.approx(0.0, abs=1e-15)
    assert qb.calculate_curvature_penalty(SQUARE) == pytest.approx(8.0)
    assert qb.calculate_core_repulsion(SQUARE, 0.5) == pytest.approx(0.03125)


def test_two_vertices():
    L, rc = 1.7, 0.4
    p = np.array([[0, 0, 0], [L, 0, 0]])
    assert qb.calculate_neumann_self_energy(p, rc) == pytest.approx(-2 * L * L / math.sqrt(L * L + rc * rc))
    assert qb.calculate_length(p) == pytest.approx(2 * L)


@pytest.mark.parametrize("rc", [0.05, 0.3, 1.0])
def test_trefoil_against_numpy(rc):
    p = trefoil(60)
    assert qb.calculate_neumann_self_energy(p, rc) == pytest.approx(ref_neumann(p, rc), rel=1e-12)
    assert qb.calculate_writhe(p, rc) == pytest.approx(ref_writhe(p, rc), rel=1e-10)
    assert qb.calculate_core_repulsion(p, rc) == pytest.approx(ref_repulsion(p, rc), rel=1e-12)
    assert qb.calculate_curvature_penalty(p) == pytest.approx(ref_menger(p), rel=1e-12)
    assert qb.calculate_length(p) == pytest.approx(np.sum(np.linalg.norm(np.roll(p, -1, 0) - p, axis=1)))


def test_writhe_is_odd_under_mirror():
    p = trefoil(80)
    mirrored = p * np.array([1.0, 1.0, -1.0])
    assert qb.calculate_writhe(p, 0.1) == pytest.approx(-qb.calculate_writhe(mirrored, 0.1), rel=1e-12)
    assert abs(qb.calculate_writhe(p, 0.1)) > 1.0


@pytest.mark.parametrize("rows", [0, 1])
def test_degenerate_polylines_give_zero(rows):
    p = np.zeros((rows, 3))
    assert qb.calculate_neumann_self_energy(p, 0.1) == 0.0
    assert qb.calculate_core_repulsion(p, 0.1) == 0.0
    assert qb.calculate_length(p) == 0.0
    assert qb.calculate_writhe(p, 0.1) == 0.0
    assert qb.calculate_curvature_penalty(p) == 0.0


def test_triangle_has_no_repulsion_and_two_points_no_curvature():
    assert qb.calculate_core_repulsion(np.eye(3), 10.0) == 0.0
    assert qb.calculate_curvature_penalty(np.array([[0, 0, 0], [1, 0, 0]])) == 0.0


def test_integer_and_fortran_arrays_are_cast():
    p = trefoil(30)
    assert qb.calculate_length(np.asfortranarray(p)) == qb.calculate_length(p)
    assert qb.calculate_length(np.array([[0, 0, 0], [3, 4, 0]])) == pytest.approx(10.0)


@pytest.mark.parametrize(
    "fn,args",
    [
        ("calculate_neumann_self_energy", (0.1,)),
        ("calculate_core_repulsion", (0.1,)),
        ("calculate_length", ()),
        ("calculate_writhe", (0.1,)),
        ("calculate_curvature_penalty", ()),
    ],
)
def test_polyline_shape_errors(fn, args):
    f = getattr(qb, fn)
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 1; expected 2$"):
        f(np.zeros(3), *args)
    with pytest.raises(RuntimeError, match=rf"^{fn}: points must have shape \(N, 3\)$"):
        f(np.zeros((4, 2)), *args)
    with pytest.raises(TypeError):
        f("not an array", *args)


# --- cutoff-energy scan ---

def test_scan_of_ring_matches_direct_double_sum():
    p, t, ds = ring(90)
    cutoffs = np.array([0.0, 0.05, 0.3, 0.9, 1.5, 1.99])
    e = qb.calculate_bs_cutoff_energy_scan(p, t, ds, cutoffs)
    assert e.shape == (6,) and e.dtype == np.float64
    np.testing.assert_allclose(e, ref_scan(p, t, ds, cutoffs), rtol=1e-12, atol=1e-15)
    for a, ea in zip(cutoffs, e):
        assert qb.calculate_bs_cutoff_energy(p, t, ds, float(a)) == pytest.approx(ea, rel=1e-12, abs=1e-15)


def test_scan_with_uneven_and_repeated_cutoffs():
    rng = np.random.default_rng(7)
    p = trefoil(70) + rng.normal(scale=0.01, size=(70, 3))
    t = rng.normal(size=(70, 3))
    ds = rng.uniform(0.1, 0.3, size=70)
    # Clustered, log-spaced and repeated cutoffs, some beyond every distance.
    cutoffs = np.sort(np.concatenate([np.geomspace(1e-3, 10.0, 40), [0.5] * 5, np.linspace(0.49, 0.51, 30), [-1.0]]))
    e = qb.calculate_bs_cutoff_energy_scan(p, t, ds, cutoffs)
    np.testing.assert_allclose(e, ref_scan(p, t, ds, cutoffs), rtol=1e-10, atol=1e-13)


@pytest.mark.parametrize("start,stop,m", [(0.0, 2.2, 150), (-0.5, 1.7, 97), (0.3, 0.31, 40)])
def test_scan_with_evenly_spread_cutoffs_over_long_rows(start, stop, m):
    # More vertices than one row chunk, and cutoffs spread one per bucket.
    rng = np.random.default_rng(11)
    p = trefoil(700) + rng.normal(scale=0.002, size=(700, 3))
    t = np.roll(p, -1, axis=0) - p
    ds = np.linalg.norm(t, axis=1)
    cutoffs = np.linspace(start, stop, m)
    e = qb.calculate_bs_cutoff_energy_scan(p, t, ds, cutoffs)
    np.testing.assert_allclose(e, ref_scan(p, t, ds, cutoffs), rtol=1e-10, atol=1e-12)


def test_pair_at_exactly_the_cutoff_is_removed():
    p = np.array([[0.0, 0, 0], [1.0, 0, 0]])
    t = np.array([[0.0, 1, 0], [0.0, 1, 0]])
    ds = np.array([0.5, 0.5])
    e = qb.calculate_bs_cutoff_energy_scan(p, t, ds, [0.5, 1.0, 1.5])
    np.testing.assert_allclose(e, [2 * 0.25 / EIGHT_PI, 0.0, 0.0], rtol=1e-15)


def test_scan_full_and_empty_ends():
    p, t, ds = ring(40)
    full = ref_scan(p, t, ds, [0.0])[0]
    e = qb.calculate_bs_cutoff_energy_scan(p, t, ds, [0.0, 5.0])
    assert e[0] == pytest.approx(full, rel=1e-12) and e[1] == 0.0
    assert qb.calculate_bs_cutoff_energy(p, t, ds, 0.0) == pytest.approx(full, rel=1e-12)
    assert qb.calculate_bs_cutoff_energy_scan(p, t, ds, np.array([])).shape == (0,)


def test_scan_skips_coincident_vertices_and_short_filaments():
    p = np.array([[0.0, 0, 0], [0.0, 0, 0], [2.0, 0, 0]])
    t = np.ones((3, 3))
    ds = np.ones(3)
    np.testing.assert_allclose(qb.calculate_bs_cutoff_energy_scan(p, t, ds, [0.0]), ref_scan(p, t, ds, [0.0]))
    np.testing.assert_array_equal(qb.calculate_bs_cutoff_energy_scan(p[:1], t[:1], ds[:1], [0.0, 1.0]), [0.0, 0.0])


@pytest.mark.parametrize("fn", ["calculate_bs_cutoff_energy_scan", "calculate_bs_cutoff_energy"])
def test_scan_checks_in_order(fn):
    f = getattr(qb, fn)
    cut = [0.1] if fn.endswith("scan") else 0.1
    p, t, ds = ring(8)
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 1; expected 2$"):
        f(p[:, 0], t, ds, cut)
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 2; expected 1$"):
        f(p, t, ds[:, None], cut)
    with pytest.raises(RuntimeError, match=rf"^{fn}: inconsistent N dimensions$"):
        f(p, t, ds[:-1], cut)
    # Row counts are compared before columns.
    with pytest.raises(RuntimeError, match=rf"^{fn}: inconsistent N dimensions$"):
        f(p[:, :2], t[:-1], ds, cut)
    with pytest.raises(RuntimeError, match=rf"^{fn}: points/tangents must have shape \(N, 3\)$"):
        f(p[:, :2], t, ds, cut)
    with pytest.raises(RuntimeError, match=rf"^{fn}: points/tangents must have shape \(N, 3\)$"):
        f(p, t[:, :2], ds, cut)


def test_scan_a_values_must_be_one_dimensional():
    p, t, ds = ring(8)
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 2; expected 1$"):
        qb.calculate_bs_cutoff_energy_scan(p, t, ds, [[0.1, 0.2]])


@pytest.mark.parametrize("cutoffs", [[0.3, 0.1], [0.1, math.nan], [math.inf], [0.0, -math.inf], [0.2, 0.2, 0.1]])
def test_scan_refuses_unordered_or_non_finite_cutoffs(cutoffs):
    p, t, ds = ring(8)
    with pytest.raises(ValueError, match=r"^calculate_bs_cutoff_energy_scan: a_values must be finite and in non-decreasing order$"):
        qb.calculate_bs_cutoff_energy_scan(p, t, ds, cutoffs)


@pytest.mark.parametrize("a", [math.nan, math.inf, -math.inf])
def test_single_cutoff_must_be_finite(a):
    p, t, ds = ring(8)
    with pytest.raises(ValueError, match=r"^calculate_bs_cutoff_energy: a_cutoff must be finite$"):
        qb.calculate_bs_cutoff_energy(p, t, ds, a)


def test_docstrings_and_registration_order():
    texts = {
        "calculate_neumann_self_energy": "Calculate Neumann integral C_N(K) (trefoil_closure/qel_core compatibility).",
        "calculate_core_repulsion": "Hard-core volume repulsion (trefoil_closure/qel_core compatibility).",
        "calculate_length": "Closed polyline length L(K) (trefoil_closure/qel_core compatibility).",
        "calculate_writhe": "Topological writhe H(K) with distance regularization rc "
        "(trefoil_closure/qel_core compatibility).",
        "calculate_curvature_penalty": "Menger curvature penalty integral (trefoil_closure/qel_core compatibility).",
        "calculate_bs_cutoff_energy": "Single-cutoff Biot–Savart energy for closure scans.",
    }
    for name, text in texts.items():
        # Signature line, blank line, the registered text.
        assert getattr(qb, name).__doc__.split("\n", 2)[2] == text + "\n"
    scan_doc = qb.calculate_bs_cutoff_energy_scan.__doc__.split("\n", 2)[2]
    assert scan_doc.count("\n") == 1 and "one native pass" in scan_doc and "trefoil_closure/qel_core" in scan_doc
    names = list(vars(qb))
    order = ["biot_savart_velocity_grid", "calculate_neumann_self_energy", "calculate_core_repulsion",
             "calculate_length", "calculate_writhe", "calculate_curvature_penalty",
             "calculate_bs_cutoff_energy_scan", "calculate_bs_cutoff_energy"]
    pos = [names.index(n) for n in order]
    assert pos == sorted(pos)


def test_scan_with_non_finite_vertices_stays_in_range():
    p, t, ds = ring(12)
    p[3] = [math.nan, 0.0, 0.0]
    p[7] = [math.inf, 0.0, 0.0]
    cutoffs = np.linspace(0.0, 2.0, 50)
    e = qb.calculate_bs_cutoff_energy_scan(p, t, ds, cutoffs)
    assert e.shape == (50,)
    # NaN distances lie above no cutoff and infinite ones carry zero weight.
    finite = np.ones(12, bool)
    finite[[3, 7]] = False
    np.testing.assert_allclose(e, ref_scan(p[finite], t[finite], ds[finite], cutoffs), rtol=1e-12, atol=1e-15)
