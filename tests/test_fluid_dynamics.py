"""Closed-form fluid formulas checked against the formulas written out in Python."""
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _bindings as qb

NAN = float("nan")
INF = float("inf")


def same(a, b):
    """Equal as floats, NaN equal to NaN, and the sign of zero must match."""
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def doc_text(fn):
    """The registered docstring of a single-overload function (after its signature line)."""
    first, _, rest = fn.__doc__.partition("\n")
    assert first.startswith(fn.__name__ + "(")
    assert rest.startswith("\n") and rest.endswith("\n")
    return rest[1:-1]


def run_isolated(code):
    """Run code in a fresh interpreter, so that a crash cannot take the test run with it."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


# (function, arguments, reference computed from the written formula)
SCALAR_CASES = [
    ("swirl_clock_rate", (3.0, 1.0), lambda a, b: (a - b) * 0.5),
    ("swirl_clock_rate", (-2.5, 4.0), lambda a, b: (a - b) * 0.5),
    ("vorticity_from_curvature", (3.0, 2.0), lambda V, R: V / R),
    ("vorticity_from_curvature", (-1.0, 0.0), lambda V, R: -INF),
    ("vorticity_from_curvature", (0.0, 0.0), lambda V, R: NAN),
    ("vortex_pressure_drop", (1.2, 3.0), lambda rho, c: 0.5 * rho * c * c),
    ("vortex_pressure_drop", (-1.2, 0.3), lambda rho, c: 0.5 * rho * c * c),
    ("vortex_transverse_pressure_diff", (1.2, 3.0), lambda rho, c: 0.25 * rho * c * c),
    ("vortex_transverse_pressure_diff", (7e-7, -1e6), lambda rho, c: 0.25 * rho * c * c),
    ("swirl_energy", (7e-7, 1093845.63), lambda rho, w: 0.5 * rho * w * w),
    ("swirl_energy", (0.0, -5.0), lambda rho, w: 0.5 * rho * w * w),
    ("potential_vorticity", (1e-4, 2e-5, 1000.0), lambda fa, z, h: (fa + z) / h),
    ("potential_vorticity", (1.0, -1.0, 0.0), lambda fa, z, h: NAN),
    ("laplacian_phi", (0.1, 0.2, 0.3), lambda a, b, c: (a + b) + c),
    ("laplacian_phi", (1e16, 1.0, -1e16), lambda a, b, c: (a + b) + c),
    ("bernoulli_pressure_potential", (3.0, 0.25), lambda v2, V: v2 * 0.5 - V),
    ("bernoulli_pressure_potential", (-0.0, 0.0), lambda v2, V: v2 * 0.5 - V),
    ("rossby_number", (10.0, 7.292e-5, 1e6), lambda U, w, d: U / ((w + w) * d)),
    ("rossby_number", (1.0, 0.0, 1.0), lambda U, w, d: INF),
    ("ekman_number", (1e-6, 7.292e-5, 100.0), lambda nu, w, H: nu / (w * H * H)),
    ("ekman_number", (-1e-6, 2.0, 0.5), lambda nu, w, H: nu / (w * H * H)),
    ("cylinder_mass", (7e-7, 0.3, 2.0), lambda rho, R, H: rho * 3.141592653589793 * R * R * H),
    ("cylinder_mass", (1.0, -2.0, 3.0), lambda rho, R, H: rho * 3.141592653589793 * R * R * H),
    ("cylinder_inertia", (3.0, 0.7), lambda m, R: 0.5 * m * R * R),
    ("torque", (2.5, -4.0), lambda i, a: i * a),
    ("torque", (NAN, 1.0), lambda i, a: NAN),
]


@pytest.mark.parametrize("name,args,ref", SCALAR_CASES)
def test_scalar_formulas(name, args, ref):
    assert same(getattr(qb, name)(*args), ref(*args))


def test_scalar_formulas_take_their_named_arguments():
    assert qb.rossby_number(U=1.0, omega=0.25, d=2.0) == 1.0
    assert qb.ekman_number(nu=8.0, omega=2.0, H=2.0) == 1.0
    assert qb.cylinder_inertia(mass=4.0, R=1.0) == 2.0
    assert qb.torque(inertia=2.0, alpha=3.0) == 6.0


@pytest.mark.parametrize(
    "rho,omega,ce,expected",
    [
        (1.0, 2.0, 1.0, True),
        (1.0, 1.0, 2.0, False),
        (1.0, 2.0, 2.0, False),  # equal energies: the comparison is strict
        (1.0, -2.0, 2.0, False),
        (0.0, 5.0, 1.0, False),  # no density, no energy on either side
        (-1.0, 1.0, 2.0, True),  # a negative density flips the comparison
        (1.0, NAN, 1.0, False),
    ],
)
def test_kairos_energy_trigger(rho, omega, ce, expected):
    assert qb.kairos_energy_trigger(rho, omega, ce) is expected


@pytest.mark.parametrize(
    "dudx,dvdy,dwdz,expected",
    [
        ([0.5, 9.0, 9.0], [9.0, -0.25, 9.0], [9.0, 9.0, -0.25], True),  # only the diagonal is read
        ([1e-9, 0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 0.0], True),
        ([1e-8, 0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 0.0], False),  # exactly 1e-8 is not below 1e-8
        ([-1e-8, 0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 0.0], False),
        ([NAN, 0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 0.0], False),
        ([1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0], False),
    ],
)
def test_is_incompressible(dudx, dvdy, dwdz, expected):
    assert qb.is_incompressible(dudx, dvdy, dwdz) is expected


PRESSURE_INPUTS = [[], [0.0], [2.0, -3.5, NAN, 1e3, -0.0]]


@pytest.mark.parametrize("v", PRESSURE_INPUTS)
def test_pressure_fields(v):
    ref = [4.0 - 0.5 * 1.5 * x * x for x in v]
    assert same(qb.compute_pressure_field(v, 1.5, 4.0), ref)
    assert same(qb.compute_bernoulli_pressure(v, 1.5, 4.0), ref)
    assert same(qb.compute_bernoulli_pressure(velocity_magnitude=v, rho=1.5, p_inf=4.0), ref)
    ref_default = [0.0 - 0.5 * 7e-07 * x * x for x in v]
    assert same(qb.compute_bernoulli_pressure(v), ref_default)


def test_bernoulli_pressure_defaults():
    assert qb.compute_bernoulli_pressure([2.0]) == [-1.4e-06]


def test_velocity_magnitude_and_kinetic_energy():
    vel = [[3.0, 4.0, 0.0], [-1.0, 2.0, -2.0], [0.0, 0.0, 0.0], [1e200, 1e200, 0.0]]
    assert same(qb.compute_velocity_magnitude(vel), [math.sqrt(dot(v, v)) for v in vel])
    energy = 0.0
    for v in vel[:3]:
        energy += dot(v, v)
    assert same(qb.compute_kinetic_energy(vel[:3], 7e-7), (0.5 * 7e-7) * energy)
    assert qb.compute_kinetic_energy(vel, 1.0) == INF
    assert qb.compute_velocity_magnitude([]) == []


def test_vorticity_of_gradient_tensor():
    assert qb.compute_vorticity([[0, 0, 0], [1, 0, 0], [0, 0, 0]]) == [0.0, 0.0, 1.0]
    g = [[0.5, -1.0, 2.0], [3.0, 0.25, -4.0], [5.5, 6.0, -0.75]]
    assert qb.compute_vorticity(g) == [g[2][1] - g[1][2], g[0][2] - g[2][0], g[1][0] - g[0][1]]
    assert qb.compute_vorticity(grad=np.array(g)) == [10.0, -3.5, 4.0]


def test_grad_phi_returns_its_argument():
    assert qb.grad_phi([1.0, 2.0, 3.0]) == [1.0, 2.0, 3.0]
    assert qb.grad_phi(phi_grad=(-0.0, 5, 1e300)) == [-0.0, 5.0, 1e300]


FIELD_A = [[1.0, 2.0, 3.0], [-0.5, 0.25, 4.0], [1e-3, -7.0, 0.0]]
FIELD_B = [[0.5, -1.0, 2.0], [2.0, 2.0, -2.0], [3.0, 0.125, 9.0], [99.0, 99.0, 99.0]]


def test_helicity_and_circulation_sums():
    sum_ab = 0.0
    for a, b in zip(FIELD_A, FIELD_B):
        sum_ab += dot(a, b)
    # The first list sets the number of terms; extra entries of the second are not read.
    assert same(qb.compute_helicity(FIELD_A, FIELD_B, 0.125), 0.125 * sum_ab)
    assert same(qb.compute_helicity(velocity=FIELD_A, vorticity=FIELD_B, dV=-2.0), -2.0 * sum_ab)
    assert same(qb.circulation_surface_integral(FIELD_A, FIELD_B), sum_ab)
    assert same(qb.circulation_surface_integral(omega_field=FIELD_A, dA_field=FIELD_B), sum_ab)


def test_enstrophy():
    w2 = [1.0, 4.0, -0.5, 2.25]
    area = [0.1, 0.2, 0.3, 0.4, 50.0]
    ref = 0.0
    for a, b in zip(w2, area):
        ref += a * b
    assert same(qb.enstrophy(w2, area), ref)
    assert same(qb.enstrophy([NAN], [1.0]), NAN)


def test_empty_sums():
    assert same(qb.circulation_surface_integral([], []), 0.0)
    assert same(qb.enstrophy([], []), 0.0)
    assert same(qb.compute_helicity([], [], 2.0), 0.0)
    assert same(qb.compute_helicity([], [], -2.0), -0.0)
    assert same(qb.compute_kinetic_energy([], 1.0), 0.0)
    assert same(qb.compute_kinetic_energy([], -1.0), -0.0)


def test_evolve_positions_euler_leaves_callers_lists_unchanged():
    positions = [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]
    velocity = [[1.0, 1.0, 1.0], [2.0, 2.0, 2.0], [7.0, 7.0, 7.0]]
    assert qb.evolve_positions_euler(positions, velocity, 0.5) is None
    assert positions == [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]
    assert velocity == [[1.0, 1.0, 1.0], [2.0, 2.0, 2.0], [7.0, 7.0, 7.0]]
    assert qb.evolve_positions_euler(positions=[], velocity=[], dt=1.0) is None


# Reference: the negated numpy gradient, which also takes one-sided differences
# at the edges and (f[i+1] - f[i-1]) / (2 h) inside.
def reference_pressure_gradient(P, dx, dy):
    gx, gy = np.gradient(np.array(P, dtype=float), dx, dy)
    return [[[-gx[i, j], -gy[i, j], 0.0] for j in range(len(P[0]))] for i in range(len(P))]


@pytest.mark.parametrize(
    "P,dx,dy",
    [
        ([[0.0, 1.0], [2.0, 3.0]], 1.0, 1.0),
        ([[1.0, 4.0, 9.0, 16.0], [2.0, -1.0, 0.5, 8.0], [0.0, 3.0, 3.0, -7.0]], 0.5, 0.25),
        ([[1.0, 2.0], [3.0, 5.0], [8.0, 13.0], [21.0, 34.0], [55.0, 89.0]], 0.1, 3.0),
        ([[1.0, NAN, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, -9.0]], 1.0, 2.0),
        (np.random.default_rng(6).normal(size=(6, 7)).tolist(), 0.3, 0.7),
    ],
)
def test_pressure_gradient(P, dx, dy):
    got = qb.pressure_gradient(P, dx, dy)
    assert same(got, reference_pressure_gradient(P, dx, dy))
    if dx == 1.0 and dy == 1.0:
        assert same(qb.pressure_gradient(P), got)


def test_pressure_gradient_of_the_two_by_two_corners():
    assert qb.pressure_gradient([[0, 1], [2, 3]]) == [[[-2.0, -1.0, 0.0]] * 2] * 2


def test_pressure_gradient_of_a_constant_field_is_negative_zero():
    got = qb.pressure_gradient([[2.5] * 4] * 3, dx=0.5, dy=2.0)
    assert all(same(cell, [-0.0, -0.0, 0.0]) for row in got for cell in row)


@pytest.mark.parametrize(
    "P,expected",
    [
        ([], []),
        ([[], []], [[], []]),
        ([[1.0, 2.0, 3.0]], [[[0.0, 0.0, 0.0]] * 3]),
        ([[1.0], [5.0], [9.0]], [[[0.0, 0.0, 0.0]]] * 3),
    ],
)
def test_pressure_gradient_of_degenerate_fields(P, expected):
    assert same(qb.pressure_gradient(P), expected)


def test_pressure_gradient_reads_rows_at_the_length_of_row_zero():
    # Row 0 fixes the width; the extra entry of the longer row is not read.
    assert qb.pressure_gradient([[0.0, 1.0], [2.0, 3.0, 100.0]]) == [[[-2.0, -1.0, 0.0]] * 2] * 2


# Calls whose second list (or a later row) is shorter than the first would
# read past the caller's data; each must fail with a message naming the
# function and the argument. Run in a fresh interpreter.
SHORT_INPUT_CALLS = [
    ("evolve_positions_euler([[0, 0, 0], [1, 1, 1]], [[1, 1, 1]], 0.1)",
     "evolve_positions_euler: velocity has fewer entries than positions"),
    ("compute_helicity([[1, 2, 3]] * 3, [[1, 2, 3]] * 2, 1.0)",
     "compute_helicity: vorticity has fewer entries than velocity"),
    ("circulation_surface_integral([[1, 2, 3]], [])",
     "circulation_surface_integral: dA_field has fewer entries than omega_field"),
    ("enstrophy([1.0, 2.0, 3.0], [1.0])",
     "enstrophy: ds_area has fewer entries than omega_squared"),
    ("pressure_gradient([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0]])",
     "pressure_gradient: pressure_field row 2 is shorter than row 0"),
    ("pressure_gradient([[1.0, 2.0], []])",
     "pressure_gradient: pressure_field row 1 is shorter than row 0"),
]


def test_short_second_lists_are_refused():
    lines = ["import _bindings as qb"]
    for call, _ in SHORT_INPUT_CALLS:
        lines += [
            "try:",
            f"    qb.{call}",
            "    print('no error')",
            "except ValueError as e:",
            "    print(e)",
        ]
    out = run_isolated("\n".join(lines)).splitlines()
    assert out == [msg for _, msg in SHORT_INPUT_CALLS]


@pytest.mark.parametrize(
    "call",
    [
        lambda: qb.compute_vorticity([[1, 2], [3, 4], [5, 6]]),
        lambda: qb.grad_phi([1.0, 2.0]),
        lambda: qb.compute_velocity_magnitude([[1.0, 2.0, "x"]]),
        lambda: qb.torque("1", 2.0),
        lambda: qb.swirl_energy(rho=1.0, omegas=2.0),
    ],
)
def test_unconvertible_arguments_fail_with_type_error(call):
    with pytest.raises(TypeError):
        call()


DOCSTRINGS = {
    "compute_pressure_field": "\n        Compute Bernoulli pressure field from velocity magnitude:\n"
    "            P = P_infinity - 0.5 * rho_ae * |v|^2\n    ",
    "compute_velocity_magnitude": "\n        Compute magnitude |v| from vector velocity field.\n    ",
    "evolve_positions_euler": "\n        Euler-step update of particle positions from velocity vectors.\n    ",
    "swirl_clock_rate": "\n        Swirl clock rate 0.5 * (dv/dx - du/dy).\n    ",
    "vorticity_from_curvature": "\n        Vorticity magnitude for curved flow V/R.\n    ",
    "vortex_pressure_drop": "\n        Pressure drop 0.5 * ρ * c^2 in a vortex core.\n    ",
    "vortex_transverse_pressure_diff": "\n        Transverse pressure difference 0.25 * ρ * c^2.\n    ",
    "swirl_energy": "\n        Rotational kinetic energy density (1/2) * ρ * ω^2.\n    ",
    "kairos_energy_trigger": "\n        Trigger when swirl energy exceeds 0.5 * ρ * Ce^2.\n    ",
    "potential_vorticity": "\n        Potential vorticity (fa + ζ_r) / h.\n    ",
    "is_incompressible": "\n        Determine if flow is incompressible by checking that the\n"
    "        divergence of the velocity field is approximately zero.\n    ",
    "circulation_surface_integral": "Circulation as surface integral of vorticity dot area vector.\n\t",
    "enstrophy": "Enstrophy as sum of squared vorticity weighted by area.\n\t",
    "compute_bernoulli_pressure": "Compute Bernoulli pressure field from velocity magnitude.\n\t",
    "pressure_gradient": "Compute spatial pressure gradient vector field.\n\t",
    "laplacian_phi": "Compute Laplacian of potential function.\n\t",
    "grad_phi": "Compute gradient of potential function.\n\t",
    "bernoulli_pressure_potential": "Compute Bernoulli pressure from potential flow.\n\t",
    "compute_kinetic_energy": "Compute kinetic energy E = (1/2) * ρ * ∑ |v|^2.\n\t",
    "rossby_number": "Rossby number: Ro = U / (2Ωd).\n\t",
    "ekman_number": "Ekman number: Ek = ν / (Ω H²).\n\t",
    "cylinder_mass": "Cylinder mass: m = ρ π R² H.\n\t",
    "cylinder_inertia": "Moment of inertia: I = (1/2) m R².\n\t",
    "torque": "Torque: τ = I α.\n\t",
}


@pytest.mark.parametrize("name", sorted(DOCSTRINGS))
def test_docstrings(name):
    assert doc_text(getattr(qb, name)) == DOCSTRINGS[name]


def test_signatures_name_the_parameters_and_defaults():
    doc = qb.compute_bernoulli_pressure.__doc__.partition("\n")[0]
    assert "velocity_magnitude:" in doc and "rho:" in doc and "= 7e-07" in doc and "p_inf:" in doc
    doc = qb.pressure_gradient.__doc__.partition("\n")[0]
    assert "pressure_field:" in doc and doc.count("= 1.0") == 2


REGISTRATION_ORDER = [
    "compute_pressure_field", "compute_velocity_magnitude", "evolve_positions_euler", "compute_vorticity",
    "swirl_clock_rate", "vorticity_from_curvature", "vortex_pressure_drop", "vortex_transverse_pressure_diff",
    "swirl_energy", "kairos_energy_trigger", "compute_helicity", "potential_vorticity", "is_incompressible",
    "circulation_surface_integral", "enstrophy", "compute_bernoulli_pressure", "pressure_gradient",
    "laplacian_phi", "grad_phi", "bernoulli_pressure_potential", "compute_kinetic_energy", "rossby_number",
    "ekman_number", "cylinder_mass", "cylinder_inertia", "torque",
]


def test_registration_order():
    names = [n for n in qb.list_bindings()["functions"] if n in REGISTRATION_ORDER]
    assert names == REGISTRATION_ORDER
