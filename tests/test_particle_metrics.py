"""Relativistic metrics of the first filament and the printed core-density derivation."""
import subprocess
import sys

import numpy as np
import pytest

import _bindings

PE = _bindings.ParticleEvaluator
CE = 1093845.63
CROSS_SECTION = 6.236680122475321e-30
DEFAULT_GAMMA = 9.683619203e-09


def metrics_reference(P, gamma):
    """Frenet tangents, the single-point Biot-Savart velocity, the 32-bit mean and the sqrt map."""
    P = np.asarray(P, dtype=float)
    n = len(P)
    T = np.zeros((n, 3))
    if n >= 3:
        d = P[2:] - P[:-2]
        T[1:-1] = d / np.linalg.norm(d, axis=1)[:, None]
        T[0], T[-1] = T[1], T[-2]
    v = np.zeros((n, 3))
    for i in range(n):
        R = P[i] - P
        s = np.linalg.norm(R, axis=1)
        ok = s > 1e-6
        f = gamma / s[ok] ** 3
        v[i] = (np.cross(T[ok], R[ok]) * 0.07957747154594767 * f[:, None]).sum(axis=0)
    w = (gamma / CROSS_SECTION) * T
    acc = np.float32(0.0)
    with np.errstate(over="ignore"):  # the 32-bit sum overflows for large circulations
        for p in (v * w).sum(axis=1):
            acc = np.float32(acc + np.float32(p))
        hel = float(acc / np.float32(n))
    a = (v ** 2).sum(axis=1) / (CE * CE)
    tdm = np.where(a >= 1.0, 0.0010000000000143778, np.sqrt(np.maximum(0.0, 1.0 - a)))
    return hel, tdm, tdm.sum() / n


def helix(n, pitch=1.0, radius=2.0):
    t = np.linspace(0, 4 * np.pi, n)
    return np.stack([radius * np.cos(t), radius * np.sin(t), pitch * t], axis=1)


@pytest.mark.parametrize("gamma", [DEFAULT_GAMMA, 1.0, 2.0e7, -3.0e6])
def test_against_numpy(gamma):
    P = helix(40)
    m = PE([P.tolist(), helix(10, radius=0.5).tolist()]).compute_relativistic_metrics(gamma)
    hel, tdm, mean = metrics_reference(P, gamma)
    assert m.helicity == pytest.approx(hel, rel=1e-6, abs=1e-300)
    assert np.allclose(m.time_dilation_map, tdm, rtol=1e-13, atol=0)
    assert m.core_time_dilation == pytest.approx(mean, rel=1e-13)
    assert m.core_time_dilation == sum(m.time_dilation_map) / len(m.time_dilation_map)
    if abs(gamma) >= 2e7:
        assert 0.0010000000000143778 in m.time_dilation_map  # speeds above C_e are clamped
    # only the first filament counts
    again = PE([P.tolist()]).compute_relativistic_metrics(circulation=gamma)
    assert (again.helicity, again.time_dilation_map, again.core_time_dilation) == (
        m.helicity, m.time_dilation_map, m.core_time_dilation)


@pytest.mark.parametrize("fils,expected", [
    ([], (0.0, [], 1.0)),
    ([[], [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]]], (0.0, [], 1.0)),
    # a single point has no tangent and induces nothing
    ([[[1.0, 2.0, 3.0]]], (0.0, [1.0], 1.0)),
    # two points: the frame tangents are zero vectors
    ([[[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]]], (0.0, [1.0, 1.0], 1.0)),
])
def test_degenerate_first_filament(fils, expected):
    for gamma in (DEFAULT_GAMMA, 1e9):
        m = PE(fils).compute_relativistic_metrics(gamma)
        assert (m.helicity, m.time_dilation_map, m.core_time_dilation) == expected


def test_zero_circulation():
    m = PE([helix(20).tolist()]).compute_relativistic_metrics(0.0)
    assert (m.helicity, m.time_dilation_map, m.core_time_dilation) == (0.0, [1.0] * 20, 1.0)


def test_relaxed_set_is_trivial():
    """After the relaxation every distance is below the kernel's 1e-6 skip."""
    pe = PE([helix(30).tolist()])
    pe.relax(5)
    m = pe.compute_relativistic_metrics()
    assert (m.helicity, m.time_dilation_map, m.core_time_dilation) == (0.0, [1.0] * 30, 1.0)


def test_record():
    r = _bindings.RelativisticMetrics()
    assert (r.helicity, r.time_dilation_map, r.core_time_dilation) == (0.0, [], 0.0)
    r.time_dilation_map = (0.5, 1)
    got = r.time_dilation_map
    got.append(3.0)
    assert r.time_dilation_map == [0.5, 1.0]
    r.helicity = 2
    assert r.helicity == 2.0
    with pytest.raises(TypeError):
        r.time_dilation_map = ["x"]


RULE = "=" * 66
DERIVATION = "\n".join([
    "",
    RULE,
    "QEL CANON: DYNAMIC CLOSURE OF CORE DENSITY",
    RULE,
    "The effective mass density of the vortex core (rho_core) is strictly",
    "derived as a dynamic closure relation. The maximum tangential tension",
    "(F_max) perfectly balances the hydrodynamic inertia of the fluid.",
    "",
    "Formula: rho_core = F_max / (pi * r_c^2 * ||v_swirl||^2)",
    "",
    "[*] Core Primitives:",
    "    F_max   = 29.053507 N",
    "    r_c     = 1.40897017e-15 m",
    "    v_swirl = 1.09384563e+06 m/s",
    "",
    "[*] Derived Invariant Densities:",
    "    rho_core = 3.8934358266918687e+18 kg/m^3",
    "    rho_E    = 3.4992456123187799e+35 J/m^3",
    RULE,
    "",
    "",
])


def test_printed_derivation_on_native_stdout():
    # The report goes to the process's standard output, not sys.stdout: run
    # it in a child whose stdout is a pipe; printing twice gives the same text.
    code = ("import sys, _bindings\n"
            "sys.stdout = None\n"
            "_bindings.ParticleEvaluator.print_canonical_derivation()\n"
            "_bindings.ParticleEvaluator([]).print_canonical_derivation()\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == DERIVATION * 2
