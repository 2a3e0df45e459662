"""Helicity and thin-filament energy of Fourier-series files, against NumPy
evaluations of the grid pipeline and of the energy sums."""
import math

import numpy as np
import pytest

from test_fseries_tools_metrics import TREFOIL, fseries_text, ref_metrics, ref_min_dist, ref_samples, write

TWO_PI = 6.283185307179586


@pytest.fixture
def trefoil(tmp_path):
    return write(tmp_path, "t.fseries", fseries_text([[1.0, 0.0, 0.0, 1.0, 0.0, 0.0]], TREFOIL))


def ref_grid_helicity(rows, G, h, m, n):
    """H_charge, H_mass, a_mu of a block: samples at k*2pi/(n-1), both ends
    included, centred; Biot-Savart velocity of the closed polyline on the grid;
    negated periodic curl; interior m nodes in from every face."""
    c = np.asarray(rows, dtype=float)
    s = np.arange(n) * TWO_PI / (n - 1)
    w = np.arange(1, len(c) + 1)
    cos, sin = np.cos(np.outer(s, w)), np.sin(np.outer(s, w))
    p = np.stack([cos @ c[:, 2 * d] + sin @ c[:, 2 * d + 1] for d in range(3)], axis=1)
    p -= p.mean(axis=0)
    g = G // 2
    ax = np.arange(-g, G - g) * h
    X = np.stack(np.meshgrid(ax, ax, ax, indexing="ij"), axis=-1).reshape(-1, 3)
    q = np.roll(p, -1, axis=0)
    mid, dl = 0.5 * (p + q), q - p
    R = X[:, None, :] - mid[None, :, :]
    d = np.sum(R * R, axis=2) ** 1.5 + 1e-12
    v = np.sum(np.cross(dl[None, :, :], R) / d[:, :, None], axis=1) / 12.566370614359172
    u = v.reshape(G, G, G, 3)

    def D(axis, comp):
        return (np.roll(u[..., comp], -1, axis) - np.roll(u[..., comp], 1, axis)) / (h + h)

    wv = np.stack([D(2, 1) - D(1, 2), D(0, 2) - D(2, 0), D(1, 0) - D(0, 1)], axis=-1)
    inner = slice(m, G - m)
    vs, ws = u[inner, inner, inner].reshape(-1, 3), wv[inner, inner, inner].reshape(-1, 3)
    r2 = np.sum(X.reshape(G, G, G, 3)[inner, inner, inner].reshape(-1, 3) ** 2, axis=1)
    Hc = np.sum(vs * ws)
    Hm = np.sum(np.sum(ws * ws, axis=1) * r2)
    return Hc, Hm, 0.5 * (Hc / Hm - 1.0), np.sum(np.abs(vs * ws))


