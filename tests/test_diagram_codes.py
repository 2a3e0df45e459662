"""Crossing-number estimates and planar-diagram codes of closed polygons.

The random view directions are reproduced here from a Python Mersenne
Twister and the polar method of the C++ library's normal distribution; the
crossings of each projection are counted with NumPy from the same formulas.
The codes are checked through the knot determinant, computed from the code
alone by Fox colouring."""
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _bindings as qb
from integer_det import bareiss_det

TWO_PI = 6.283185307179586

# Determinants of the prime knots up to eight crossings (standard tables).
DETERMINANT = {
    "3_1": 3, "4_1": 5, "5_1": 5, "5_2": 7, "6_1": 9, "6_2": 11, "6_3": 13,
    "7_1": 7, "7_2": 11, "7_3": 13, "7_4": 15, "7_5": 17, "7_6": 19, "7_7": 21,
    "8_1": 13, "8_2": 17, "8_3": 17, "8_4": 19, "8_5": 21, "8_6": 23, "8_7": 23,
    "8_8": 25, "8_9": 25, "8_10": 27, "8_11": 27, "8_12": 29, "8_13": 29,
    "8_14": 31, "8_15": 33, "8_16": 35, "8_17": 37, "8_18": 45, "8_19": 3,
    "8_20": 9, "8_21": 15,
}


# ------------------------------------------------------------ random source

class MT19937:
    """32-bit Mersenne Twister with the standard seeding."""

    def __init__(self, seed):
        mt = [seed & 0xFFFFFFFF]
        for i in range(1, 624):
            mt.append((1812433253 * (mt[-1] ^ (mt[-1] >> 30)) + i) & 0xFFFFFFFF)
        self.mt, self.index = mt, 624

    def __call__(self):
        if self.index >= 624:
            mt = self.mt
            for i in range(624):
                y = (mt[i] & 0x80000000) | (mt[(i + 1) % 624] & 0x7FFFFFFF)
                mt[i] = mt[(i + 397) % 624] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
            self.index = 0
        y = self.mt[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        return y ^ (y >> 18)


def canonical(engine):
    """Uniform double in [0, 1) from two engine outputs, low word first."""
    lo = float(engine())
    r = (lo + float(engine()) * 4294967296.0) / 18446744073709551616.0
    return r if r < 1.0 else math.nextafter(1.0, 0.0)


class Normal:
    """Marsaglia's polar method; the second value of a pair is kept."""

    def __init__(self):
        self.saved = None

    def __call__(self, engine):
        if self.saved is not None:
            value, self.saved = self.saved, None
            return value
        while True:
            x = 2.0 * canonical(engine) - 1.0
            y = 2.0 * canonical(engine) - 1.0
            r2 = x * x + y * y
            if r2 <= 1.0 and r2 != 0.0:
                break
        mult = math.sqrt(-2 * math.log(r2) / r2)
        self.saved = x * mult
        return y * mult


def test_engine_reference_value():
    engine = MT19937(5489)
    for _ in range(9999):
        engine()
    assert engine() == 4123659995


def cross3(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def frame(engine, normal, eps, aux_y_at_boundary):
    x = normal(engine)
    y = normal(engine)
    z = normal(engine)
    n = math.sqrt(x * x + y * y + z * z) + eps
    d = (x / n, y / n, z / n)
    aux_y = abs(d[0]) >= 0.9 if aux_y_at_boundary else abs(d[0]) > 0.9
    c = cross3(d, (0.0, 1.0, 0.0) if aux_y else (1.0, 0.0, 0.0))
    cn = math.sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]) + eps
    e1 = (c[0] / cn, c[1] / cn, c[2] / cn)
    return d, e1, cross3(d, e1)


def dot_rows(P, e):
    return P[:, 0] * e[0] + P[:, 1] * e[1] + P[:, 2] * e[2]


def estimate_frames(seed, directions, carry=True):
    engine, normal = MT19937(seed), Normal()
    out = []
    for _ in range(directions):
        if not carry:
            normal = Normal()
        out.append(frame(engine, normal, 1e-12, False))
    return out


