"""Sampling of Fourier-series files and the discrete curve metrics, the
comparison of two files, and the rules the file tools' Python faces share.

References are NumPy evaluations of the formulas on small files.
"""
import math

import numpy as np
import pytest

import _bindings

TWO_PI = 6.283185307179586

# A trefoil with uneven harmonics, rows a_x b_x a_y b_y a_z b_z per harmonic.
TREFOIL = [
    [0.3, 1.0, 0.1, -0.2, 0.0, 0.05],
    [0.0, 2.0, -2.0, 0.0, 0.0, 0.0],
    [0.0, 0.1, 0.05, 0.0, 0.0, -1.0],
]
CIRCLE = [[1.0, 0.0, 0.0, 1.0, 0.0, 0.0]]


def fseries_text(*blocks, header="% knot"):
    out = []
    for rows in blocks:
        out.append(header)
        out.extend(" ".join(repr(v) for v in r) for r in rows)
    return "\n".join(out) + "\n"


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return str(p)


def ref_samples(rows, n):
    """Samples at i*2pi/n, end excluded, centred; row k is harmonic k+1."""
    c = np.asarray(rows, dtype=float).reshape(-1, 6)
    t = (np.arange(n) * TWO_PI) / n if n else np.zeros(0)
    w = np.arange(1, len(c) + 1)
    cos, sin = np.cos(np.outer(t, w)), np.sin(np.outer(t, w))
    p = np.stack([cos @ c[:, 2 * d] + sin @ c[:, 2 * d + 1] for d in range(3)], axis=1)
    return p - p.mean(axis=0) if n else p.reshape(0, 3)


def ref_metrics(p):
    """L, kappa_max, kappa_mean, bend_energy of a closed polyline."""
    n = len(p)
    if n <= 1:
        return 0.0, 0.0, 0.0, 0.0
    seg = np.roll(p, -1, axis=0) - p
    e = np.linalg.norm(seg, axis=1)
    L = e.sum()
    if n <= 2 or L <= 0:
        return L, 0.0, 0.0, 0.0
    back, d = np.roll(seg, 1, axis=0), np.roll(e, 1)
    ok = (d > 0) & (e > 0)
    f = 0.5 * (e + d)
    kappa = np.zeros(n)
    kappa[ok] = np.linalg.norm(seg[ok] / e[ok, None] - back[ok] / d[ok, None], axis=1) / f[ok]
    return L, kappa.max(), kappa.sum() / n, (kappa**2 * f)[ok].sum()


def ref_min_dist(p, skip):
    n = len(p)
    if n <= 3:
        return 0.0
    i, j = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
    sep = np.minimum(abs(i - j), n - abs(i - j))
    d = np.linalg.norm(p[:, None, :] - p[None, :, :], axis=2)
    keep = (i != j) & (sep > skip)
    return d[keep].min() if keep.any() else 1e300


@pytest.fixture
def trefoil(tmp_path):
    return write(tmp_path, "t.fseries", fseries_text(TREFOIL))


class TestSampling:
    @pytest.mark.parametrize(
        "blocks, used",
        [
            ((CIRCLE, TREFOIL), TREFOIL),  # the block with the most rows
            ((TREFOIL, [r[::-1] for r in TREFOIL]), TREFOIL),  # first on ties
            (([[0.0] * 6] + CIRCLE,), [[0.0] * 6] + CIRCLE),  # a zero row is harmonic 1
        ],
        ids=["largest", "first-on-ties", "zero-row-harmonic-1"],
    )
    def test_against_numpy(self, tmp_path, qb, blocks, used):
        path = write(tmp_path, "k.fseries", fseries_text(*blocks))
        got = np.array(qb.sample_curve_centered(path, 37))
        np.testing.assert_allclose(got, ref_samples(used, 37), rtol=0, atol=1e-13)

    def test_end_excluded_centred_and_default_count(self, tmp_path, qb):
        # The circle of harmonic 2 (after a zero row): four samples at 0, pi/2,
        # pi, 3pi/2 of the parameter land on (1,0), (-1,0), (1,0), (-1,0).
        path = write(tmp_path, "c.fseries", fseries_text([[0.0] * 6] + CIRCLE))
        np.testing.assert_allclose(qb.sample_curve_centered(path, 4),
                                   [[1, 0, 0], [-1, 0, 0], [1, 0, 0], [-1, 0, 0]], atol=1e-15)
        pts = np.array(qb.sample_curve_centered(path))
        assert pts.shape == (1024, 3)
        np.testing.assert_allclose(pts.mean(axis=0), 0.0, atol=1e-15)

    def test_zero_samples(self, trefoil, qb):
        assert qb.sample_curve_centered(trefoil, 0) == []


