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
        # vertices close along the curve that are closer in space than
        # their spacing: a kink
        near = (d >= 2) & ~far
        self.kink = np.sqrt(r2[i[near], j[near]].min()) if near.any() else np.inf


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


def _point_seg(p, a, b):
    ab = b - a
    t = np.clip(np.einsum('ij,ij->i', p - a, ab) / np.maximum(np.einsum('ij,ij->i', ab, ab), 1e-300), 0, 1)
    return np.linalg.norm(a + t[:, None] * ab - p, axis=1)


def min_segment_distance(X):
    """Exact smallest distance between two segments of the closed polygon X
    that share no vertex."""
    N = len(X)
    nxt = np.roll(np.arange(N), -1)
    mid = 0.5 * (X + X[nxt])
    half = 0.5 * np.linalg.norm(X[nxt] - X, axis=1)
    i, j = np.triu_indices(N, 2)
    keep = (j - i) <= N - 2          # segment N-1 and segment 0 share a vertex
    i, j = i[keep], j[keep]
    dm = np.linalg.norm(mid[i] - mid[j], axis=1)
    lower = dm - half[i] - half[j]
    c = lower <= dm.min()
    i, j = i[c], j[c]
    a0, a1, b0, b1 = X[i], X[nxt[i]], X[j], X[nxt[j]]
    d = np.minimum.reduce([_point_seg(a0, b0, b1), _point_seg(a1, b0, b1),
                           _point_seg(b0, a0, a1), _point_seg(b1, a0, a1)])
    # an interior closest pair of the two lines
    u, v, w = a1 - a0, b1 - b0, a0 - b0
    A = np.einsum('ij,ij->i', u, u)
    B = np.einsum('ij,ij->i', u, v)
    C = np.einsum('ij,ij->i', v, v)
    Dd = np.einsum('ij,ij->i', u, w)
    E = np.einsum('ij,ij->i', v, w)
    den = A * C - B * B
    ok = den > 1e-14 * A * C
    sc = np.where(ok, (B * E - C * Dd) / np.where(ok, den, 1), -1)
    tc = np.where(ok, (A * E - B * Dd) / np.where(ok, den, 1), -1)
    inside = ok & (sc > 0) & (sc < 1) & (tc > 0) & (tc < 1)
    if inside.any():
        q = w[inside] + sc[inside, None] * u[inside] - tc[inside, None] * v[inside]
        d[inside] = np.minimum(d[inside], np.linalg.norm(q, axis=1))
    return d.min()


def first_harmonic_about_axis(X):
    """(turns, angles s, a1, b1): the first Fourier harmonic of the closed
    polygon X parametrised by s = (angle about the z axis) / turns."""
    th = np.unwrap(np.arctan2(X[:, 1], X[:, 0]))
    step = np.angle(np.exp(1j * (np.arctan2(X[0, 1], X[0, 0]) - np.arctan2(X[-1, 1], X[-1, 0]))))
    total = th[-1] - th[0] + step
    turns = max(1, int(round(abs(total) / (2 * np.pi))))
    sg = 1.0 if total > 0 else -1.0
    svals = sg * (th - th[0]) / turns
    nxt = np.append(th[1:], th[0] + total)
    prv = np.append(th[-1] - total, th[:-1])
    w = sg * 0.5 * (nxt - prv) / turns          # ds of each vertex
    a1 = (X * (np.cos(svals) * w)[:, None]).sum(0) / np.pi
    b1 = (X * (np.sin(svals) * w)[:, None]).sum(0) / np.pi
    return turns, svals, a1, b1


def _keep_off_axis(X, pole):
    rho = np.hypot(X[:, 0], X[:, 1])
    inside = rho < pole
    if not inside.any():
        return 0.0
    f = pole / np.maximum(rho[inside], 1e-9)
    X[inside, 0] *= f
    X[inside, 1] *= f
    return float((pole - rho[inside]).max())


