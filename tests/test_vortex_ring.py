"""Vortex-ring profiles and the golden closure model."""
import io
import math
import sys

import pytest

import _bindings

TWO_PI = 6.283185307179586
FOUR_PI = 12.566370614359172
R_C = 1.40897017e-15
PHI = 1.618033988749895
A_E = 9.379050870249998e-17
C2 = 8.987551787368176e16
RHO = {"EFFECTIVE_FLUID": 7e-07, "CORE_DOMINATED": 3.8934358266918687e18}
K = {"EFFECTIVE_FLUID": 5.146207915245368e-55, "CORE_DOMINATED": 2.8623471812602267e-30}
M_E = 9.10938356e-31

RESIDUAL_WARNING = "Warning: geometric ratio residual evaluated outside CORE_DOMINATED regime."
NEWTON_WARNING = "Warning: Inferring fundamental mass geometric ratio outside of CORE_DOMINATED regime."


# ---------------------------------------------------------------- profiles

def ref_lamb_oseen_velocity(g, r, nu, t):
    e = math.exp((-r * r) / ((nu * 4.0) * t))
    return (g / (r * TWO_PI)) * (1.0 - e)


def ref_lamb_oseen_vorticity(g, r, nu, t):
    e = math.exp((-r * r) / ((nu * 4.0) * t))
    return (g / ((nu * FOUR_PI) * t)) * e


def ref_hill_streamfunction(A, r, z, a):
    s = z * z + r * r
    return (r * A) * (a * a - s) if a * a > s else 0.0


def ref_hill_vorticity(A, r, z, a):
    return ((4.0 * z) * z + r * r - a * a) * A if a * a > z * z + r * r else 0.0


def ref_hill_circulation(U, a):
    return ((U * TWO_PI) * a ** 3.0) / 3.0


def ref_hill_velocity(g, a):
    return g / (a * 5.0)


PROFILE_CASES = [
    ("lamb_oseen_velocity", ref_lamb_oseen_velocity, (1.0, 1.0, 1.0, 0.25)),
    ("lamb_oseen_velocity", ref_lamb_oseen_velocity, (2.7, 0.31, 1.3e-3, 7.0)),
    ("lamb_oseen_velocity", ref_lamb_oseen_velocity, (-1.5, 3.0, 0.2, 0.9)),
    ("lamb_oseen_vorticity", ref_lamb_oseen_vorticity, (1.0, 0.0, 1.0, 1.0)),
    ("lamb_oseen_vorticity", ref_lamb_oseen_vorticity, (2.7, 0.31, 1.3e-3, 7.0)),
    ("hill_streamfunction", ref_hill_streamfunction, (1.0, 0.5, 0.0, 1.0)),
    ("hill_streamfunction", ref_hill_streamfunction, (2.3, 0.3, -0.4, 0.9)),
    ("hill_streamfunction", ref_hill_streamfunction, (2.3, 1.3, -0.4, 0.9)),
    ("hill_vorticity", ref_hill_vorticity, (1.0, 0.0, 0.5, 1.0)),
    ("hill_vorticity", ref_hill_vorticity, (2.3, 0.3, -0.4, 0.9)),
    ("hill_vorticity", ref_hill_vorticity, (2.3, 1.3, -0.4, 0.9)),
    ("hill_circulation", ref_hill_circulation, (3.0, 1.0)),
    ("hill_circulation", ref_hill_circulation, (0.7, 1.9)),
    ("hill_velocity", ref_hill_velocity, (5.0, 1.0)),
    ("hill_velocity", ref_hill_velocity, (-0.3, 0.07)),
]


@pytest.mark.parametrize("name,ref,args", PROFILE_CASES)
def test_profiles_match_the_formulas(name, ref, args):
    assert getattr(_bindings, name)(*args) == ref(*args)


@pytest.mark.parametrize("name,args,expected", [
    ("lamb_oseen_velocity", (1.0, 1.0, 1.0, 0.25), (1.0 - math.exp(-1.0)) / (2.0 * math.pi)),
    ("lamb_oseen_vorticity", (1.0, 0.0, 1.0, 1.0), 1.0 / (4.0 * math.pi)),
    ("hill_streamfunction", (1.0, 0.5, 0.0, 1.0), 0.375),
    ("hill_circulation", (3.0, 1.0), 2.0 * math.pi),
    ("hill_velocity", (5.0, 1.0), 1.0),
])
def test_profiles_closed_forms(name, args, expected):
    assert getattr(_bindings, name)(*args) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("name", ["hill_streamfunction", "hill_vorticity"])