class TestMetrics:
    @pytest.mark.parametrize("n", [5, 64, 301])
    def test_record_against_numpy(self, trefoil, qb, n):
        p = ref_samples(TREFOIL, n)
        L, kmax, kmean, bend = ref_metrics(p)
        r = qb.compute_curve_metrics_from_fseries(trefoil, n, 3)
        assert isinstance(r, qb.FilamentEnergyResult)
        assert (r.path, r.nsamples) == (trefoil, n)
        assert r.L == pytest.approx(L, rel=1e-13)
        assert r.ds_avg == pytest.approx(L / n, rel=1e-13)
        assert r.kappa_max == pytest.approx(kmax, rel=1e-11)
        assert r.kappa_mean == pytest.approx(kmean, rel=1e-11)
        assert r.bend_energy == pytest.approx(bend, rel=1e-11)
        dmin = ref_min_dist(p, 3)
        assert r.min_non_neighbor_dist == pytest.approx(dmin, rel=1e-13)
        assert r.reach_proxy == pytest.approx(dmin / 2, rel=1e-13)
        # Fields of the energy routine keep their defaults.
        assert (r.m_loc, r.E_total, r.E_nonlocal, r.Gamma, r.rho_outer) == (0, 0.0, 0.0, 0.0, 0.0)

    @pytest.mark.parametrize("skip", [-5, 0, 1, 3, 17, 31])
    def test_non_neighbour_distance_against_numpy(self, trefoil, qb, skip):
        dmin = ref_min_dist(ref_samples(TREFOIL, 64), skip)
        assert qb.min_non_neighbor_distance_from_fseries(trefoil, 64, skip) == pytest.approx(dmin, rel=1e-13)
        assert qb.reach_proxy_from_fseries(trefoil, 64, skip) == pytest.approx(dmin / 2, rel=1e-13)

    def test_sentinel_when_no_pair_qualifies(self, trefoil, qb):
        # Eight samples: the largest cyclic separation is 4.
        for skip in (4, 5, 2**31 - 1):
            assert qb.min_non_neighbor_distance_from_fseries(trefoil, 8, skip) == 1e300
            assert qb.reach_proxy_from_fseries(trefoil, 8, skip) == 5e299
        # With skip 3 only the four opposite pairs count.
        p = ref_samples(TREFOIL, 8)
        opposite = min(np.linalg.norm(p[i] - p[i + 4]) for i in range(4))
        assert qb.min_non_neighbor_distance_from_fseries(trefoil, 8, 3) == pytest.approx(opposite, rel=1e-14)

    @pytest.mark.parametrize("n", [0, 1, 2, 3])
    def test_few_samples(self, trefoil, qb, n):
        p = ref_samples(TREFOIL, n)
        r = qb.compute_curve_metrics_from_fseries(trefoil, n, 0)
        L = ref_metrics(p)[0]  # for two points twice the chord
        assert r.L == pytest.approx(L, rel=1e-13)
        assert r.ds_avg == (pytest.approx(L / n, rel=1e-13) if n else 0.0)
        if n < 3:
            assert (r.kappa_max, r.kappa_mean, r.bend_energy) == (0.0, 0.0, 0.0)
        assert (r.min_non_neighbor_dist, r.reach_proxy, r.nsamples) == (0.0, 0.0, n)

    def test_degenerate_curve_gives_zeros(self, tmp_path, qb):
        # All coefficients zero: every sample at the origin.
        path = write(tmp_path, "z.fseries", fseries_text([[0.0] * 6, [0.0] * 6]))
        r = qb.compute_curve_metrics_from_fseries(path, 16, 3)
        assert (r.L, r.ds_avg, r.kappa_max, r.kappa_mean, r.bend_energy) == (0.0,) * 5
        assert (r.min_non_neighbor_dist, r.reach_proxy) == (0.0, 0.0)

    def test_length_face_matches_record(self, trefoil, qb):
        assert qb.curve_length_from_fseries(trefoil, 100) == qb.compute_curve_metrics_from_fseries(trefoil, 100, 9).L
        assert qb.curve_length_from_fseries(trefoil) == pytest.approx(ref_metrics(ref_samples(TREFOIL, 2048))[0],
                                                                      rel=1e-13)

    def test_circle_converges(self, tmp_path, qb):
        path = write(tmp_path, "c.fseries", fseries_text(CIRCLE))
        r = qb.compute_curve_metrics_from_fseries(path)
        assert r.L == pytest.approx(2 * math.pi, rel=1e-6)
        assert r.kappa_max == pytest.approx(1.0, rel=1e-6)
        assert r.bend_energy == pytest.approx(2 * math.pi, rel=1e-6)
        assert r.min_non_neighbor_dist == pytest.approx(2 * math.sin(4 * math.pi / 2048), rel=1e-12)


