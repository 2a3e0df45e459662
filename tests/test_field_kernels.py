"""Point-dipole and wire fields on grids and the vector potential of an open polyline."""
import math

import numpy as np
import pytest

import _bindings as qb

C4 = 1.0 / (4.0 * math.pi)


def dipole_closed_form(r, m):
    r, m = np.asarray(r, float), np.asarray(m, float)
    d = np.linalg.norm(r)
    return C4 * (3.0 * np.dot(r, m) * r / d**2 - m) / d**3


def grid(n=5, lo=-1.3, hi=1.1):
    ax = np.linspace(lo, hi, n)
    return np.meshgrid(ax, ax + 0.05, ax - 0.02, indexing="ij")


def ref_wire(nodes, wire, current):
    """Midpoint rule over the open polyline's segments."""
    mid = 0.5 * (wire[1:] + wire[:-1])
    dl = wire[1:] - wire[:-1]
    B = np.zeros_like(nodes)
    for m, l in zip(mid, dl):
        r = nodes - m
        s = np.linalg.norm(r, axis=1)
        keep = s >= 1e-12
        B[keep] += current * C4 * np.cross(l, r[keep]) / s[keep, None] ** 3
    return B


def test_dipole_on_its_axis():
    m = [0.0, 0.0, 1.0]
    np.testing.assert_allclose(qb.dipole_field_at_point([0, 0, 1], m), [0, 0, 2 * C4], rtol=1e-15, atol=0)
    # 2/(4 pi |z|^3) on the axis: at z = 2 that is 2 C4 / 8.
    np.testing.assert_allclose(qb.dipole_field_at_point([0, 0, 2], m), [0, 0, 2 * C4 / 8], rtol=1e-15, atol=0)
    # In the equatorial plane the field is -m/(4 pi r^3).
    np.testing.assert_allclose(qb.dipole_field_at_point([3, 0, 0], m), [0, 0, -C4 / 27], rtol=1e-14, atol=1e-18)
    assert qb.dipole_field_at_point([0, 0, 0], m) == [0.0, 0.0, 0.0]


def test_dipole_against_closed_form():
    rng = np.random.default_rng(11)
    for _ in range(20):
        r, m = rng.normal(size=3) * rng.uniform(0.1, 5.0), rng.normal(size=3)
        np.testing.assert_allclose(qb.dipole_field_at_point(r.tolist(), m.tolist()), dipole_closed_form(r, m), rtol=1e-12)


def test_dipole_grid_superposes_point_fields():
    X, Y, Z = grid()
    pos = np.array([[0.1, 0.2, -0.3], [-0.5, 0.0, 0.4], [0.7, -0.6, 0.1]])
    mom = np.array([[0.0, 0.0, 1.0], [1.0, -0.5, 0.2], [0.3, 0.3, -1.0]])
    Bx, By, Bz = qb.dipole_ring_field_grid(X, Y, Z, pos, mom)
    assert Bx.shape == X.shape and Bx.dtype == np.float64 and Bx.flags.c_contiguous
    nodes = np.stack([X.ravel(), Y.ravel(), Z.ravel()], axis=1)
    ref = np.array([sum(dipole_closed_form(n - p, m) for p, m in zip(pos, mom)) for n in nodes])
    np.testing.assert_allclose(np.stack([Bx.ravel(), By.ravel(), Bz.ravel()], axis=1), ref, rtol=1e-11, atol=1e-14)


def test_dipole_grid_node_on_a_dipole_gets_nothing_from_it():
    X, Y, Z = (np.array([0.0, 0.0]), np.array([0.0, 0.0]), np.array([0.0, 2.0]))
    Bx, By, Bz = qb.dipole_ring_field_grid(X, Y, Z, np.array([[0.0, 0.0, 0.0]]), np.array([[0.0, 0.0, 1.0]]))
    assert (Bx[0], By[0], Bz[0]) == (0.0, 0.0, 0.0)
    assert Bz[1] == pytest.approx(2 * C4 / 8, rel=1e-15)


def test_single_wire_segment():
    wire = np.array([[-1.0, 0, 0], [1.0, 0, 0]])
    Bx, By, Bz = qb.biot_savart_wire_grid(np.array([0.0]), np.array([1.0]), np.array([0.0]), wire)
    assert (Bx[0], By[0]) == (0.0, 0.0) and Bz[0] == pytest.approx(2 * C4, rel=1e-15)
    Ax, Ay, Az = qb.biot_savart_vector_potential_grid(wire, [[0.0, 1.0, 0.0]])
    assert Ax[0] == pytest.approx(2 * C4, rel=1e-15) and (Ay[0], Az[0]) == (0.0, 0.0)


