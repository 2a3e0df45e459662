"""Geometry of closed polylines: closed-braid layout, strand-safe tightening,
arc-length resampling, Fourier fits, projections to planar-diagram codes and
a thickness (tube diameter) estimate."""
import numpy as np


# ---------------------------------------------------------------- layout

def braid_strands(word):
    return max(abs(g) for g in word) + 1


def closed_braid(word, d=1.25, per_slot=8, radius=None):
    """Lay the braid word out as a closed braid around the z axis.

    Strand positions 0..n-1 sit at radii R + p*d; slot k of the word occupies
    the angle range [2πk/m, 2π(k+1)/m], in which the two strands at the
    positions of generator |g| swap radii, the one coming from the inner
    position passing above for a positive generator.  Returns the list of
    components, each an (N, 3) array (closed, first point not repeated)."""
    n = braid_strands(word)
    m = len(word)
    if radius is None:
        radius = max(1.5 * d, m * 1.4 * d / (2 * np.pi))
    h = 0.6 * d
    # For each position and slot: (r0, r1, sign of the bump) of the strand there
    perm = list(range(n))      # perm[position] -> strand id
    tracks = {s: [] for s in range(n)}  # strand id -> list of (slot, r0, r1, bump)
    for k, g in enumerate(word):
        i = abs(g) - 1
        for p in range(n):
            s = perm[p]
            if p == i:
                tracks[s].append((k, p, p + 1, +1 if g > 0 else -1))
            elif p == i + 1:
                tracks[s].append((k, p, p - 1, -1 if g > 0 else +1))
            else:
                tracks[s].append((k, p, p, 0))
        perm[i], perm[i + 1] = perm[i + 1], perm[i]
    # after the word, strand at position p is perm[p]; strand s started at
    # position s and ends at position pos_end[s]
    pos_end = {perm[p]: p for p in range(n)}
    comps = []
    seen = set()
    for s0 in range(n):
        if s0 in seen:
            continue
        pts = []
        s = s0
        lap = 0
        while True:
            seen.add(s)
            for (k, p0, p1, bump) in tracks[s]:
                for q in range(per_slot):
                    tau = q / per_slot
                    th = 2 * np.pi * (k + tau) / m
                    w = 0.5 - 0.5 * np.cos(np.pi * tau)
                    r = radius + d * (p0 + (p1 - p0) * w)
                    z = h * bump * np.sin(np.pi * tau)
                    pts.append((r * np.cos(th), r * np.sin(th), z))
            s = pos_end[s]   # the strand starting where s ended
            lap += 1
            if s == s0:
                break
        comps.append(np.array(pts))
    return comps


# ------------------------------------------------------------ distances

def _seg_seg_min(P0, P1, Q0, Q1):
    """Minimum distance between segment sets P (a,3) and Q (b,3), all pairs,
    returns (a, b) distances."""
    u = P1 - P0
    v = Q1 - Q0
    w0 = P0[:, None, :] - Q0[None, :, :]
    a = np.einsum('ij,ij->i', u, u)[:, None]
    b = u @ v.T
    c = np.einsum('ij,ij->i', v, v)[None, :]
    d = np.einsum('ik,ijk->ij', u, w0)
    e = np.einsum('jk,ijk->ij', v, w0)
    den = a * c - b * b
    small = den < 1e-12 * a * c + 1e-300
    s = np.where(small, 0.0, (b * e - c * d) / np.where(small, 1.0, den))
    s = np.clip(s, 0.0, 1.0)
    t = (b * s + e) / c
    t = np.clip(t, 0.0, 1.0)
    s = np.clip((b * t - d) / a, 0.0, 1.0)
    diff = w0 + s[..., None] * u[:, None, :] - t[..., None] * v[None, :, :]
    return np.sqrt(np.einsum('ijk,ijk->ij', diff, diff))


