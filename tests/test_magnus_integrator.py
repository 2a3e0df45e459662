"""MagnusBernoulliIntegrator: both force laws and their branches, against the formulas in Python."""
import math

import pytest

import _bindings as qb

NAN = float("nan")
MBI = qb.MagnusBernoulliIntegrator


def same(a, b):
    return len(a) == len(b) and all(
        (math.isnan(x) and math.isnan(y)) or (x == y and math.copysign(1.0, x) == math.copysign(1.0, y))
        for x, y in zip(a, b)
    )


def ref_magnus(rho_f, gamma, tangent, normal, radius, v_knot, v_bg):
    d = [v_knot[i] - v_bg[i] for i in range(3)]
    t = tangent
    c = [t[1] * d[2] - t[2] * d[1], t[2] * d[0] - t[0] * d[2], t[0] * d[1] - t[1] * d[0]]
    n = [0.0, 0.0, 0.0]
    if radius > 1e-30:
        k = 1.0 / radius
        n = [x * k for x in normal]
    s = rho_f * gamma
    return [(c[i] + n[i]) * s for i in range(3)]


def ref_accel(v_swirl, r_c, p, q):
    d = [p[i] - q[i] for i in range(3)]
    r = math.sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2])
    if r < 1e-30:
        return [0.0, 0.0, 0.0]
    e = (r / r_c) * (-2.0)
    if e < -700:
        return [0.0, 0.0, 0.0]
    inv = 1.0 / r
    u = [x * inv for x in d]
    a = -(v_swirl * v_swirl / r) * math.exp(e)
    return [a * x for x in u]


T = [0.6, -0.8, 0.0]
N = [0.0, 0.3, -0.4]
VK = [1.5, 2.0, -0.5]
VB = [-0.25, 0.5, 1.0]


@pytest.mark.parametrize("radius", [2.0, 1e-3, 1e-29, 1e-30, 0.0, -1.0, NAN, math.inf])
def test_magnus_force(radius):
    mbi = MBI(7e-7, 1093845.63, 1.40897017e-15, 2.5)
    got = mbi.compute_magnus_force(T, N, radius, VK, VB)
    assert same(got, ref_magnus(7e-7, 2.5, T, N, radius, VK, VB))


def test_magnus_force_ignores_the_normal_for_small_radii():
    mbi = MBI(rho_f=1.0, v_swirl=0.0, r_c=1.0, Gamma=2.0)
    for radius in (0.0, -3.0, NAN, 1e-30):
        got = mbi.compute_magnus_force(tangent=[1, 0, 0], normal=[5, 5, 5], curvature_radius=radius,
                                       v_knot=[0, 1, 0], v_bg=[0, 0, 0])
        assert got == [0.0, 0.0, 2.0]
    assert mbi.compute_magnus_force([1, 0, 0], [0, 0, 0], 0.0, [0, 1, 0], [0, 0, 0]) == [0.0, 0.0, 2.0]


def test_magnus_force_with_equal_velocities_keeps_the_curvature_term():
    mbi = MBI(2.0, 1.0, 1.0, 0.5)
    got = mbi.compute_magnus_force([0.3, 0.4, 0.5], [1.0, -2.0, 4.0], 4.0, [1.0, 1.0, 1.0], [1.0, 1.0, 1.0])
    assert got == [(1.0 * 0.25) * 1.0, (-2.0 * 0.25) * 1.0, (4.0 * 0.25) * 1.0]


@pytest.mark.parametrize(
    "p,q",
    [
        ([1.0, 0.0, 0.0], [0.0, 0.0, 0.0]),
        ([0.3, -0.2, 0.9], [-0.1, 0.4, 0.0]),
        ([5.0, 5.0, 5.0], [4.0, 6.0, 5.5]),
        ([1e-31, 0.0, 0.0], [0.0, 0.0, 0.0]),  # closer than 1e-30
        ([2.0, 2.0, 2.0], [2.0, 2.0, 2.0]),  # coincident
        ([350.0, 0.0, 0.0], [0.0, 0.0, 0.0]),  # exponent exactly -700: computed
        ([350.5, 0.0, 0.0], [0.0, 0.0, 0.0]),  # exponent below -700: zero
        ([0.0, 0.0, 1e4], [0.0, 0.0, 0.0]),
    ],
)
def test_swirl_coulomb_accel(p, q):
    mbi = MBI(1.0, 3.0, 1.0, 1.0)
    assert same(mbi.compute_swirl_coulomb_accel(p, q), ref_accel(3.0, 1.0, p, q))


