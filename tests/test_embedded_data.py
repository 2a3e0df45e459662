"""The knot data compiled into the module: key sets, formats, and the knot
type of the curves, checked by the determinant of a projection's diagram."""
import re
from fractions import Fraction

import numpy as np
import pytest

import _bindings as qb
from integer_det import bareiss_det

KNOT_IDS = [
    "10_1", "10_1n", "12a_1202", "12a_1202z6", "15331", "1_1", "3_1", "3_1p",
    "3_1u", "4_1", "4_1d", "4_1p", "4_1z", "5_1", "5_1p", "5_1u", "5_2",
    "5_2d", "5_2r", "6_1", "6_2", "6_2d", "6_2p", "6_3d", "6_3z", "7_1",
    "7_1p", "7_2", "7_2d", "7_2r", "7_3", "7_3d", "7_4", "7_5", "7_5d",
    "7_6d", "7_6s", "7_7d", "8_1", "8_1d", "8_10s", "8_11", "8_11d", "8_12d",
    "8_12z", "8_13d", "8_13p", "8_14d", "8_14r", "8_15", "8_15d", "8_15p",
    "8_16", "8_17", "8_18", "8_18z", "8_19t", "8_19u", "8_2", "8_2d",
    "8_20r", "8_21d", "8_21p", "8_21r", "8_3", "8_3d", "8_3z", "8_4", "8_4d",
    "8_5", "8_6", "8_6p", "8_7d", "8_7s", "8_8d", "8_9d", "9_2", "9_2n"]

DATABASES = ["ideal.txt", "ideal_database.txt", "idealLinks.txt", "idealLinks_10a.txt",
             "idealLinks_10n.txt", "ideal_11a.txt", "ideal_11n.txt"]

# Knot determinants from the standard knot tables (Rolfsen's table up to 10
# crossings; the Dowker-Thistlethwaite table beyond).  "15331" holds 13a_1533.
DETERMINANT = {
    "1_1": 1, "3_1": 3, "4_1": 5, "5_1": 5, "5_2": 7, "6_1": 9, "6_2": 11, "6_3": 13,
    "7_1": 7, "7_2": 11, "7_3": 13, "7_4": 15, "7_5": 17, "7_6": 19, "7_7": 21,
    "8_1": 13, "8_2": 17, "8_3": 17, "8_4": 19, "8_5": 21, "8_6": 23, "8_7": 23,
    "8_8": 25, "8_9": 25, "8_10": 27, "8_11": 27, "8_12": 29, "8_13": 29,
    "8_14": 31, "8_15": 33, "8_16": 35, "8_17": 37, "8_18": 45, "8_19": 3,
    "8_20": 9, "8_21": 15, "9_2": 15, "10_1": 17, "12a_1202": 169, "15331": 303,
}


@pytest.fixture(scope="module")
def knot_files():
    return qb.get_embedded_knot_files()


@pytest.fixture(scope="module")
def ideal_files():
    return qb.get_embedded_ideal_files()


# ----------------------------------------------------------------- readers
# Small readers written from the file formats, independent of the module.

def fseries_blocks(text):
    """Blocks of rows of a Fourier-series text: a line whose first character
    is '%' or that is empty ends a block; other lines count when they start
    with six numbers."""
    blocks, cur = [], []
    for line in text.split("\n"):
        line = line.rstrip(" \t\r\n")
        if not line or line[0] == "%":
            if cur:
                blocks.append(np.array(cur))
                cur = []
            continue
        try:
            row = [float(v) for v in line.split()[:6]]
        except ValueError:
            continue
        if len(row) == 6:
            cur.append(row)
    if cur:
        blocks.append(np.array(cur))
    return blocks


def fseries_curve(rows, n):
    """Row k holds harmonic k+1: x(s) = sum a_x cos((k+1)s) + b_x sin((k+1)s)."""
    s = np.arange(n) * 2 * np.pi / n
    k = np.arange(1, len(rows) + 1)[:, None]
    c, sn = np.cos(k * s), np.sin(k * s)
    return np.stack([rows[:, 2 * j] @ c + rows[:, 2 * j + 1] @ sn for j in range(3)], axis=1)


