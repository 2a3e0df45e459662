"""Vorticity formulas and the 2-D grid vorticity, against the formulas in Python and NumPy."""
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _bindings as qb

NAN = float("nan")


def same(a, b):
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def run_isolated(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


@pytest.mark.parametrize("a,b", [(3.0, 1.25), (-2.0, 0.5), (0.0, 0.0), (NAN, 1.0), (1e308, -1e308)])
def test_planar_vorticity(a, b):
    assert same(qb.vorticity_z_2D(a, b), a - b)
    assert same(qb.local_circulation_density(dv_dx=a, du_dy=b), a - b)


@pytest.mark.parametrize("x", [1.5, -0.25, 0.0, -0.0, NAN])
def test_solid_body_and_couette(x):
    assert same(qb.solid_body_rotation_vorticity(x), x + x)
    assert same(qb.couette_vorticity(alpha=x), -x)


def test_couette_of_zero_is_negative_zero():
    assert same(qb.couette_vorticity(0.0), -0.0)


V1 = [1.0, -2.0, 0.5]
V2 = [0.25, 3.0, -1.5]
V3 = [-4.0, 0.125, 2.0]
V4 = [0.3, 0.7, -0.9]
V5 = [2.0, -1.0, 0.0]


@pytest.mark.parametrize("rho", [2.0, -0.5, 0.0])
def test_crocco_relation_ignores_vorticity(rho):
    ref = [p / rho if rho else math.copysign(math.inf, p) for p in V2]
    assert same(qb.crocco_relation(V1, rho, V2), ref)
    assert same(qb.crocco_relation(vorticity=[NAN, 1e300, -7.0], rho=rho, pressure_gradient=V2), ref)


@pytest.mark.parametrize("rho", [1.2, -3.0])
def test_rotating_frame_rhs(rho):
    velocity, grad_phi, grad_p, omega = V1, V3, V4, V5
    c = cross(omega, velocity)
    ref = [(c[i] * (-2.0) - grad_phi[i]) - grad_p[i] / rho for i in range(3)]
    assert same(qb.rotating_frame_rhs(velocity, V2, grad_phi, grad_p, omega, rho), ref)
    # The vorticity argument does not enter the result.
    assert same(qb.rotating_frame_rhs(velocity, [NAN, NAN, NAN], grad_phi, grad_p, omega, rho), ref)


@pytest.mark.parametrize("rho", [1.2, -3.0])
def test_crocco_gradient(rho):
    velocity, vorticity, grad_phi, grad_p = V1, V2, V3, V4
    c = cross(vorticity, velocity)
    ref = [(c[i] * rho + grad_phi[i]) + grad_p[i] / rho for i in range(3)]
    assert same(qb.crocco_gradient(velocity=velocity, vorticity=vorticity, grad_phi=grad_phi, grad_p=grad_p,
                                   rho=rho), ref)


@pytest.mark.parametrize("a,b,rho", [(V1, V2, 0.7), (V3, V4, -2.0), ([1, 0, 0], [0, 1, 0], 2.0)])
def test_baroclinic_term(a, b, rho):
    rr = rho * rho
    assert same(qb.baroclinic_term(a, b, rho), [x / rr for x in cross(a, b)])


def test_baroclinic_term_example():
    assert qb.baroclinic_term([1, 0, 0], [0, 1, 0], 2.0) == [0.0, 0.0, 0.25]


def test_vorticity_rhs():
    omega = V1
    grad_u = [V2, V3, V4]
    div_u, rho = 0.75, 1.3
    c = cross(V5, V3)
    rr = rho * rho
    ref = []
    for i in range(3):
        g = grad_u[i]
        stretch = (g[0] * omega[0] + g[1] * omega[1]) + g[2] * omega[2]
        ref.append((stretch + omega[i] * (-div_u)) + c[i] / rr)
    assert same(qb.compute_vorticity_rhs(omega, grad_u, div_u, V5, V3, rho), ref)


def test_vorticity_rhs_example():
    identity = [[1, 0, 0], [0, 1, 0], [0, 0, 1]]
    got = qb.compute_vorticity_rhs(omega=[1, 2, 3], grad_u=identity, div_u=3, grad_rho=[1, 1, 1], grad_p=[2, 2, 2],
                                   rho=1.0)
    assert got == [-2.0, -4.0, -6.0]


def reference_grid_vorticity(u, v, nx, ny, dx, dy):
    out = np.zeros((ny, nx))
    if nx >= 3 and ny >= 3:
        U = np.array(u[: nx * ny], dtype=float).reshape(ny, nx)
        V = np.array(v[: nx * ny], dtype=float).reshape(ny, nx)
        out[1:-1, 1:-1] = (V[1:-1, 2:] - V[1:-1, :-2]) / (2.0 * dx) - (U[2:, 1:-1] - U[:-2, 1:-1]) / (2.0 * dy)
    return out.ravel().tolist()


RNG = np.random.default_rng(6)


@pytest.mark.parametrize(
    "nx,ny,dx,dy",
    [(3, 3, 1.0, 1.0), (5, 4, 0.5, 0.25), (4, 7, 0.1, 3.0), (3, 10, -1.0, 2.0), (2, 5, 1.0, 1.0), (6, 1, 1.0, 1.0)],
)
def test_grid_vorticity(nx, ny, dx, dy):
    u = RNG.normal(size=nx * ny + 2).tolist()  # longer lists: only the first nx*ny values count
    v = RNG.normal(size=nx * ny + 2).tolist()
    assert same(qb.compute_vorticity(u, v, nx, ny, dx, dy), reference_grid_vorticity(u, v, nx, ny, dx, dy))


def test_grid_vorticity_three_by_three_computes_only_the_centre():
    u = [0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 5.0, 0.0]
    v = [0.0, 0.0, 0.0, 2.0, 0.0, 8.0, 0.0, 0.0, 0.0]
    got = qb.compute_vorticity(u, v, 3, 3, 1.0, 1.0)
    assert got == [0.0] * 4 + [(8.0 - 2.0) / 2 - (5.0 - 1.0) / 2] + [0.0] * 4


def test_grid_vorticity_of_empty_and_mirrored_grids():
    assert qb.compute_vorticity([], [], 0, 5, 1.0, 1.0) == []
    assert qb.compute_vorticity([], [], 7, 0, 1.0, 1.0) == []
    # Two negative sizes give a positive count: that many zeros, nothing computed.
    assert qb.compute_vorticity([1.0] * 4, [1.0] * 4, -2, -2, 1.0, 1.0) == [0.0] * 4


def test_grid_vorticity_with_a_nan_sample():
    u = [0.0] * 16
    v = [0.0] * 16
    v[6] = NAN  # sample (2, 1): the x neighbour of interior sample 5 and of border sample 7
    got = qb.compute_vorticity(u, v, 4, 4, 1.0, 1.0)
    assert math.isnan(got[5])
    assert [got[k] for k in (6, 9, 10)] == [0.0, 0.0, 0.0]
    assert got[7] == 0.0  # the border is never computed


def test_grid_vorticity_negative_count_fails():
    with pytest.raises(ValueError, match="^compute_vorticity: nx\\*ny is negative$"):
        qb.compute_vorticity([], [], -1, 2, 1.0, 1.0)


def test_grid_sizes_outside_32_bits_fail_in_conversion():
    with pytest.raises(TypeError):
        qb.compute_vorticity([], [], 2**31, 1, 1.0, 1.0)


# Inputs that would read past the caller's lists, or whose 32-bit sample count
# wraps (65536 * 65536 wraps to 0), must be refused. Run in a fresh interpreter.
GRID_REFUSALS = [
    ("[0.0] * 8, [0.0] * 9, 3, 3, 1.0, 1.0", "compute_vorticity: u holds fewer than nx*ny values"),
    ("[0.0] * 9, [0.0] * 5, 3, 3, 1.0, 1.0", "compute_vorticity: v holds fewer than nx*ny values"),
    ("[], [], 2, 2, 1.0, 1.0", "compute_vorticity: u holds fewer than nx*ny values"),
    ("[], [], 65536, 65536, 1.0, 1.0", "compute_vorticity: nx*ny exceeds 2147483647 samples"),
    ("[], [], 50000, 50000, 1.0, 1.0", "compute_vorticity: nx*ny exceeds 2147483647 samples"),
    ("[], [], -50000, -50000, 1.0, 1.0", "compute_vorticity: nx*ny exceeds 2147483647 samples"),
]


def test_grid_vorticity_refuses_short_lists_and_oversized_grids():
    lines = ["import _bindings as qb"]
    for args, _ in GRID_REFUSALS:
        lines += ["try:", f"    qb.compute_vorticity({args})", "    print('no error')",
                  "except ValueError as e:", "    print(e)"]
    assert run_isolated("\n".join(lines)).splitlines() == [msg for _, msg in GRID_REFUSALS]


DOCSTRINGS = {
    "vorticity_z_2D": "Compute 2D vorticity: dv/dx - du/dy",
    "local_circulation_density": "Local circulation density (vorticity) via Stokes' theorem",
    "solid_body_rotation_vorticity": "Vorticity of solid body rotation: 2 * omega",
    "couette_vorticity": "Vorticity of Couette flow: -alpha",
    "crocco_relation": "Velocity-curl product equals pressure gradient divided by density",
    "rotating_frame_rhs": "Compute rotating frame momentum RHS",
    "crocco_gradient": "Compute ∇H from Crocco's theorem",
    "baroclinic_term": "Baroclinic torque term",
    "compute_vorticity_rhs": "Vorticity transport RHS",
}


@pytest.mark.parametrize("name", sorted(DOCSTRINGS))
def test_docstrings(name):
    first, _, rest = getattr(qb, name).__doc__.partition("\n")
    assert first.startswith(name + "(")
    assert rest == "\n" + DOCSTRINGS[name] + "\n"


def test_registration_order():
    order = ["vorticity_z_2D", "local_circulation_density", "solid_body_rotation_vorticity", "couette_vorticity",
             "crocco_relation", "rotating_frame_rhs", "crocco_gradient", "baroclinic_term", "compute_vorticity_rhs"]
    assert [n for n in qb.list_bindings()["functions"] if n in order] == order


@pytest.mark.parametrize(
    "call",
    [
        lambda: qb.crocco_relation([1, 2], 1.0, [1, 2, 3]),
        lambda: qb.compute_vorticity_rhs([1, 2, 3], [[1, 0, 0], [0, 1, 0]], 0.0, [0, 0, 0], [0, 0, 0], 1.0),
        lambda: qb.baroclinic_term([1, 0, 0], [0, 1, 0], "2"),
    ],
)
def test_unconvertible_arguments_fail_with_type_error(call):
    with pytest.raises(TypeError):
        call()