def _call_all(qb, path, n):
    """Every file function with the sample count n; the names to test."""
    params = qb.FilamentEnergyParams()
    params.nsamples = n
    return {
        "sample_curve_centered": lambda: qb.sample_curve_centered(path, n),
        "compute_curve_metrics_from_fseries": lambda: qb.compute_curve_metrics_from_fseries(path, n),
        "curve_length_from_fseries": lambda: qb.curve_length_from_fseries(path, n),
        "min_non_neighbor_distance_from_fseries": lambda: qb.min_non_neighbor_distance_from_fseries(path, n),
        "reach_proxy_from_fseries": lambda: qb.reach_proxy_from_fseries(path, n),
        "compute_filament_energy_from_fseries": lambda: qb.compute_filament_energy_from_fseries(path, params),
        "compute_helicity_from_fseries": lambda: qb.compute_helicity_from_fseries(path, nsamples=n),
        "compare_fseries_files": lambda: qb.compare_fseries_files(path, path, n),
    }


FILE_FUNCTIONS = [
    "sample_curve_centered",
    "compute_curve_metrics_from_fseries",
    "curve_length_from_fseries",
    "min_non_neighbor_distance_from_fseries",
    "reach_proxy_from_fseries",
    "compute_filament_energy_from_fseries",
    "compute_helicity_from_fseries",
    "compare_fseries_files",
]