COEFF = re.compile(r'<Coeff\s+I="\s*([0-9]+)"\s+A="([^"]+)"\s+B="([^"]+)"\s*/?>', re.I)


def ab_records(text):
    out, pos = [], 0
    while True:
        s = text.find("<AB", pos)
        if s < 0:
            return out
        g = text.find(">", s)
        e = text.find("</AB>", g)
        if g < 0 or e < 0:
            return out
        out.append((text[s:g + 1], text[g + 1:e]))
        pos = e + 5


def ab_curve(body, n, kmax=None):
    s = np.arange(n) * 2 * np.pi / n
    P = np.zeros((n, 3))
    for m in COEFF.finditer(body):
        k = int(m.group(1))
        if kmax is not None and k > kmax:
            continue
        a = np.array([float(v) for v in m.group(2).replace(",", " ").split()])
        b = np.array([float(v) for v in m.group(3).replace(",", " ").split()])
        P += np.outer(np.cos(k * s), a) + np.outer(np.sin(k * s), b)
    return P


# ------------------------------------------------------------- determinant



def knot_determinant(P, seed=0):
    """|det| of the Fox colouring matrix of the projection of the closed
    polyline P: arcs run from one under-pass to the next, and each crossing
    gives the row 2*over - under_in - under_out."""
    rng = np.random.default_rng(seed)
    Q, _ = np.linalg.qr(rng.normal(size=(3, 3)))
    X = P @ Q.T
    N = len(X)
    nxt = np.roll(np.arange(N), -1)
    A, D = X[:, :2], X[nxt, :2] - X[:, :2]
    I, J = np.triu_indices(N, 2)
    keep = ~((I == 0) & (J == N - 1))
    I, J = I[keep], J[keep]
    r = A[J] - A[I]
    den = D[I, 0] * D[J, 1] - D[I, 1] * D[J, 0]
    with np.errstate(divide="ignore", invalid="ignore"):
        t = (r[:, 0] * D[J, 1] - r[:, 1] * D[J, 0]) / den
        u = (r[:, 0] * D[I, 1] - r[:, 1] * D[I, 0]) / den
    hit = (den != 0) & (t >= 0) & (t < 1) & (u >= 0) & (u < 1)
    I, J, t, u = I[hit], J[hit], t[hit], u[hit]
    zi = X[I, 2] + t * (X[nxt[I], 2] - X[I, 2])
    zj = X[J, 2] + u * (X[nxt[J], 2] - X[J, 2])
    n = len(I)
    if n == 0:
        return 1
    events = sorted([(I[c], t[c], c, zi[c] > zj[c]) for c in range(n)]
                    + [(J[c], u[c], c, zj[c] > zi[c]) for c in range(n)])
    # walk once round the curve; the arc number goes up at every under-pass
    arc, over_arc, under = 0, {}, {}
    for seg, par, c, is_over in events:
        if is_over:
            over_arc[c] = arc
        else:
            under[c] = [arc]
            arc += 1
    narcs = arc
    for seg, par, c, is_over in events:
        if not is_over:
            under[c].append((under[c][0] + 1) % narcs)
    M = [[0] * narcs for _ in range(n)]
    for c in range(n):
        M[c][over_arc[c] % narcs] += 2
        M[c][under[c][0] % narcs] -= 1
        M[c][under[c][1]] -= 1
    minor = [row[1:] for row in M[1:]]
    return abs(bareiss_det(minor))


# ------------------------------------------------------------------- tests

