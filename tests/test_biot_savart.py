"""Biot–Savart kernels against a direct NumPy evaluation of the same sums."""
import math

import numpy as np
import pytest

import _bindings as qb

FOUR_PI = 12.566370614359172


def ref_velocity_grid(curve, targets, circulation=1.0):
    """Closed polyline: segment midpoints, chord line elements, (|R|^2)^1.5 + 1e-12."""
    curve = np.asarray(curve, float)
    targets = np.asarray(targets, float)
    q = np.roll(curve, -1, axis=0)
    mid = (curve + q) * 0.5
    dl = q - curve
    R = targets[:, None, :] - mid[None, :, :]
    d = np.sum(R * R, axis=2) ** 1.5 + 1e-12
    v = np.cross(np.broadcast_to(dl, R.shape), R) / d[..., None]
    return v.sum(axis=1) * (circulation / FOUR_PI)


def ring(n, radius=1.0, z=0.0):
    s = np.arange(n) * 2 * math.pi / n
    return np.stack([radius * np.cos(s), radius * np.sin(s), np.full(n, z)], axis=1)


def ref_vorticity(u, dims, h):
    """Negated curl by periodic central differences, axes (x, y, z)."""
    f = np.asarray(u, float).reshape(*dims, 3)
    def D(axis, comp):
        return (np.roll(f[..., comp], -1, axis) - np.roll(f[..., comp], 1, axis)) / (h + h)
    out = np.stack([D(2, 1) - D(1, 2), D(0, 2) - D(2, 0), D(1, 0) - D(0, 1)], axis=-1)
    return out.reshape(-1, 3)


