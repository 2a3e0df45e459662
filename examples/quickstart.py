"""A first look at _bindings: the Biot–Savart flow of a vortex ring and the
embedded knot data."""
import math

import numpy as np

import _bindings as qb

print(qb.__doc__)

# A unit ring in the plane z = 0, counter-clockwise, circulation 1.
n = 1000
s = np.linspace(0.0, 2.0 * math.pi, n, endpoint=False)
ring = np.stack([np.cos(s), np.sin(s), np.zeros_like(s)], axis=1)

axis = np.array([[0.0, 0.0, z] for z in (0.0, 0.5, 1.0, 2.0)])
v = qb.biot_savart_velocity_grid(ring, axis, 1.0)
print("Velocity on the axis of a unit ring (circulation 1):")
for (x, y, z), (vx, vy, vz) in zip(axis, v):
    exact = 0.5 / (1.0 + z * z) ** 1.5
    print(f"  z = {z:4.1f}: v_z = {vz:.9f}   closed form 1/(2(1+z^2)^1.5) = {exact:.9f}")

# Knots carried inside the module: Fourier series of tight shapes.
files = qb.get_embedded_knot_files()
ideal = qb.parse_embedded_ideal_txt("ideal.txt")
print(f"\nEmbedded data: {len(files)} Fourier-series knots, {len(ideal)} ideal-database records")
print("  knot    harmonics    length   bending energy   min. self-distance   writhe")
for knot_id in ("1_1", "3_1", "4_1", "5_2", "7_4", "10_1"):
    blocks = qb.parse_fseries_from_string(files[knot_id])
    block = blocks[qb.index_of_largest_block(blocks)]
    d = qb.describe_fourier_block(block)
    print(f"  {knot_id:6s} {len(block.a_x):9d} {d.L:9.4f} {d.bending_energy:16.4f} {d.min_self_distance:20.5f} {d.writhe:8.4f}")

# Fourier-series files on disk: helicity invariants of the Biot–Savart field
# on a 32^3 grid about each knot, with the curve metrics of its samples.
import pathlib
import tempfile

knot_texts = qb.get_embedded_knot_files()
with tempfile.TemporaryDirectory() as tmp:
    print("\nHelicity of knot files (grid 32^3, spacing 0.1, margin 8, 1000 samples):")
    print("  knot        H_charge        H_mass       a_mu   length  kappa_max  reach")
    for knot_id in ("3_1", "4_1", "5_1", "5_2"):
        path = pathlib.Path(tmp) / f"knot.{knot_id}.fseries"
        path.write_text(knot_texts[knot_id])
        h = qb.compute_helicity_from_fseries(str(path))
        print(f"  {knot_id:6s} {h.Hc:13.5e} {h.Hm:13.5e} {h.a_mu:10.6f} {h.L:8.4f} {h.kappa_max:10.4f} {h.reach_proxy:6.4f}")

# ---------------------------------------------------------------------------
# Mass query: a particle from the trefoil record of the ideal database.
# ---------------------------------------------------------------------------
import os as _os
import pathlib as _pathlib
import time as _time

# The evaluator reads the database named by QEL_IDEAL_DATABASE (else
# ideal_database.txt in the working directory); point it at the project's copy.
_os.environ["QEL_IDEAL_DATABASE"] = str(
    _pathlib.Path(__file__).resolve().parent.parent / "data" / "knot_fseries" / "ideal_database.txt")

particle = qb.ParticleEvaluator("3:1:1")  # 4000 points per component
_t0 = _time.perf_counter()
particle.relax()  # 1000 iterations, timestep 0.01, then scaled to the particle length scale
_elapsed = _time.perf_counter() - _t0
print("\nParticle from the ideal trefoil record 3:1:1 (4000 points):")
print(f"  relaxation (1000 iterations): {_elapsed:.3f} s")
print(f"  dimensionless ropelength:     {particle.get_dimless_ropelength():.6f}")
print(f"  core energy:                  {particle.compute_core_energy_J():.9e} J")
print(f"  mass:                         {particle.get_mass_mev_ab_initio():.6f} MeV")