class TestErrors:
    @pytest.mark.parametrize("name", FILE_FUNCTIONS)
    @pytest.mark.parametrize("kind", ["missing", "comments-only", "directory"])
    def test_no_blocks_comes_before_negative_count(self, tmp_path, qb, name, kind):
        if kind == "missing":
            path = str(tmp_path / "absent.fseries")
        elif kind == "comments-only":
            path = write(tmp_path, "c.fseries", "% nothing\n% here\n")
        else:
            path = str(tmp_path)
        with pytest.raises(RuntimeError) as exc:
            _call_all(qb, path, -1)[name]()
        assert str(exc.value) == "no blocks parsed from: " + path

    @pytest.mark.parametrize("name", FILE_FUNCTIONS)
    def test_negative_count(self, trefoil, qb, name):
        with pytest.raises(ValueError, match=r"^vector::reserve$"):
            _call_all(qb, trefoil, -1)[name]()

    @pytest.mark.parametrize(
        "call",
        [
            lambda qb, p: qb.sample_curve_centered(p, 1.5),
            lambda qb, p: qb.sample_curve_centered(p, nsamples=2**31),
            lambda qb, p: qb.compute_curve_metrics_from_fseries(p, 64, 3.0),
            lambda qb, p: qb.compute_curve_metrics_from_fseries(p, skip=-(2**31) - 1),
            lambda qb, p: qb.min_non_neighbor_distance_from_fseries(p, 64, 2**40),
            lambda qb, p: qb.reach_proxy_from_fseries(p, 64.0),
            lambda qb, p: qb.curve_length_from_fseries(p, "64"),
            lambda qb, p: qb.compare_fseries_files(p, p, 64, 1.0),
            lambda qb, p: qb.compute_helicity_from_fseries(p, grid_size=8.0),
            lambda qb, p: qb.compute_helicity_from_fseries(p, interior_margin=2**32),
            lambda qb, p: qb.batch_helicity_from_dir(p, nsamples=10.0),
            lambda qb, p: qb.compute_filament_energy_from_fseries(p, None),
            lambda qb, p: qb.canonicalize_fseries_file_inplace(1),
        ],
    )
    def test_arguments_that_do_not_convert(self, trefoil, qb, call):
        with pytest.raises(TypeError):
            call(qb, trefoil)

    def test_keywords_and_32_bit_limits_accepted(self, trefoil, qb):
        big = 2**31 - 1
        assert qb.min_non_neighbor_distance_from_fseries(path=trefoil, nsamples=8, skip=big) == 1e300
        assert qb.min_non_neighbor_distance_from_fseries(trefoil, 8, -(2**31)) > 0.0
        assert qb.min_non_neighbor_distance_from_fseries(trefoil, np.int32(8), np.int64(4)) == 1e300


class TestCompare:
    KEYS = ["L_a", "L_b", "bend_energy_a", "bend_energy_b", "dL", "dbend_energy", "dkappa_max", "dkappa_mean",
            "dreach_proxy", "kappa_max_a", "kappa_max_b", "kappa_mean_a", "kappa_mean_b", "reach_proxy_a",
            "reach_proxy_b", "rms_point_delta"]

    def test_against_numpy(self, tmp_path, qb):
        a = write(tmp_path, "a.fseries", fseries_text(TREFOIL))
        other = [r[:] for r in TREFOIL] + [[0.0, 0.02, 0.0, 0.0, 0.1, 0.0]]
        b = write(tmp_path, "b.fseries", fseries_text(other))
        n, skip = 96, 5
        got = qb.compare_fseries_files(a, b, n, skip)
        assert list(got) == self.KEYS
        pa, pb = ref_samples(TREFOIL, n), ref_samples(other, n)
        ma, mb = ref_metrics(pa), ref_metrics(pb)
        want = {"rms_point_delta": math.sqrt(np.mean(np.sum((pa - pb) ** 2, axis=1)))}
        names = ["L", "kappa_max", "kappa_mean", "bend_energy"]
        for name, va, vb in zip(names, ma, mb):
            want[f"{name}_a"], want[f"{name}_b"], want[f"d{name}"] = va, vb, vb - va
        ra, rb = ref_min_dist(pa, skip) / 2, ref_min_dist(pb, skip) / 2
        want.update(reach_proxy_a=ra, reach_proxy_b=rb, dreach_proxy=rb - ra)
        for key in self.KEYS:
            assert got[key] == pytest.approx(want[key], rel=1e-10, abs=1e-12), key
        # Differences are b - a, taken from the reported values.
        assert got["dL"] == got["L_b"] - got["L_a"]

    def test_index_by_index_no_alignment(self, tmp_path, qb):
        # The same circle started half a turn later: every sample is moved to
        # the opposite point, so the rms distance is the diameter although the
        # curves are identical.
        a = write(tmp_path, "a.fseries", fseries_text(CIRCLE))
        b = write(tmp_path, "b.fseries", fseries_text([[-1.0, 0.0, 0.0, -1.0, 0.0, 0.0]]))
        got = qb.compare_fseries_files(a, b, 64)
        assert got["rms_point_delta"] == pytest.approx(2.0, rel=1e-14)
        for key in ("dL", "dkappa_max", "dkappa_mean", "dbend_energy", "dreach_proxy"):
            assert got[key] == pytest.approx(0.0, abs=1e-12)

    def test_file_with_itself(self, trefoil, qb):
        got = qb.compare_fseries_files(trefoil, trefoil)
        assert all(got[k] == 0.0 for k in self.KEYS if k.startswith("d") or k == "rms_point_delta")
        assert got["L_a"] == got["L_b"] > 0

    def test_zero_samples_and_no_qualifying_pair(self, trefoil, qb):
        assert set(qb.compare_fseries_files(trefoil, trefoil, 0).values()) == {0.0}
        got = qb.compare_fseries_files(trefoil, trefoil, 8, 4)
        assert (got["reach_proxy_a"], got["reach_proxy_b"], got["dreach_proxy"]) == (5e299, 5e299, 0.0)

    def test_a_errors_first(self, tmp_path, trefoil, qb):
        a, b = str(tmp_path / "a.fseries"), str(tmp_path / "b.fseries")
        with pytest.raises(RuntimeError, match="^no blocks parsed from: .*a.fseries$"):
            qb.compare_fseries_files(a, b)
        with pytest.raises(RuntimeError, match="^no blocks parsed from: .*b.fseries$"):
            qb.compare_fseries_files(trefoil, b)
        with pytest.raises(RuntimeError, match="^no blocks parsed from: .*a.fseries$"):
            qb.compare_fseries_files(a, trefoil, -1)
        with pytest.raises(ValueError, match="^vector::reserve$"):
            qb.compare_fseries_files(trefoil, b, -1)