def pd_frames(seed, tries, carry=False):
    engine, normal = MT19937(seed), Normal()
    out = []
    for _ in range(tries):
        if not carry:
            normal = Normal()
        out.append(frame(engine, normal, 1e-18, True))
    return out


def segment_pairs(N):
    I, J = np.triu_indices(N, 2)
    keep = ~((I == 0) & (J == N - 1))
    return I[keep], J[keep]


def cross2(ux, uy, vx, vy):
    return ux * vy - uy * vx


def strict_crossings(P, fr):
    """Number of strictly crossing segment pairs of the projection."""
    _, e1, e2 = fr
    x, y = dot_rows(P, e1), dot_rows(P, e2)
    N = len(P)
    I, J = segment_pairs(N)
    nI, nJ = (I + 1) % N, (J + 1) % N
    rx, ry = x[nI] - x[I], y[nI] - y[I]
    sx, sy = x[nJ] - x[J], y[nJ] - y[J]
    c1 = cross2(rx, ry, x[J] - x[I], y[J] - y[I]) * cross2(rx, ry, x[nJ] - x[I], y[nJ] - y[I])
    c2 = cross2(sx, sy, x[nI] - x[J], y[nI] - y[J]) * cross2(sx, sy, x[I] - x[J], y[I] - y[J])
    return int(np.count_nonzero((c1 < 0) & (c2 < 0)))


def diagram_crossings(P, fr):
    """Crossings of the projection in pair order, each as (depth gap, angle
    in degrees), before any filter."""
    d, e1, e2 = fr
    x, y, z = dot_rows(P, e1), dot_rows(P, e2), dot_rows(P, d)
    N = len(P)
    I, J = segment_pairs(N)
    nI, nJ = (I + 1) % N, (J + 1) % N
    rx, ry = x[nI] - x[I], y[nI] - y[I]
    sx, sy = x[nJ] - x[J], y[nJ] - y[J]
    den = cross2(rx, ry, sx, sy)
    qx, qy = x[J] - x[I], y[J] - y[I]
    with np.errstate(divide="ignore", invalid="ignore"):
        t = cross2(qx, qy, sx, sy) / den
        u = cross2(qx, qy, rx, ry) / den
    ok = (np.abs(den) >= 1e-12) & (t > 1e-12) & (t < 0.999999999999) & (u > 1e-12) & (u < 0.999999999999)
    za = z[I] + t * (z[nI] - z[I])
    zb = z[J] + u * (z[nJ] - z[J])
    c = (rx * sx + ry * sy) / ((np.hypot(rx, ry) + 1e-18) * (np.hypot(sx, sy) + 1e-18))
    angle = np.degrees(np.arccos(np.abs(np.clip(c, -1.0, 1.0))))
    return np.abs(za - zb)[ok], angle[ok]


# ------------------------------------------------------------------ curves

def trefoil(n):
    t = np.arange(n) * TWO_PI / n
    return np.stack([np.sin(t) + 2 * np.sin(2 * t), np.cos(t) - 2 * np.cos(2 * t), -np.sin(3 * t)], 1)


def figure_eight(n):
    t = np.arange(n) * TWO_PI / n
    return np.stack([(2 + np.cos(2 * t)) * np.cos(3 * t), (2 + np.cos(2 * t)) * np.sin(3 * t), np.sin(4 * t)], 1)


def random_polygon(n, seed):
    return np.random.default_rng(seed).normal(size=(n, 3))


def embedded_curve(kid):
    block = qb.load_embedded_knot_block(kid)
    n = max(400, 16 * len(block.a_x))
    return np.array(qb.evaluate_fourier_block(block, (np.arange(n) * TWO_PI / n).tolist()))


# -------------------------------------------------------------- determinant



