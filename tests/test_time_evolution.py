"""Filament time evolution: Euler steps of the self-induced Biot–Savart flow."""
import numpy as np
import pytest

import _bindings as qb

INV_FOUR_PI = 1.0 / (4.0 * np.pi)


def ring(n, radius=1.0):
    s = np.linspace(0.0, 2.0 * np.pi, n, endpoint=False)
    p = radius * np.stack([np.cos(s), np.sin(s), 0.1 * np.sin(2 * s)], axis=1)
    t = np.roll(p, -1, axis=0) - p
    return p, t


def ref_velocities(p, t, gamma):
    """v_i = sum over j of gamma (t_j x R)/(4 pi |R|^3), R = p_i - p_j, elements with |R| <= 1e-6 skipped."""
    v = np.zeros_like(p)
    for i in range(len(p)):
        R = p[i] - p
        s = np.linalg.norm(R, axis=1)
        keep = s > 1e-6
        v[i] = np.sum(np.cross(t[keep], R[keep]) * (gamma * INV_FOUR_PI / s[keep] ** 3)[:, None], axis=0)
    return v


def ref_unit_tangents(p):
    t = np.empty_like(p)
    d = p[2:] - p[:-2]
    t[1:-1] = d / np.linalg.norm(d, axis=1)[:, None]
    t[0], t[-1] = t[1], t[-2]
    return t


def test_steps_not_positive_change_nothing():
    p, t = ring(12)
    te = qb.TimeEvolution(p.tolist(), t.tolist(), 2.0)
    te.evolve(0.1, 0)
    te.evolve(0.1, -3)
    assert te.get_positions() == p.tolist()
    assert te.get_tangents() == t.tolist()


@pytest.mark.parametrize("gamma,dt", [(0.0, 0.5), (1.0, 0.0)])
def test_still_filament_gets_unit_central_tangents(gamma, dt):
    p, t = ring(10)
    te = qb.TimeEvolution(p.tolist(), t.tolist(), gamma)
    te.evolve(dt, 1)
    assert te.get_positions() == p.tolist()
    np.testing.assert_allclose(te.get_tangents(), ref_unit_tangents(p), rtol=1e-14)


def test_steps_against_numpy():
    p, t = ring(16)
    gamma, dt = 0.7, 0.05
    te = qb.TimeEvolution(p.tolist(), t.tolist(), gamma)
    te.evolve(dt, 3)
    # The first step uses the given tangents, later steps the refreshed unit tangents.
    q, tan = p.copy(), t.copy()
    for _ in range(3):
        q = q + ref_velocities(q, tan, gamma) * dt
        tan = ref_unit_tangents(q)
    np.testing.assert_allclose(te.get_positions(), q, rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(te.get_tangents(), tan, rtol=1e-12, atol=1e-14)


def test_split_steps_and_default_gamma():
    p, t = ring(9)
    a = qb.TimeEvolution(p.tolist(), t.tolist())
    b = qb.TimeEvolution(p.tolist(), t.tolist(), 1.0)
    a.evolve(0.02, 1)
    a.evolve(0.02, 1)
    b.evolve(0.02, 2)
    assert a.get_positions() == b.get_positions()
    assert a.get_tangents() == b.get_tangents()


def test_three_point_filament():
    p = [[0.0, 0.0, 0.0], [1.0, 0.5, 0.0], [2.0, 0.0, 0.3]]
    t = [[1.0, 0.0, 0.0], [1.0, 0.0, 0.0], [1.0, 0.0, 0.0]]
    te = qb.TimeEvolution(p, t, 1.0)
    te.evolve(0.1, 1)
    q = np.array(te.get_positions())
    unit = (q[2] - q[0]) / np.linalg.norm(q[2] - q[0])
    np.testing.assert_allclose(te.get_tangents(), [unit] * 3, rtol=1e-14)


@pytest.mark.parametrize("n", [0, 1])
def test_fewer_than_two_positions_keep_their_state(n):
    p = [[1.0, 2.0, 3.0]][:n]
    t = [[0.5, 0.0, 0.0]][:n]
    te = qb.TimeEvolution(p, t, 1.0)
    te.evolve(0.1, 5)
    assert te.get_positions() == p
    assert te.get_tangents() == t


def test_short_tangent_list_is_refused_at_construction():
    with pytest.raises(ValueError, match=r"^TimeEvolution: initial_tangents has fewer entries than initial_positions$"):
        qb.TimeEvolution([[0, 0, 0], [1, 0, 0]], [[1, 0, 0]], 1.0)


def test_getters_return_copies_and_argument_types():
    p, t = ring(6)
    te = qb.TimeEvolution(initial_positions=p.tolist(), initial_tangents=t.tolist(), gamma=1.0)
    got = te.get_positions()
    got[0][0] = 99.0
    assert te.get_positions() == p.tolist()
    te.evolve(dt=0.01, steps=1)
    with pytest.raises(TypeError):
        te.evolve(0.01, 1.5)
    with pytest.raises(TypeError):
        te.evolve(0.01, 2**31)
    assert not [n for n in vars(te.__class__) if n in ("positions", "tangents", "gamma")]