class TestHelicity:
    @pytest.mark.parametrize("G, h, m, n", [(8, 0.9, 2, 40), (7, 1.1, 1, 33)])
    def test_against_numpy(self, trefoil, qb, G, h, m, n):
        r = qb.compute_helicity_from_fseries(trefoil, G, h, m, n)
        Hc, Hm, a_mu, scale = ref_grid_helicity(TREFOIL, G, h, m, n)
        assert r.Hc == pytest.approx(Hc, abs=1e-11 * scale)
        assert r.Hm == pytest.approx(Hm, rel=1e-11)
        assert r.a_mu == pytest.approx(0.5 * (r.Hc / r.Hm - 1.0), rel=1e-15)
        assert r.a_mu == pytest.approx(a_mu, abs=1e-9)
        # The metrics come from the samples with the end excluded, skip 3.
        p = ref_samples(TREFOIL, n)
        L, kmax, kmean, bend = ref_metrics(p)
        assert (r.path, r.nsamples) == (trefoil, n)
        assert r.L == pytest.approx(L, rel=1e-13)
        assert (r.kappa_max, r.kappa_mean, r.bend_energy) == pytest.approx((kmax, kmean, bend), rel=1e-11)
        assert r.min_non_neighbor_dist == pytest.approx(ref_min_dist(p, 3), rel=1e-13)
        assert r.reach_proxy == pytest.approx(ref_min_dist(p, 3) / 2, rel=1e-13)

    def test_defaults(self, trefoil, qb):
        r = qb.compute_helicity_from_fseries(trefoil, nsamples=500)
        same = qb.compute_helicity_from_fseries(trefoil, 32, 0.1, 8, 500)
        fields = ["Hc", "Hm", "a_mu", "L", "kappa_max", "min_non_neighbor_dist", "nsamples"]
        assert [getattr(r, f) for f in fields] == [getattr(same, f) for f in fields]
        assert qb.compute_helicity_from_fseries(trefoil).nsamples == 1000

    @pytest.mark.parametrize("n", [4, 7])
    def test_no_pair_more_than_three_apart(self, trefoil, qb, n):
        r = qb.compute_helicity_from_fseries(trefoil, 6, 0.5, 1, n)
        assert (r.min_non_neighbor_dist, r.reach_proxy) == (1e300, 5e299)

    @pytest.mark.parametrize("n", [0, 1])
    def test_too_few_samples(self, trefoil, qb, n):
        r = qb.compute_helicity_from_fseries(trefoil, 6, 0.5, 1, n)
        assert (r.Hc, r.Hm, r.L, r.kappa_max, r.min_non_neighbor_dist) == (0.0, 0.0, 0.0, 0.0, 0.0)
        assert math.isnan(r.a_mu)

    def test_no_interior(self, trefoil, qb):
        r = qb.compute_helicity_from_fseries(trefoil, 8, 0.5, 4, 20)
        assert (r.Hc, r.Hm) == (0.0, 0.0) and math.isnan(r.a_mu)
        assert r.L > 0

    @pytest.mark.parametrize("kwargs", [{"interior_margin": -1}, {"grid_size": 1291}, {"grid_size": -2}])
    def test_grid_refusals(self, trefoil, tmp_path, qb, kwargs):
        with pytest.raises(ValueError):
            qb.compute_helicity_from_fseries(trefoil, nsamples=10, **kwargs)
        # A file without blocks is reported first.
        missing = str(tmp_path / "none.fseries")
        with pytest.raises(RuntimeError, match="^no blocks parsed from: "):
            qb.compute_helicity_from_fseries(missing, nsamples=10, **kwargs)


def ref_energy(rows, P):
    """The energy record's numbers for parameters P (a dict)."""
    n = P["nsamples"]
    p = ref_samples(rows, n)
    L, kmax, kmean, bend = ref_metrics(p)
    ds = L / n if n > 0 else 0.0
    base = P["skip_neighbors_base"]
    if P["s_cut_local"] > 0 and ds > 0:
        m_loc = max(math.ceil(P["s_cut_local"] / ds), base)
    else:
        m_loc = max(base, 0)
    E_nl = 0.0
    if P["include_nonlocal"] and n >= 2:
        seg = np.roll(p, -1, axis=0) - p
        ln = np.linalg.norm(seg, axis=1)
        T = np.where(ln[:, None] > 0, seg / np.where(ln > 0, ln, 1.0)[:, None], 0.0)
        j, k = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
        sep = np.minimum(abs(k - j), n - abs(k - j))
        dist = np.linalg.norm(p[None, :, :] - p[:, None, :], axis=2)
        cut = P["delta"] if P["delta"] > 0 else 0.0
        keep = (sep > m_loc) & (dist > cut)
        S = np.sum((T @ T.T)[keep] / dist[keep]) * ds * ds
        E_nl = S * P["rho_outer"] * P["Gamma"] ** 2 / (8 * math.pi)
    E_loc = 0.0
    if P["include_local_match"] and P["s_cut_local"] > 0 and P["a_core"] > 0:
        E_loc = P["rho_local"] * P["Gamma"] ** 2 / (4 * math.pi) * L * (
            math.log(P["s_cut_local"] / P["a_core"]) + P["c_rankine_outer"])
    E_core = P["rho_local"] * P["Gamma"] ** 2 / (16 * math.pi) * L if P["include_core_int"] else 0.0
    dmin = ref_min_dist(p, max(1, base))
    return dict(L=L, ds_avg=ds, m_loc=m_loc, E_nonlocal=E_nl, E_local_match=E_loc, E_core_int=E_core,
                E_total=E_nl + E_loc + E_core, kappa_max=kmax, kappa_mean=kmean, bend_energy=bend,
                min_non_neighbor_dist=dmin, reach_proxy=dmin / 2)