class Curves:
    """Several closed polylines handled as one point array."""

    def __init__(self, comps):
        self.sizes = [len(c) for c in comps]
        self.X = np.concatenate(comps).astype(float)
        N = len(self.X)
        self.N = N
        nxt = np.empty(N, int)
        prv = np.empty(N, int)
        comp = np.empty(N, int)
        pos = np.empty(N, int)
        o = 0
        for ci, n in enumerate(self.sizes):
            idx = np.arange(o, o + n)
            nxt[idx] = np.roll(idx, -1)
            prv[idx] = np.roll(idx, 1)
            comp[idx] = ci
            pos[idx] = np.arange(n)
            o += n
        self.nxt, self.prv, self.comp, self.pos = nxt, prv, comp, pos
        # index distance along the same component (inf across components)
        same = comp[:, None] == comp[None, :]
        sz = np.array(self.sizes)[comp]
        dd = np.abs(pos[:, None] - pos[None, :])
        dd = np.minimum(dd, sz[:, None] - dd)
        self.idist = np.where(same, dd, 10 ** 9)
        self.nonadj_seg = self.idist >= 2

    def comps(self):
        out, o = [], 0
        for n in self.sizes:
            out.append(self.X[o:o + n].copy())
            o += n
        return out

    def min_nonadjacent_segment_distance(self, X=None):
        X = self.X if X is None else X
        D = _seg_seg_min(X, X[self.nxt], X, X[self.nxt])
        return D[self.nonadj_seg].min()


def tighten(comps, iters=300, diameter=1.0, step=0.25,
            rng=None, pole=None, jitter=0.0, squeeze=0.02, settle=0.25):
    """Tighten closed polylines without letting one strand pass another.

    Each iteration moves every vertex by the sum of a tension term (discrete
    Laplacian), a uniform squeeze towards the centre (left out in the last
    `settle` fraction of the iterations) and a contact term that pushes
    apart vertices closer than the tube diameter (less for vertices close
    along the curve, so that only bends tighter than the tube are opened).
    Every displacement is capped below half a lower bound of the smallest
    distance between non-adjacent segments, so no two segments can meet
    during a move.  With `pole`, vertices are also kept at least that far
    from the z axis, so that a closed braid stays braided about it."""
    C = Curves(comps)
    X = C.X
    if rng is not None and jitter > 0:
        X += rng.normal(scale=jitter, size=X.shape)
    n_settle = int(settle * iters)
    idist = np.minimum(C.idist, 10 ** 6).astype(float)
    nonlocal_pair = C.idist >= 2
    for it in range(iters):
        F = 0.5 * (X[C.prv] + X[C.nxt]) - X
        if it < iters - n_settle:
            cen = X.mean(axis=0)
            if pole is not None:
                cen = np.array([0.0, 0.0, cen[2]])
            F += squeeze * (cen - X)
        diff = X[:, None, :] - X[None, :, :]
        r = np.sqrt(np.einsum('ijk,ijk->ij', diff, diff))
        seg = np.linalg.norm(X[C.nxt] - X, axis=1).mean()
        reach = np.minimum(diameter, 0.8 * idist * seg)
        close = nonlocal_pair & (r < reach)
        if close.any():
            wgt = np.where(close, (reach - r) / np.maximum(r, 1e-9), 0.0)
            F += 0.5 * np.einsum('ij,ijk->ik', wgt, diff)
        if pole is not None:
            rho = np.hypot(X[:, 0], X[:, 1])
            inside = rho < pole
            if inside.any():
                f = (pole - rho[inside]) / np.maximum(rho[inside], 1e-9)
                F[inside, 0] += f * X[inside, 0]
                F[inside, 1] += f * X[inside, 1]
        disp = step * F
        # lower bound of the distance between non-adjacent segments: the
        # distance of their midpoints less their half lengths
        mid = 0.5 * (X + X[C.nxt])
        half = 0.5 * np.linalg.norm(X[C.nxt] - X, axis=1)
        dm = mid[:, None, :] - mid[None, :, :]
        rm = np.sqrt(np.einsum('ijk,ijk->ij', dm, dm)) - half[:, None] - half[None, :]
        dmin = rm[C.nonadj_seg].min()
        if dmin <= 0:
            dmin = C.min_nonadjacent_segment_distance(X)
        if dmin < 0.05 * diameter:
            break   # jammed: stop before rounding could matter
        cap = 0.45 * dmin
        norm = np.linalg.norm(disp, axis=1)
        over = norm > cap
        if over.any():
            disp[over] *= (cap / norm[over])[:, None]
        X += disp
    C.X = X
    return C.comps()