def determinant_of_code(code):
    """|det| of the Fox colouring matrix of the diagram: the two over labels
    of a crossing belong to one arc; each crossing gives the row
    2*over - under_in - under_out; any first minor."""
    parent = {}

    def find(a):
        parent.setdefault(a, a)
        while parent[a] != a:
            parent[a] = parent[parent[a]]
            a = parent[a]
        return a

    for under_in, over_in, under_out, over_out in code:
        find(under_in), find(under_out)
        parent[find(over_in)] = find(over_out)
    arcs = {root: k for k, root in enumerate(sorted({find(a) for a in parent}))}
    M = [[0] * len(arcs) for _ in code]
    for row, (under_in, over_in, under_out, _) in zip(M, code):
        row[arcs[find(over_in)]] += 2
        row[arcs[find(under_in)]] -= 1
        row[arcs[find(under_out)]] -= 1
    return abs(bareiss_det([row[1:] for row in M[1:]]))


def check_code_structure(code):
    """Labels 1..2K, each twice; along each strand the out label follows the
    in label (the passages are numbered in curve order)."""
    K = len(code)
    L = 2 * K
    labels = sorted(v for entry in code for v in entry)
    assert labels == sorted(list(range(1, L + 1)) * 2)
    for under_in, over_in, under_out, over_out in code:
        assert under_out == under_in % L + 1
        assert over_out == over_in % L + 1


# ---------------------------------------------------------- crossing number

@pytest.mark.parametrize("curve,expected", [(trefoil(200), 3), (figure_eight(200), 4)])
def test_crossing_number_of_trefoil_and_figure_eight(curve, expected):
    assert qb.estimate_crossing_number(curve.tolist()) == expected


@pytest.mark.parametrize("seed", [12345, 0, 7, -1])
def test_estimate_follows_the_drawn_directions(seed):
    P = random_polygon(40, 3)
    frames = estimate_frames(seed & 0xFFFFFFFF, 12)
    counts = [strict_crossings(P, fr) for fr in frames]
    for k in range(1, 13):
        assert qb.estimate_crossing_number(P.tolist(), directions=k, seed=seed) == min(counts[:k])
    # the kept normal value matters: fresh distributions would give other counts
    fresh = [strict_crossings(P, fr) for fr in estimate_frames(seed & 0xFFFFFFFF, 12, carry=False)]
    assert counts[1:] != fresh[1:]


def test_estimate_edges():
    square = [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]]
    circle = np.stack([np.cos(np.arange(30) * TWO_PI / 30), np.sin(np.arange(30) * TWO_PI / 30),
                       np.zeros(30)], 1)
    assert qb.estimate_crossing_number(circle.tolist()) == 0
    assert qb.estimate_crossing_number(square, directions=5) == 0
    assert qb.estimate_crossing_number(square[:3], directions=5) == 0
    assert qb.estimate_crossing_number([[0, 0, 0]] * 20, directions=0) == 400
    assert qb.estimate_crossing_number([], directions=3) == 0
    # N*N in 64 bits
    assert qb.estimate_crossing_number([[0.0, 0.0, 0.0]] * 50000, directions=-3) == 2_500_000_000
    with pytest.raises(TypeError):
        qb.estimate_crossing_number(square, seed=2**31)


# ---------------------------------------------------- planar-diagram codes

@pytest.mark.parametrize("seed", [12345, 1, 99])
def test_code_comes_from_the_try_with_most_crossings(seed):
    P = random_polygon(30, 5)
    frames = pd_frames(seed, 6)
    counts = [len(diagram_crossings(P, fr)[0]) for fr in frames]
    for tries in range(1, 7):
        code = qb.pd_from_curve(P.tolist(), tries=tries, seed=seed, min_angle_deg=0.0, depth_tol=0.0)
        assert len(code) == max(counts[:tries])
        check_code_structure(code)
    carried = [len(diagram_crossings(P, fr)[0]) for fr in pd_frames(seed, 6, carry=True)]
    assert counts[1:] != carried[1:]


