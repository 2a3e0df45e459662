"""Ropelength tightening of closed polygons (tube diameter 1).

The polygon is shortened while every pair of vertices that lie more than a
quarter turn of the tightest allowed bend apart along the curve (arc length
pi/2 for diameter 1) is kept at least one diameter apart in space, and every
vertex keeps a radius of curvature of at least one tube radius.  Each step

  1. shortens the curve (every vertex moves towards the midpoint of its
     neighbours) and shrinks it slightly about its centre,
  2. projects back onto the constraints by a few relaxation sweeps (each
     violated pair is pushed apart along its chord, each too tight bend is
     opened towards its chord),
  3. every few steps, redistributes the vertices evenly by arc length.

The shrink is taken back (halved) whenever the sweeps leave an overlap, so
that the run settles on a polygon that touches itself only where it must.
Every vertex move is capped far below the distance between strands, so no
strand passes through another; the caller checks the knot type anyway.
The runs are deterministic for a given start and seed."""
import numpy as np

import geom

QUARTER = 0.5 * np.pi   # arc length of a quarter turn of radius ... x 2: pi/2 for diameter 1


def resample(X, N):
    return geom.resample(X, N)


def length(X):
    return np.linalg.norm(np.roll(X, -1, axis=0) - X, axis=1).sum()


class _Pairs:
    """Vertex pairs farther apart along the curve than `gap` indices and
    closer in space than `cutoff`."""

    def __init__(self, X, gap, cutoff):
        N = len(X)
        diff = X[:, None, :] - X[None, :, :]
        r2 = np.einsum('ijk,ijk->ij', diff, diff)
        i, j = np.triu_indices(N, 1)
        d = j - i
        d = np.minimum(d, N - d)
        keep = (d >= gap) & (r2[i, j] < cutoff * cutoff)
        self.I, self.J = i[keep], j[keep]
        far = d >= gap
        self.min_dist = np.sqrt(r2[i[far], j[far]].min()) if far.any() else np.inf


def _project(X, pairs, h, sweeps, omega=0.9):
    N = len(X)
    I, J = pairs.I, pairs.J
    for _ in range(sweeps):
        worst = 0.0
        if len(I):
            D = X[I] - X[J]
            r = np.sqrt(np.einsum('ij,ij->i', D, D))
            v = r < 1.0
            if v.any():
                worst = max(worst, 1.0 - r[v].min())
                c = (0.5 * (1.0 - r[v]) / np.maximum(r[v], 1e-12))[:, None] * D[v]
                Iv, Jv = I[v], J[v]
                cnt = np.bincount(Iv, minlength=N) + np.bincount(Jv, minlength=N)
                mv = np.zeros_like(X)
                for k in range(3):
                    mv[:, k] = np.bincount(Iv, c[:, k], N) - np.bincount(Jv, c[:, k], N)
                X += omega * mv / np.maximum(cnt, 1)[:, None]
        # bends: |x[i-1] - 2 x[i] + x[i+1]| <= 2 h^2 is a radius of curvature >= 1/2
        S = np.roll(X, 1, axis=0) + np.roll(X, -1, axis=0) - 2 * X
        s = np.linalg.norm(S, axis=1)
        lim = 2 * h * h
        b = s > lim
        if b.any():
            worst = max(worst, (s[b].max() - lim) / (2 * h))
            X[b] += (omega * 0.5 * (s[b] - lim) / s[b])[:, None] * S[b]
        if worst < 1e-4:
            break
    return worst


def tighten(X, h=0.2, iters=4000, seed=0, shrink=2e-3, tension=0.25,
            sweeps=12, regrid=5, tol=2e-3, cap=0.03, progress=None,
            stall_tol=1e-4, stall_checks=6):
    """Tighten the closed polygon X (scaled to tube diameter 1 or more) with
    vertex spacing about h.  Returns (polygon, history) where history lists
    (iteration, length, worst overlap)."""
    rng = np.random.default_rng(seed)
    X = np.array(X, float)
    N = max(24, int(round(length(X) / h)))
    X = resample(X, N)
    X += rng.normal(scale=1e-3, size=X.shape)
    hist = []
    pairs = None
    best_len = np.inf
    stall = 0
    s = shrink
    for it in range(iters):
        if it % regrid == 0:
            N = max(24, int(round(length(X) / h)))
            X = resample(X, N)
            hh = length(X) / N
            gap = int(np.ceil(QUARTER / hh))
            pairs = _Pairs(X, gap, 1.0 + 2 * regrid * cap + 0.5)
            if pairs.min_dist < 0.5:
                raise RuntimeError('strands came within %.3f diameters' % pairs.min_dist)
        X0 = X.copy()
        lap = 0.5 * (np.roll(X, 1, axis=0) + np.roll(X, -1, axis=0)) - X
        c = X.mean(axis=0)
        X = X + tension * lap + s * (c - X)
        worst = _project(X, pairs, hh, sweeps)
        mv = np.linalg.norm(X - X0, axis=1)
        big = mv > cap
        if big.any():
            X[big] = X0[big] + (X - X0)[big] * (cap / mv[big])[:, None]
        # the shrink adapts: smaller while the sweeps leave overlaps
        if worst > tol:
            s *= 0.7
        else:
            s = min(shrink, s * 1.05)
        L = length(X)
        if it % 50 == 0:
            hist.append((it, L, worst))
            if progress:
                progress(it, L, worst)
            if L < best_len * (1 - stall_tol):
                best_len = L
                stall = 0
            else:
                stall += 1
                if stall >= stall_checks:
                    break
    # settle: no shrink, only the constraints
    for it in range(200):
        if it % regrid == 0:
            hh = length(X) / len(X)
            pairs = _Pairs(X, int(np.ceil(QUARTER / hh)), 2.0)
        worst = _project(X, pairs, hh, 30)
        lap = 0.5 * (np.roll(X, 1, axis=0) + np.roll(X, -1, axis=0)) - X
        X += 0.05 * lap
    _project(X, pairs, hh, 60)
    hist.append((iters, length(X), worst))
    return X, hist


def ropelength(X):
    """Length over tube diameter of the closed polygon (the tool's thickness
    estimate)."""
    return length(X) / geom.thickness([X])