# ------------------------------------------------------------- sampling

def resample(P, M):
    """M points evenly spaced by arc length along the closed polyline P."""
    Q = np.vstack([P, P[:1]])
    seg = np.linalg.norm(np.diff(Q, axis=0), axis=1)
    cum = np.concatenate([[0], np.cumsum(seg)])
    L = cum[-1]
    t = np.arange(M) * L / M
    out = np.empty((M, 3))
    for k in range(3):
        out[:, k] = np.interp(t, cum, Q[:, k])
    return out


def fourier_fit(P, H):
    """Coefficients (H, 6) rows a_x b_x a_y b_y a_z b_z of harmonics 1..H of the
    closed curve sampled evenly at the points P (constant term dropped)."""
    M = len(P)
    F = np.fft.rfft(P, axis=0) / M
    rows = np.zeros((H, 6))
    for k in range(1, H + 1):
        c = F[k]
        rows[k - 1, 0::2] = 2 * c.real
        rows[k - 1, 1::2] = -2 * c.imag
    return rows


def eval_rows(rows, s):
    """Evaluate rows (harmonic k+1 in row k) at parameters s."""
    k = np.arange(1, len(rows) + 1)[:, None]
    C = np.cos(k * s[None, :])
    S = np.sin(k * s[None, :])
    x = rows[:, 0] @ C + rows[:, 1] @ S
    y = rows[:, 2] @ C + rows[:, 3] @ S
    z = rows[:, 4] @ C + rows[:, 5] @ S
    return np.stack([x, y, z], axis=1)


def length(P):
    return np.linalg.norm(np.roll(P, -1, axis=0) - P, axis=1).sum()


def thickness(comps):
    """Tube diameter of closed polylines: the smaller of twice the smallest
    radius of curvature and the smallest doubly-critical self-distance
    (a local minimum of the distance between two points that are not
    neighbours along the curve)."""
    C = Curves(comps)
    X = C.X
    # curvature radius from three consecutive vertices (circumradius)
    a = X[C.prv]
    b = X
    c = X[C.nxt]
    ab = np.linalg.norm(a - b, axis=1)
    bc = np.linalg.norm(c - b, axis=1)
    ca = np.linalg.norm(a - c, axis=1)
    area2 = np.linalg.norm(np.cross(b - a, c - a), axis=1)
    with np.errstate(divide='ignore'):
        R = np.where(area2 > 0, ab * bc * ca / (2 * area2), np.inf)
    d_curv = 2 * R.min()
    diff = X[:, None, :] - X[None, :, :]
    r = np.sqrt(np.einsum('ijk,ijk->ij', diff, diff))
    # local minima of r(i, j) in j at fixed i and in i at fixed j
    rn = r[:, C.nxt]
    rp = r[:, C.prv]
    loc = (r <= rn) & (r <= rp) & (r <= r[C.nxt, :]) & (r <= r[C.prv, :])
    # exclude the trivial minimum j = i and its vicinity: the pair must be
    # farther apart along the curve than half a turn of the tightest bend
    seg = np.linalg.norm(X[C.nxt] - X, axis=1).mean()
    loc &= C.idist * seg > 0.5 * np.pi * min(d_curv, r[C.idist > 2].min() if (C.idist > 2).any() else np.inf)
    loc &= C.idist > 2
    d_self = r[loc].min() if loc.any() else np.inf
    return min(d_curv, d_self)


