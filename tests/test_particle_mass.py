"""Lengths, energies and masses of particle evaluators, and the tail-energy surrogate."""
import math

import numpy as np
import pytest

import _bindings

PE = _bindings.ParticleEvaluator
SCALE = 2.81794034e-15
TENSION = 14.5267535
MEV = 1.602176634e-13
RC = 1.40897017e-15


def closed_lengths(fils):
    out = []
    for f in fils:
        p = np.asarray(f, dtype=float).reshape(-1, 3)
        out.append(float(np.linalg.norm(np.roll(p, -1, axis=0) - p, axis=1).sum()) if len(p) else 0.0)
    return out


def trefoil(n, scale, shift=(0.0, 0.0, 0.0)):
    s = np.arange(n) * 2 * np.pi / n
    pts = np.stack([np.sin(s) + 2 * np.sin(2 * s), np.cos(s) - 2 * np.cos(2 * s), -np.sin(3 * s)], axis=1)
    return (pts * scale + np.asarray(shift)).tolist()


def evaluator(fils, **cfg):
    pe = PE(fils)
    c = pe.get_tail_approx_config()
    for k, v in cfg.items():
        setattr(c, k, v)
    pe.set_tail_approx_config(c)
    return pe


def test_unit_square():
    pe = PE([[[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]]])
    assert pe.get_dimless_ropelength() == 4 / SCALE
    assert pe.get_dimless_ropelength(2.0) == 4 / SCALE / 4
    assert pe.get_dimless_ropelength(stretch_lambda=0.5) == 4 / SCALE / 0.25
    assert pe.get_physical_length_m() == pytest.approx(4.0, rel=1e-15)


@pytest.mark.parametrize("fils", [
    [trefoil(50, 1e-15), trefoil(7, 2e-15, shift=(3e-15, 0, 0)), [[0.0, 0.0, 0.0]], []],
    [np.random.default_rng(5).normal(size=(30, 3)).tolist()],
])
def test_lengths_energies_masses(fils):
    pe = PE(fils)
    S = sum(closed_lengths(fils))
    rope = S / SCALE
    assert pe.get_dimless_ropelength() == pytest.approx(rope, rel=1e-14)
    assert pe.get_dimless_ropelength(3.0) == pytest.approx(rope / 9, rel=1e-14)
    assert pe.get_physical_length_m() == pytest.approx(S, rel=1e-14)
    assert pe.compute_core_energy_J() == pytest.approx(S * TENSION, rel=1e-14)
    assert pe.get_core_mass_mev_only() == pytest.approx(S * TENSION / MEV, rel=1e-14)
    assert pe.get_mass_mev_ab_initio() == pe.get_core_mass_mev_only()
    assert pe.get_mass_mev_ab_initio(False) == pe.get_core_mass_mev_only()
    # tail surrogate disabled: no tail energy even when asked for
    assert pe.compute_tail_energy_J(True) == 0.0
    assert pe.compute_tail_energy_surrogate_J() == 0.0
    assert pe.get_mass_mev_ab_initio(include_tail=True) == pe.get_mass_mev_ab_initio(False)


@pytest.mark.parametrize("fils", [[], [[], []], [[[1.0, 2.0, 3.0]]]])
def test_nothing_to_measure_is_zero(fils):
    pe = evaluator(fils, enabled=True)
    for value in (pe.get_dimless_ropelength(), pe.get_physical_length_m(), pe.compute_core_energy_J(),
                  pe.get_core_mass_mev_only(), pe.compute_tail_energy_J(True), pe.get_mass_mev_ab_initio(True),
                  pe.compute_tail_energy_surrogate_J()):
        assert value == 0.0


# --- tail-energy surrogate -------------------------------------------------

def frame(P, h):
    n = len(P)
    if n < 3:
        return np.eye(3)

    def unit(v):
        r = math.sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2])
        return np.array([1.0, 0.0, 0.0]) if r < 1e-30 else v * (1.0 / r)

    T = unit(P[(h + 1) % n] - P[(h - 1) % n])
    ref = np.array([0.0, 1.0, 0.0]) if abs(T[2]) >= 0.9 else np.array([0.0, 0.0, 1.0])
    N1 = unit(np.cross(ref, T))
    B = unit(np.cross(T, N1))
    return np.array([T, np.cross(B, T), B])


