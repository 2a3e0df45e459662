"""Speed of the phases that are linear in their input: the shape
initialisers, the particle evaluator's sampling, the grid helicity past its
velocity, the grid vorticity, the periodic curl, the swirl field, the ideal
record scanner and a large file read.

Each case prints its best-of wall time in milliseconds. There is no bar of
its own: the numbers are compared with those of another build, run
alternately with this one on the same core, e.g.

    taskset -c 1 env OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/bench_long_phases.py [name ...]
"""
import os
import pathlib
import sys
import tempfile

import numpy as np

import _bindings as qb
from timing import best_of

ROOT = pathlib.Path(__file__).resolve().parent.parent
REPEATS = 5


def cases(work):
    os.environ["QEL_IDEAL_DATABASE"] = str(ROOT / "data" / "knot_fseries" / "ideal_database.txt")
    block = qb.load_embedded_knot_block("3_1")
    rng = np.random.default_rng(0)
    grid = rng.random((128 ** 3, 3))
    field = rng.random((128, 128, 128, 3))
    ideal = qb.load_embedded_ideal_text("ideal.txt")
    dense = '<AB Id="x">' + "<" * (2 * 10 ** 7) + "</AB>"
    big = os.path.join(work, "big.txt")
    with open(big, "wb") as f:
        f.write(b"x" * (200 << 20))
    vks = qb.VortexKnotSystem(1.0)
    return {
        "trefoil_init": lambda: vks.initialize_trefoil_knot(2 * 10 ** 6),
        "figure8_init": lambda: vks.initialize_figure8_knot(2 * 10 ** 6),
        "particle_sampling": lambda: qb.ParticleEvaluator("3:1:1", 10 ** 6),
        "helicity_grid_160": lambda: qb.compute_helicity_from_fourier_block(block, 160, 0.02, 8, 3),
        "vorticity_grid_128": lambda: qb.compute_vorticity_grid(grid, [128, 128, 128], 0.1),
        "curl_128": lambda: qb.curl3d_central(field, 0.1),
        "swirl_1000": lambda: qb.compute_swirl_field(1000, 0.5),
        "ideal_parse": lambda: qb.parse_ideal_txt_from_string(ideal),
        "ideal_dense": lambda: qb.parse_ideal_txt_from_string(dense),
        "read_200mb": lambda: qb.parse_ideal_txt_multi(big),
    }


def main(names):
    with tempfile.TemporaryDirectory() as work:
        table = cases(work)
        for name in names or table:
            t, _ = best_of(table[name], REPEATS)
            print(f"{name:20s} {t * 1e3:10.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