DEFAULTS = dict(rho_outer=7e-7, rho_local=7e-7, Gamma=1.0, a_core=1.0, delta=0.0, s_cut_local=0.0,
                include_nonlocal=True, include_local_match=True, include_core_int=True, c_rankine_outer=0.0,
                nsamples=1024, skip_neighbors_base=1)


def params(qb, **overrides):
    P = qb.FilamentEnergyParams()
    for key, value in overrides.items():
        setattr(P, key, value)
    return P


class TestFilamentEnergy:
    @pytest.mark.parametrize(
        "overrides",
        [
            {},
            {"skip_neighbors_base": 0},
            {"skip_neighbors_base": -3},
            {"skip_neighbors_base": 5, "Gamma": 2.5, "rho_outer": 1.3, "rho_local": 0.7},
            {"s_cut_local": 0.9, "a_core": 0.1, "c_rankine_outer": 0.25},
            {"s_cut_local": 0.9, "a_core": 0.0},
            {"s_cut_local": 0.3, "skip_neighbors_base": 9},
            {"delta": 1.0},
            {"delta": 100.0},
            {"include_nonlocal": False, "s_cut_local": 0.5},
            {"include_local_match": False, "s_cut_local": 0.5},
            {"include_core_int": False},
            {"nsamples": 0, "skip_neighbors_base": 4},
            {"nsamples": 0, "skip_neighbors_base": -4},
            {"nsamples": 1},
            {"nsamples": 2, "skip_neighbors_base": 0},
        ],
    )
    def test_against_numpy(self, trefoil, qb, overrides):
        P = dict(DEFAULTS, nsamples=60)
        P.update(overrides)
        r = qb.compute_filament_energy_from_fseries(trefoil, params(qb, **P))
        want = ref_energy(TREFOIL, P)
        assert r.m_loc == want.pop("m_loc")
        for key, value in want.items():
            assert getattr(r, key) == pytest.approx(value, rel=1e-11, abs=1e-300), key
        for key in ("rho_outer", "rho_local", "Gamma", "a_core", "delta", "s_cut_local", "c_rankine_outer",
                    "nsamples"):
            assert getattr(r, key) == P[key], key
        assert r.path == trefoil
        assert r.E_total == (r.E_local_match + r.E_nonlocal) + r.E_core_int

    def test_default_parameters(self, trefoil, qb):
        P = qb.FilamentEnergyParams()
        r = qb.compute_filament_energy_from_fseries(trefoil, P)
        assert (r.nsamples, r.m_loc, r.rho_outer, r.Gamma, r.E_local_match) == (1024, 1, 7e-7, 1.0, 0.0)
        assert r.E_core_int == pytest.approx(7e-7 * r.L / (16 * math.pi), rel=1e-15)
        assert r.E_nonlocal > 0
        # The parameters are only read.
        assert (P.nsamples, P.skip_neighbors_base, P.s_cut_local) == (1024, 1, 0.0)

    @pytest.mark.parametrize("ratio, cells", [(4.0, 4), (4.2, 5)])
    def test_cutoff_in_samples_is_the_ceiling(self, trefoil, qb, ratio, cells):
        ds = qb.compute_filament_energy_from_fseries(trefoil, params(qb, nsamples=64)).ds_avg
        for base, want in ((1, cells), (7, 7)):
            P = params(qb, nsamples=64, s_cut_local=ratio * ds, skip_neighbors_base=base)
            assert qb.compute_filament_energy_from_fseries(trefoil, P).m_loc == want

    @pytest.mark.parametrize("s_cut", [1e308, math.inf, 1e-80])
    def test_huge_cutoff_excludes_every_pair(self, tmp_path, qb, s_cut):
        # Tiny coefficients make the spacing tiny as well.
        path = write(tmp_path, "tiny.fseries", fseries_text([[1e-100, 0.0, 0.0, 1e-100, 0.0, 0.0]]))
        P = params(qb, nsamples=32, s_cut_local=s_cut)
        r = qb.compute_filament_energy_from_fseries(path, P)
        assert r.m_loc == 2**31 - 1
        assert r.E_nonlocal == 0.0
        P.s_cut_local = 1.0
        assert qb.compute_filament_energy_from_fseries(path, P).m_loc == 2**31 - 1
