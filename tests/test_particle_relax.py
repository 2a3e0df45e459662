"""Filament relaxation: tension, centring, short-range repulsion, final scaling."""
import math
import random
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _bindings

PE = _bindings.ParticleEvaluator
SCALE = 2.81794034e-15
PROJECT_DB = Path(__file__).resolve().parents[1] / "data" / "knot_fseries" / "ideal_database.txt"


def relax_reference(fils, iterations, dt, repulsion=True):
    """The loop over all pairs, written out plainly (the order of every sum counts)."""
    P = [[list(p) for p in f] for f in fils]
    if not P:
        return P
    total = sum(len(f) for f in P)
    V = [[[0.0, 0.0, 0.0] for _ in f] for f in P]

    def centroid():
        s = [0.0, 0.0, 0.0]
        for f in P:
            for p in f:
                for a in range(3):
                    s[a] += p[a]
        return [s[a] / total if total else math.nan for a in range(3)]

    for _ in range(iterations):
        C = centroid()
        F = []
        for fi, f in enumerate(P):
            n = len(f)
            Ff = []
            for j in range(n):
                prev, nxt = (j + n - 1) % n, (j + 1) % n
                p = f[j]
                g = [0.0, 0.0, 0.0]
                for a in range(3):
                    g[a] += 25.0 * ((f[prev][a] - p[a]) + (f[nxt][a] - p[a]))
                for a in range(3):
                    g[a] += 15.0 * (C[a] - p[a])
                for gi, other in enumerate(P):
                    for m, q in enumerate(other):
                        if gi == fi and m in (prev, j, nxt):
                            continue
                        d = [p[0] - q[0], p[1] - q[1], p[2] - q[2]]
                        b = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]
                        if repulsion and b < 0.04000000000000001 and b > 1e-8:
                            r = math.sqrt(b)
                            for a in range(3):
                                g[a] += (200.0 * d[a]) / r
                Ff.append(g)
            F.append(Ff)
        for fi, f in enumerate(P):
            for j, p in enumerate(f):
                for a in range(3):
                    V[fi][j][a] = (V[fi][j][a] + dt * F[fi][j][a]) * 0.7
                    p[a] = p[a] + dt * V[fi][j][a]
    C = centroid()
    R = 0.0
    for f in P:
        for p in f:
            d = [p[a] - C[a] for a in range(3)]
            r = math.sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2])
            if r > R:
                R = r
    s = 2.81794034e-9 if R < 1e-12 else SCALE / R
    return [[[(p[a] - C[a]) * s for a in range(3)] for p in f] for f in P]


def ring(n, radius, centre=(0.0, 0.0, 0.0), tilt=0.0):
    out = []
    for k in range(n):
        t = 2.0 * math.pi * k / n
        out.append([centre[0] + radius * math.cos(t), centre[1] + radius * math.sin(t) * math.cos(tilt),
                    centre[2] + radius * math.sin(t) * math.sin(tilt)])
    return out


def cluster(n, width, seed):
    rng = random.Random(seed)
    return [[rng.uniform(0, width), rng.uniform(0, width), rng.uniform(0, width)] for _ in range(n)]


SETS = {
    # dense rings (several neighbours within range) that interlock
    "two rings": [ring(40, 0.3), ring(30, 0.25, centre=(0.3, 0.0, 0.0), tilt=1.2)],
    # random points spread over many cells, filaments of 1, 2, 3 points and an empty one
    "cluster and short filaments": [cluster(50, 0.8, 1), [[0.1, 0.1, 0.1]], [[0.0, 0.0, 0.05], [0.05, 0.0, 0.0]],
                                    [], cluster(3, 0.3, 2)],
    # a filament far away widens the cells of the grid
    "far apart": [cluster(30, 0.5, 3), [[p[0] + 3e7, p[1], p[2]] for p in cluster(20, 0.4, 4)]],
    "coincident pairs": [[[0.0, 0.0, 0.0], [0.0, 0.0, 0.0], [0.1, 0.0, 0.0], [0.1, 0.0, 0.0], [0.05, 0.05, 0.0]]],
}


@pytest.mark.parametrize("name", list(SETS))
@pytest.mark.parametrize("iterations,dt", [(15, 0.01), (3, 0.05)])
def test_matches_all_pairs_loop_bit_for_bit(name, iterations, dt):
    fils = SETS[name]
    pe = PE(fils)
    pe.relax(iterations, dt)
    assert pe.get_filaments() == relax_reference(fils, iterations, dt)


def relax_reference_numpy(fils, iterations, dt):
    """The same loop with NumPy rows; cumsum adds each point's terms in order."""
    P = np.array([p for f in fils for p in f], dtype=float)
    prev, nxt, o = [], [], 0
    for f in fils:
        n = len(f)
        prev += [o + (j + n - 1) % n for j in range(n)]
        nxt += [o + (j + 1) % n for j in range(n)]
        o += n
    prev, nxt = np.array(prev), np.array(nxt)
    V = np.zeros_like(P)

    def centroid():
        return np.cumsum(P, axis=0)[-1] / len(P)

    for _ in range(iterations):
        C = centroid()
        F = (0.0 + 25.0 * ((P[prev] - P) + (P[nxt] - P))) + 15.0 * (C - P)
        for i in range(len(P)):
            d = P[i] - P
            b = (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]
            mask = (b < 0.04000000000000001) & (b > 1e-8)
            mask[[prev[i], i, nxt[i]]] = False
            terms = (200.0 * d[mask]) / np.sqrt(b[mask])[:, None]
            F[i] = np.cumsum(np.vstack([F[i], terms]), axis=0)[-1]
        V = (V + dt * F) * 0.7
        P = P + dt * V
    C = centroid()
    D = P - C
    R = np.sqrt((D[:, 0] * D[:, 0] + D[:, 1] * D[:, 1]) + D[:, 2] * D[:, 2]).max()
    return (D * (2.81794034e-9 if R < 1e-12 else SCALE / R)).tolist()