@pytest.mark.parametrize("kid", ["8_18", "5_2"])
def test_finely_sampled_curve_finds_every_crossing(kid):
    # short, nearly parallel neighbouring segments: every crossing that a
    # plain test of all pairs finds must be found
    block = qb.load_embedded_knot_block(kid)
    P = np.array(qb.evaluate_fourier_block(block, (np.arange(1200) * TWO_PI / 1200).tolist()))
    strict = [strict_crossings(P, fr) for fr in estimate_frames(77, 4)]
    assert qb.estimate_crossing_number(P, directions=4, seed=77) == min(strict)
    counts = [len(diagram_crossings(P, fr)[0]) for fr in pd_frames(77, 4)]
    assert len(qb.pd_from_curve(P, tries=4, seed=77, min_angle_deg=0.0, depth_tol=0.0)) == max(counts)


def test_first_of_equally_good_tries_wins():
    P = trefoil(120)
    for seed in range(50):
        c = [len(diagram_crossings(P, fr)[0]) for fr in pd_frames(seed, 2)]
        if c[0] == c[1] > 0:
            break
    else:
        pytest.fail("no seed with two equal tries")
    first = qb.pd_from_curve(P.tolist(), tries=1, seed=seed)
    assert qb.pd_from_curve(P.tolist(), tries=2, seed=seed) == first


@pytest.mark.parametrize("kid", sorted(k for k in qb.get_embedded_knot_files() if k[0] in "345678"))
def test_determinant_of_embedded_knot_codes(kid):
    base = kid.rstrip("abcdefghijklmnopqrstuvwxyz")
    P = embedded_curve(kid)
    for kwargs in ({"min_angle_deg": 0.0, "depth_tol": 0.0}, {}):
        code = qb.pd_from_curve(P, **kwargs)
        check_code_structure(code)
        assert determinant_of_code(code) == DETERMINANT[base], kwargs


@pytest.mark.parametrize("filt", ["depth_tol", "min_angle_deg"])
def test_projection_whose_filter_drops_a_crossing_is_abandoned(filt):
    P = random_polygon(30, 5)
    gaps, angles = diagram_crossings(P, pd_frames(12345, 1)[0])
    values = np.sort(gaps if filt == "depth_tol" else angles)
    assert len(values) >= 4
    off = {"min_angle_deg": 0.0, "depth_tol": 0.0}
    # below every crossing's value: all crossings stay
    code = qb.pd_from_curve(P, tries=1, **{**off, filt: values[0] * 0.5})
    assert len(code) == len(values)
    # between two values: the projection would lose crossings, so it fails
    with pytest.raises(RuntimeError, match=r"^Failed to extract PD from any projection\.$"):
        qb.pd_from_curve(P, tries=1, **{**off, filt: 0.5 * (values[1] + values[2])})


def test_codes_are_reproducible_and_hand_over_labels_in_order():
    P = trefoil(300)
    code = qb.pd_from_curve(P.tolist())
    assert code == qb.pd_from_curve(P)
    assert isinstance(code, list) and all(isinstance(e, list) and len(e) == 4 for e in code)
    assert all(type(v) is int for e in code for v in e)
    assert len(code) >= 3
    check_code_structure(code)
    assert determinant_of_code(code) == 3


def test_point_argument_forms():
    P = (trefoil(64) * 100).astype(np.int32)
    assert qb.pd_from_curve(P) == qb.pd_from_curve(P.astype(float).tolist())
    with pytest.raises(ValueError, match=r"^pd_from_curve: expected array with shape \(N,3\)$"):
        qb.pd_from_curve(np.zeros((10, 2)))
    for bad in (None, 5, [[0, 0]] * 5, "abc"):
        with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type "):
            qb.pd_from_curve(bad)


@pytest.mark.parametrize("call,exc,msg", [
    (lambda: qb.pd_from_curve(trefoil(3)), ValueError, r"^pd_from_curve: need at least 4 points$"),
    (lambda: qb.pd_from_curve(trefoil(40), tries=0), RuntimeError, r"^Failed to extract PD from any projection\.$"),
    (lambda: qb.pd_from_curve(trefoil(40), tries=-2), RuntimeError, r"^Failed to extract PD from any projection\.$"),
    (lambda: qb.pd_from_curve(np.c_[trefoil(40)[:, :2], np.zeros(40)]), RuntimeError,
     r"^Failed to extract PD from any projection\.$"),
    (lambda: qb.pd_from_curve(trefoil(40), seed=-1), TypeError, None),
    (lambda: qb.pd_from_curve(trefoil(40), seed=2**32), TypeError, None),
    (lambda: qb.pd_from_curve(trefoil(40), tries=1.0), TypeError, None),
])
def test_pd_errors(call, exc, msg):
    with pytest.raises(exc, match=msg):
        call()


