"""Particle evaluators: the database search, the record extractor and the
Python face of the class."""
import math
import os
from pathlib import Path

import pytest

import _bindings

PE = _bindings.ParticleEvaluator
PROJECT_DB = Path(__file__).resolve().parents[1] / "data" / "knot_fseries" / "ideal_database.txt"
TWO_PI = 6.283185307179586


def sample(comp, n):
    """Points of one component: comp maps index -> (A, B); t_i = i 2pi / n."""
    K = max([i for i in comp if i > 0], default=0)
    A = {i: ab[0] for i, ab in comp.items()}
    B = {i: ab[1] for i, ab in comp.items()}
    zero = (0.0, 0.0, 0.0)
    pts = []
    for i in range(n):
        t = (i * TWO_PI) / n
        p = list(A.get(0, zero))
        for j in range(1, K + 1):
            c, s = math.cos(j * t), math.sin(j * t)
            a, b = A.get(j, zero), B.get(j, zero)
            for k in range(3):
                p[k] += a[k] * c + b[k] * s
        pts.append(p)
    return pts


@pytest.fixture
def db(tmp_path, monkeypatch):
    """Writes a database text to a file named by QEL_IDEAL_DATABASE."""
    path = tmp_path / "db.txt"
    monkeypatch.setenv("QEL_IDEAL_DATABASE", str(path))

    def write(text):
        path.write_text(text)
        return path

    return write


def record(body, rid="k"):
    return f'<AB Id="{rid}" Conway="" L="1.0" D="1.0">\n{body}\n</AB>\n'


CIRCLE = {1: ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0))}

# (record body, components as {index: (A, B)}), one filament per component.
EXTRACTION_CASES = {
    "offset only": ('<Coeff I="0" A="1, 2, 3" B="0,0,0"/>', [{0: ((1.0, 2.0, 3.0), (0.0, 0.0, 0.0))}]),
    "missing I is harmonic 1": ('<Coeff A="1,0,0" B="0,1,0" />', [CIRCLE]),
    "A without B changes nothing": ('<Coeff I="1" A="1,0,0" B="0,1,0"/><Coeff I="2" A="5,5,5"/>', [CIRCLE]),
    "B without A changes nothing": ('<Coeff I="2" B="5,5,5"/><Coeff I="1" A="1,0,0" B="0,1,0"/>', [CIRCLE]),
    "indices outside 0-19 ignored": (
        '<Coeff I="25" A="9,9,9" B="9,9,9"/><Coeff I="-1" A="9,9,9" B="9,9,9"/>'
        '<Coeff I="20" A="9,9,9" B="9,9,9"/><Coeff I="19" A="0,0,0.5" B="0,0,0"/>',
        [{19: ((0.0, 0.0, 0.5), (0.0, 0.0, 0.0))}]),
    "later repeated index wins": (
        '<Coeff I="2" A="7,7,7" B="7,7,7"/><Coeff I="2" A="0,1,0" B="1,0,0"/>',
        [{2: ((0.0, 1.0, 0.0), (1.0, 0.0, 0.0))}]),
    "blanks and sign before the index": (
        '<Coeff I="  +3" A="1,0,0" B="0,0,1"/><Coeff I=" -0" A="0.5,0,0" B="0,0,0"/>',
        [{3: ((1.0, 0.0, 0.0), (0.0, 0.0, 1.0)), 0: ((0.5, 0.0, 0.0), (0.0, 0.0, 0.0))}]),
    "digits end the index": ('<Coeff I="2x" A="1,0,0" B="0,1,0"/>', [{2: ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0))}]),
    "attribute order free": ('<Coeff B="0,1,0" A="1,0,0" I="1"/>', [CIRCLE]),
    "short vectors keep zeros": (
        '<Coeff I="1" A="1,2" B="5"/><Coeff I="2" A="1 ,2,3" B=" 4, 5, 6"/>',
        [{1: ((1.0, 2.0, 0.0), (5.0, 0.0, 0.0)), 2: ((1.0, 0.0, 0.0), (4.0, 5.0, 6.0))}]),
    "unterminated tag ends the scan": ('<Coeff I="1" A="1,0,0" B="0,1,0"/><Coeff I="2" A="1,1,1" B="1,1,1"', [CIRCLE]),
    "lower-case tag not read": ('<coeff I="1" A="1,0,0" B="0,1,0"/>', [{}]),
    "empty record": ("", [{}]),
    "two components, outside tags ignored": (
        '<Coeff I="1" A="9,9,9" B="9,9,9"/>'
        '<Component I="1"><Coeff I="0" A="1,0,0" B="0,0,0"/><Coeff I="1" A="1,0,0" B="0,1,0"/></Component>'
        '<Coeff I="2" A="9,9,9" B="9,9,9"/>'
        '<Component I="2"><Coeff I="0" A="0,0,2" B="0,0,0"/><Coeff I="1" A="0,1,0" B="0,0,1"/></Component>',
        [{0: ((1.0, 0.0, 0.0), (0.0, 0.0, 0.0)), 1: ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0))},
         {0: ((0.0, 0.0, 2.0), (0.0, 0.0, 0.0)), 1: ((0.0, 1.0, 0.0), (0.0, 0.0, 1.0))}]),
    "unclosed component gives no filament": (
        '<Component I="1"><Coeff I="1" A="1,0,0" B="0,1,0"/></Component><Component I="2"><Coeff I="1" A="2,0,0" B="0,2,0"/>',
        [CIRCLE]),
}