class TestVelocity:
    def test_ring_centre_and_axis(self):
        curve = ring(400, radius=1.0)
        targets = np.array([[0, 0, 0], [0, 0, 0.7], [0.3, -0.2, 0.1], [2.0, 1.0, -0.5]], float)
        got = qb.biot_savart_velocity_grid(curve, targets)
        np.testing.assert_allclose(got, ref_velocity_grid(curve, targets), rtol=1e-12, atol=1e-15)
        # Closed form of a circular ring at its centre: Gamma / (2 R).
        assert got[0, 2] == pytest.approx(0.5, rel=1e-4)
        assert abs(got[0, 0]) < 1e-14 and abs(got[0, 1]) < 1e-14

    def test_list_face_matches_array_face_and_circulation_scales(self):
        curve = ring(64, radius=1.5).tolist()
        pts = [[0.1, 0.2, 0.3], [1.0, 0.0, 0.5]]
        v1 = np.array(qb.BiotSavart.compute_velocity(curve, pts))
        v_default = np.array(qb.BiotSavart.compute_velocity(curve, pts, 1.0))
        v2 = np.array(qb.BiotSavart.compute_velocity(curve, pts, circulation=2.0))
        np.testing.assert_array_equal(v1, v_default)
        np.testing.assert_allclose(v2, 2 * v1, rtol=1e-15)
        np.testing.assert_array_equal(v1, qb.biot_savart_velocity_grid(np.array(curve), np.array(pts)))
        np.testing.assert_allclose(v1, ref_velocity_grid(curve, pts), rtol=1e-12, atol=1e-15)

    def test_many_targets_cross_block_boundaries(self):
        rng = np.random.default_rng(3)
        curve = ring(37) + rng.normal(scale=0.05, size=(37, 3))
        targets = rng.uniform(-2, 2, size=(1500, 3))
        got = qb.biot_savart_velocity_grid(curve, targets, 0.7)
        np.testing.assert_allclose(got, ref_velocity_grid(curve, targets, 0.7), rtol=1e-11, atol=1e-14)

    @pytest.mark.parametrize("curve", [[], [[1.0, 2.0, 3.0]]])
    def test_degenerate_curve_gives_zeros(self, curve):
        assert qb.BiotSavart.compute_velocity(curve, [[0, 0, 0], [1, 1, 1]]) == [[0.0, 0.0, 0.0]] * 2
        got = qb.biot_savart_velocity_grid(np.array(curve, float).reshape(-1, 3), np.ones((3, 3)))
        assert got.shape == (3, 3) and not got.any()

    def test_no_targets(self):
        assert qb.BiotSavart.compute_velocity(ring(8).tolist(), []) == []
        got = qb.biot_savart_velocity_grid(ring(8), np.zeros((0, 3)))
        assert got.shape == (0, 3) and got.dtype == np.float64

    def test_target_on_midpoint_contributes_nothing_from_that_segment(self):
        curve = ring(16)
        mid = (curve[0] + curve[1]) / 2
        got = qb.biot_savart_velocity_grid(curve, mid[None, :])
        np.testing.assert_allclose(got, ref_velocity_grid(curve, mid[None, :]), rtol=1e-12)
        assert np.all(np.isfinite(got))

    def test_array_conversions(self):
        curve = ring(20) * 3
        pts = np.array([[0, 0, 1], [1, 2, 0]])
        ref = qb.biot_savart_velocity_grid(np.round(curve), pts.astype(float))
        np.testing.assert_array_equal(qb.biot_savart_velocity_grid(np.round(curve).astype(np.int64), pts), ref)
        fortran = np.asfortranarray(curve)
        np.testing.assert_array_equal(
            qb.biot_savart_velocity_grid(fortran, pts), qb.biot_savart_velocity_grid(np.ascontiguousarray(curve), pts)
        )
        np.testing.assert_array_equal(
            qb.biot_savart_velocity_grid(curve.tolist(), pts.tolist()), qb.biot_savart_velocity_grid(curve, pts)
        )

    @pytest.mark.parametrize(
        "poly,grid",
        [(np.zeros((4, 2)), np.zeros((2, 3))), (np.zeros((4, 3)), np.zeros((2, 4))), (np.zeros(12), np.zeros((2, 3))),
         (np.zeros((4, 3)), np.zeros((2, 3, 1)))],
    )
    def test_grid_face_shape_errors(self, poly, grid):
        with pytest.raises(ValueError, match=r"^Expected array with shape \(N,3\)$"):
            qb.biot_savart_velocity_grid(poly, grid)

    def test_grid_face_refuses_unconvertible(self):
        with pytest.raises(TypeError):
            qb.biot_savart_velocity_grid("abc", np.zeros((1, 3)))

    @pytest.mark.parametrize("bad", [[[1, 2]], [[1, 2, 3, 4]], "abc", [["a", "b", "c"]]])
    def test_list_face_type_errors(self, bad):
        with pytest.raises(TypeError):
            qb.BiotSavart.compute_velocity(bad, [[0, 0, 0]])


class TestSinglePointVelocity:
    def ref(self, r, X, T, gamma):
        v = np.zeros(3)
        for x, t in zip(np.asarray(X, float), np.asarray(T, float)):
            R = np.asarray(r, float) - x
            s = math.sqrt(R @ R)
            if not s > 1e-6:
                continue
            v += np.cross(t, R) * (1 / FOUR_PI) * (gamma / (s * s * s))
        return v

    def test_against_reference_and_circulation(self):
        X = ring(50)
        T = np.roll(X, -1, axis=0) - X
        r = [0.2, -0.1, 0.4]
        v1 = qb.biot_savart_velocity(r, X.tolist(), T.tolist())
        np.testing.assert_allclose(v1, self.ref(r, X, T, 1.0), rtol=1e-13)
        v2 = qb.biot_savart_velocity(r, X.tolist(), T.tolist(), circulation=2.0)
        np.testing.assert_allclose(v2, 2 * np.array(v1), rtol=1e-15)

    def test_skips_element_at_the_point_and_nan(self):
        X = [[0, 0, 0], [1, 0, 0], [float("nan"), 0, 0]]
        T = [[0, 0, 1], [0, 0, 1], [0, 0, 1]]
        v = qb.biot_savart_velocity([1, 0, 0], X, T, 1.0)
        np.testing.assert_allclose(v, self.ref([1, 0, 0], X[:1], T[:1], 1.0), rtol=1e-15)
        assert all(math.isfinite(c) for c in v)

    def test_empty(self):
        assert qb.biot_savart_velocity([0, 0, 0], [], [], 1.0) == [0.0, 0.0, 0.0]

    def test_short_tangents_refused(self):
        with pytest.raises(ValueError, match="^biot_savart_velocity: tangent_vectors"):
            qb.biot_savart_velocity([0, 0, 0], [[1, 0, 0], [0, 1, 0]], [[0, 0, 1]], 1.0)

    def test_r_must_be_three_numbers(self):
        with pytest.raises(TypeError):
            qb.biot_savart_velocity([0, 0], [], [], 1.0)