def test_long_straight_wire_closed_forms():
    # A straight wire along z from -L/2 to L/2, current I, at distance rho in
    # the mid-plane: B_phi = I/(4 pi rho) * 2 (L/2)/sqrt((L/2)^2 + rho^2) and
    # A_z = I/(4 pi) * 2 asinh(L/(2 rho)).
    L, I, K = 40.0, 2.5, 4001
    wire = np.stack([np.zeros(K), np.zeros(K), np.linspace(-L / 2, L / 2, K)], axis=1)
    rho = np.array([0.5, 1.0, 2.0, 3.0])
    Bx, By, Bz = qb.biot_savart_wire_grid(rho, np.zeros(4), np.zeros(4), wire, current=I)
    b_phi = I * C4 / rho * L / np.sqrt(L * L / 4 + rho**2)
    np.testing.assert_allclose(By, b_phi, rtol=1e-5)
    np.testing.assert_allclose(Bx, 0.0, atol=1e-12)
    np.testing.assert_allclose(Bz, 0.0, atol=1e-12)
    pts = np.stack([rho, np.zeros(4), np.zeros(4)], axis=1)
    Ax, Ay, Az = qb.biot_savart_vector_potential_grid(wire, pts, current=I)
    np.testing.assert_allclose(Az, I * C4 * 2 * np.arcsinh(L / (2 * rho)), rtol=1e-5)
    np.testing.assert_allclose(Ax, 0.0, atol=1e-12)


def test_wire_grid_against_midpoint_sum():
    X, Y, Z = grid(6)
    s = np.linspace(0, 1.5 * np.pi, 15)
    wire = np.stack([np.cos(s), np.sin(s), 0.2 * s], axis=1)
    Bx, By, Bz = qb.biot_savart_wire_grid(X, Y, Z, wire, 1.7)
    nodes = np.stack([X.ravel(), Y.ravel(), Z.ravel()], axis=1)
    np.testing.assert_allclose(np.stack([Bx.ravel(), By.ravel(), Bz.ravel()], axis=1), ref_wire(nodes, wire, 1.7),
                               rtol=1e-11, atol=1e-14)


def test_grid_node_on_a_wire_midpoint_gets_nothing_from_that_segment():
    wire = np.array([[-1.0, 0, 0], [1.0, 0, 0], [1.0, 2.0, 0]])
    X, Y, Z = np.array([0.0]), np.array([0.0]), np.array([0.0])
    Bx, By, Bz = qb.biot_savart_wire_grid(X, Y, Z, wire)
    np.testing.assert_allclose([Bx[0], By[0], Bz[0]], ref_wire(np.zeros((1, 3)), wire, 1.0)[0], rtol=1e-14)
    assert np.isfinite([Bx[0], By[0], Bz[0]]).all()


def test_vector_potential_against_numpy_and_layouts():
    rng = np.random.default_rng(2)
    poly = rng.normal(size=(9, 3))
    pts = rng.normal(size=(700, 3)) * 2.0  # more than one block of points
    Ax, Ay, Az = qb.biot_savart_vector_potential_grid(poly, pts, current=0.3)
    mid, dl = 0.5 * (poly[1:] + poly[:-1]), poly[1:] - poly[:-1]
    d = np.linalg.norm(pts[:, None, :] - mid[None, :, :], axis=2)
    ref = 0.3 * C4 * (dl[None, :, :] / d[:, :, None]).sum(axis=1)
    np.testing.assert_allclose(np.stack([Ax, Ay, Az], axis=1), ref, rtol=1e-12)
    assert Ax.shape == (700,)
    # Lists and strided views read the same numbers.
    again = qb.biot_savart_vector_potential_grid(poly.tolist(), np.asfortranarray(pts), 0.3)
    for a, b in zip(again, (Ax, Ay, Az)):
        np.testing.assert_array_equal(a, b)
    for a in qb.biot_savart_vector_potential_grid(poly[:1], pts):
        assert a.shape == (700,) and not a.any()


def test_non_contiguous_grids_and_integer_dtypes():
    X, Y, Z = grid(8)
    views = X[::2, :, 1::2], Y[::2, :, 1::2], Z[::2, :, 1::2]
    copies = [np.ascontiguousarray(v) for v in views]
    wire = np.array([[0.0, 0, -1], [0.1, 0.2, 1], [0.5, 0.5, 1.5]])
    for a, b in zip(qb.biot_savart_wire_grid(*views, wire), qb.biot_savart_wire_grid(*copies, wire)):
        np.testing.assert_array_equal(a, b)
        assert a.shape == views[0].shape
    pos, mom = np.array([[0, 0, 0]], dtype=np.int32), np.array([[0, 0, 1]], dtype=np.int64)
    Bx, By, Bz = qb.dipole_ring_field_grid(np.array([0]), np.array([0]), np.array([2]), pos, mom)
    assert Bz[0] == pytest.approx(2 * C4 / 8)


