"""Core-and-fluid mass of a closed polyline."""
import math
import random
from fractions import Fraction

import numpy as np
import pytest

import _bindings

LAMBDA_CORE = "2.428211382846244304e-11"   # decimal text of the extended constant
LAMBDA_CORE_DOUBLE = 2.4282113828462443e-11
K_FLUID = 2.5520118267065337e-24
A2 = 1.985196939949829e-30
C2 = 8.987551787368176e16


def round_binary(x, bits):
    """Round a Fraction to the nearest value with `bits` significant bits (ties to even)."""
    if x == 0:
        return Fraction(0)
    sign = -1 if x < 0 else 1
    x = abs(x)
    e = x.numerator.bit_length() - x.denominator.bit_length()
    while Fraction(2) ** e > x:
        e -= 1
    while Fraction(2) ** (e + 1) <= x:
        e += 1
    q = Fraction(2) ** (e - bits + 1)
    return sign * round(x / q) * q


# The constant as an 80-bit value: 64 significant bits.
LAMBDA_80 = round_binary(Fraction(LAMBDA_CORE), 64)


def core_mass_extended(length):
    """Double length times the 80-bit constant, rounded to 80 bits, then to double."""
    product = round_binary(LAMBDA_80 * Fraction(length), 64)
    return float(round_binary(product, 53))


def ref_length(points):
    n = len(points)
    L = 0.0
    for i in range(n):
        p, q = points[i], points[(i + 1) % n]
        dx, dy, dz = q[0] - p[0], q[1] - p[1], q[2] - p[2]
        L += math.sqrt(dx * dx + dy * dy + dz * dz)
    return L


def ref_fluid(points, chi):
    """The double sum in the module's order: rows in ascending i, each over ascending j."""
    n = len(points)
    w = (chi * chi) * K_FLUID
    if n == 0:
        return (w * 0.0) / C2
    dl = []
    for i in range(n):
        p, q = points[i], points[(i + 1) % n]
        dl.append((q[0] - p[0], q[1] - p[1], q[2] - p[2]))
    S = 0.0
    for i in range(n):
        row = 0.0
        for j in range(n):
            rx = points[i][0] - points[j][0]
            ry = points[i][1] - points[j][1]
            rz = points[i][2] - points[j][2]
            dot = dl[i][0] * dl[j][0] + dl[i][1] * dl[j][1] + dl[i][2] * dl[j][2]
            row += dot / math.sqrt(rx * rx + ry * ry + rz * rz + A2)
        S += row
    return (w * S) / C2


def trefoil(n, scale=1.0):
    s = np.arange(n) * (2.0 * np.pi / n)
    x = np.sin(s) + 2.0 * np.sin(2.0 * s)
    y = np.cos(s) - 2.0 * np.cos(2.0 * s)
    z = -np.sin(3.0 * s)
    return (scale * np.stack([x, y, z], axis=1)).tolist()


def random_loop(n, seed, scale=1e-15):
    rng = random.Random(seed)
    return [[rng.uniform(-1, 1) * scale for _ in range(3)] for _ in range(n)]


def test_extended_reference_is_not_the_double_product():
    # Guard for the tests below: for these lengths the all-double product, and
    # the double constant widened, both round differently.
    for L in (6.0, 12.0, 24.0):
        assert core_mass_extended(L) != LAMBDA_CORE_DOUBLE * L
        widened = float(round_binary(round_binary(Fraction(LAMBDA_CORE_DOUBLE) * Fraction(L), 64), 53))
        assert core_mass_extended(L) != widened


@pytest.mark.parametrize("half", [3.0, 6.0, 12.0, 0.5, 1.7, 2.2e-15])
def test_core_mass_of_a_there_and_back_loop_uses_extended_precision(half):
    m_core, _ = _bindings.compute_qel_mass([[0.0, 0.0, 0.0], [half, 0.0, 0.0]], 2.0)
    assert m_core == core_mass_extended(2.0 * half)


@pytest.mark.parametrize("points", [
    trefoil(40),
    trefoil(25, scale=3.3e-15),
    random_loop(17, seed=1),
    random_loop(30, seed=7, scale=2.0),
    [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [1.0, 1.0, 0.0], [0.0, 1.0, 0.0]],
], ids=["trefoil", "small_trefoil", "random_fm", "random_unit", "square"])
@pytest.mark.parametrize("chi", [2.0, 1.0, 0.5, -3.0])
def test_masses_match_the_formula(points, chi):
    m_core, m_fluid = _bindings.compute_qel_mass(points, chi)
    assert m_core == core_mass_extended(ref_length(points))
    assert m_fluid == ref_fluid(points, chi)