def test_largest_unsigned_seed():
    assert len(qb.pd_from_curve(trefoil(80), seed=2**32 - 1)) >= 3


@pytest.mark.parametrize("seed", [12345, 7, 99])
def test_a_strand_through_a_vertex_is_not_a_crossing(seed):
    # Vertex 8 sits at the origin and the last-but-one segment runs from p to
    # -p: their projections are exact negatives of each other, so in every
    # projection the segment passes exactly through the vertex, where segment
    # 7 ends and segment 8 begins. Neither pair crosses strictly inside both
    # segments, so the code has only the strict crossings of the projection.
    p = np.array([3.5, 0.75, 1.25])
    T = trefoil(24) + [0.0, 0.5, 0.0]
    P = np.vstack([T[:8], [[0.0, 0.0, 0.0]], T[8:], p, -p])
    fr = pd_frames(seed, 1)[0]
    x, y = dot_rows(P, fr[1]), dot_rows(P, fr[2])
    assert x[8] == y[8] == 0.0 and x[-2] == -x[-1] and y[-2] == -y[-1]
    code = qb.pd_from_curve(P, tries=1, seed=seed, min_angle_deg=0.0, depth_tol=0.0)
    assert len(code) == strict_crossings(P, fr) > 0
    check_code_structure(code)


def test_array_that_is_not_numeric_is_a_type_error():
    bad = np.array([["1", "2", "x"]] * 6)
    for call in (lambda: qb.pd_from_curve(bad), lambda: qb.compute_biot_savart_velocity_grid(bad, np.zeros((2, 3))),
                 lambda: qb.compute_biot_savart_velocity_grid(np.zeros((4, 3)), bad)):
        with pytest.raises(TypeError, match=r"^pd_from_curve: expected array of numbers with shape \(N,3\)$"):
            call()
    # strings that are numbers still convert, as for any array argument
    assert qb.pd_from_curve(trefoil(40).astype(str), tries=3) == qb.pd_from_curve(trefoil(40), tries=3)


@pytest.mark.no_sanitizer("RLIMIT_AS below the sanitizer's own address-space reservations")
def test_memory_exhaustion_is_not_taken_for_a_failed_projection():
    # A random polygon of 4000 points crosses itself hundreds of thousands of
    # times in projection; with the address space capped, the crossing list
    # of the first try outgrows it. That must surface as MemoryError.
    script = textwrap.dedent(
        """
        import resource, numpy as np, _bindings as qb
        P = np.random.default_rng(1).normal(size=(4000, 3))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 8 * 2**20, hard))
        try:
            qb.pd_from_curve(P, tries=1, min_angle_deg=0.0, depth_tol=0.0)
        except MemoryError:
            print("MEMORY")
        except RuntimeError as e:
            print("RUNTIME", e)
        else:
            print("RETURNED")
        """
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.stdout.strip() == "MEMORY", proc.stdout + proc.stderr


def test_docstrings_and_signatures():
    est = qb.estimate_crossing_number.__doc__
    assert est.startswith("estimate_crossing_number(r: ")
    assert "= 24, seed: " in est and est.split("\n")[0].endswith(" = 12345) -> int")
    assert est.split("\n", 2)[2] == "Estimate crossing number from projections\n"
    pd = qb.pd_from_curve.__doc__
    assert pd.startswith("pd_from_curve(P3: object, tries: ")
    assert "= 40, seed: " in pd and "= 12345, min_angle_deg: " in pd and "= 1.0, depth_tol: " in pd
    assert pd.split("\n", 2)[2] == "\nCompute a PD code from a closed 3D polygonal curve.\n\n"