def test_swirl_coulomb_accel_branches():
    mbi = MBI(1.0, 1.0, 1.0, 1.0)
    assert same(mbi.compute_swirl_coulomb_accel([1.0, 0.0, 0.0], [0.0, 0.0, 0.0]), [-math.exp(-2.0), -0.0, -0.0])
    assert mbi.compute_swirl_coulomb_accel(eval_pos=[3, 3, 3], source_pos=[3, 3, 3]) == [0.0, 0.0, 0.0]
    assert mbi.compute_swirl_coulomb_accel([5e-31, 0, 0], [0, 0, 0]) == [0.0, 0.0, 0.0]
    at_limit = mbi.compute_swirl_coulomb_accel([350.0, 0.0, 0.0], [0.0, 0.0, 0.0])
    assert at_limit[0] == -(1.0 / 350.0) * math.exp(-700.0) and at_limit[0] < 0
    assert mbi.compute_swirl_coulomb_accel([351.0, 0.0, 0.0], [0.0, 0.0, 0.0]) == [0.0, 0.0, 0.0]


def test_swirl_coulomb_accel_core_radius_edges():
    # A zero core radius sends the exponent to -inf: no pull at any separation.
    assert MBI(1.0, 1.0, 0.0, 1.0).compute_swirl_coulomb_accel([1e-10, 0, 0], [0, 0, 0]) == [0.0, 0.0, 0.0]
    # A negative core radius makes the exponential grow.
    got = MBI(1.0, 1.0, -1.0, 1.0).compute_swirl_coulomb_accel([2.0, 0, 0], [0, 0, 0])
    assert got[0] == -(1.0 / 2.0) * math.exp(4.0)


def test_integrator_is_unchanged_by_its_methods():
    mbi = MBI(1.0, 2.0, 0.5, 3.0)
    first = mbi.compute_swirl_coulomb_accel([0.2, 0.1, 0.0], [0.0, 0.0, 0.0])
    mbi.compute_magnus_force(T, N, 1.0, VK, VB)
    assert mbi.compute_swirl_coulomb_accel([0.2, 0.1, 0.0], [0.0, 0.0, 0.0]) == first


def test_constants_are_not_visible():
    mbi = MBI(1.0, 2.0, 0.5, 3.0)
    for name in ("rho_f", "v_swirl", "r_c", "Gamma"):
        assert not hasattr(mbi, name)
    public = sorted(n for n in MBI.__dict__ if not n.startswith("_"))
    assert public == ["compute_magnus_force", "compute_swirl_coulomb_accel"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: MBI(1.0, 2.0, 3.0),
        lambda: MBI(1.0, 2.0, 3.0, "4"),
        lambda: MBI(1.0, 1.0, 1.0, 1.0).compute_swirl_coulomb_accel([0, 0], [0, 0, 0]),
        lambda: MBI(1.0, 1.0, 1.0, 1.0).compute_magnus_force([1, 0, 0], [0, 0, 0, 0], 1.0, [0, 0, 0], [0, 0, 0]),
    ],
)
def test_unconvertible_arguments_fail_with_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_docstrings():
    def text(fn):
        return fn.__doc__.partition("\n")[2]

    assert MBI.__doc__ is None
    assert text(MBI.__init__) == "\nInitializes the Magnus-Bernoulli Integrator with foundational QEL constants.\n"
    assert text(MBI.compute_magnus_force) == "\nComputes the transverse Magnus-Curvature force on a vortex segment.\n"
    assert text(MBI.compute_swirl_coulomb_accel) == "\nComputes the exact continuous Swirl-Coulomb radial acceleration.\n"
    assert "rho_f:" in MBI.__init__.__doc__ and "Gamma:" in MBI.__init__.__doc__
