"""Evaluation and geometry of Fourier blocks against closed forms and short
NumPy computations of the same formulas."""
import numpy as np
import pytest

import _bindings

TWO_PI = 6.283185307179586

# Trefoil x = sin t + 2 sin 2t, y = cos t - 2 cos 2t, z = -sin 3t as rows
# a_x b_x a_y b_y a_z b_z of harmonics 1, 2, 3.
TREFOIL = np.array([[0, 1, 1, 0, 0, 0], [0, 2, -2, 0, 0, 0], [0, 0, 0, 0, 0, -1]], dtype=float)
CIRCLE = np.array([[1, 0, 0, 1, 0, 0]], dtype=float)


def make_block(rows):
    b = _bindings.FourierBlock()
    rows = np.asarray(rows, dtype=float).reshape(-1, 6)
    b.a_x, b.b_x, b.a_y, b.b_y, b.a_z, b.b_z = (rows[:, i].tolist() for i in range(6))
    return b


def np_derivs(rows, s, order):
    """order-th derivative of the series at parameters s, shape (len(s), 3)."""
    s = np.asarray(s, dtype=float)
    out = np.zeros((s.size, 3))
    for k, r in enumerate(np.asarray(rows, dtype=float)):
        w = k + 1
        c, n = np.cos(w * s), np.sin(w * s)
        # d^order/ds^order of a cos(ws) + b sin(ws)
        dc = [c, -w * n, -w * w * c, w ** 3 * n][order]
        dn = [n, w * c, -w * w * n, -(w ** 3) * c][order]
        for d in range(3):
            out[:, d] += r[2 * d] * dc + r[2 * d + 1] * dn
    return out


def np_curvature(rows, s):
    d1, d2 = np_derivs(rows, s, 1), np_derivs(rows, s, 2)
    return np.linalg.norm(np.cross(d1, d2), axis=1) / np.linalg.norm(d1, axis=1) ** 3


def np_length(rows, n):
    s = np.arange(n) * (TWO_PI / n)
    return np.sum(np.linalg.norm(np_derivs(rows, s, 1), axis=1)) * (TWO_PI / n)


def np_bending(rows, n):
    s = np.arange(n) * (TWO_PI / n)
    v = np.linalg.norm(np_derivs(rows, s, 1), axis=1)
    return np.sum(np_curvature(rows, s) ** 2 * v) * (TWO_PI / n)


def np_min_dist(P, window):
    P = np.asarray(P)
    N = len(P)
    i, j = np.triu_indices(N, 1)
    g = np.minimum(j - i, N - (j - i))
    keep = g > window
    if N <= 3 or not keep.any():
        return 0.0
    return float(np.min(np.linalg.norm(P[i[keep]] - P[j[keep]], axis=1)))


def np_writhe(P):
    P = np.asarray(P)
    dl = P[1:] - P[:-1]
    total = 0.0
    for a in range(len(dl)):
        r = P[a] - P[a + 1 : len(dl)]
        rn = np.linalg.norm(r, axis=1)
        ok = rn >= 1e-6
        cr = np.cross(dl[a], dl[a + 1 :])
        total += np.sum(np.einsum("ij,ij->i", cr[ok], r[ok]) / rn[ok] ** 3)
    return total / TWO_PI


def test_circle_closed_forms():
    b = make_block(CIRCLE)
    s = np.linspace(0, TWO_PI, 13)
    np.testing.assert_allclose(_bindings.evaluate_fourier_block(b, s.tolist()),
                               np.stack([np.cos(s), np.sin(s), 0 * s], 1), atol=1e-15)
    assert _bindings.length_exact(b) == pytest.approx(TWO_PI, rel=1e-13)
    assert _bindings.bending_energy_exact(b) == pytest.approx(TWO_PI, rel=1e-13)
    np.testing.assert_allclose(_bindings.curvature_exact(b, s.tolist()), 1.0, rtol=1e-14)
    assert _bindings.mode_energies(b) == [2.0]
    # n = 64 samples on the unit circle: neighbours beyond the window of 4 are
    # 5 steps apart, at chord length 2 sin(5 pi / 64).
    assert _bindings.min_self_distance_exactish(b, 10) == pytest.approx(2 * np.sin(5 * np.pi / 64), rel=1e-13)


def test_zero_first_row_is_harmonic_one():
    b = make_block([[0] * 6, [1, 0, 0, 1, 0, 0]])
    s = np.linspace(0, 3, 7)
    np.testing.assert_allclose(_bindings.evaluate_fourier_block(b, s.tolist()),
                               np.stack([np.cos(2 * s), np.sin(2 * s), 0 * s], 1), atol=1e-15)


def test_trefoil_against_numpy():
    b = make_block(TREFOIL)
    s = np.linspace(-1.0, 7.0, 41)
    np.testing.assert_allclose(_bindings.evaluate_fourier_block(b, s.tolist()), np_derivs(TREFOIL, s, 0), atol=1e-13)
    for si in (0.0, 0.7, 2.9):
        got = _bindings.evaluate_with_derivatives(b, si)
        assert isinstance(got, tuple) and len(got) == 4
        for order in range(4):
            np.testing.assert_allclose(got[order], np_derivs(TREFOIL, [si], order)[0], atol=1e-12)
    np.testing.assert_allclose(_bindings.curvature_exact(b, s.tolist()), np_curvature(TREFOIL, s), rtol=1e-12)
    assert _bindings.length_exact(b) == pytest.approx(np_length(TREFOIL, 4096), rel=1e-12)
    assert _bindings.length_exact(b, 100) == pytest.approx(np_length(TREFOIL, 100), rel=1e-12)
    assert _bindings.bending_energy_exact(b, 300) == pytest.approx(np_bending(TREFOIL, 300), rel=1e-12)
    assert _bindings.mode_energies(b) == [2.0, 8.0, 1.0]
    P = np_derivs(TREFOIL, np.arange(200) * TWO_PI / 200, 0)
    assert _bindings.min_self_distance_exactish(b, 200, 7) == pytest.approx(np_min_dist(P, 7), rel=1e-12)