def test_hill_is_zero_on_the_sphere(name):
    # 0.6^2 + 0.8^2 == 1.0 exactly in doubles: on the sphere, not inside.
    assert 0.8 * 0.8 + 0.6 * 0.6 == 1.0
    assert getattr(_bindings, name)(1.0, 0.6, 0.8, 1.0) == 0.0


def test_lamb_oseen_velocity_at_the_axis_is_nan():
    assert math.isnan(_bindings.lamb_oseen_velocity(1.0, 0.0, 1.0, 0.25))


@pytest.mark.parametrize("call", [
    lambda: _bindings.lamb_oseen_velocity(1.0, 1.0, 1.0, t=0.25),
    lambda: _bindings.hill_vorticity(A=1.0, r=0.0, z=0.5, a=1.0),
    lambda: _bindings.hill_velocity(5.0),
    lambda: _bindings.hill_circulation("3", 1.0),
])
def test_profiles_take_numbers_by_position_only(call):
    with pytest.raises(TypeError):
        call()


# ----------------------------------------------------------- golden closure

@pytest.fixture
def core():
    return _bindings.GoldenNLSClosure()


@pytest.fixture
def fluid():
    return _bindings.GoldenNLSClosure(_bindings.DensityRegime.EFFECTIVE_FLUID)


def make(regime_name):
    return _bindings.GoldenNLSClosure(getattr(_bindings.DensityRegime, regime_name))


def test_regime_enum_values_and_module_attributes():
    R = _bindings.DensityRegime
    assert int(R.EFFECTIVE_FLUID) == 0 and int(R.CORE_DOMINATED) == 1
    assert _bindings.EFFECTIVE_FLUID is R.EFFECTIVE_FLUID
    assert _bindings.CORE_DOMINATED is R.CORE_DOMINATED
    assert R(1) == R.CORE_DOMINATED


def test_density_follows_the_regime(core):
    assert core.get_active_density() == 3.8934358266918687e18
    core.set_regime(_bindings.DensityRegime.EFFECTIVE_FLUID)
    assert core.get_active_density() == 7e-07
    core.set_regime(_bindings.CORE_DOMINATED)
    assert core.get_active_density() == 3.8934358266918687e18
    assert not hasattr(core, "regime")


def test_set_regime_takes_its_argument_by_position(core):
    with pytest.raises(TypeError):
        core.set_regime(regime=_bindings.EFFECTIVE_FLUID)
    with pytest.raises(TypeError):
        core.set_regime(0)


@pytest.mark.parametrize("regime", ["EFFECTIVE_FLUID", "CORE_DOMINATED"])
@pytest.mark.parametrize("R", [R_C, 3.7e-15, 2.2e-13, 1e-16])
def test_loop_energy_and_mass(regime, R):
    g = make(regime)
    energy = (math.log(R * 8.0 / R_C) - PHI) * ((RHO[regime] * 0.5 * A_E) * R)
    assert g.calculate_loop_energy(R) == energy
    assert g.calculate_loop_mass(R=R) == energy / C2


def test_loop_energy_at_the_core_radius(core, fluid):
    assert core.calculate_loop_energy(R_C) == pytest.approx(1.1869937015286954e-13, rel=1e-15)
    assert fluid.calculate_loop_energy(R_C) == pytest.approx(2.134093453842985e-38, rel=1e-15)


@pytest.mark.parametrize("R", [-1e-15, 0.0])
def test_loop_energy_of_nonpositive_radius_is_not_finite(core, R):
    assert not math.isfinite(core.calculate_loop_energy(R))
    assert not math.isfinite(core.calculate_loop_mass(R))


def test_inversion_constants_invert_the_loop_mass():
    for regime, rho in RHO.items():
        assert K[regime] == pytest.approx(rho * 0.5 * A_E * R_C / C2, rel=2.3e-16)