class TestPythonFaces:
    def test_record_defaults(self, qb):
        c = qb.CanonicalizeResult()
        assert (c.path, c.found_numeric_rows, c.changed, c.reason) == ("", 0, False, "")
        h = qb.HelicityResult()
        assert h.path == "" and h.nsamples == 0
        assert {getattr(h, a) for a in ("a_mu", "Hc", "Hm", "L", "kappa_max", "kappa_mean", "bend_energy",
                                         "min_non_neighbor_dist", "reach_proxy")} == {0.0}
        r = qb.FilamentEnergyResult()
        assert (r.path, r.m_loc, r.nsamples, r.E_total, r.Gamma, r.c_rankine_outer) == ("", 0, 0, 0.0, 0.0, 0.0)
        p = qb.FilamentEnergyParams()
        assert (p.rho_outer, p.rho_local, p.Gamma, p.a_core, p.delta, p.s_cut_local, p.c_rankine_outer) == (
            7e-7, 7e-7, 1.0, 1.0, 0.0, 0.0, 0.0)
        assert (p.include_nonlocal, p.include_local_match, p.include_core_int) == (True, True, True)
        assert (p.nsamples, p.skip_neighbors_base) == (1024, 1)

    def test_attributes_convert_like_arguments(self, qb):
        p = qb.FilamentEnergyParams()
        p.nsamples, p.Gamma, p.include_core_int = 256, 3, False
        assert (p.nsamples, p.Gamma, p.include_core_int) == (256, 3.0, False)
        with pytest.raises(TypeError):
            p.nsamples = 2.5
        with pytest.raises(TypeError):
            p.skip_neighbors_base = 2**31
        c = qb.CanonicalizeResult()
        c.reason = "x"
        with pytest.raises(TypeError):
            c.path = 5

    def test_registration_order_and_no_docstrings(self, qb):
        names = qb.list_bindings()
        assert names["classes"][-4:] == ["CanonicalizeResult", "HelicityResult", "FilamentEnergyParams",
                                         "FilamentEnergyResult"]
        functions = ["canonicalize_fseries_file_inplace", "compute_helicity_from_fseries", "sample_curve_centered",
                     "compute_curve_metrics_from_fseries", "curve_length_from_fseries",
                     "min_non_neighbor_distance_from_fseries", "reach_proxy_from_fseries",
                     "compute_filament_energy_from_fseries", "batch_helicity_from_dir", "compare_fseries_files"]
        assert names["functions"][-10:] == functions
        for name in functions:
            doc = getattr(qb, name).__doc__
            assert doc.startswith(name + "(") and doc.count("\n") == 1, name
        for cls in names["classes"][-4:]:
            assert getattr(qb, cls).__doc__ is None