def tighten(X, h=0.2, iters=4000, seed=0, shrink=2e-3, tension=0.25,
            sweeps=12, regrid=5, tol=2e-3, cap=0.03, progress=None,
            stall_tol=1e-4, stall_checks=6, pole=None, loose_start=False,
            until_thick=False, zero_h1=False, always_safe=False):
    """Tighten the closed polygon X (scaled to tube diameter 1 or more) with
    vertex spacing about h.  Returns (polygon, history) where history lists
    (iteration, length, worst overlap).

    With `pole`, every vertex is kept at least that far from the z axis and
    the shrink pulls towards the axis, so that a closed braid about the axis
    stays one.  With `loose_start`, the start may be thinner than the tube
    (strands closer than a diameter): while it is, every move is capped
    below half the exact distance between non-adjacent segments; with
    `until_thick` the run returns as soon as the strands are 0.9 apart.
    With `zero_h1` (and `pole`), the first harmonic of the curve
    parametrised by its angle about the axis is taken out gradually, so that
    the fit by that angle has harmonic 1 close to zero.  With `always_safe`
    every move is capped by the exact segment distance, thin or not."""
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
    thin = loose_start
    for it in range(iters):
        if it % regrid == 0:
            if not thin:
                # (not while thin: the chords of a new polygon could cut
                # through a strand that close)
                N = max(24, int(round(length(X) / h)))
                X = resample(X, N)
            N = len(X)
            hh = length(X) / N
            if zero_h1:
                # taken out within the next step, under its cap
                _, sv, a1, b1 = first_harmonic_about_axis(X)
                corr = 0.5 * (np.outer(np.cos(sv), a1) + np.outer(np.sin(sv), b1))
                m = np.linalg.norm(corr, axis=1).max()
                if m > cap:
                    corr *= cap / m
            gap = int(np.ceil(QUARTER / hh))
            pairs = _Pairs(X, gap, 1.0 + 2 * regrid * cap + 0.5)
            thin = pairs.min_dist < 0.9 or pairs.kink < hh
            if until_thick and not thin:
                return X, hist
            if pairs.min_dist < 0.5 and not loose_start:
                raise RuntimeError('strands came within %.3f diameters' % pairs.min_dist)
        if thin or always_safe:
            safe_cap = 0.45 * min_segment_distance(X)
        X0 = X.copy()
        lap = 0.5 * (np.roll(X, 1, axis=0) + np.roll(X, -1, axis=0)) - X
        c = X.mean(axis=0)
        if pole is not None:
            c = np.array([0.0, 0.0, c[2]])   # towards the axis
        X = X + tension * lap + s * (c - X)
        if zero_h1 and it % regrid == 0:
            X = X - corr
        worst = _project(X, pairs, hh, sweeps)
        if pole is not None:
            worst = max(worst, _keep_off_axis(X, pole))
        mv = np.linalg.norm(X - X0, axis=1)
        lim = min(cap, safe_cap) if (thin or always_safe) else cap
        big = mv > lim
        if big.any():
            X[big] = X0[big] + (X - X0)[big] * (lim / mv[big])[:, None]
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
    if thin:
        return X, hist   # ran out of iterations before the strands were apart
    # settle: no shrink, only the constraints
    for it in range(200):
        if it % regrid == 0:
            hh = length(X) / len(X)
            pairs = _Pairs(X, int(np.ceil(QUARTER / hh)), 2.0)
        X0 = X.copy()
        worst = _project(X, pairs, hh, 30)
        lap = 0.5 * (np.roll(X, 1, axis=0) + np.roll(X, -1, axis=0)) - X
        X += 0.05 * lap
        if pole is not None:
            _keep_off_axis(X, pole)
        mv = np.linalg.norm(X - X0, axis=1)
        big = mv > cap
        if big.any():
            X[big] = X0[big] + (X - X0)[big] * (cap / mv[big])[:, None]
    _project(X, pairs, hh, 60)
    if pole is not None:
        _keep_off_axis(X, pole)
    hist.append((iters, length(X), worst))
    return X, hist


def ropelength(X):
    """Length over tube diameter of the closed polygon (the tool's thickness
    estimate)."""
    return length(X) / geom.thickness([X])