@pytest.mark.parametrize("bare,k", [(1.0, 2), (3.5, -3), (2.0, 0), (1.0, 1500), (1.0, -1400)])
def test_screened_mass(core, bare, k):
    assert core.calculate_screened_mass(bare, double_k=k) == PHI ** float(-k) * bare


def test_screened_mass_with_the_most_negative_k(core):
    # -k does not fit a 32-bit int here; phi^(2^31) overflows to infinity.
    assert core.calculate_screened_mass(1.0, -2**31) == math.inf
    assert core.calculate_screened_mass(1.0, 2**31 - 1) == 0.0
    with pytest.raises(TypeError):
        core.calculate_screened_mass(1.0, 2**31)
    with pytest.raises(TypeError):
        core.calculate_screened_mass(1.0, 2.0)


def test_screened_mass_ignores_an_unknown_regime():
    g = _bindings.GoldenNLSClosure(_bindings.DensityRegime(2))
    assert g.calculate_screened_mass(1.0, 2) == pytest.approx(0.38196601125010515, rel=1e-15)


# residual and Newton inversion

def f_ratio(x):
    return (math.log(x * 8.0) - PHI) * x


@pytest.mark.parametrize("regime", ["EFFECTIVE_FLUID", "CORE_DOMINATED"])
def test_residual_formula(regime, capfd):
    g = make(regime)
    for x, t in [(0.9, M_E), (2.5, 1e-29), (1e-3, 0.0), (7.0, -3e-30)]:
        assert g.geometric_ratio_residual(x, target_mass=t) == (math.log(x * 8.0) - PHI) * x - t / K[regime]
    lines = capfd.readouterr().err.splitlines()
    assert lines == ([RESIDUAL_WARNING] * 4 if regime == "EFFECTIVE_FLUID" else [])


@pytest.mark.parametrize("x", [0.0, -1.0, -math.inf])
def test_residual_refuses_nonpositive_x_before_warning(fluid, x, capfd):
    with pytest.raises(ValueError, match=r"^geometric_ratio_residual: x must be > 0\.$"):
        fluid.geometric_ratio_residual(x)
    assert capfd.readouterr().err == ""


def test_residual_lets_nan_through(core):
    assert math.isnan(core.geometric_ratio_residual(math.nan))


def ref_newton(target, K_, tolerance=1e-12, max_iter=100):
    m = target / K_
    x = 1.0
    for _ in range(max(max_iter, 0)):
        L = math.log(8.0 * x)
        step = ((L - PHI) * x - m) / ((L + 1.0) - PHI)
        x = x - step
        if abs(step) < tolerance:
            return x
    raise RuntimeError("Newton-Raphson failed to converge for geometric ratio.")


def test_defaults_give_the_electron_ratio_silently(core, capfd):
    assert core.infer_geometric_ratio() == pytest.approx(0.898381280446795, rel=1e-14)
    assert core.infer_geometric_ratio_safe() == pytest.approx(0.898381280446795, rel=1e-14)
    assert core.infer_geometric_ratio() == ref_newton(M_E, K["CORE_DOMINATED"])
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("regime", ["EFFECTIVE_FLUID", "CORE_DOMINATED"])
@pytest.mark.parametrize("x_true", [0.5, 0.898, 3.0, 40.0, 1234.5])
def test_newton_recovers_known_ratios(regime, x_true, capfd):
    g = make(regime)
    target = K[regime] * f_ratio(x_true)
    x = g.infer_geometric_ratio(target_mass=target)
    assert x == ref_newton(target, K[regime])
    assert x == pytest.approx(x_true, rel=1e-12)
    assert f_ratio(x) == pytest.approx(target / K[regime], rel=1e-12)
    expected = [NEWTON_WARNING] if regime == "EFFECTIVE_FLUID" else []
    assert capfd.readouterr().err.splitlines() == expected


@pytest.mark.parametrize("kwargs", [dict(max_iter=0), dict(max_iter=-5), dict(max_iter=3, tolerance=0.0)])
def test_newton_failure(core, kwargs, capfd):
    with pytest.raises(RuntimeError, match=r"^Newton-Raphson failed to converge for geometric ratio\.$"):
        core.infer_geometric_ratio(**kwargs)
    assert capfd.readouterr().err == ""