class TestGridVorticity:
    def test_random_field_against_numpy(self):
        rng = np.random.default_rng(1)
        dims = [4, 5, 3]
        u = rng.normal(size=(60, 3))
        got = np.array(qb.BiotSavart.compute_vorticity(u.tolist(), dims, 0.25))
        np.testing.assert_allclose(got, ref_vorticity(u, dims, 0.25), rtol=1e-13, atol=1e-13)

    def test_linear_shear_gives_negated_curl_and_periodic_wrap(self):
        d0, d1, d2, h = 6, 3, 4, 0.5
        u = [[0.0, i * h, 0.0] for i in range(d0) for j in range(d1) for k in range(d2)]
        out = np.array(qb.BiotSavart.compute_vorticity(u, [d0, d1, d2], h)).reshape(d0, d1, d2, 3)
        np.testing.assert_allclose(out[1:-1, ..., 2], -1.0, rtol=1e-14)
        np.testing.assert_allclose(out[[0, -1], ..., 2], (d0 - 2) / 2, rtol=1e-14)
        assert not out[..., :2].any()

    def test_non_positive_dims_give_zeros(self):
        u = [[1.0, 2.0, 3.0]] * 5
        assert qb.BiotSavart.compute_vorticity(u, [0, 2, 2], 1.0) == [[0.0] * 3] * 5
        assert qb.BiotSavart.compute_vorticity(u, [-1, 5, 1], 1.0) == [[0.0] * 3] * 5

    def test_entries_beyond_grid_stay_zero(self):
        u = [[1.0, float(i), 0.0] for i in range(10)]
        out = qb.BiotSavart.compute_vorticity(u, [2, 2, 2], 1.0)
        assert len(out) == 10 and out[8:] == [[0.0] * 3] * 2

    def test_dims_must_be_three_integers(self):
        with pytest.raises(TypeError):
            qb.BiotSavart.compute_vorticity([[0, 0, 0]] * 8, [2.0, 2, 2], 0.5)
        with pytest.raises(TypeError):
            qb.BiotSavart.compute_vorticity([[0, 0, 0]] * 8, [2, 2], 0.5)

    def test_positional_only(self):
        with pytest.raises(TypeError):
            qb.BiotSavart.compute_vorticity(field=[[0, 0, 0]], dims=[1, 1, 1], spacing=1.0)

    @pytest.mark.parametrize(
        "field,dims,msg",
        [
            ([[0, 0, 0]] * 7, [2, 2, 2], "field has fewer"),
            ([], [65536, 65536, 2], r"dims d0\*d1\*d2 exceeds 2147483647"),
            # 2**64 nodes: a product that wraps to 0 in 64 bits is still too many.
            ([[0, 0, 0]], [2**21, 2**21, 2**22], r"dims d0\*d1\*d2 exceeds 2147483647"),
        ],
    )
    def test_length_checks(self, field, dims, msg):
        with pytest.raises(ValueError, match="^BiotSavart.compute_vorticity: " + msg):
            qb.BiotSavart.compute_vorticity(field, dims, 1.0)


