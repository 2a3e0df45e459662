"""Thermodynamic, radiation-force and Van der Pol formulas against the formulas in Python."""
import math

import pytest

import _bindings as qb

NAN = float("nan")
INF = float("inf")


def same(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def ref_potential_temperature(T, p0, p, R, cp):
    return math.pow(p0 / p, R / cp) * T


def ref_entropy_from_pv(N, R, p, V, gamma):
    return ((N * R) / (gamma - 1.0)) * (math.log(p) + math.log(V))


def ref_radiation_force(a, b, c, d, e):
    u = c / e
    return (((a + a) / 300000000.0) * b) * ((d / e) * u) / (1.0 - u * u)


@pytest.mark.parametrize(
    "args", [(300.0, 100000.0, 50000.0, 287.0, 1004.0), (250.0, 1.0, 4.0, -1.0, 2.0), (-10.0, 3.0, 3.0, 0.0, 1.0)]
)
def test_potential_temperature(args):
    assert same(qb.potential_temperature(*args), ref_potential_temperature(*args))


def test_potential_temperature_example():
    assert qb.potential_temperature(T=300.0, p0=100000.0, p=50000.0, R=287.0, cp=1004.0) == 365.7401661622977


@pytest.mark.parametrize("cp,theta,dtheta", [(1004.0, 300.0, 0.5), (-2.0, 0.25, 3.0), (1.0, -4.0, 0.0)])
def test_entropy_from_theta(cp, theta, dtheta):
    assert same(qb.entropy_from_theta(cp=cp, theta=theta, dtheta=dtheta), (cp * dtheta) / theta)


@pytest.mark.parametrize("args", [(1.0, 8.314, 2.0, 3.0, 1.4), (2.5, 8.314, 0.5, 0.1, 1.67), (1.0, 1.0, 1.0, 1.0, 2.0)])
def test_entropy_from_pv(args):
    assert same(qb.entropy_from_pv(*args), ref_entropy_from_pv(*args))


def test_entropy_from_pv_edges():
    assert qb.entropy_from_pv(1.0, 8.314, 2.0, 3.0, 1.4) == pytest.approx(37.2417205679051, rel=1e-14)
    assert qb.entropy_from_pv(1.0, 8.314, 2.0, 3.0, 1.0) == INF  # gamma = 1
    assert math.isnan(qb.entropy_from_pv(0.0, 8.314, 2.0, 3.0, 1.0))  # 0 / 0
    assert math.isnan(qb.entropy_from_pv(1.0, 8.314, -2.0, 3.0, 1.4))  # log of a negative pressure


@pytest.mark.parametrize("e,p,V", [(10.0, 2.0, 3.0), (-1.0, 0.5, -4.0), (0.0, NAN, 1.0)])
def test_enthalpy(e, p, V):
    assert same(qb.enthalpy(internal_energy=e, p=p, V=V), e + p * V)


@pytest.mark.parametrize(
    "args",
    [(1.5e8, 1.0, 0.5, 1.0, 1.0), (3.0, -2.0, 0.25, 7.0, 2.0), (1.0, 1.0, 0.0, 1.0, 1.0), (1.0, 1.0, -3.0, 2.0, 0.5)],
)
def test_radiation_force(args):
    assert same(qb.radiation_force(*args), ref_radiation_force(*args))


def test_radiation_force_examples():
    assert qb.radiation_force(1.5e8, 1.0, 0.5, 1.0, 1.0) == 0.6666666666666666
    assert qb.radiation_force(1.5e8, 1.0, 0.0, 1.0, 1.0) == 0.0
    # The constant is 3.0e8, not the exact speed of light: 2a / 3.0e8 is exactly 1 here.
    assert qb.radiation_force(150000000.0, 2.0, 0.5, 1.0, 1.0) == (2.0 * 0.5) / 0.75
    assert abs(qb.radiation_force(1.0, 1.0, 1.0, 1.0, 1.0)) == INF  # u = 1


@pytest.mark.parametrize("x,y,mu", [(2.0, 1.0, 1.0), (0.5, -3.0, 0.2), (-1.0, 4.0, -2.5), (NAN, 1.0, 1.0)])
def test_van_der_pol(x, y, mu):
    assert same(qb.van_der_pol_dx(x, y), y)
    assert same(qb.van_der_pol_dy(x, y, mu), ((1.0 - x * x) * mu) * y - x)


def test_van_der_pol_examples():
    assert qb.van_der_pol_dx(5.0, 2.0) == 2.0
    assert qb.van_der_pol_dy(2.0, 1.0, 1.0) == -5.0


@pytest.mark.parametrize(
    "call",
    [
        lambda: qb.van_der_pol_dy(x=1.0, y=1.0, mu=1.0),
        lambda: qb.van_der_pol_dx(1.0, y=2.0),
        lambda: qb.radiation_force(1.0, 1.0, 1.0, 1.0, e=2.0),
        lambda: qb.radiation_force(1.0, 1.0, 1.0, 1.0, arg4=2.0),
        lambda: qb.van_der_pol_dx(1.0),
        lambda: qb.enthalpy(1.0, "p", 2.0),
        lambda: qb.potential_temperature(300.0, 1.0, 1.0, 1.0, cp=1.0, k=2.0),
    ],
)
def test_refused_calls(call):
    with pytest.raises(TypeError):
        call()


THERMO_DOCS = {
    "potential_temperature": "Compute potential temperature θ = T (p0/p)^k",
    "entropy_from_theta": "Entropy differential ds = cp * dθ / θ",
    "entropy_from_pv": "Entropy from pressure and volume ds = NR/(γ-1) * (ln(p)+ln(V))",
    "enthalpy": "Enthalpy H = E + pV",
}


@pytest.mark.parametrize("name", list(THERMO_DOCS))
def test_thermo_docstrings(name):
    first, _, rest = getattr(qb, name).__doc__.partition("\n")
    assert first.startswith(name + "(")
    assert rest == "\n" + THERMO_DOCS[name] + "\n"


@pytest.mark.parametrize("name,nargs", [("radiation_force", 5), ("van_der_pol_dx", 2), ("van_der_pol_dy", 3)])
def test_radiation_faces_have_no_names_and_no_docstrings(name, nargs):
    first, _, rest = getattr(qb, name).__doc__.partition("\n")
    assert rest == ""
    assert all(f"arg{i}:" in first for i in range(nargs)) and f"arg{nargs}" not in first


def test_registration_order():
    order = ["radiation_force", "van_der_pol_dx", "van_der_pol_dy", "compute_swirl_field", "potential_temperature",
             "entropy_from_theta", "entropy_from_pv", "enthalpy"]
    assert [n for n in qb.list_bindings()["functions"] if n in order] == order