def curvature_diameter(ks, A, B, n=None):
    """Twice the least radius of curvature of x(s) = sum_k A_k cos(ks) +
    B_k sin(ks), from the derivatives of the series on a fine grid (the
    circumradii of the samples miss sharp peaks of the curvature)."""
    ks = np.asarray(ks, float)
    A = np.asarray(A, float)
    B = np.asarray(B, float)
    n = n or max(4096, 64 * int(ks.max()))
    s = np.arange(n) * 2 * np.pi / n
    ksn = np.outer(s, ks)
    c, sn = np.cos(ksn), np.sin(ksn)
    d1 = (-sn * ks) @ A + (c * ks) @ B
    d2 = (-c * ks ** 2) @ A + (-sn * ks ** 2) @ B
    kappa = np.linalg.norm(np.cross(d1, d2), axis=1) / np.linalg.norm(d1, axis=1) ** 3
    return 2 / kappa.max()


def rows_series(rows):
    """(harmonics, A, B) of rows a_x b_x a_y b_y a_z b_z, harmonic k+1 in row k."""
    rows = np.asarray(rows, float)
    return np.arange(1, len(rows) + 1), rows[:, 0::2], rows[:, 1::2]


def series_thickness(P, ks, A, B):
    """Tube diameter of the Fourier curve sampled at P: the self-distances of
    the samples, the curvature from the series itself."""
    return min(thickness([P]), curvature_diameter(ks, A, B))


# ---------------------------------------------------------- projection

def random_rotation(rng):
    q = rng.normal(size=4)
    q /= np.linalg.norm(q)
    a, b, c, d = q
    return np.array([
        [a*a+b*b-c*c-d*d, 2*(b*c-a*d), 2*(b*d+a*c)],
        [2*(b*c+a*d), a*a-b*b+c*c-d*d, 2*(c*d-a*b)],
        [2*(b*d-a*c), 2*(c*d+a*b), a*a-b*b-c*c+d*d]])


def pd_code(comps, rot=None):
    """Planar-diagram code (KnotTheory convention: each crossing lists the
    incoming under edge and then the others counter-clockwise) of the
    projection of closed polylines onto the x-y plane after rotation `rot`.
    Edges are numbered 1.. consecutively along each component."""
    if rot is not None:
        comps = [c @ rot.T for c in comps]
    C = Curves(comps)
    X = C.X
    P0 = X[:, :2]
    P1 = X[C.nxt, :2]
    d = P1 - P0
    # all pairs i<j of non-adjacent segments
    N = len(X)
    I, J = np.nonzero(np.triu(C.nonadj_seg, 1))
    r = P0[J] - P0[I]
    den = d[I, 0] * d[J, 1] - d[I, 1] * d[J, 0]
    ok = np.abs(den) > 1e-14
    I, J, r, den = I[ok], J[ok], r[ok], den[ok]
    t = (r[:, 0] * d[J, 1] - r[:, 1] * d[J, 0]) / den
    u = (r[:, 0] * d[I, 1] - r[:, 1] * d[I, 0]) / den
    hit = (t >= 0) & (t < 1) & (u >= 0) & (u < 1)
    I, J, t, u = I[hit], J[hit], t[hit], u[hit]
    zi = X[I, 2] + t * (X[C.nxt[I], 2] - X[I, 2])
    zj = X[J, 2] + u * (X[C.nxt[J], 2] - X[J, 2])
    if len(I) == 0:
        return []
    if np.min(np.abs(zi - zj)) < 1e-9:
        raise ValueError('degenerate projection')
    # events: (segment, param, crossing index, is_over)
    ev = []
    for c in range(len(I)):
        ev.append((I[c], t[c], c, zi[c] > zj[c]))
        ev.append((J[c], u[c], c, zj[c] > zi[c]))
    # order events along each component
    ev.sort(key=lambda e: (C.comp[e[0]], C.pos[e[0]], e[1]))
    ncross = len(I)
    inc = {}   # (crossing, over?) -> incoming edge label
    out = {}
    label = 0
    start = 0
    comp_of = [C.comp[e[0]] for e in ev]
    k = 0
    ne = len(ev)
    while k < ne:
        # events of one component: k..l-1
        l = k
        while l < ne and comp_of[l] == comp_of[k]:
            l += 1
        first = label + 1
        for q in range(k, l):
            cr, over = ev[q][2], ev[q][3]
            # the edge ending at this event is label (or the last edge of the
            # component, for the first event)
            inc[(cr, over)] = label if q > k else None
            label += 1
            out[(cr, over)] = label
        # the first event's incoming edge is the component's last edge
        cr, over = ev[k][2], ev[k][3]
        inc[(cr, over)] = label
        # renumber so that the edges of the component are first..label
        k = l
    # components without crossings are dropped (split unknots)
    pd = []
    for c in range(ncross):
        i, j = I[c], J[c]
        over_i = zi[c] > zj[c]
        ui, oi = (i, j) if not over_i else (j, i)   # under segment, over segment
        du = d[ui]
        do = d[oi]
        a = inc[(c, False)]
        cc = out[(c, False)]
        b = inc[(c, True)]
        dd = out[(c, True)]
        if du[0] * do[1] - du[1] * do[0] > 0:
            pd.append([a, b, cc, dd])
        else:
            pd.append([a, dd, cc, b])
    return pd