def test_dense_set_beyond_the_pair_lists():
    """1600 points within the repulsion range of each other: about 1.3 million
    pairs, more than the relaxation keeps in lists at once."""
    rng = np.random.default_rng(7)
    fils = [rng.uniform(0, 0.1, size=(1000, 3)).tolist(), rng.uniform(0, 0.1, size=(600, 3)).tolist()]
    pe = PE(fils)
    pe.relax(2)
    got = [p for f in pe.get_filaments() for p in f]
    assert got == relax_reference_numpy(fils, 2, 0.01)


def test_numpy_reference_agrees_with_plain_loop():
    fils = SETS["cluster and short filaments"]
    flat = [p for f in relax_reference(fils, 4, 0.01) for p in f]
    assert flat == relax_reference_numpy(fils, 4, 0.01)


def test_each_call_starts_at_rest_and_scales_again():
    fils = SETS["two rings"]
    pe = PE(fils)
    pe.relax(4)
    pe.relax(iterations=2, timestep=0.02)
    assert pe.get_filaments() == relax_reference(relax_reference(fils, 4, 0.01), 2, 0.02)


@pytest.mark.parametrize("gap,repels", [(0.2, False), (0.19, True)])
def test_repulsion_range_is_strict(gap, repels):
    fils = [[[0.0, 0.0, 0.0]], [[gap, 0.0, 0.0]], [[0.0, 1.0, 0.0]]]
    pe = PE(fils)
    pe.relax(1)
    got = pe.get_filaments()
    assert got == relax_reference(fils, 1, 0.01)
    assert (got != relax_reference(fils, 1, 0.01, repulsion=False)) is repels


def test_zero_iterations_only_scale():
    fils = SETS["cluster and short filaments"]
    for its in (0, -5):
        pe = PE(fils)
        pe.relax(its)
        got = pe.get_filaments()
        assert got == relax_reference(fils, 0, 0.01)
        pts = np.array([p for f in got for p in f])
        assert np.allclose(pts.mean(axis=0), 0.0, atol=1e-30)
        assert np.linalg.norm(pts, axis=1).max() == pytest.approx(SCALE, rel=1e-14)


def test_off_origin_set_keeps_its_shape():
    """A ring of 4000 points 1e3 away from the origin: each segment is far
    below the spacing of doubles near 1e3 once scaled, so the set is moved
    to the origin."""
    pts = np.array(ring(4000, 1.0, centre=(1e3, -2e3, 5e2)))
    pe = PE([pts.tolist()])
    pe.relax(0)
    got = np.array(pe.get_filaments()[0])
    c = pts.mean(axis=0)
    ref = (pts - c) * (SCALE / np.linalg.norm(pts - c, axis=1).max())
    assert np.allclose(got, ref, rtol=0, atol=1e-27)
    length = np.linalg.norm(np.roll(ref, -1, axis=0) - ref, axis=1).sum()
    assert pe.get_physical_length_m() == pytest.approx(length, rel=1e-12)
    assert length == pytest.approx(2 * math.pi * SCALE, rel=1e-6)


@pytest.mark.parametrize("fils", [[], [[], []]])
def test_nothing_to_relax(fils):
    pe = PE(fils)
    pe.relax(10)
    assert pe.get_filaments() == fils


def test_coincident_set_stays_coincident():
    pe = PE([[[5.0, 5.0, 5.0]] * 4, [[5.0, 5.0, 5.0]]])
    pe.relax(0)
    assert pe.get_filaments() == [[[0.0, 0.0, 0.0]] * 4, [[0.0, 0.0, 0.0]]]


def test_non_finite_points_do_not_crash():
    pe = PE([[[0.0, 0.0, 0.0], [math.nan, 0.0, 0.0], [0.1, 0.0, 0.0]], [[math.inf, 1.0, 1.0]]])
    pe.relax(3)
    assert len(pe.get_filaments()[0]) == 3


def test_argument_conversion():
    pe = PE([[[0.0, 0.0, 0.0]]])
    for bad in (1.5, 2**31, "3"):
        with pytest.raises(TypeError):
            pe.relax(bad)
    pe.relax(1, 1)


SIGNAL_SCRIPT = textwrap.dedent(
    """
    import os, signal, sys, time
    import _bindings
    os.environ["QEL_IDEAL_DATABASE"] = sys.argv[1]

    class Stop(Exception):
        pass

    stop = Stop()

    def handler(signum, frame):
        raise stop

    pe = _bindings.ParticleEvaluator("3:1:1")
    before = pe.get_filaments()
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    t0 = time.monotonic()
    try:
        pe.relax(10**8)
    except Stop as e:
        assert e is stop
        print("STOPPED", round(time.monotonic() - t0, 3))
    fil = pe.get_filaments()
    radius = max(sum(c * c for c in p) ** 0.5 for p in fil[0])
    # the last completed iteration, not yet scaled to the particle size
    print("UNSCALED", radius > 1e-6, fil != before, len(fil[0]))
    pe.relax(0)
    print("SCALED", pe.get_physical_length_m() > 0)
    """
)


def test_signal_interrupts_long_relaxation():
    proc = subprocess.run([sys.executable, "-c", SIGNAL_SCRIPT, str(PROJECT_DB)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.split("\n")
    assert lines[0].startswith("STOPPED ")
    assert float(lines[0].split()[1]) < 30
    assert lines[1] == "UNSCALED True True 4000"
    assert lines[2] == "SCALED True"
