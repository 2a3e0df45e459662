"""Cutoff-energy scan: native one-pass kernel against NumPy on the same sums.

A closed filament of N = 3000 vertices and M = 5000 ascending cutoffs. The
NumPy version forms the same ordered-pair weights (t_i . t_j) ds_i ds_j / d_ij,
finds each pair's cutoff count with searchsorted and sums the difference list
with bincount and cumsum, in row blocks to bound its memory. Both results
are compared, then the bar is checked: the native scan at least 20 times
faster than NumPy and under 2 s. Exit status 1 when the bar is missed.

    .venv/bin/python bench/bench_cutoff_scan.py
"""
import math
import sys

import numpy as np

import _bindings as qb
from timing import best_of

N = 3000
M = 5000
ROW_BLOCK = 200
SPEEDUP_BAR = 20.0
TIME_BAR = 2.0


def filament(n):
    s = np.linspace(0.0, 2.0 * np.pi, n, endpoint=False)
    p = np.stack([np.sin(s) + 2 * np.sin(2 * s), np.cos(s) - 2 * np.cos(2 * s), -np.sin(3 * s)], axis=1)
    dl = np.roll(p, -1, axis=0) - p
    ds = np.linalg.norm(dl, axis=1)
    return p, dl / ds[:, None], ds


def scan_numpy(p, t, ds, cutoffs):
    m = len(cutoffs)
    diff = np.zeros(m + 1)
    for i0 in range(0, len(p), ROW_BLOCK):
        i1 = min(len(p), i0 + ROW_BLOCK)
        r = p[None, :, :] - p[i0:i1, None, :]
        d = np.sqrt(np.einsum("ijk,ijk->ij", r, r))
        k = np.searchsorted(cutoffs, d, side="left")
        keep = (d > 0.0) & (k > 0)
        w = ((t[i0:i1] @ t.T)[keep] / d[keep]) * (ds[i0:i1, None] * ds[None, :])[keep]
        diff[0] += w.sum()
        diff -= np.bincount(k[keep], weights=w, minlength=m + 1)
    return np.cumsum(diff[:m]) / (8.0 * math.pi)


def main():
    p, t, ds = filament(N)
    span = np.max(np.linalg.norm(p - p[0], axis=1))
    cutoffs = np.linspace(0.0, 1.1 * span, M)

    t_native, e_native = best_of(lambda: qb.calculate_bs_cutoff_energy_scan(p, t, ds, cutoffs), 5)
    t_numpy, e_numpy = best_of(lambda: scan_numpy(p, t, ds, cutoffs), 2)

    err = np.max(np.abs(e_native - e_numpy)) / np.max(np.abs(e_numpy))
    speedup = t_numpy / t_native
    print(f"cutoff scan, N = {N} vertices, M = {M} cutoffs")
    print(f"  native : {t_native * 1e3:9.1f} ms")
    print(f"  NumPy  : {t_numpy * 1e3:9.1f} ms")
    print(f"  speed-up {speedup:.1f}x (bar {SPEEDUP_BAR:.0f}x), native under {TIME_BAR:.0f} s: {t_native < TIME_BAR}")
    print(f"  largest difference relative to max |E|: {err:.2e}")

    ok = err < 1e-10 and speedup >= SPEEDUP_BAR and t_native < TIME_BAR
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