def braid_angle_fit(P, H, M=1024):
    """Fourier rows (harmonics 1..H) of a closed braid P about the z axis,
    parametrised by its angle about the axis (s = angle / number of turns),
    or None when the angle does not grow monotonically."""
    th = np.unwrap(np.arctan2(P[:, 1], P[:, 0]))
    dth = np.diff(np.concatenate([th, [th[0] + (th[-1] - th[0]) + (np.angle(np.exp(1j * (np.arctan2(P[0, 1], P[0, 0]) - np.arctan2(P[-1, 1], P[-1, 0])))))]]))
    total = th[-1] - th[0] + dth[-1]
    if total < 0:
        P = P[::-1]
        return braid_angle_fit(P, H, M)
    if np.any(dth <= 0):
        return None
    turns = int(round(total / (2 * np.pi)))
    cum = np.concatenate([[0], np.cumsum(dth)])
    Q = np.vstack([P, P[:1]])
    t = np.arange(M) * cum[-1] / M
    S = np.empty((M, 3))
    for k in range(3):
        S[:, k] = np.interp(t, cum, Q[:, k])
    return fourier_fit(S, H), turns


def braid_blend_fit(P, H, alpha, M=2048):
    """Fourier rows (harmonics 1..H) of a closed braid P about the z axis,
    with harmonic 1 taken out, or None when the parameter does not grow
    monotonically.  The parameter blends
    the angle about the axis (weight alpha) with the arc length: the angle
    alone makes harmonic 1 nearly zero, but where a strand runs almost
    parallel to the axis it changes so slowly that the fit rings."""
    Q = np.vstack([P, P[:1]])
    th = np.unwrap(np.arctan2(Q[:, 1], Q[:, 0]))
    if th[-1] < th[0]:
        return braid_blend_fit(P[::-1], H, alpha, M)
    ang = (th - th[0]) / (th[-1] - th[0])
    seg = np.linalg.norm(np.diff(Q, axis=0), axis=1)
    arc = np.concatenate([[0], np.cumsum(seg)]) / seg.sum()
    u = (1 - alpha) * arc + alpha * ang
    if np.any(np.diff(u) <= 0):
        return None
    t = np.arange(M) / M
    S = np.stack([np.interp(t, u, Q[:, k]) for k in range(3)], axis=1)
    rows = fourier_fit(S, H)
    rows[0] = 0.0
    return rows
