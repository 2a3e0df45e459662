"""QELGravity static methods against per-sample NumPy computations of their formulas."""
import math

import numpy as np
import pytest

import _bindings as qb

G = qb.QELGravity
NAN = float("nan")
RNG = np.random.default_rng(6)
VEC_A = RNG.normal(size=(7, 3)) * 40.0
VEC_B = RNG.normal(size=(7, 3))


def same(a, b):
    a = np.asarray(a, dtype=float)
    b = np.asarray(b, dtype=float)
    return a.shape == b.shape and bool(np.all((a == b) & (np.signbit(a) == np.signbit(b)) | (np.isnan(a) & np.isnan(b))))


def norm_sq(v):
    return (v[:, 0] * v[:, 0] + v[:, 1] * v[:, 1]) + v[:, 2] * v[:, 2]


def test_beltrami_shear():
    c = np.cross(VEC_A, VEC_B)
    assert same(G.compute_beltrami_shear(VEC_A, VEC_B), np.sqrt(norm_sq(c)))
    assert same(G.compute_beltrami_shear(B_field=[[1, 0, 0]], Curl_B=[[0, 2, 0]]), [2.0])


@pytest.mark.parametrize("omega_drive", [10.0, 1234.5, 0.5, 0.0, -3.0, NAN])
@pytest.mark.parametrize("b_sat", [100.0, 7.5])
def test_gravity_dilation(omega_drive, b_sat):
    L = math.log10(omega_drive) if omega_drive > 0 else 0.0
    g = (np.sqrt(norm_sq(VEC_A)) * (1.0 / b_sat)) * L
    f = 1 - g * g
    ref = np.where(f < 0, 0.0, f)
    assert same(G.compute_gravity_dilation(VEC_A, omega_drive, B_saturation=b_sat), ref)
    # v_swirl does not enter the result.
    assert same(G.compute_gravity_dilation(VEC_A, omega_drive, -1.0, b_sat), ref)


def test_gravity_dilation_examples():
    assert G.compute_gravity_dilation([[0.0, 50.0, 0.0], [100.0, 0.0, 0.0], [0.0, 0.0, 300.0]], 10.0) == [0.75, 0.0, 0.0]
    assert G.compute_gravity_dilation([[1e3, 0, 0], [0, 0, 0]], omega_drive=0.0) == [1.0, 1.0]


def test_helicity_density():
    assert same(G.compute_helicity_density(VEC_A, VEC_B), (VEC_A[:, 0] * VEC_B[:, 0] + VEC_A[:, 1] * VEC_B[:, 1])
                + VEC_A[:, 2] * VEC_B[:, 2])


@pytest.mark.parametrize("c", [299792458.0, 1.0, 0.0])
def test_swirl_clock(c):
    v = np.vstack([VEC_A, [[0.0, 0.0, 0.0], [3e8, 0.0, 0.0]]])
    with np.errstate(divide="ignore", invalid="ignore"):
        s = 1.0 - norm_sq(v) / (c * c)
        ref = np.where(s < 0, 0.0, np.sqrt(np.where(s < 0, 0.0, s)))
    ref = np.where(np.isnan(s), NAN, ref)
    got = G.compute_swirl_clock(v, c) if c != 299792458.0 else G.compute_swirl_clock(v)
    assert same(got, ref)


def test_swirl_clock_examples():
    assert G.compute_swirl_clock([[0, 0, 0], [3e8, 0, 0]]) == [1.0, 0.0]


RADII = np.array([0.0, 0.5, -2.0, 3.0, 1e-20, NAN])