def test_one_row_wire_and_empty_grid():
    X, Y, Z = grid(3)
    for a in qb.biot_savart_wire_grid(X, Y, Z, np.array([[0.0, 0.0, 0.0]])):
        assert a.shape == X.shape and not a.any()
    empty = np.zeros((0,))
    for a in qb.biot_savart_wire_grid(empty, empty, empty, np.array([[0.0, 0, 0], [1.0, 0, 0]])):
        assert a.shape == (0,)
    for a in qb.dipole_ring_field_grid(empty, empty, empty, np.zeros((1, 3)), np.zeros((1, 3))):
        assert a.shape == (0,)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: qb.biot_savart_wire_grid(np.zeros((2, 3)), np.zeros((3, 2)), np.zeros((2, 3)), np.zeros((2, 3))),
         "X, Y, Z must have identical shapes"),
        (lambda: qb.biot_savart_wire_grid(np.zeros((2, 2)), np.zeros((2, 2)), np.zeros((2, 2, 1)), np.zeros((2, 3))),
         "X, Y, Z must share the same number of dimensions"),
        (lambda: qb.biot_savart_wire_grid(np.zeros(2), np.zeros(2), np.zeros(2), np.zeros((0, 3))),
         "wire_points must have at least 1 row"),
        (lambda: qb.biot_savart_wire_grid(np.zeros(2), np.zeros(2), np.zeros(2), np.zeros((2, 2))),
         "wire_points must have shape [N,3]"),
        (lambda: qb.dipole_ring_field_grid(np.zeros(2), np.zeros(2), np.zeros(2), np.zeros(3), np.zeros((1, 3))),
         "positions must have shape [N,3]"),
        (lambda: qb.dipole_ring_field_grid(np.zeros(2), np.zeros(2), np.zeros(2), np.zeros((1, 3)), np.zeros((0, 3))),
         "moments must have at least 1 row"),
        (lambda: qb.dipole_ring_field_grid(np.zeros(2), np.zeros(2), np.zeros(2), np.zeros((2, 3)), np.zeros((1, 3))),
         "positions and moments must have the same number of rows"),
        # Shapes are checked before the conversion to float64.
        (lambda: qb.biot_savart_wire_grid(np.array(["a", "b"]), np.zeros(2), np.zeros(2), np.zeros((1, 3))),
         "Inputs must be convertible to float64 arrays"),
        (lambda: qb.dipole_ring_field_grid(np.zeros(1), np.zeros(1), np.zeros(1), np.full((1, 3), "x"),
                                           np.zeros((1, 3))),
         "Inputs must be convertible to float64 arrays"),
        (lambda: qb.biot_savart_vector_potential_grid(np.zeros((3, 2)), np.zeros((1, 4))), "polyline must have shape [N,3]"),
        (lambda: qb.biot_savart_vector_potential_grid(np.zeros((3, 3)), np.zeros(3)), "grid must have shape [M,3]"),
    ],
)
def test_argument_checks(call, message):
    with pytest.raises(ValueError) as err:
        call()
    assert str(err.value) == message


def test_grids_must_be_numpy_arrays():
    with pytest.raises(TypeError):
        qb.biot_savart_wire_grid([0.0], np.zeros(1), np.zeros(1), np.zeros((2, 3)))
    with pytest.raises(TypeError):
        qb.dipole_ring_field_grid(np.zeros(1), np.zeros(1), np.zeros(1), [[0, 0, 0]], np.zeros((1, 3)))
    with pytest.raises(TypeError):
        qb.dipole_field_at_point([0, 0], [0, 0, 1])


def test_docstrings_and_order():
    texts = [
        ("dipole_field_at_point", "Analytical point dipole field (mu0=1)."),
        ("biot_savart_wire_grid", "Biot–Savart of polyline on a 3D grid (midpoint per segment)."),
        ("dipole_ring_field_grid", "Superposition of point dipoles on a 3D grid."),
        ("biot_savart_vector_potential_grid", "Computes Magnetic Vector Potential A on a grid."),
    ]
    for name, text in texts:
        assert getattr(qb, name).__doc__.split("\n", 2)[2] == text + "\n"
    names = list(vars(qb))
    pos = [names.index(n) for n, _ in texts]
    assert pos == sorted(pos)
