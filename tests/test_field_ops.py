"""Periodic central-difference curl."""
import math

import numpy as np
import pytest

import _bindings as qb


def nodes(shape, h):
    return np.meshgrid(*(np.arange(n) * h for n in shape), indexing="ij")


def test_curl_of_linear_field_in_the_interior():
    # u = A x has the constant curl (A32 - A23, A13 - A31, A21 - A12).
    A = np.array([[0.3, -1.2, 0.5], [2.0, 0.1, -0.7], [0.4, 1.1, -0.2]])
    h = 0.25
    x, y, z = nodes((6, 7, 8), h)
    pos = np.stack([x, y, z], axis=-1)
    vel = pos @ A.T
    c = qb.curl3d_central(vel, h)
    expect = [A[2, 1] - A[1, 2], A[0, 2] - A[2, 0], A[1, 0] - A[0, 1]]
    np.testing.assert_allclose(c[1:-1, 1:-1, 1:-1], np.broadcast_to(expect, c[1:-1, 1:-1, 1:-1].shape), rtol=1e-12)


def test_rotation_field_and_wrap_around_faces():
    h = 0.5
    x, y, _ = nodes((5, 6, 3), h)
    vel = np.stack([-y, x, np.zeros_like(x)], axis=-1)
    c = qb.curl3d_central(vel, h)
    np.testing.assert_allclose(c[1:-1, 1:-1, :], np.broadcast_to([0.0, 0.0, 2.0], c[1:-1, 1:-1, :].shape), rtol=1e-14)
    # On the face i = 0 the x-neighbour wraps to i = Nx - 1: du_y/dx = (u_y(1) - u_y(Nx-1))/(2h).
    assert c[0, 2, 0, 2] == pytest.approx((h - 4 * h) / (2 * h) + 1.0)


def test_periodic_field_against_closed_form_and_opposite_of_grid_vorticity():
    n, L = 16, 2 * math.pi
    h = L / n
    x, y, z = nodes((n, n, n), h)
    vel = np.stack([np.sin(y), np.sin(z), np.sin(x)], axis=-1)
    c = qb.curl3d_central(vel, h)
    # Central differences of sin: cos(.) sin(h)/h.
    f = math.sin(h) / h
    np.testing.assert_allclose(c, np.stack([-np.cos(z) * f, -np.cos(x) * f, -np.cos(y) * f], axis=-1), atol=1e-12)
    w = np.array(qb.BiotSavart.compute_vorticity(vel.reshape(-1, 3).tolist(), [n, n, n], h)).reshape(c.shape)
    np.testing.assert_allclose(c, -w, atol=1e-12)


def test_uniform_field_and_short_axes():
    assert not qb.curl3d_central(np.ones((3, 4, 5, 3)), 0.1).any()
    rng = np.random.default_rng(1)
    # Along an axis of extent 1 or 2 both neighbours coincide.
    vel = rng.normal(size=(2, 1, 2, 3))
    assert not qb.curl3d_central(vel, 0.3).any()


def test_empty_extents_lists_and_dtypes():
    out = qb.curl3d_central(np.zeros((0, 4, 4, 3)), 1.0)
    assert out.shape == (0, 4, 4, 3) and out.dtype == np.float64
    vel = np.arange(3 * 3 * 3 * 3).reshape(3, 3, 3, 3)
    np.testing.assert_array_equal(qb.curl3d_central(vel.tolist(), 0.5), qb.curl3d_central(vel.astype(float), 0.5))
    np.testing.assert_array_equal(qb.curl3d_central(np.asfortranarray(vel), 0.5), qb.curl3d_central(vel, 0.5))


@pytest.mark.parametrize("shape", [(4, 4, 4), (4, 4, 4, 2), (4, 4, 3)])
def test_shape_check(shape):
    with pytest.raises(ValueError, match=r"^curl3d_central: vel must be \(Nx,Ny,Nz,3\)$"):
        qb.curl3d_central(np.zeros(shape), 1.0)


@pytest.mark.parametrize("spacing", [0.0, -0.0, math.inf, -math.inf, math.nan])
def test_spacing_must_be_finite_and_non_zero(spacing):
    with pytest.raises(ValueError, match=r"^curl3d_central: spacing must be finite and non-zero$"):
        qb.curl3d_central(np.zeros((2, 2, 2, 3)), spacing)
    # The shape is checked first.
    with pytest.raises(ValueError, match=r"vel must be"):
        qb.curl3d_central(np.zeros((2, 2, 2)), spacing)


def test_negative_spacing_flips_the_sign():
    vel = np.random.default_rng(2).normal(size=(4, 5, 6, 3))
    np.testing.assert_array_equal(qb.curl3d_central(vel, -0.5), -qb.curl3d_central(vel, 0.5))


def test_docstring_and_keywords():
    assert qb.curl3d_central.__doc__.split("\n", 2)[2] == (
        "Central\u2011difference curl with periodic BCs. vel:(Nx,Ny,Nz,3) -> curl:(Nx,Ny,Nz,3)\n")
    assert qb.curl3d_central(vel=np.zeros((1, 1, 1, 3)), spacing=1.0).shape == (1, 1, 1, 3)