@pytest.mark.parametrize("lam,r_c", [(2.0, 1.0), (-0.5, 0.3), (0.0, 2.0), (1.0, NAN)])
def test_swirl_coulomb_potential_and_force(lam, r_c):
    base = RADII * RADII + r_c * r_c
    assert same(G.compute_swirl_coulomb_potential(RADII, lam, r_c), (-lam) / np.sqrt(base))
    # The general power function per sample (NumPy's vectorised power may differ in the last bit).
    q = [math.pow(x, 1.5) for x in base]
    ref = [((-lam) * r) / qi if qi > 0 else 0.0 for r, qi in zip(RADII, q)]  # a NaN q is not > 0: 0.0
    assert same(G.compute_swirl_coulomb_force(radii=RADII, Lambda=lam, r_c=r_c), ref)


def test_swirl_coulomb_examples():
    assert same(G.compute_swirl_coulomb_potential([0.0], 2.0, 1.0), [-2.0])
    assert same(G.compute_swirl_coulomb_force([0.0], 2.0, 1.0), [-0.0])


@pytest.mark.parametrize("rho_f", [7e-7, -2.0, 0.0])
def test_swirl_energy_density(rho_f):
    assert same(G.compute_swirl_energy_density(VEC_A, rho_f), norm_sq(VEC_A) * (0.5 * rho_f))


@pytest.mark.parametrize(
    "args",
    [(1.0, 1.0, 1.0, 1.0, 1.0), (1093845.63, 5.39e-44, 29.053507, 1.40897017e-15, 299792458.0),
     (-2.0, 3.0, 0.5, 2.0, 10.0), (1.0, 1.0, NAN, 1.0, 1.0)],
)
def test_G_swirl(args):
    v, t_p, f_max, r_c, c = args
    c5 = c * (((c * c) * c) * c)
    ref = (v * c5 * t_p * t_p) / ((f_max + f_max) * r_c * r_c)
    assert same(G.compute_G_swirl(*args), ref)
    assert same(G.compute_G_swirl(v_swirl=v, t_p=t_p, F_max=f_max, r_c=r_c, c=c), ref)


def test_G_swirl_default_speed_of_light():
    c = 299792458.0
    c5 = c * (((c * c) * c) * c)
    assert G.compute_G_swirl(2.0, 3.0, 4.0, 5.0) == (2.0 * c5 * 3.0 * 3.0) / ((4.0 + 4.0) * 5.0 * 5.0)
    assert G.compute_G_swirl(1.0, 1.0, 1.0, 1.0, 1.0) == 0.5


@pytest.mark.parametrize("f_max,r_c", [(0.0, 1.0), (1.0, 0.0), (-1.0, 1.0), (1.0, -1e-300)])
def test_G_swirl_refuses_non_positive(f_max, r_c):
    with pytest.raises(ValueError, match=r"^F_max and r_c must be positive\.$"):
        G.compute_G_swirl(1.0, 1.0, f_max, r_c)


EMPTY3 = np.zeros((0, 3))


@pytest.mark.parametrize(
    "call",
    [
        lambda a: G.compute_beltrami_shear(a, a),
        lambda a: G.compute_gravity_dilation(a, 10.0),
        lambda a: G.compute_helicity_density(a, a),
        lambda a: G.compute_swirl_clock(a),
        lambda a: G.compute_swirl_energy_density(a, 1.0),
    ],
)
def test_vector_array_methods(call):
    assert call(EMPTY3) == []
    for bad in ([1.0, 2.0, 3.0], np.zeros((4, 2)), np.zeros((2, 3, 1)), 5.0):
        with pytest.raises(ValueError, match=r"^Expected array with shape \(N, 3\)$"):
            call(bad)


@pytest.mark.parametrize("method", [G.compute_swirl_coulomb_potential, G.compute_swirl_coulomb_force])
def test_scalar_array_methods(method):
    assert method(np.zeros(0), 1.0, 1.0) == []
    # The shape is checked before r_c.
    with pytest.raises(ValueError, match=r"^Expected 1D array with shape \(N,\)$"):
        method(np.zeros((2, 2)), 1.0, 0.0)
    for r_c in (0.0, -1.0):
        with pytest.raises(ValueError, match=r"^r_c must be positive\.$"):
            method([1.0], 1.0, r_c)