def tail_reference(fils, enabled=True, radial_samples=8, azimuth_samples=8, r_min_factor=1.25,
                   r_max_factor=8.0, exclusion_ds_factor=3.0, **_):
    """The surrogate written with NumPy: velocities of all segments at once."""
    if not enabled or not fils:
        return 0.0
    P = [np.asarray(f, dtype=float).reshape(-1, 3) for f in fils]
    r_min = r_min_factor * RC if r_min_factor > 1.01 else 1.4230598717000001e-15
    r_max = max(r_max_factor * RC, 1.1 * r_min if r_min_factor > 1.01 else 1.5653658588700003e-15)
    nr, na = max(1, radial_samples), max(1, azimuth_samples)
    radii = np.array([(k / nr) * (r_max - r_min) + r_min for k in range(nr + 1)])
    phi = ((np.arange(na) + 0.5) * 2 * np.pi) / na
    E = 0.0
    for i, Pi in enumerate(P):
        n = len(Pi)
        if n < 3:
            continue
        ds = np.linalg.norm(np.roll(Pi, -1, axis=0) - Pi, axis=1)
        L = ds.sum()
        e = (L / n) * exclusion_ds_factor
        w = math.ceil(e / max(1e-30, L / n)) if not math.isnan(e) else 1
        w = min(max(w, 1), n)
        for h in range(n):
            T, N, B = frame(Pi, h)
            for k in range(nr):
                r_mid = (radii[k] + radii[k + 1]) * 0.5
                area = (radii[k + 1] ** 2 - radii[k] ** 2) * np.pi
                X = Pi[h] + np.outer(r_mid * np.cos(phi), N) + np.outer(r_mid * np.sin(phi), B)
                u = np.zeros((na, 3))
                for g, Pg in enumerate(P):
                    m = len(Pg)
                    if m < 2:
                        continue
                    a, b = Pg, np.roll(Pg, -1, axis=0)
                    keep = np.ones(m, bool)
                    if g == i:
                        d = np.abs(np.arange(m) - h)
                        keep = np.minimum(d, m - d) > w
                    M, dl = ((a + b) / 2)[keep], (b - a)[keep]
                    R = X[:, None, :] - M[None, :, :]
                    r2 = (R ** 2).sum(axis=2) + 1e-24
                    f = 7.705979316274285e-10 / (r2 * np.sqrt(r2))
                    u += (f[:, :, None] * np.cross(dl[None, :, :], R)).sum(axis=1)
                S = (u ** 2).sum()
                E += (S / na) * 3.435e-7 * (area * ds[h])
    return E


FIL_A = trefoil(24, 1.5e-15)
FIL_B = trefoil(9, 1e-15, shift=(4e-15, 1e-15, 0.0))
VERTICAL = [[0.0, 0.0, 0.0], [1e-16, 0.0, 3e-15], [0.0, 1e-16, 6e-15], [-3e-15, 0.0, 3e-15]]

TAIL_CASES = {
    "defaults": ([FIL_A], {}),
    "two filaments": ([FIL_A, FIL_B], {}),
    "radius floors": ([FIL_A, FIL_B], dict(r_min_factor=1.01, r_max_factor=0.0)),
    "samples below one count as one": ([FIL_A], dict(radial_samples=0, azimuth_samples=-3)),
    "uneven samples": ([FIL_B, FIL_A], dict(radial_samples=3, azimuth_samples=5, r_min_factor=2.0,
                                            r_max_factor=3.0)),
    "many samples per point": ([FIL_B], dict(radial_samples=9, azimuth_samples=13)),
    "window wider than the filament": ([FIL_A, FIL_B], dict(exclusion_ds_factor=1e6)),
    "window NaN": ([FIL_A, FIL_B], dict(exclusion_ds_factor=math.nan)),
    "tangent along z": ([VERTICAL, FIL_B], {}),
    "short filaments only induce": ([FIL_B, [[0, 0, 1e-15], [1e-15, 0, 1e-15]], [[0, 0, 0]]], {}),
}


@pytest.mark.parametrize("name", list(TAIL_CASES))
def test_tail_surrogate_against_numpy(name):
    fils, cfg = TAIL_CASES[name]
    pe = evaluator(fils, enabled=True, **cfg)
    ref = tail_reference(fils, **cfg)
    got = pe.compute_tail_energy_surrogate_J()
    assert ref > 0
    assert got == pytest.approx(ref, rel=1e-11)
    assert pe.compute_tail_energy_J(True) == got
    assert pe.compute_tail_energy_J(False) == 0.0
    core = pe.compute_core_energy_J()
    assert pe.get_mass_mev_ab_initio(True) == (got + (SCALE * pe.get_dimless_ropelength()) * TENSION) / MEV
    assert pe.get_mass_mev_ab_initio(True) == pytest.approx((got + core) / MEV, rel=1e-15)


def test_tail_ignores_log_shell_weight():
    on = evaluator([FIL_A, FIL_B], enabled=True, use_log_shell_weight=True)
    off = evaluator([FIL_A, FIL_B], enabled=True)
    assert on.compute_tail_energy_surrogate_J() == off.compute_tail_energy_surrogate_J()


def test_filaments_of_two_points_carry_no_shells():
    pe = evaluator([[[0, 0, 0], [1e-15, 0, 0]], [[0, 1e-15, 0], [0, 2e-15, 0]]], enabled=True)
    assert pe.compute_tail_energy_surrogate_J() == 0.0


@pytest.mark.parametrize("field", ["radial_samples", "azimuth_samples"])
@pytest.mark.parametrize("value", [2**31 - 1, 2**20 + 1])
def test_oversized_sample_tables_are_refused(field, value):
    pe = evaluator([FIL_A], enabled=True, **{field: value})
    with pytest.raises(ValueError, match=field):
        pe.compute_tail_energy_surrogate_J()
    with pytest.raises(ValueError, match=field):
        pe.get_mass_mev_ab_initio(True)
    assert pe.get_mass_mev_ab_initio(False) == pe.get_core_mass_mev_only()
    off = evaluator([FIL_A], enabled=False, **{field: value})
    assert off.compute_tail_energy_surrogate_J() == 0.0
