"""Grid helicity of a Fourier block: the native pipeline against a chunked
NumPy implementation of the same steps.

compute_helicity_from_fourier_block at its defaults (32^3 nodes, spacing
0.1, margin 8, 1000 samples: about 33 M Biot-Savart terms) on the embedded
trefoil block. The NumPy version samples both ends of the period, centres
the samples, evaluates the closed-polyline velocity at every node in chunks
of nodes, takes the periodic central-difference vorticity and reduces the
interior. Both triples are compared, then the bar is checked: native under
0.1 s and at least 20 times faster than NumPy. Exit status 1 when missed.

    .venv/bin/python bench/bench_grid_helicity.py
"""
import sys

import numpy as np

import _bindings as qb
from timing import best_of

TWO_PI = 6.283185307179586
FOUR_PI = 12.566370614359172
G, H, MARGIN, NSAMPLES = 32, 0.1, 8, 1000
CHUNK = 512
TIME_BAR = 0.1
SPEEDUP_BAR = 20.0


def numpy_pipeline(block, G, h, m, n):
    s = np.arange(n) * TWO_PI / (n - 1)
    k = np.arange(1, len(block.a_x) + 1)
    C, S = np.cos(np.outer(s, k)), np.sin(np.outer(s, k))
    P = np.stack([C @ np.array(block.a_x) + S @ np.array(block.b_x),
                  C @ np.array(block.a_y) + S @ np.array(block.b_y),
                  C @ np.array(block.a_z) + S @ np.array(block.b_z)], 1)
    P -= P.mean(axis=0)

    g = G // 2
    ax = np.arange(-g, G - g) * h
    nodes = np.stack(np.meshgrid(ax, ax, ax, indexing="ij"), -1).reshape(-1, 3)

    q = np.roll(P, -1, axis=0)
    mid, dl = (P + q) * 0.5, q - P
    vel = np.empty_like(nodes)
    for a in range(0, len(nodes), CHUNK):
        R = nodes[a:a + CHUNK, None, :] - mid[None, :, :]
        r2 = np.einsum("ijk,ijk->ij", R, R)
        d = r2 * np.sqrt(r2) + 1e-12
        vel[a:a + CHUNK] = np.einsum("ijk,ij->ik", np.cross(dl[None, :, :], R), 1.0 / d)
    vel /= FOUR_PI

    U = vel.reshape(G, G, G, 3)

    def D(axis, comp):
        return (np.roll(U[..., comp], -1, axis) - np.roll(U[..., comp], 1, axis)) / (h + h)

    W = np.stack([D(2, 1) - D(1, 2), D(0, 2) - D(2, 0), D(1, 0) - D(0, 1)], -1)
    inner = slice(m, G - m)
    v = U[inner, inner, inner].reshape(-1, 3)
    w = W[inner, inner, inner].reshape(-1, 3)
    r_sq = np.sum(nodes.reshape(G, G, G, 3)[inner, inner, inner].reshape(-1, 3) ** 2, axis=1)
    hc = float(np.sum(v * w))
    hm = float(np.sum(np.sum(w * w, axis=1) * r_sq))
    return hc, hm, 0.5 * (hc / hm - 1.0)


def main():
    block = qb.load_embedded_knot_block("3_1")
    terms = G ** 3 * NSAMPLES
    t_native, native = best_of(lambda: qb.compute_helicity_from_fourier_block(block), 7)
    t_numpy, ref = best_of(lambda: numpy_pipeline(block, G, H, MARGIN, NSAMPLES), 2)
    rel = max(abs(a - b) / abs(b) for a, b in zip(native, ref))
    ratio = t_numpy / t_native
    print(f"terms : {terms} ({G}^3 nodes x {NSAMPLES} samples)")
    print(f"native: {t_native * 1e3:8.2f} ms  {t_native / terms * 1e9:6.3f} ns/term  {native}")
    print(f"numpy : {t_numpy * 1e3:8.2f} ms  {t_numpy / terms * 1e9:6.3f} ns/term  {ref}")
    print(f"ratio : {ratio:6.1f}x   max relative difference {rel:.2e}")
    ok = rel <= 1e-9 and t_native < TIME_BAR and ratio >= SPEEDUP_BAR
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
