"""Fourier-series file tools at their defaults.

The 78 embedded Fourier-series knots are written to a temporary directory.
Bars: `batch_helicity_from_dir` over that directory under 8 s (78 grid
helicities of 32^3 nodes x 1000 samples each); `compare_fseries_files` and
each curve-metric function (2048 samples) under 50 ms on the knot with the
most harmonics. Best of several runs. Exit status 1 when a bar is missed.

    .venv/bin/python bench/bench_fseries_tools.py
"""
import pathlib
import sys
import tempfile
import time

import _bindings as qb
from timing import best_of

BATCH_BAR = 8.0
FILE_BAR = 0.050


def main():
    files = qb.get_embedded_knot_files()
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        harmonics = {}
        for knot_id, text in files.items():
            (root / f"{knot_id}.fseries").write_text(text)
            blocks = qb.parse_fseries_from_string(text)
            harmonics[knot_id] = len(blocks[qb.index_of_largest_block(blocks)].a_x)
        big = max(harmonics, key=harmonics.get)
        other = sorted(harmonics, key=harmonics.get)[-2]
        path, path_b = str(root / f"{big}.fseries"), str(root / f"{other}.fseries")

        print(f"Fourier-series file tools, {len(files)} embedded knots")
        c0 = time.process_time()
        t_batch, res = best_of(lambda: qb.batch_helicity_from_dir(str(root)), 2)
        cpu = (time.process_time() - c0) / 2
        ok &= len(res) == len(files) and t_batch < BATCH_BAR
        # The processor time shows the cost when other jobs share the machine.
        print(f"  batch_helicity_from_dir (defaults): {t_batch:7.2f} s   "
              f"({t_batch / len(files) * 1e3:.0f} ms per file; bar {BATCH_BAR:.0f} s; "
              f"processor time {cpu:.2f} s per run)")

        print(f"  per file at 2048 samples, knot {big} ({harmonics[big]} harmonics), bar {FILE_BAR * 1e3:.0f} ms:")
        calls = {
            "compare_fseries_files": lambda: qb.compare_fseries_files(path, path_b),
            "compute_curve_metrics_from_fseries": lambda: qb.compute_curve_metrics_from_fseries(path),
            "curve_length_from_fseries": lambda: qb.curve_length_from_fseries(path),
            "min_non_neighbor_distance_from_fseries": lambda: qb.min_non_neighbor_distance_from_fseries(path),
            "reach_proxy_from_fseries": lambda: qb.reach_proxy_from_fseries(path),
        }
        for name, fn in calls.items():
            t, _ = best_of(fn, 7)
            ok &= t < FILE_BAR
            print(f"    {name:40s} {t * 1e3:7.2f} ms")

    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