@pytest.mark.parametrize("name", list(EXTRACTION_CASES))
def test_extraction_table(db, name):
    body, comps = EXTRACTION_CASES[name]
    db("<DATA>\n" + record(body))
    for n in (7, 1):
        fil = PE("k", n).get_filaments()
        assert fil == [sample(c, n) for c in comps]


def test_harmonic_one_is_the_unit_circle(db):
    db(record('<Coeff A="1,0,0" B="0,1,0" />'))
    pts = PE("k", 8).get_filaments()[0]
    assert pts[0] == [1.0, 0.0, 0.0]
    assert pts[2] == pytest.approx([0.0, 1.0, 0.0], abs=1e-15)


@pytest.mark.parametrize("text,rid,offset", [
    (record('<Coeff I="0" A="1,0,0" B="0,0,0"/>', "3:1:1"), "3:1", None),
    (record('<Coeff I="0" A="1,0,0" B="0,0,0"/>', "3:1") + record('<Coeff I="0" A="2,0,0" B="0,0,0"/>', "3:1"),
     "3:1", 1.0),
    ('<AB  Id="k"><Coeff I="0" A="1,0,0" B="0,0,0"/></AB>', "k", None),
    ('<AB Conway="3" Id="k"><Coeff I="0" A="1,0,0" B="0,0,0"/></AB>', "k", None),
    ('<AB Id="K"><Coeff I="0" A="1,0,0" B="0,0,0"/></AB>', "k", None),
    ('<AB Id="k"><Coeff I="0" A="1,0,0" B="0,0,0"/>', "k", None),
])
def test_record_key(db, text, rid, offset):
    db(text)
    if offset is None:
        with pytest.raises(RuntimeError) as e:
            PE(rid, 3)
        assert str(e.value) == f"[!] QELcore: Knoop ID {rid} niet gevonden in database."
    else:
        assert PE(rid, 3).get_filaments() == [[[offset, 0.0, 0.0]] * 3]


def test_record_ends_at_first_end_tag(db):
    db('<AB Id="k"><Coeff I="0" A="1,0,0" B="0,0,0"/></AB><Coeff I="0" A="5,0,0" B="0,0,0"/></AB>')
    assert PE("k", 2).get_filaments() == [[[1.0, 0.0, 0.0]] * 2]


@pytest.mark.parametrize("index,exc", [("x", ValueError), ("", ValueError), ("99999999999", IndexError),
                                       ("-2147483649", IndexError)])
def test_unreadable_index(db, index, exc):
    db(record(f'<Coeff I="{index}" A="1,0,0" B="0,1,0"/>'))
    with pytest.raises(exc, match="^stoi$"):
        PE("k", 3)


def test_resolution(db):
    db(record('<Component><Coeff I="1" A="1,0,0" B="0,1,0"/></Component><Component></Component>'))
    assert PE("k", 0).get_filaments() == [[], []]
    with pytest.raises(ValueError):
        PE("k", -1)
    for bad in (2**31, 2.0, "4"):
        with pytest.raises(TypeError):
            PE("k", bad)
    assert len(PE("k").get_filaments()[0]) == 4000
    assert len(PE(knot_ab_id="k", resolution=5).get_filaments()[1]) == 5


class TestDatabaseSearch:
    """QEL_IDEAL_DATABASE, then the four paths relative to the working directory."""

    FIXED = ["ideal_database.txt", "Front-End/knot_fseries/ideal_database.txt",
             "../Front-End/knot_fseries/ideal_database.txt", "../../Front-End/knot_fseries/ideal_database.txt"]

    @staticmethod
    def offset_of():
        return PE("k", 1).get_filaments()[0][0][0]

    @pytest.fixture
    def cwd(self, tmp_path, monkeypatch):
        work = tmp_path / "a" / "b"
        work.mkdir(parents=True)
        monkeypatch.chdir(work)
        monkeypatch.delenv("QEL_IDEAL_DATABASE", raising=False)
        return work

    @staticmethod
    def put(path, offset):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(record(f'<Coeff I="0" A="{offset},0,0" B="0,0,0"/>'))

    def test_fixed_paths_in_order(self, cwd):
        for k, rel in enumerate(self.FIXED):
            self.put(cwd / rel, k + 1)
        for k in range(len(self.FIXED)):
            assert self.offset_of() == k + 1
            os.remove(cwd / self.FIXED[k])
        with pytest.raises(RuntimeError, match=r"^\[!\] QELcore: ideal_database.txt niet gevonden\.$"):
            PE("k", 1)

    def test_directory_at_a_fixed_path_is_passed_over(self, cwd):
        (cwd / "ideal_database.txt").mkdir()
        self.put(cwd / self.FIXED[1], 5)
        assert self.offset_of() == 5

    def test_variable(self, cwd, tmp_path, monkeypatch):
        self.put(cwd / "ideal_database.txt", 1)
        own = tmp_path / "own.txt"
        self.put(own, 7)
        monkeypatch.setenv("QEL_IDEAL_DATABASE", str(own))
        assert self.offset_of() == 7
        monkeypatch.setenv("QEL_IDEAL_DATABASE", "")
        assert self.offset_of() == 1
        monkeypatch.setenv("QEL_IDEAL_DATABASE", str(tmp_path / "missing.txt"))
        assert self.offset_of() == 1
        # A directory does not open as a file: the search goes on.
        monkeypatch.setenv("QEL_IDEAL_DATABASE", str(tmp_path))
        assert self.offset_of() == 1
        # An existing empty file is the database: nothing found, no fallback.
        own.write_text("")
        monkeypatch.setenv("QEL_IDEAL_DATABASE", str(own))
        with pytest.raises(RuntimeError, match="ideal_database.txt niet gevonden"):
            PE("k", 1)

    def test_read_anew_by_every_constructor(self, cwd):
        self.put(cwd / "ideal_database.txt", 1)
        first = PE("k", 1)
        self.put(cwd / "ideal_database.txt", 2)
        assert self.offset_of() == 2
        assert first.get_filaments()[0][0][0] == 1.0