def test_newton_nan_step_ends_in_failure(core):
    # A negative target drives x below zero, the logarithm gives NaN.
    with pytest.raises(RuntimeError, match="Newton-Raphson failed to converge"):
        core.infer_geometric_ratio(target_mass=-1.0)


# safeguarded inversion, against a transcription of the algorithm that also
# counts the residual evaluations (one warning line each outside CORE_DOMINATED)

def ref_safe(K_, target=M_E, x0=1.0, x_min=1e-06, x_max=10.0, x_tol=1e-12, f_tol=1e-12, max_iter=100):
    evals = [0]

    def res(x):
        assert x > 0
        evals[0] += 1
        return (math.log(x * 8.0) - PHI) * x - target / K_

    def run():
        if x_min <= 0 or x_max <= 0 or x_min >= x_max:
            raise ValueError("infer_geometric_ratio_safe: require 0 < x_min < x_max.")
        x = min(x_max, max(x_min, x0))
        for _ in range(max(max_iter, 0)):
            if x <= 0:
                break
            r = res(x)
            if abs(r) < f_tol:
                return x
            g = math.log(8.0 * x) + 1.0 - PHI
            if not math.isfinite(g) or abs(g) < 1e-14:
                break
            step = r / g
            x = x - step
            if not math.isfinite(x) or x <= x_min or x >= x_max:
                break
            if abs(step) < x_tol:
                r2 = res(x)
                if abs(r2) < f_tol:
                    return x
        lo, hi = x_min, x_max
        f_lo, f_hi = res(lo), res(hi)
        if not (math.isfinite(f_lo) and math.isfinite(f_hi)):
            raise RuntimeError("infer_geometric_ratio_safe: non-finite residual at bracket endpoints.")
        if f_lo * f_hi > 0:
            for _ in range(12):
                lo = max(lo * 0.5, 1e-12)
                hi = hi + hi
                f_lo, f_hi = res(lo), res(hi)
                if math.isfinite(f_lo) and math.isfinite(f_hi) and f_lo * f_hi <= 0:
                    break
            else:
                raise RuntimeError("infer_geometric_ratio_safe: could not bracket root for bisection fallback.")
        for _ in range(4 * max_iter):
            mid = (lo + hi) * 0.5
            r = res(mid)
            if not math.isfinite(r):
                raise RuntimeError("infer_geometric_ratio_safe: non-finite residual during bisection.")
            if abs(r) < f_tol:
                return mid
            if (hi - lo) * 0.5 < x_tol:
                return mid
            if r * f_lo <= 0:
                hi = mid
            else:
                lo = mid
                f_lo = r
        raise RuntimeError("infer_geometric_ratio_safe: failed to converge.")

    try:
        return run(), evals[0]
    except (ValueError, RuntimeError) as exc:
        return exc, evals[0]


# Each case: the ratio whose mass is the target (None: the electron mass),
# the solver's keyword arguments and the way the call ends.
SAFE_CASES = {
    "newton": (3.0, dict(), float),
    "start_clamped_to_upper_bound": (3.0, dict(x0=100.0), float),
    "newton_overshoots_then_bisection": (2.0, dict(x0=1.9, x_min=1.9, x_max=2.001), float),
    "bisection_stops_on_bracket_width": (2.0, dict(x0=1.9, x_min=1.9, x_max=2.001, f_tol=0.0, x_tol=1e-6), float),
    "bracket_expanded": (5.0, dict(x0=1.0, x_min=1.0, x_max=2.0), float),
    "no_newton_no_bisection": (2.0, dict(max_iter=0), "infer_geometric_ratio_safe: failed to converge."),
    "bisection_budget_spent": (2.0, dict(max_iter=1, x0=1.9, x_min=1.9, x_max=2.001, f_tol=0.0, x_tol=0.0),
                               "infer_geometric_ratio_safe: failed to converge."),
    "infinite_upper_bound": (2.0, dict(max_iter=0, x_max=math.inf),
                             "infer_geometric_ratio_safe: non-finite residual at bracket endpoints."),
    "root_out_of_reach": (1e9, dict(x0=1.0, x_min=1.0, x_max=2.0),
                          "infer_geometric_ratio_safe: could not bracket root for bisection fallback."),
    "bounds_reversed": (2.0, dict(x_min=2.0, x_max=1.0), "infer_geometric_ratio_safe: require 0 < x_min < x_max."),
    "lower_bound_zero": (2.0, dict(x_min=0.0), "infer_geometric_ratio_safe: require 0 < x_min < x_max."),
    "upper_bound_negative": (2.0, dict(x_min=-2.0, x_max=-1.0),
                             "infer_geometric_ratio_safe: require 0 < x_min < x_max."),
}


