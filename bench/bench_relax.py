"""Time ParticleEvaluator.relax() at its defaults on the trefoil record 3:1:1
(4000 points, 1000 iterations; the bar: under 1 s) against the plain loop over
all pairs of points, and check that both give the same filaments bit for bit.
Then time the tail-energy surrogate at its defaults on the relaxed filament
(the bar: at most 3 ns per kernel term, one term per sample point and segment).

The all-pairs loop is a small C++ program (bench/relax_all_pairs.cpp) that
this script compiles from the core sources with the module's flags. It takes
about 40 s. Run from anywhere: .venv/bin/python bench/bench_relax.py
"""
import argparse
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import _bindings

ROOT = pathlib.Path(__file__).resolve().parent.parent
DB = ROOT / "data" / "knot_fseries" / "ideal_database.txt"
CORE = ["ab_initio_mass.cpp", "ab_initio_mass_kernels.cpp", "biot_savart.cpp", "frenet_helicity.cpp",
        "potential_timefield.cpp", "file_access/read.cpp", "file_access/rewrite.cpp"]
FLAGS = ["-std=c++17", "-O3", "-Wall", "-Wextra", "-ffp-contract=off", "-fno-math-errno"]


def build_reference(workdir):
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if cxx is None:
        sys.exit("bench_relax: no C++ compiler found (set CXX)")
    exe = pathlib.Path(workdir) / "relax_all_pairs"
    cmd = [cxx, *FLAGS, "-I", str(ROOT / "core"), str(ROOT / "bench" / "relax_all_pairs.cpp"),
           *(str(ROOT / "core" / c) for c in CORE), "-o", str(exe)]
    subprocess.run(cmd, check=True)
    return exe


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--knot", default="3:1:1")
    ap.add_argument("--resolution", type=int, default=4000)
    ap.add_argument("--iterations", type=int, default=1000)
    ap.add_argument("--timestep", type=float, default=0.01)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--skip-reference", action="store_true", help="skip the all-pairs loop")
    args = ap.parse_args()
    os.environ["QEL_IDEAL_DATABASE"] = str(DB)

    # Wall-clock times, with the process's CPU time beside them: on a shared
    # machine the two differ by the time other processes took.
    best, best_cpu = float("inf"), float("inf")
    for _ in range(args.repeats):
        pe = _bindings.ParticleEvaluator(args.knot, args.resolution)
        t0, c0 = time.perf_counter(), time.process_time()
        pe.relax(args.iterations, args.timestep)
        best = min(best, time.perf_counter() - t0)
        best_cpu = min(best_cpu, time.process_time() - c0)
    print(f"relax() {args.knot}, {args.resolution} points, {args.iterations} iterations: "
          f"best of {args.repeats} = {best:.3f} s (CPU {best_cpu:.3f} s)")
    print(f"  ropelength {pe.get_dimless_ropelength():.6f}, mass {pe.get_mass_mev_ab_initio():.6f} MeV")

    cfg = pe.get_tail_approx_config()
    cfg.enabled = True
    pe.set_tail_approx_config(cfg)
    points = sum(len(f) for f in pe.get_filaments())
    terms = points * cfg.radial_samples * cfg.azimuth_samples * points
    t0, c0 = time.perf_counter(), time.process_time()
    e_tail = pe.compute_tail_energy_surrogate_J()
    t_tail, c_tail = time.perf_counter() - t0, time.process_time() - c0
    print(f"tail-energy surrogate, {points} points, {cfg.radial_samples}x{cfg.azimuth_samples} samples per point: "
          f"{t_tail:.3f} s = {t_tail / terms * 1e9:.2f} ns per kernel term "
          f"(CPU {c_tail / terms * 1e9:.2f} ns; E_tail = {e_tail:.6e} J)")
    if args.skip_reference:
        return

    with tempfile.TemporaryDirectory() as tmp:
        exe = build_reference(tmp)
        out = pathlib.Path(tmp) / "relaxed.bin"
        run = subprocess.run([str(exe), args.knot, str(args.resolution), str(args.iterations),
                              repr(args.timestep), str(out)], check=True, capture_output=True, text=True)
        ref_time = float(run.stdout.strip())
        data = out.read_bytes()
    ours = b"".join(struct.pack("<3d", *p) for f in pe.get_filaments() for p in f)
    print(f"all-pairs loop: {ref_time:.3f} s ({ref_time / best:.1f}x the cell grid)")
    print(f"filaments identical bit for bit: {ours == data}")


if __name__ == "__main__":
    main()