def test_knot_file_keys_and_texts(knot_files):
    assert list(knot_files) == sorted(KNOT_IDS, key=lambda k: k.encode())
    zero_first = blank_first = 0
    for kid, text in knot_files.items():
        assert text.isascii() and "\0" not in text
        blocks = fseries_blocks(text)
        assert len(blocks) == 1, kid
        assert 1 <= len(blocks[0]) <= 100, kid
        assert "% lines  a_x(j) b_x(j)  a_y(j)  b_y(j)  a_z(j)  b_z(j)" in text.split("\n")
        first = text.split("\n", 1)[0]
        assert first.lstrip().startswith("%"), kid
        blank_first += first.startswith(" %")
        zero_first += bool(np.all(blocks[0][0] == 0))
    assert zero_first == 46
    assert blank_first == 64


def test_unit_circle(knot_files):
    rows = fseries_blocks(knot_files["1_1"])
    assert len(rows) == 1
    np.testing.assert_array_equal(rows[0], [[1, 0, 0, 1, 0, 0]])


@pytest.mark.parametrize("kid", KNOT_IDS)
def test_fourier_knot_type_by_determinant(knot_files, kid):
    base = "15331" if kid == "15331" else re.match(r"\d+[an]?_\d+", kid).group(0)
    rows = fseries_blocks(knot_files[kid])[0]
    P = fseries_curve(rows, max(800, 16 * len(rows)))
    assert knot_determinant(P) == DETERMINANT[base]
    # centred, inside the unit ball and touching it, like the unit circle
    assert np.abs(P.mean(axis=0)).max() < 1e-9
    assert 0.95 < np.linalg.norm(P, axis=1).max() < 1.01


def test_ideal_file_keys(ideal_files):
    small = ["ideal_12_data/12a%d.txt" % i for i in range(1, 1289)] + \
            ["ideal_12_data/12n%d.txt" % i for i in range(1, 889)]
    assert len(ideal_files) == 2183
    assert set(ideal_files) == set(DATABASES) | set(small)
    assert list(ideal_files) == sorted(ideal_files, key=lambda k: k.encode())
    for name, text in ideal_files.items():
        assert text.isascii() and "\0" not in text, name


def test_ideal_database_records(ideal_files):
    text = ideal_files["ideal.txt"]
    assert ideal_files["ideal_database.txt"] == text
    recs = ab_records(text)
    assert len(recs) == 263
    ids = [re.search(r'Id="([^"]+)"', h).group(1) for h, _ in recs]
    assert len(set(ids)) == 263
    # the prime knots up to ten crossings: 249 of them
    classic = [i for i in ids if re.fullmatch(r"\d+:\d+:1", i)]
    per_crossing = {}
    for i in classic:
        per_crossing[int(i.split(":")[0])] = per_crossing.get(int(i.split(":")[0]), 0) + 1
    assert per_crossing == {3: 1, 4: 1, 5: 2, 6: 3, 7: 7, 8: 21, 9: 49, 10: 165}
    for header, body in recs:
        # one blank between "<AB" and Id, as a plain search for the id expects
        assert header.startswith('<AB Id="')
        assert re.search(r' D="\s*1\.0+"', header)
        idx = [int(m.group(1)) for m in COEFF.finditer(body)]
        assert idx and 1 <= min(idx) and max(idx) <= 240
        for m in COEFF.finditer(body):
            for vec in (m.group(2), m.group(3)):
                # each comma directly after its number
                assert re.fullmatch(r"\s*-?\d+\.\d+,\s*-?\d+\.\d+,\s*-?\d+\.\d+", vec), vec


def test_other_databases_hold_no_ab_records(ideal_files):
    for name, tag in [("idealLinks.txt", "TL"), ("idealLinks_10a.txt", "TL"),
                      ("idealLinks_10n.txt", "TL"), ("ideal_11a.txt", "HT"),
                      ("ideal_11n.txt", "HT")]:
        text = ideal_files[name]
        assert "<AB" not in text
        assert text.count("<%s " % tag) == text.count("</%s>" % tag) > 0
        assert qb.load_embedded_ideal_text(name) == text


@pytest.mark.parametrize("rid,det", [("3:1:1", 3), ("4:1:1", 5), ("7:4:1", 15),
                                     ("8:18:1", 45), ("10:165:1", 39),
                                     ("K11a1", 127), ("K11n7", 67)])
