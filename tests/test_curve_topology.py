"""Writhe, linking number, twist, reconnection candidates and the Gauss
writhe of sampled curves, checked against NumPy sums of the same formulas."""
import math

import numpy as np
import pytest

import _bindings

TWO_PI = 6.283185307179586
FOUR_PI = 12.566370614359172


def circle(n, center=(0, 0, 0), plane="xy", reverse=False):
    t = np.arange(n + 1) * TWO_PI / n  # first point repeated at the end
    if reverse:
        t = -t
    c, s, z = np.cos(t), np.sin(t), np.zeros_like(t)
    pts = {"xy": (c, s, z), "xz": (c, z, s), "yz": (z, c, s)}[plane]
    return np.stack(pts, 1) + np.asarray(center, dtype=float)


def np_gauss_sum(A, B):
    A, B = np.asarray(A, float), np.asarray(B, float)
    dA, dB = A[1:] - A[:-1], B[1:] - B[:-1]
    r = A[:-1, None, :] - B[None, :-1, :]
    rn = np.linalg.norm(r, axis=2)
    cr = np.cross(dA[:, None, :], dB[None, :, :])
    term = np.einsum("abk,abk->ab", cr, r) / np.where(rn < 1e-6, 1.0, rn) ** 3
    return float(np.sum(np.where(rn < 1e-6, 0.0, term)))


def np_writhe(P):
    P = np.asarray(P, float)
    M = len(P) - 1
    total = 0.0
    for a in range(M - 1):
        for b in range(a + 1, M):
            r = P[a] - P[b]
            rn = np.linalg.norm(r)
            if rn < 1e-6:
                continue
            total += np.dot(np.cross(P[a + 1] - P[a], P[b + 1] - P[b]), r) / rn ** 3
    return total / TWO_PI


def half_away(x):
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


def trefoil(n):
    t = np.arange(n + 1) * TWO_PI / n
    return np.stack([np.sin(t) + 2 * np.sin(2 * t), np.cos(t) - 2 * np.cos(2 * t), -np.sin(3 * t)], 1)


def test_writhe():
    rng = np.random.default_rng(11)
    planar = np.column_stack([rng.normal(size=(30, 2)), np.full(30, 0.7)])
    assert _bindings.compute_writhe(planar.tolist()) == 0.0
    assert _bindings.compute_writhe([[0, 0, 0], [1, 2, 3]]) == 0.0
    assert _bindings.compute_writhe([[0, 0, 0], [1, 1, 1], [2, 2, 2]]) == 0.0
    assert _bindings.compute_writhe([]) == 0.0
    P = trefoil(60)
    assert _bindings.compute_writhe(P) == pytest.approx(np_writhe(P), rel=1e-12)
    assert _bindings.compute_writhe(P.tolist()) == _bindings.compute_writhe(P)
    # Mirroring the curve flips the sign of the writhe.
    assert _bindings.compute_writhe((P * [1, 1, -1]).tolist()) == pytest.approx(-np_writhe(P), rel=1e-12)
    with pytest.raises(TypeError):
        _bindings.compute_writhe(points=P.tolist())


def test_linking_number_of_hopf_and_unlinked_rings():
    A = circle(64)
    B = circle(64, center=(1, 0, 0), plane="xz")
    expected = half_away(np_gauss_sum(A, B) / FOUR_PI)
    assert abs(expected) == 1
    assert _bindings.compute_linking_number(A.tolist(), B.tolist()) == expected
    assert _bindings.compute_linking_number(A.tolist(), circle(64, (1, 0, 0), "xz", reverse=True).tolist()) == -expected
    assert _bindings.compute_linking_number(B.tolist(), A.tolist()) == expected
    far = circle(64, center=(10, 0, 0), plane="xz")
    assert _bindings.compute_linking_number(A.tolist(), far.tolist()) == 0
    assert _bindings.compute_linking_number([[0, 0, 0]], B.tolist()) == 0
    assert _bindings.compute_linking_number(A.tolist(), []) == 0


def test_linking_number_rounds_half_away_from_zero():
    rng = np.random.default_rng(2)
    values = []
    for _ in range(40):
        A, B = rng.normal(size=(6, 3)) * 0.5, rng.normal(size=(6, 3)) * 0.5
        x = np_gauss_sum(A, B) / FOUR_PI
        values.append(x)
        assert _bindings.compute_linking_number(A.tolist(), B.tolist()) == half_away(x)
    assert min(values) < -0.5 and max(values) > 0.5