@pytest.mark.parametrize("regime", ["EFFECTIVE_FLUID", "CORE_DOMINATED"])
@pytest.mark.parametrize("case", list(SAFE_CASES))
def test_safe_inversion(regime, case, capfd):
    x_true, kwargs, outcome = SAFE_CASES[case]
    target = K[regime] * f_ratio(x_true)
    g = make(regime)
    expected, evals = ref_safe(K[regime], target=target, **kwargs)
    if outcome is float:
        x = g.infer_geometric_ratio_safe(target, **kwargs)
        assert x == expected
        assert x == pytest.approx(x_true, rel=1e-5)
    else:
        exc_type = ValueError if "require" in outcome else RuntimeError
        assert str(expected) == outcome
        with pytest.raises(exc_type) as info:
            g.infer_geometric_ratio_safe(target, **kwargs)
        assert str(info.value) == outcome
    lines = capfd.readouterr().err.splitlines()
    assert lines == ([RESIDUAL_WARNING] * evals if regime == "EFFECTIVE_FLUID" else [])
    if regime == "EFFECTIVE_FLUID" and (outcome is float or "require" not in outcome):
        assert evals > 0


def test_safe_inversion_default_target_outside_core_regime(fluid, capfd):
    # The electron mass over the fluid constant needs x near 1e23: out of reach.
    with pytest.raises(RuntimeError, match="could not bracket root"):
        fluid.infer_geometric_ratio_safe()
    _, evals = ref_safe(K["EFFECTIVE_FLUID"])
    assert capfd.readouterr().err.splitlines() == [RESIDUAL_WARNING] * evals


@pytest.mark.parametrize("max_iter", [2**30, 2**31 - 1])
def test_safe_inversion_large_iteration_budget(core, max_iter):
    # Newton overshoots the upper bound at once, so bisection runs; its budget
    # of four steps per iteration must not wrap around.
    target = K["CORE_DOMINATED"] * f_ratio(2.0)
    x = core.infer_geometric_ratio_safe(target, x0=1.9, x_min=1.9, x_max=2.001, max_iter=max_iter)
    assert x == pytest.approx(2.0, rel=1e-11)
    assert x == ref_safe(K["CORE_DOMINATED"], target=target, x0=1.9, x_min=1.9, x_max=2.001, max_iter=100)[0]


# unknown regime

@pytest.fixture
def unknown():
    return _bindings.GoldenNLSClosure(_bindings.DensityRegime(2))


@pytest.mark.parametrize("call,warning", [
    (lambda g: g.get_active_density(), None),
    (lambda g: g.calculate_loop_energy(1e-15), None),
    (lambda g: g.calculate_loop_mass(1e-15), None),
    (lambda g: g.geometric_ratio_residual(1.0), RESIDUAL_WARNING),
    (lambda g: g.infer_geometric_ratio(), NEWTON_WARNING),
    (lambda g: g.infer_geometric_ratio(max_iter=0), NEWTON_WARNING),
    (lambda g: g.infer_geometric_ratio_safe(), RESIDUAL_WARNING),
])
def test_unknown_regime(unknown, call, warning, capfd):
    with pytest.raises(RuntimeError, match=r"^Unknown density regime selected\.$"):
        call(unknown)
    assert capfd.readouterr().err.splitlines() == ([warning] if warning else [])


def test_unknown_regime_set_later(core):
    core.set_regime(_bindings.DensityRegime(-7))
    with pytest.raises(RuntimeError, match="Unknown density regime selected."):
        core.get_active_density()