def test_ideal_record_knot_type_by_determinant(ideal_files, rid, det):
    recs = dict((re.search(r'Id="([^"]+)"', h).group(1), b) for h, b in ab_records(ideal_files["ideal.txt"]))
    assert knot_determinant(ab_curve(recs[rid], 1200)) == det


@pytest.mark.parametrize("name,det", [("12a1", 213), ("12a77", 225), ("12a1202", 169),
                                      ("12a1288", 117), ("12n1", 57), ("12n888", 45)])
def test_polyline_knot_type_by_determinant(ideal_files, name, det):
    text = ideal_files["ideal_12_data/%s.txt" % name]
    P = np.array([[float(v) for v in line.split()] for line in text.splitlines()])
    assert P.shape[1] == 3 and 100 <= len(P) <= 1000
    assert knot_determinant(P) == det


def test_successive_maps_are_independent():
    a = qb.get_embedded_knot_files()
    b = qb.get_embedded_knot_files()
    assert a == b and a is not b
    del a["3_1"]
    a["4_1"] = "changed"
    c = qb.get_embedded_knot_files()
    assert c == b and "3_1" in c
    ia = qb.get_embedded_ideal_files()
    text = ia["ideal.txt"]
    ia["ideal.txt"] = ""
    ib = qb.get_embedded_ideal_files()
    assert ib["ideal.txt"] == text != ""
    assert qb.load_embedded_ideal_text("ideal.txt") == text


def test_load_embedded_ideal_text(ideal_files):
    assert qb.load_embedded_ideal_text() == ideal_files["ideal.txt"]
    assert qb.load_embedded_ideal_text("12n5.txt") == ideal_files["ideal_12_data/12n5.txt"]
    assert qb.load_embedded_ideal_text("ideal_12_data/12a7.txt") == ideal_files["ideal_12_data/12a7.txt"]
    for bad in ["ideal_12_data", "IDEAL.TXT", "12n889.txt", ""]:
        with pytest.raises(RuntimeError, match="^Embedded ideal text not found: %s$" % re.escape(bad)):
            qb.load_embedded_ideal_text(bad)


def test_determinant_helper_on_known_curves():
    # the helper itself, on closed forms: the (2,3) and (2,5) torus knots
    s = np.arange(600) * 2 * np.pi / 600
    for q, det in [(3, 3), (5, 5)]:
        r = 2 + np.cos(q * s)
        P = np.stack([r * np.cos(2 * s), r * np.sin(2 * s), np.sin(q * s)], axis=1)
        assert knot_determinant(P, seed=3) == det
    circle = np.stack([np.cos(s), np.sin(s), 0 * s], axis=1)
    assert knot_determinant(circle) == 1


# ------------------------------------------------- readers of the embedded data

def _block_fields(b):
    return (b.header, list(b.a_x), list(b.b_x), list(b.a_y), list(b.b_y), list(b.a_z), list(b.b_z))


@pytest.mark.parametrize("kid", ["1_1", "3_1", "4_1d", "12a_1202z6"])
def test_load_embedded_knot_block(knot_files, kid):
    block = qb.load_embedded_knot_block(kid)
    rows = fseries_blocks(knot_files[kid])[0]
    np.testing.assert_array_equal(np.array(block.a_x), rows[:, 0])
    np.testing.assert_array_equal(np.array(block.b_z), rows[:, 5])
    assert block.header == "lines  a_x(j) b_x(j)  a_y(j)  b_y(j)  a_z(j)  b_z(j)"
    blocks = qb.parse_fseries_from_string(knot_files[kid])
    assert _block_fields(block) == _block_fields(blocks[qb.index_of_largest_block(blocks)])


def test_load_embedded_knot_block_errors():
    files = qb.get_embedded_knot_files()
    del files["3_1"]
    assert len(qb.load_embedded_knot_block("3_1").a_x) > 0
    for bad in ["3_2", "3_1 ", "knot.3_1.fseries", ""]:
        with pytest.raises(RuntimeError, match="^Embedded knot id not found: %s$" % re.escape(bad)):
            qb.load_embedded_knot_block(bad)


