"""Gravitational potential of vortex elements and time-dilation maps."""
import math

import numpy as np
import pytest

import _bindings as qb

C_E = 1093845.63
FLOOR = math.sqrt(1.0 - 0.999999)


def speeds(*fractions):
    return [[f * C_E, 0.0, 0.0] for f in fractions]


def ref_gradient(p, w, eps):
    p, w = np.asarray(p, float), np.asarray(w, float)
    out = []
    for i in range(len(p)):
        others = np.arange(len(p)) != i
        g = np.exp(-np.sum((p[i] - p[others]) ** 2, axis=1) / (2 * eps * eps))
        s = (w[others] * g[:, None]).sum(axis=0)
        out.append(-0.5 * s @ s)
    return np.array(out)


def ref_direct(p, w, eps):
    p, w = np.asarray(p, float), np.asarray(w, float)
    out = []
    for i in range(len(p)):
        others = np.arange(len(p)) != i
        r = p[i] - p[others]
        out.append(-np.sum(np.einsum("ij,ij->i", w[others], r) / (np.sum(r * r, axis=1) + eps * eps) ** 1.5) / (4 * np.pi))
    return np.array(out)


def test_sqrt_map_with_floor():
    f = qb.compute_time_dilation_map_sqrt(speeds(0.0, 0.6, 1.0, 2.0))
    assert f[0] == 1.0
    assert f[1] == pytest.approx(0.8, rel=1e-15)
    assert f[2] == FLOOR == 0.0010000000000143778
    assert f[3] == FLOOR
    assert qb.compute_time_dilation_map_sqrt([[3.0, 4.0, 0.0]], C_e=10.0) == pytest.approx([math.sqrt(0.75)])
    assert math.isnan(qb.compute_time_dilation_map_sqrt([[0.0, 0.0, 0.0]], 0.0)[0])


def test_linear_map_has_no_floor():
    f = qb.compute_time_dilation_map_linear(speeds(0.0, 0.6, 1.0, 2.0), C_E)
    assert f == pytest.approx([1.0, 0.64, 0.0, -3.0], rel=1e-14, abs=1e-15)
    with pytest.raises(TypeError):
        qb.compute_time_dilation_map_linear(speeds(0.5))


def test_single_position_gives_negative_zero():
    for fn in (qb.compute_gravitational_potential_gradient, qb.compute_gravitational_potential_direct):
        (phi,) = fn([[1.0, 2.0, 3.0]], [[1.0, 0.0, 0.0]])
        assert phi == 0.0 and math.copysign(1.0, phi) == -1.0


def test_two_positions_closed_forms():
    d, eps = 0.7, 0.4
    p = [[0.0, 0.0, 0.0], [d, 0.0, 0.0]]
    w = [[1.0, 0.0, 0.0], [1.0, 0.0, 0.0]]
    # -|S|^2/2 with S = exp(-d^2/(2 eps^2)): -0.5 exp(-d^2/eps^2).
    assert qb.compute_gravitational_potential_gradient(p, w, epsilon=eps) == pytest.approx(
        [-0.5 * math.exp(-d * d / (eps * eps))] * 2, rel=1e-14)
    direct = d / (4 * math.pi * (d * d + eps * eps) ** 1.5)
    assert qb.compute_gravitational_potential_direct(p, w, epsilon=eps) == pytest.approx([direct, -direct], rel=1e-14)


def test_random_elements_against_numpy():
    rng = np.random.default_rng(3)
    p = rng.normal(size=(25, 3)).tolist()
    w = rng.normal(size=(25, 3)).tolist()
    np.testing.assert_allclose(qb.compute_gravitational_potential_gradient(p, w, 0.8), ref_gradient(p, w, 0.8), rtol=1e-12)
    np.testing.assert_allclose(qb.compute_gravitational_potential_direct(p, w), ref_direct(p, w, 0.1), rtol=1e-12)
    # Defaults: epsilon 7e-07 for the Gaussian form (no neighbour within reach here).
    assert qb.compute_gravitational_potential_gradient(p, w) == [-0.0] * 25


def test_backward_compatible_names_and_defaults():
    rng = np.random.default_rng(4)
    p = (rng.normal(size=(10, 3)) * 1e-6).tolist()
    w = rng.normal(size=(10, 3)).tolist()
    assert qb.compute_gravitational_potential(p, w) == qb.compute_gravitational_potential_gradient(p, w)
    assert qb.compute_gravitational_potential(p, w, 0.3) == qb.compute_gravitational_potential_gradient(p, w, 0.3)
    t = speeds(0.1, 0.5, 0.99, 1.5)
    assert qb.compute_time_dilation_map(t) == qb.compute_time_dilation_map_sqrt(t)
    assert qb.compute_time_dilation_map(t, C_e=2 * C_E) == qb.compute_time_dilation_map_sqrt(t, 2 * C_E)


def test_empty_lists():
    assert qb.compute_gravitational_potential_direct([], []) == []
    assert qb.compute_time_dilation_map_linear([], 1.0) == []


@pytest.mark.parametrize(
    "name",
    ["compute_gravitational_potential_gradient", "compute_gravitational_potential_direct",
     "compute_gravitational_potential"],
)
def test_short_vorticity_list_is_refused(name):
    with pytest.raises(ValueError, match=rf"^{name}: vorticity has fewer entries than positions$"):
        getattr(qb, name)([[0, 0, 0], [1, 0, 0]], [[1, 0, 0]])
    # A longer vorticity list is read at the positions' indices only.
    assert getattr(qb, name)([[0, 0, 0]], [[1, 0, 0], [5, 5, 5]]) == [-0.0]


def test_docstrings_and_order():
    texts = [
        ("compute_gravitational_potential_gradient", "Compute Ætheric gravitational potential field from vorticity gradients."),
        ("compute_time_dilation_map_sqrt", "Compute time dilation factors from knot tangential velocities (sqrt method)."),
        ("compute_gravitational_potential_direct", "Compute Æther gravitational potential field from vorticity."),
        ("compute_time_dilation_map_linear", "Compute local time dilation factor map from tangential velocities."),
        ("compute_gravitational_potential", "Compute Ætheric gravitational potential field (backward compatibility)."),
        ("compute_time_dilation_map", "Compute time dilation factors (backward compatibility)."),
    ]
    for name, text in texts:
        assert getattr(qb, name).__doc__.split("\n", 2)[2] == "\n            " + text + "\n        \n"
    names = list(vars(qb))
    pos = [names.index(n) for n, _ in texts]
    assert pos == sorted(pos)
