"""The particle zoo: the master dictionary and its golden mass law."""
from fractions import Fraction

import numpy as np
import pytest

import _bindings

EXTENDED = np.finfo(np.longdouble).nmant == 63

# Key, b, g and the mass to ten significant digits, in key order.
TABLE = [
    ("Knot 10_1 (Twist)", 3.0, 1, "6.464626033e-25"),
    ("Knot 11_1 (Torus)", 2.0, 5, "9.173837135e-27"),
    ("Knot 12a1202", 3.0, 3, "9.431762272e-26"),
    ("Knot 15a331", 3.0, 4, "3.602612614e-26"),
    ("Knot 3_1 (Trefoil)", 2.0, 1, "4.309750689e-25"),
    ("Knot 4_1 (Figure-Eight)", 3.0, 1, "6.464626033e-25"),
    ("Knot 5_1 (Torus)", 2.0, 2, "1.646178280e-25"),
    ("Knot 5_2 (Twist)", 3.0, 1, "6.464626033e-25"),
    ("Knot 6_1 (Twist)", 3.0, 1, "6.464626033e-25"),
    ("Knot 6_2", 3.0, 1, "6.464626033e-25"),
    ("Knot 6_3", 3.0, 1, "6.464626033e-25"),
    ("Knot 7_1 (Torus)", 2.0, 3, "6.287841514e-26"),
    ("Knot 7_2 (Twist)", 3.0, 1, "6.464626033e-25"),
    ("Knot 8_1 (Twist)", 3.0, 1, "6.464626033e-25"),
    ("Knot 8_12", 3.0, 2, "2.469267420e-25"),
    ("Knot 8_17", 3.0, 1, "6.464626033e-25"),
    ("Knot 8_19 (T_3,4)", 3.0, 3, "9.431762272e-26"),
    ("Knot 8_2", 3.0, 2, "2.469267420e-25"),
    ("Knot 8_21", 3.0, 2, "2.469267420e-25"),
    ("Knot 8_9", 3.0, 1, "6.464626033e-25"),
    ("Knot 9_1 (Torus)", 2.0, 4, "2.401741743e-26"),
    ("Knot 9_2 (Twist)", 2.0, 1, "4.309750689e-25"),
    ("Link 2^2_1 (Hopf Link)", 2.0, 0, "1.128307379e-24"),
    ("Link 4^2_1 (Solomon's)", 2.0, 1, "4.309750689e-25"),
    ("Link 5^2_1 (Whitehead)", 3.0, 1, "6.464626033e-25"),
    ("Link 6^2_1", 3.0, 1, "6.464626033e-25"),
    ("Link 6^3_1", 3.0, 0, "1.692461068e-24"),
    ("Link 6^3_2 (Borromean)", 3.0, 1, "6.464626033e-25"),
    ("Link 6^3_3", 3.0, 1, "6.464626033e-25"),
    ("Link 8^2_1", 3.0, 2, "2.469267420e-25"),
    ("Unknot", 1.0, 0, "5.641536893e-25"),
    ("Unlink", 1.0, 0, "5.641536893e-25"),
]


def round_to_bits(x, bits=64):
    """The value of `bits` significant bits nearest to the Fraction x (ties to even)."""
    if x == 0:
        return Fraction(0)
    e = x.numerator.bit_length() - x.denominator.bit_length()
    while Fraction(2) ** e > x:
        e -= 1
    while Fraction(2) ** (e + 1) <= x:
        e += 1
    q = Fraction(2) ** (e - bits + 1)
    return round(x / q) * q


def as_longdouble(x):
    """A Fraction of at most 64 significant bits as an exact np.longdouble."""
    hi = float(x)
    lo = float(x - Fraction(hi))
    return np.longdouble(hi) + np.longdouble(lo)


K = round_to_bits(Fraction("1.0056952998777338971e-54"))
PHI = round_to_bits(Fraction("1.6180339887498948482"))
C2 = Fraction(299792458) ** 2
MEV = Fraction(1.602176634e-13)  # the double, widened exactly


def mass_longdouble(b, g):
    """The law step by step in 80-bit arithmetic (NumPy's long double)."""
    x = as_longdouble(K) * np.longdouble(b)
    p = np.power(as_longdouble(PHI), np.longdouble(-2 * g))
    return float(((p * x) * as_longdouble(C2)) / as_longdouble(MEV))


def mass_exact(b, g):
    return float(K * Fraction(b) * PHI ** (-2 * g) * C2 / MEV)


def test_constants_are_the_extended_values_named():
    # The 19-digit decimal of K would round to a different 80-bit value.
    assert round_to_bits(Fraction("1.005695299877733897e-54")) != K
    assert C2 == 89875517873681764 and C2.numerator.bit_length() <= 64


@pytest.mark.skipif(not EXTENDED, reason="long double is not the 80-bit format")
@pytest.mark.parametrize("key,b,g,table_mass", TABLE)
def test_entry_mass_matches_extended_reference(key, b, g, table_mass):
    got = _bindings.ZooEvaluator.get_entry_mass(key)
    assert got == mass_longdouble(b, g)
    assert got == pytest.approx(mass_exact(b, g), rel=1e-15)
    assert f"{got:.9e}" == table_mass


def test_evaluate_all_in_key_order():
    results = _bindings.ZooEvaluator.evaluate_all_golden_nls()
    assert [r.identifier for r in results] == [row[0] for row in TABLE]
    assert [r.identifier for r in results] == sorted(r.identifier for r in results)
    for r, (key, b, g, _) in zip(results, TABLE):
        assert (r.bridge_b, r.genus_g) == (b, g)
        assert type(r.genus_g) is int
        assert r.mass_mev == _bindings.ZooEvaluator.get_entry_mass(key)


@pytest.mark.parametrize("key", ["unknot", "3_1", "", "Unknot ", "Knot 3_1", "Knot 3_1 (trefoil)"])
def test_miss_returns_minus_one(key):
    assert _bindings.ZooEvaluator.get_entry_mass(key) == -1.0
    assert _bindings.ZooEvaluator.get_entry_mass(identifier=key) == -1.0


def test_classes_have_no_constructor_and_results_are_read_only():
    with pytest.raises(TypeError):
        _bindings.ZooEvaluator()
    with pytest.raises(TypeError):
        _bindings.ZooResult()
    r = _bindings.ZooEvaluator.evaluate_all_golden_nls()[0]
    for field in ("identifier", "mass_mev", "bridge_b", "genus_g"):
        with pytest.raises(AttributeError):
            setattr(r, field, getattr(r, field))
    with pytest.raises(TypeError):
        _bindings.ZooEvaluator.get_entry_mass(3)


def test_docstrings():
    Z = _bindings.ZooEvaluator
    assert Z.evaluate_all_golden_nls.__doc__.endswith(
        "Run ab initio Golden NLS mass evaluation for the entire QEL Master Dictionary.\n")
    assert Z.get_entry_mass.__doc__.endswith("Get the mass of a specific knot by its dictionary ID.\n")