def test_linking_number_of_non_finite_points_is_refused():
    A = circle(8)
    A[3] = [np.nan, 0, 0]
    with pytest.raises(ValueError, match="compute_linking_number"):
        _bindings.compute_linking_number(A.tolist(), circle(8, (1, 0, 0), "xz").tolist())


def np_twist(X, V):
    X, V = np.asarray(X, float), np.asarray(V, float)
    total = 0.0
    for i in range(1, len(X) - 1):
        dV = (V[i + 1] - V[i - 1]) * 0.5
        total += np.dot(np.cross(X[i], dV), V[i])
    return total / TWO_PI


def test_twist():
    rng = np.random.default_rng(4)
    X, V = rng.normal(size=(10, 3)), rng.normal(size=(12, 3))
    assert _bindings.compute_twist(X.tolist(), V.tolist()) == pytest.approx(np_twist(X, V[:10]), rel=1e-12)
    # Three points: the single term i = 1.
    one = np.dot(np.cross(X[1], (V[2] - V[0]) * 0.5), V[1]) / TWO_PI
    assert _bindings.compute_twist(X[:3].tolist(), V[:3].tolist()) == pytest.approx(one, rel=1e-13)
    assert _bindings.compute_twist(X[:2].tolist(), V[:2].tolist()) == 0.0
    with pytest.raises(ValueError, match="compute_twist"):
        _bindings.compute_twist(X.tolist(), V[:9].tolist())


def test_centerline_helicity_is_writhe():
    P = trefoil(40)
    assert _bindings.compute_centerline_helicity(P.tolist(), []) == _bindings.compute_writhe(P.tolist())
    assert _bindings.compute_centerline_helicity(P.tolist(), [[1, 2, 3]]) == _bindings.compute_writhe(P.tolist())


def test_reconnection_candidates():
    rng = np.random.default_rng(9)
    P = rng.uniform(size=(40, 3))
    got = _bindings.detect_reconnection_candidates(P.tolist(), 0.3)
    assert all(isinstance(p, tuple) and len(p) == 2 for p in got)
    expected = [(i, j) for i in range(40) for j in range(i + 5, 40) if np.linalg.norm(P[i] - P[j]) < 0.3]
    assert got == expected and got
    # Exactly at the threshold is not a candidate; neighbours closer than 5 never pair.
    line = [[float(k), 0.0, 0.0] for k in range(8)]
    assert _bindings.detect_reconnection_candidates(line, 5.0) == []
    assert _bindings.detect_reconnection_candidates(line, 5.0000001) == [(0, 5), (1, 6), (2, 7)]
    closed = circle(5)  # six points, the last repeating the first
    assert _bindings.detect_reconnection_candidates(closed.tolist(), 1e-9) == [(0, 5)]
    assert _bindings.detect_reconnection_candidates([], 1.0) == []


def np_gauss_writhe(X, T):
    X, T = np.asarray(X, float), np.asarray(T, float)
    N = len(X)
    total = 0.0
    for i in range(N):
        for j in range(N):
            r = X[i] - X[j]
            rn = np.linalg.norm(r)
            if i != j and rn >= 1e-6:
                total += np.dot(np.cross(T[i], T[j]), r) / rn ** 3
    ds = TWO_PI / N
    return ds * ds * total / FOUR_PI


def test_writhe_gauss_curve():
    n = 48
    t = np.arange(n) * TWO_PI / n
    X = trefoil(n)[:-1]
    T = np.stack([np.cos(t) + 4 * np.cos(2 * t), -np.sin(t) + 4 * np.sin(2 * t), -3 * np.cos(3 * t)], 1)
    assert _bindings.writhe_gauss_curve(X.tolist(), T.tolist()) == pytest.approx(np_gauss_writhe(X, T), rel=1e-12)
    assert math.isnan(_bindings.writhe_gauss_curve([], []))
    assert _bindings.writhe_gauss_curve([[1, 2, 3]], [[0, 0, 1]]) == 0.0
    with pytest.raises(ValueError, match="writhe_gauss_curve"):
        _bindings.writhe_gauss_curve(X.tolist(), T[:-1].tolist())


def test_positional_only_and_docstrings():
    with pytest.raises(TypeError):
        _bindings.detect_reconnection_candidates(points=[], threshold=1.0)
    with pytest.raises(TypeError):
        _bindings.compute_linking_number([[0, 0]], [])
    assert ") -> float\n\n\n        Compute the writhe of a closed filament (topological self-linking).\n    " in (
        _bindings.compute_writhe.__doc__)
    assert ") -> float\n\nCompute writhe via Gauss integral" in _bindings.writhe_gauss_curve.__doc__