def test_project_database_trefoil(monkeypatch):
    """The record 3:1:1 of the project's database: harmonics 0 to 19 only."""
    monkeypatch.setenv("QEL_IDEAL_DATABASE", str(PROJECT_DB))
    text = PROJECT_DB.read_text()
    start = text.index('<AB Id="3:1:1"')
    body = text[start:text.index("</AB>", start)]
    comp = {}
    for line in body.splitlines():
        if line.startswith("<Coeff"):
            i = int(line.split('I="')[1].split('"')[0])
            a = tuple(float(v) for v in line.split('A="')[1].split('"')[0].split(","))
            b = tuple(float(v) for v in line.split('B="')[1].split('"')[0].split(","))
            if i <= 19:
                comp[i] = (a, b)
    assert max(comp) == 19
    pe = PE("3:1:1")
    fil = pe.get_filaments()
    assert len(fil) == 1 and len(fil[0]) == 4000
    ref = sample(comp, 4000)
    assert fil[0][::97] == ref[::97]


class TestFilamentConstructor:
    def test_copies_lists_as_given(self):
        src = [[[0.0, 0.0, 0.0], [1, 2, 3]], [], [(4.0, 5.0, 6.0)]]
        pe = PE(src)
        assert pe.get_filaments() == [[[0.0, 0.0, 0.0], [1.0, 2.0, 3.0]], [], [[4.0, 5.0, 6.0]]]
        src[0][0][0] = 9.0
        out = pe.get_filaments()
        out[0][0][0] = 8.0
        assert pe.get_filaments()[0][0][0] == 0.0

    def test_empty_evaluator(self):
        pe = PE([])
        assert pe.get_filaments() == []
        assert PE(input_filaments=[]).get_filaments() == []

    @pytest.mark.parametrize("bad", [[[[0.0, 1.0]]], [[[0.0, 1.0, 2.0, 3.0]]], [["abc"]], 5, [[[0, 0, "x"]]]])
    def test_bad_points_are_type_errors(self, bad):
        with pytest.raises(TypeError):
            PE(bad)


def test_registration_order_and_docstrings():
    public = [n for n in _bindings.__dict__ if not n.startswith("_")]
    assert public[:5] == ["TailApproxConfig", "RelativisticMetrics", "ParticleEvaluator", "ZooResult", "ZooEvaluator"]
    assert PE.get_filaments.__doc__.endswith("Export the 3D coordinates of all present vortex rings.\n")
    assert PE.print_canonical_derivation.__doc__.endswith("Prints the dynamic fluid derivation of the core density.\n")


def test_tail_config_record():
    cfg = _bindings.TailApproxConfig()
    assert (cfg.enabled, cfg.radial_samples, cfg.azimuth_samples, cfg.r_min_factor, cfg.r_max_factor,
            cfg.exclusion_ds_factor, cfg.use_log_shell_weight) == (False, 8, 8, 1.25, 8.0, 3.0, False)
    for field in ("radial_samples", "azimuth_samples"):
        for bad in (1.5, 2**31, -2**31 - 1, "3"):
            with pytest.raises(TypeError):
                setattr(cfg, field, bad)
    cfg.r_max_factor = 3
    assert cfg.r_max_factor == 3.0

    pe = PE([])
    got = pe.get_tail_approx_config()
    got.enabled = True
    got.radial_samples = -4
    assert pe.get_tail_approx_config().enabled is False
    pe.set_tail_approx_config(got)
    got.radial_samples = 5
    assert (pe.get_tail_approx_config().enabled, pe.get_tail_approx_config().radial_samples) == (True, -4)
    with pytest.raises(TypeError):
        pe.set_tail_approx_config(cfg=got)