class TestExtractInterior:
    def test_margin_one_order(self):
        u = [[i, j, k] for i in range(4) for j in range(4) for k in range(4)]
        got = qb.BiotSavart.extract_interior(u, [4, 4, 4], 1)
        expect = [[i, j, k] for i in (1, 2) for j in (1, 2) for k in (1, 2)]
        assert got == expect

    def test_non_cubic_against_numpy(self):
        dims = (5, 6, 7)
        u = np.arange(np.prod(dims) * 3, dtype=float).reshape(-1, 3)
        got = np.array(qb.BiotSavart.extract_interior(u.tolist(), list(dims), 2))
        ref = u.reshape(*dims, 3)[2:-2, 2:-2, 2:-2].reshape(-1, 3)
        np.testing.assert_array_equal(got, ref)

    def test_margin_too_large_or_zero(self):
        u = [[float(i), 0.0, 0.0] for i in range(70)]
        assert qb.BiotSavart.extract_interior(u, [4, 4, 4], 2) == []
        assert qb.BiotSavart.extract_interior(u, [4, 4, 4], 0) == u[:64]
        # Nothing is read when the interior is empty, so a short field is fine.
        assert qb.BiotSavart.extract_interior([], [4, 4, 4], 2) == []

    @pytest.mark.parametrize(
        "field,margin,msg",
        [([[0, 0, 0]] * 63, 1, "field has fewer"), ([[0, 0, 0]] * 64, -1, "margin must be non-negative")],
    )
    def test_errors(self, field, margin, msg):
        with pytest.raises(ValueError, match="^BiotSavart.extract_interior: " + msg):
            qb.BiotSavart.extract_interior(field, [4, 4, 4], margin)


class TestInvariants:
    def test_examples(self):
        assert qb.BiotSavart.compute_invariants([[1, 0, 0]], [[1, 0, 0]], [2.0]) == (1.0, 2.0, -0.25)
        hc, hm, a = qb.BiotSavart.compute_invariants([], [], [])
        assert (hc, hm) == (0.0, 0.0) and math.isnan(a)

    def test_against_numpy(self):
        rng = np.random.default_rng(7)
        v, w, r2 = rng.normal(size=(30, 3)), rng.normal(size=(30, 3)), rng.uniform(size=30)
        hc, hm, a = qb.BiotSavart.compute_invariants(v.tolist(), w.tolist(), r2.tolist())
        ref_hc = np.sum(v * w)
        ref_hm = np.sum(np.linalg.norm(w, axis=1) ** 2 * r2)
        assert hc == pytest.approx(ref_hc, rel=1e-12)
        assert hm == pytest.approx(ref_hm, rel=1e-12)
        assert a == pytest.approx((ref_hc / ref_hm - 1) * 0.5, rel=1e-12)

    def test_w_longer_than_v_enters_h_mass_only(self):
        hc, hm, _ = qb.BiotSavart.compute_invariants([[1, 1, 1]], [[1, 0, 0], [0, 3, 0]], [1.0, 2.0])
        assert hc == 1.0 and hm == pytest.approx(1.0 + 18.0)

    @pytest.mark.parametrize(
        "v,w,r2,msg",
        [([[1, 0, 0]] * 2, [[1, 0, 0]], [1.0, 1.0], "w has fewer entries than v"),
         ([[1, 0, 0]], [[1, 0, 0]] * 2, [1.0], "r_sq has fewer entries than w")],
    )
    def test_length_errors(self, v, w, r2, msg):
        with pytest.raises(ValueError, match="^BiotSavart.compute_invariants: " + msg + "$"):
            qb.BiotSavart.compute_invariants(v, w, r2)


class TestClass:
    def test_no_constructor(self):
        with pytest.raises(TypeError, match=r"^_bindings\.BiotSavart: No constructor defined!$"):
            qb.BiotSavart()

    def test_docstrings(self):
        assert qb.BiotSavart.compute_velocity.__doc__.endswith(
            "\n\nCompute the Biot–Savart velocity field from a closed curve at given grid points.\n"
            "Backward compatible with the historical 2-argument call; circulation defaults to 1.0.\n"
        )
        assert qb.biot_savart_velocity.__doc__.endswith("\n\nVelocity at a single point r due to a filament.\n")
        assert qb.biot_savart_velocity_grid.__doc__.endswith(
            "\n\nBiot–Savart velocity at arbitrary grid points for a polyline.\n"
            "Backward compatible with the historical 2-argument call; circulation defaults to 1.0.\n"
        )
        for name in ("compute_vorticity", "extract_interior", "compute_invariants"):
            doc = getattr(qb.BiotSavart, name).__doc__
            assert doc.startswith(name + "(") and "\n\n" not in doc.strip()