def test_sample_floors():
    b = make_block(TREFOIL)
    assert _bindings.length_exact(b, 0) == pytest.approx(np_length(TREFOIL, 16), rel=1e-12)
    assert _bindings.length_exact(b, -5) == pytest.approx(np_length(TREFOIL, 16), rel=1e-12)
    assert np_length(TREFOIL, 16) != pytest.approx(np_length(TREFOIL, 4096), rel=1e-11)
    assert _bindings.bending_energy_exact(b, 0) == pytest.approx(np_bending(TREFOIL, 32), rel=1e-12)
    P64 = np_derivs(TREFOIL, np.arange(64) * TWO_PI / 64, 0)
    assert _bindings.min_self_distance_exactish(b, 0, 4) == pytest.approx(np_min_dist(P64, 4), rel=1e-12)


@pytest.mark.parametrize("nsamples,n,m", [(10, 64, 512), (200, 200, 800)])
def test_describe_fourier_block(nsamples, n, m):
    b = make_block(TREFOIL)
    d = _bindings.describe_fourier_block(b, nsamples, 4)
    P = np_derivs(TREFOIL, np.arange(n) * TWO_PI / n, 0)
    assert d.L == pytest.approx(np_length(TREFOIL, m), rel=1e-12)
    assert d.bending_energy == pytest.approx(np_bending(TREFOIL, m), rel=1e-12)
    assert d.min_self_distance == pytest.approx(np_min_dist(P, 4), rel=1e-12)
    assert d.writhe == pytest.approx(np_writhe(P), rel=1e-10, abs=1e-12)
    assert d.mode_energy == [2.0, 8.0, 1.0]
    with pytest.raises(AttributeError):
        d.L = 1.0
    with pytest.raises(TypeError):
        _bindings.GeometricDescriptors()


def test_lists_of_different_lengths():
    b = _bindings.FourierBlock()
    b.a_x = [1.0]
    b.b_y = [1.0, 0.0, 2.0]
    rows = np.array([[1, 0, 0, 1, 0, 0], [0] * 6, [0, 0, 0, 2, 0, 0]], dtype=float)
    r, d1, d2, d3 = _bindings.evaluate_with_derivatives(b, 0.4)
    for order, got in enumerate((r, d1, d2, d3)):
        np.testing.assert_allclose(got, np_derivs(rows, [0.4], order)[0], atol=1e-13)
    assert _bindings.mode_energies(b) == [2.0, 0.0, 4.0]
    # Evaluation takes its harmonic count from a_x; shorter lists read as zero.
    b2 = _bindings.FourierBlock()
    b2.a_x, b2.b_y = [1.0, 0.0], [1.0]
    np.testing.assert_allclose(_bindings.evaluate_fourier_block(b2, [0.3]), [[np.cos(0.3), np.sin(0.3), 0.0]])
    empty = _bindings.FourierBlock()
    assert _bindings.evaluate_fourier_block(empty, [0.0, 1.0]) == [[0.0, 0.0, 0.0]] * 2
    assert _bindings.evaluate_with_derivatives(empty, 1.0) == ([0.0] * 3,) * 4
    assert _bindings.mode_energies(empty) == []


def test_min_self_distance_sampled():
    rng = np.random.default_rng(3)
    P = rng.normal(size=(12, 3))
    for window in (-3, 0, 1, 4, 5):
        assert _bindings.min_self_distance_sampled(P.tolist(), window) == pytest.approx(np_min_dist(P, window))
    assert _bindings.min_self_distance_sampled(P[:3].tolist(), -1) == 0.0
    assert _bindings.min_self_distance_sampled(P[:8].tolist(), 4) == 0.0
    assert _bindings.min_self_distance_sampled(P[:8].tolist(), 3) == pytest.approx(np_min_dist(P[:8], 3))


def np_poly_curvature(P, eps):
    P = np.asarray(P, dtype=float)
    prev, nxt = np.roll(P, 1, axis=0), np.roll(P, -1, axis=0)
    d1 = (nxt - prev) / 2
    d2 = nxt - 2 * P + prev
    return np.linalg.norm(np.cross(d1, d2), axis=1) / (np.linalg.norm(d1, axis=1) ** 3 + eps)


def test_compute_curvature():
    rng = np.random.default_rng(5)
    P = rng.normal(size=(9, 3))
    got = _bindings.compute_curvature(P)
    assert isinstance(got, np.ndarray) and got.shape == (9,)
    np.testing.assert_allclose(got, np_poly_curvature(P, 1e-8), rtol=1e-13)
    np.testing.assert_allclose(_bindings.compute_curvature(P.astype(np.float32), eps=0.5),
                               np_poly_curvature(P.astype(np.float32), 0.5), rtol=1e-6)
    t = np.arange(7) * TWO_PI / 7
    gon = np.stack([np.cos(t), np.sin(t), 0 * t], 1)
    k = _bindings.compute_curvature(gon)
    np.testing.assert_allclose(k, k[0], rtol=1e-12)
    assert _bindings.compute_curvature(P[:2]).tolist() == [0.0, 0.0]
    assert _bindings.compute_curvature(np.zeros((0, 3))).shape == (0,)
    for bad in (np.zeros((4, 2)), np.zeros(3), np.zeros((2, 3, 1))):
        with pytest.raises(ValueError, match=r"^pd_from_curve: expected array with shape \(N,3\)$"):
            _bindings.compute_curvature(bad)