def test_parse_embedded_ideal_txt(ideal_files):
    recs = qb.parse_embedded_ideal_txt()
    assert len(recs) == 263
    assert [r.id for r in recs] == [re.search(r'Id="([^"]+)"', h).group(1)
                                    for h, _ in ab_records(ideal_files["ideal.txt"])]
    assert all(r.D == 1.0 and r.L > 0 and r.n == 1 and len(r.components) == 1 for r in recs)
    for name in ["idealLinks.txt", "ideal_11n.txt", "12a3.txt"]:
        assert qb.parse_embedded_ideal_txt(name) == []
    with pytest.raises(RuntimeError, match="^Embedded ideal text not found: nope.txt$"):
        qb.parse_embedded_ideal_txt("nope.txt")


def test_ideal_record_length_is_its_ropelength(ideal_files):
    # L is the length of the stored curve, whose tube diameter D is 1
    recs = dict((re.search(r'Id="([^"]+)"', h).group(1), (h, b)) for h, b in ab_records(ideal_files["ideal.txt"]))
    for rid in ["3:1:1", "5:2:1", "9:40:1", "K11n1"]:
        header, body = recs[rid]
        P = ab_curve(body, 1200)
        length = np.linalg.norm(np.roll(P, -1, axis=0) - P, axis=1).sum()
        L = float(re.search(r' L="([^"]+)"', header).group(1))
        assert abs(length - L) < 1e-3 * L
        # a knot of tube diameter 1 is longer than the ropelength bound of the trefoil
        assert L > 15.6


def test_parse_embedded_ideal_ab_by_id():
    ab = qb.parse_embedded_ideal_ab_by_id("3:1:1")
    assert ab.id == "3:1:1" and ab.conway == "3" and ab.D == 1.0
    assert qb.format_ideal_ab_header(ab).startswith('AB Id="3:1:1" Conway="3" L="')
    k = qb.parse_embedded_ideal_ab_by_id("K11a1", "ideal_database.txt")
    assert k.id == "K11a1"
    with pytest.raises(RuntimeError, match="^parse_ideal_ab_by_id_from_string: AB Id not found: 3:1$"):
        qb.parse_embedded_ideal_ab_by_id("3:1")
    with pytest.raises(RuntimeError, match="^parse_ideal_ab_by_id_from_string: AB Id not found: L2a1$"):
        qb.parse_embedded_ideal_ab_by_id("L2a1", "idealLinks.txt")
    with pytest.raises(RuntimeError, match="^Embedded ideal text not found: ideal"):
        qb.parse_embedded_ideal_ab_by_id("3:1:1", "ideal")


@pytest.mark.parametrize("name,signature,doc", [
    ("get_embedded_ideal_files", "get_embedded_ideal_files()",
     "Return embedded ideal*.txt resources as {relative_name: content}."),
    ("load_embedded_ideal_text", "load_embedded_ideal_text(name: str = 'ideal.txt')",
     "Load embedded ideal text resource from library (basename fallback supported)."),
    ("parse_embedded_ideal_txt", "parse_embedded_ideal_txt(name: str = 'ideal.txt')",
     "Parse embedded ideal*.txt resource into AB blocks."),
    ("parse_embedded_ideal_ab_by_id", "parse_embedded_ideal_ab_by_id(ab_id: str, name: str = 'ideal.txt')",
     "Parse a single AB block by Id from an embedded ideal*.txt resource."),
    ("get_embedded_knot_files", "get_embedded_knot_files()",
     "Return embedded .fseries resources as {knot_id: file_content}."),
    ("load_embedded_knot_block", "load_embedded_knot_block(knot_id: str)",
     "Load embedded knot by id and return its largest Fourier block."),
])
def test_signatures_and_docstrings(name, signature, doc):
    text = getattr(qb, name).__doc__
    assert text.startswith(signature)
    assert text.rstrip("\n").endswith("\n" + doc)