def test_warnings_go_to_the_native_stream(fluid, capfd, monkeypatch):
    fake = io.StringIO()
    monkeypatch.setattr(sys, "stderr", fake)
    fluid.geometric_ratio_residual(1.0)
    fluid.infer_geometric_ratio(target_mass=K["EFFECTIVE_FLUID"] * f_ratio(3.0))
    monkeypatch.undo()
    assert fake.getvalue() == ""
    assert capfd.readouterr().err == RESIDUAL_WARNING + "\n" + NEWTON_WARNING + "\n"


# static helpers

def test_static_helpers():
    G = _bindings.GoldenNLSClosure
    assert G.infer_effective_base(8.0, 3) == 8.0 ** (1.0 / 3)
    assert G.infer_effective_base(ratio=8.0, exponent_n=3) == pytest.approx(2.0, rel=1e-15)
    assert G.infer_effective_base(10.0, 7) == 10.0 ** (1.0 / 7)
    assert G.predicted_ratio_from_base(2.0, 10) == 1024.0
    assert G.predicted_ratio_from_base(base=2.0, exponent_n=-2) == 0.25
    assert G.predicted_ratio_from_base(1.7, 0) == 1.0
    assert G.relative_error(1.1, 1.0) == abs(1.1 - 1.0) / 1.0
    assert G.relative_error(predicted=-3.0, observed=-2.0) == 0.5
    assert math.isnan(G.relative_error(1.0, math.nan))
    # Also callable on an instance.
    assert G().infer_effective_base(9.0, 2) == 3.0


@pytest.mark.parametrize("call,message", [
    (lambda G: G.infer_effective_base(0.0, 3), "infer_effective_base: ratio must be > 0."),
    (lambda G: G.infer_effective_base(-1.0, 0), "infer_effective_base: ratio must be > 0."),
    (lambda G: G.infer_effective_base(8.0, 0), "infer_effective_base: exponent_n must be positive."),
    (lambda G: G.infer_effective_base(8.0, -2), "infer_effective_base: exponent_n must be positive."),
    (lambda G: G.predicted_ratio_from_base(0.0, 2), "predicted_ratio_from_base: base must be > 0."),
    (lambda G: G.predicted_ratio_from_base(-2.0, 2), "predicted_ratio_from_base: base must be > 0."),
    (lambda G: G.relative_error(1.0, 0.0), "relative_error: observed must be nonzero."),
    (lambda G: G.relative_error(1.0, -0.0), "relative_error: observed must be nonzero."),
])
def test_static_helper_errors(call, message):
    with pytest.raises(ValueError) as info:
        call(_bindings.GoldenNLSClosure)
    assert str(info.value) == message


def test_integer_arguments_refuse_floats(core):
    with pytest.raises(TypeError):
        core.infer_geometric_ratio(max_iter=10.0)
    with pytest.raises(TypeError):
        _bindings.GoldenNLSClosure.infer_effective_base(8.0, 3.0)


# registration

def test_directory_lists_the_regime_values_and_classes():
    d = _bindings.list_bindings()
    assert "EFFECTIVE_FLUID" in d["attributes"] and "CORE_DOMINATED" in d["attributes"]
    assert "DensityRegime" in d["classes"] and "GoldenNLSClosure" in d["classes"]
    for name in ["lamb_oseen_velocity", "lamb_oseen_vorticity", "hill_streamfunction",
                 "hill_vorticity", "hill_circulation", "hill_velocity"]:
        assert name in d["functions"]
    names = list(_bindings.__dict__)
    order = ["lamb_oseen_velocity", "lamb_oseen_vorticity", "hill_streamfunction", "hill_vorticity",
             "hill_circulation", "hill_velocity", "DensityRegime", "EFFECTIVE_FLUID", "CORE_DOMINATED",
             "GoldenNLSClosure"]
    positions = [names.index(n) for n in order]
    assert positions == sorted(positions)
    assert d["classes"].index("DensityRegime") < d["classes"].index("GoldenNLSClosure")


def test_constructor_default_and_keyword():
    assert _bindings.GoldenNLSClosure().get_active_density() == RHO["CORE_DOMINATED"]
    g = _bindings.GoldenNLSClosure(regime=_bindings.EFFECTIVE_FLUID)
    assert g.get_active_density() == RHO["EFFECTIVE_FLUID"]
    with pytest.raises(TypeError):
        _bindings.GoldenNLSClosure(0)