def test_two_point_loop_closed_form():
    a = math.sqrt(A2)
    m_core, m_fluid = _bindings.compute_qel_mass([[0, 0, 0], [1, 0, 0]], chi_spin=2)
    assert m_core == pytest.approx(4.8564227656924885e-11, rel=1e-16)
    S = 2.0 * (1.0 / a - 1.0 / math.sqrt(1.0 + A2))
    assert m_fluid == pytest.approx(4.0 * K_FLUID * S / C2, rel=1e-15)
    assert m_fluid == pytest.approx(1.612239158780497e-25, rel=1e-15)


def test_fluid_sum_against_numpy():
    # An independent O(N^2) evaluation with NumPy (different summation order).
    P = np.array(trefoil(300, scale=1e-15))
    D = np.roll(P, -1, axis=0) - P
    R = P[:, None, :] - P[None, :, :]
    S = np.sum((D @ D.T) / np.sqrt(np.sum(R * R, axis=2) + A2))
    _, m_fluid = _bindings.compute_qel_mass(P.tolist(), 2.0)
    assert m_fluid == pytest.approx(4.0 * K_FLUID * S / C2, rel=1e-12)


@pytest.mark.parametrize("points", [[], [[1.0, 2.0, 3.0]]])
def test_empty_and_single_point(points):
    assert _bindings.compute_qel_mass(points, 2.0) == (0.0, 0.0)


def test_empty_list_with_infinite_spin_factor():
    m_core, m_fluid = _bindings.compute_qel_mass([], math.inf)
    assert m_core == 0.0 and math.isnan(m_fluid)


def test_spin_factor_enters_squared():
    pts = trefoil(30)
    plus = _bindings.compute_qel_mass(pts, 2.0)
    assert _bindings.compute_qel_mass(pts, -2.0) == plus
    m_core, m_fluid = _bindings.compute_qel_mass(pts, 0.0)
    assert m_core == plus[0] and m_fluid == 0.0


def test_repeating_the_first_point_changes_nothing():
    pts = trefoil(30)
    assert _bindings.compute_qel_mass(pts + [pts[0]], 2.0) == _bindings.compute_qel_mass(pts, 2.0)


def test_doubling_coordinates_doubles_core_mass():
    pts = trefoil(30)
    big = [[2.0 * c for c in p] for p in pts]
    assert _bindings.compute_qel_mass(big, 2.0)[0] == 2.0 * _bindings.compute_qel_mass(pts, 2.0)[0]


def test_accepts_sequences_of_sequences():
    pts = trefoil(12)
    expected = _bindings.compute_qel_mass(pts, 2.0)
    assert _bindings.compute_qel_mass(np.array(pts), 2.0) == expected
    assert _bindings.compute_qel_mass(tuple(tuple(p) for p in pts), 2) == expected


@pytest.mark.parametrize("points,chi", [
    ("abc", 2.0),
    ([[0.0, 0.0], [1.0, 0.0]], 2.0),
    ([[0.0, 0.0, 0.0, 0.0]], 2.0),
    ([[0.0, 0.0, "x"]], 2.0),
    ([[0.0, 0.0, 0.0]], "2"),
])
def test_bad_arguments_are_type_errors(points, chi):
    with pytest.raises(TypeError):
        _bindings.compute_qel_mass(points, chi)


def test_registration():
    doc = ("\nCompute QEL mass (core + fluid) for a closed polyline.\n\n"
           "Uses Rosenhead\u2013Moore regularized Neumann mutual inductance integral.\n"
           "points: list of [x,y,z] (closed curve by convention).\n"
           "chi_spin: spin factor (e.g. 2 for fermion).\n"
           "Returns: (m_core_kg, m_fluid_kg).\n")
    # Rendered as the signature line, a blank line, the text and a newline.
    signature, rest = _bindings.compute_qel_mass.__doc__.split("\n", 1)
    assert signature.startswith("compute_qel_mass(points: ") and signature.endswith("-> tuple[float, float]")
    assert rest == "\n" + doc + "\n"
    assert "compute_qel_mass" in _bindings.list_bindings()["functions"]
    with pytest.raises(TypeError):
        _bindings.compute_qel_mass([[0, 0, 0]])
    result = _bindings.compute_qel_mass(points=[[0, 0, 0], [1, 0, 0]], chi_spin=2.0)
    assert isinstance(result, tuple) and len(result) == 2