def test_checks_run_in_order():
    with pytest.raises(ValueError, match=r"^Expected array with shape \(N, 3\)$"):
        G.compute_gravity_dilation([1.0, 2.0], 10.0, B_saturation=0.0)
    with pytest.raises(ValueError, match=r"^B_saturation must be positive\.$"):
        G.compute_gravity_dilation(VEC_A, 10.0, B_saturation=0.0)
    with pytest.raises(ValueError, match=r"^B_saturation must be positive\.$"):
        G.compute_gravity_dilation(VEC_A, 10.0, B_saturation=-5.0)
    # The first argument's shape is checked before the second's.
    with pytest.raises(ValueError, match=r"^Expected array with shape \(N, 3\)$"):
        G.compute_beltrami_shear(VEC_A, [1.0])
    with pytest.raises(ValueError, match=r"^B_field and Curl_B must have the same size\.$"):
        G.compute_beltrami_shear(VEC_A, VEC_B[:3])
    with pytest.raises(ValueError, match=r"^A_field and B_field must have the same size\.$"):
        G.compute_helicity_density(VEC_A[:2], VEC_B)


def test_nan_passes_the_sign_checks():
    assert math.isnan(G.compute_gravity_dilation([[1.0, 0.0, 0.0]], 10.0, B_saturation=NAN)[0])
    assert math.isnan(G.compute_swirl_coulomb_potential([1.0], 1.0, NAN)[0])


def test_arrays_are_cast_and_made_contiguous():
    ints = np.arange(12, dtype=np.int32).reshape(4, 3)
    assert G.compute_swirl_energy_density(ints, 2.0) == norm_sq(ints.astype(float)).tolist()
    strided = np.asfortranarray(VEC_A)[::2]
    assert same(G.compute_helicity_density(strided, strided), norm_sq(VEC_A[::2]))
    radii = np.arange(10.0)[::3]
    assert same(G.compute_swirl_coulomb_potential(radii, 1.0, 1.0), -1.0 / np.sqrt(radii * radii + 1.0))


def test_unconvertible_arguments_fail_with_type_error():
    with pytest.raises(TypeError):
        G.compute_swirl_clock("fast")
    with pytest.raises(TypeError):
        G.compute_G_swirl(1.0, 1.0, "1", 1.0)


def test_class_has_no_constructor_and_no_docstring():
    with pytest.raises(TypeError):
        G()
    assert G.__doc__ is None


DOCSTRINGS = {
    "compute_beltrami_shear": "Compute the Beltrami shear metric S = || B x (curl B) ||.",
    "compute_gravity_dilation": "Compute a phenomenological gravity reduction factor G_local\n"
    "                driven by EM excitation.",
    "compute_helicity_density": "Compute magnetic helicity density h = A · B.",
    "compute_swirl_clock": "Compute the Swirl Clock factor S_t at each sample.",
    "compute_swirl_coulomb_potential": "Compute the Swirl Coulomb potential V(r) = -Lambda / sqrt(r^2 + r_c^2).",
    "compute_swirl_coulomb_force": "Compute the radial Swirl Coulomb force F_r(r).",
    "compute_swirl_energy_density": "Compute swirl kinetic energy density rho_E = 0.5 * rho_f * ||v||^2.",
    "compute_G_swirl": "Compute the effective Swirl gravitational coupling G_swirl.",
}


@pytest.mark.parametrize("name", list(DOCSTRINGS))
def test_docstrings(name):
    first, _, rest = getattr(G, name).__doc__.partition("\n")
    assert first.startswith(name + "(")
    assert rest == "\n\n" + " " * 16 + DOCSTRINGS[name] + "\n" + " " * 12 + "\n"


def test_method_order():
    names = [n for n in G.__dict__ if not n.startswith("_")]
    assert names == list(DOCSTRINGS)
