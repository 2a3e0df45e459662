"""A first look at _bindings: the Biot–Savart flow of a vortex ring."""
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
