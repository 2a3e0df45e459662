"""Crossing-number estimate and planar-diagram codes of a 2000-point curve.

estimate_crossing_number (24 directions) and pd_from_curve (40 tries) at
their defaults on two closed curves of 2000 points: a trefoil and the
embedded knot 8_18. Every direction tests all 2 M segment pairs. The same
directions are drawn in Python (the reproduction of the random source that
the tests use) and the crossings are counted by NumPy over all pairs: the
estimate must equal the smallest strict count, and the code of
pd_from_curve with its filters off the largest count. Bar: each call under
0.2 s. Exit status 1 when missed.

    .venv/bin/python bench/bench_diagram_codes.py
"""
import pathlib
import sys
import time

import numpy as np

import _bindings as qb

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import test_diagram_codes as ref  # noqa: E402
from timing import best_of

N = 2000
TIME_BAR = 0.2
TWO_PI = 6.283185307179586


def curves():
    s = np.arange(N) * TWO_PI / N
    yield "trefoil", np.stack([np.sin(s) + 2 * np.sin(2 * s), np.cos(s) - 2 * np.cos(2 * s), -np.sin(3 * s)], 1)
    block = qb.load_embedded_knot_block("8_18")
    yield "8_18", np.array(qb.evaluate_fourier_block(block, s.tolist()))


def main():
    ok = True
    for name, P in curves():
        pts = P.tolist()
        t_est, est = best_of(lambda: qb.estimate_crossing_number(pts), 5)
        t_pd, code = best_of(lambda: qb.pd_from_curve(pts), 5)
        t_off, code_off = best_of(lambda: qb.pd_from_curve(pts, min_angle_deg=0.0, depth_tol=0.0), 3)

        t0 = time.perf_counter()
        strict = [ref.strict_crossings(P, fr) for fr in ref.estimate_frames(12345, 24)]
        t_np_est = time.perf_counter() - t0
        t0 = time.perf_counter()
        found = [len(ref.diagram_crossings(P, fr)[0]) for fr in ref.pd_frames(12345, 40)]
        t_np_pd = time.perf_counter() - t0

        same = est == min(strict) and len(code_off) == max(found)
        print(f"{name}: {N} points, {(N - 1) * (N - 2) // 2 - 1} segment pairs per direction")
        print(f"  estimate_crossing_number: {t_est * 1e3:8.2f} ms  -> {est}"
              f"   (NumPy all pairs: {t_np_est * 1e3:8.1f} ms -> {min(strict)})")
        print(f"  pd_from_curve           : {t_pd * 1e3:8.2f} ms  -> {len(code)} crossings")
        print(f"  pd_from_curve, no filter: {t_off * 1e3:8.2f} ms  -> {len(code_off)} crossings"
              f"   (NumPy all pairs: {t_np_pd * 1e3:8.1f} ms -> {max(found)})")
        print(f"  same crossings as all pairs: {same}")
        ok = ok and same and t_est < TIME_BAR and t_pd < TIME_BAR
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
