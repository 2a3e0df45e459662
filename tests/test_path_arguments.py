"""Paths as Python's open() takes them, and only regular files read.

Every argument that names a file or directory takes str, bytes and
os.PathLike; a name that is not valid UTF-8 goes in as bytes or as the str
os.fsdecode makes of it and comes back (in result fields and error messages)
decoded the same way; a NUL byte is a ValueError before anything is opened.
FIFOs and devices are refused at once: a read would wait for a writer or
never end, so those calls run in child interpreters with a time limit.
"""
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _bindings as qb

CIRCLE = "% circle\n1 0 0 1 0 0\n0 0 0 0 0.5 0\n"
LEGACY = b"% legacy\n0 0 0\n1 0 0 1 0 0\n0 0 0 0 0.5 0\n"


def _params():
    p = qb.FilamentEnergyParams()
    p.nsamples = 64
    return p


# Every function that takes a file path, called on one path; each result is
# reduced to plain numbers so that calls with the same file compare equal.
PATH_CALLS = {
    "sample_curve_centered": lambda p: qb.sample_curve_centered(p, 16),
    "compute_curve_metrics_from_fseries": lambda p: qb.compute_curve_metrics_from_fseries(p, 64).L,
    "curve_length_from_fseries": lambda p: qb.curve_length_from_fseries(p, 64),
    "min_non_neighbor_distance_from_fseries": lambda p: qb.min_non_neighbor_distance_from_fseries(p, 64),
    "reach_proxy_from_fseries": lambda p: qb.reach_proxy_from_fseries(p, 64),
    "compute_filament_energy_from_fseries": lambda p: qb.compute_filament_energy_from_fseries(p, _params()).E_total,
    "compute_helicity_from_fseries": lambda p: qb.compute_helicity_from_fseries(p, 8, 0.5, 2, 50).Hc,
    "compare_fseries_files": lambda p: qb.compare_fseries_files(p, p, 32),
    "parse_fseries_multi": lambda p: [b.a_x for b in qb.parse_fseries_multi(p)],
    "loadBlocks": lambda p: _load_blocks(p),
    "load_all_knots": lambda p: [k.points for k in qb.load_all_knots([p], 8)],
    "canonicalize_fseries_file_inplace": lambda p: qb.canonicalize_fseries_file_inplace(p).reason,
}


def _load_blocks(p):
    k = qb.fourier_knot()
    k.loadBlocks(p)
    return [b.a_x for b in k.blocks]


@pytest.fixture
def circle(tmp_path):
    p = tmp_path / "c.fseries"
    p.write_text(CIRCLE)
    return p


@pytest.mark.parametrize("name", sorted(PATH_CALLS))
def test_str_bytes_and_pathlike_name_the_same_file(circle, name):
    call = PATH_CALLS[name]
    expected = call(str(circle))
    assert call(bytes(circle)) == expected
    assert call(circle) == expected


def test_directory_and_ideal_paths_take_pathlike(tmp_path, circle):
    as_str = [(h.path, h.Hc) for h in qb.batch_helicity_from_dir(str(tmp_path), 8, 0.5, 2, 50)]
    assert [(h.path, h.Hc) for h in qb.batch_helicity_from_dir(tmp_path, 8, 0.5, 2, 50)] == as_str
    assert [(h.path, h.Hc) for h in qb.batch_helicity_from_dir(bytes(tmp_path), 8, 0.5, 2, 50)] == as_str
    ideal = tmp_path / "ideal.txt"
    ideal.write_text(qb.load_embedded_ideal_text("ideal.txt")[:20000].rsplit("</AB>", 1)[0] + "</AB>\n")
    assert [b.id for b in qb.parse_ideal_txt_multi(ideal)] == [b.id for b in qb.parse_ideal_txt_multi(str(ideal))]


@pytest.mark.parametrize("bad", [3, 1.5, None, bytearray(b"x"), ["a"]])
def test_other_objects_are_a_type_error(bad):
    with pytest.raises(TypeError):
        qb.compute_curve_metrics_from_fseries(bad)


def test_undecodable_name_round_trips_through_a_batch(tmp_path):
    raw = os.path.join(bytes(tmp_path), b"k\xff.fseries")
    with open(raw, "w") as f:
        f.write(CIRCLE)
    (result,) = qb.batch_helicity_from_dir(tmp_path, 8, 0.5, 2, 50)
    assert result.path == os.fsdecode(raw)
    assert os.fsencode(result.path) == raw
    # The returned str names the same file again, for every reader.
    again = qb.compute_helicity_from_fseries(result.path, 8, 0.5, 2, 50)
    assert again.path == result.path and again.Hc == result.Hc
    assert qb.canonicalize_fseries_file_inplace(raw).path == result.path
    assert qb.compute_curve_metrics_from_fseries(raw, 64).path == result.path
    (loaded,) = qb.load_all_knots([result.path], 8)
    assert loaded.name == os.fsdecode(b"k\xff")


def test_result_path_fields_take_any_path(tmp_path):
    for cls in (qb.HelicityResult, qb.CanonicalizeResult, qb.FilamentEnergyResult):
        r = cls()
        r.path = tmp_path / "x"
        assert r.path == str(tmp_path / "x")
        r.path = b"k\xff"
        assert r.path == "k\udcff"
        with pytest.raises(TypeError):
            r.path = 5


@pytest.mark.parametrize("call,message", [
    (lambda p: qb.compute_helicity_from_fseries(p), "no blocks parsed from: "),
    (lambda p: qb.sample_curve_centered(p), "no blocks parsed from: "),
    (lambda p: qb.canonicalize_fseries_file_inplace(p), "cannot open file: "),
    (lambda p: qb.batch_helicity_from_dir(p), "directory does not exist: "),
    (lambda p: _load_blocks(p), "Cannot open file: "),
    (lambda p: qb.parse_ideal_txt_multi(p), "parse_ideal_txt_multi: cannot open file: "),
])
def test_messages_name_undecodable_paths(tmp_path, call, message):
    raw = os.path.join(bytes(tmp_path), b"missing\xff.fseries")
    for given in (raw, os.fsdecode(raw)):
        with pytest.raises(RuntimeError) as exc:
            call(given)
        assert str(exc.value) == message + os.fsdecode(raw)


# Calls that take a file path, a knot id or a data-file name, each with a
# NUL in it. The text before the NUL names a file the call would read or
# rewrite if the name were cut at the NUL.
NUL_CALLS = [(name, call) for name, call in PATH_CALLS.items()] + [
    ("batch_helicity_from_dir", lambda p: qb.batch_helicity_from_dir(p)),
    ("parse_ideal_txt_multi", lambda p: qb.parse_ideal_txt_multi(p)),
    ("load_all_knots-second", lambda p: qb.load_all_knots([os.devnull, p])),
    ("compare_fseries_files-second", lambda p: qb.compare_fseries_files(os.devnull, p)),
]


@pytest.mark.parametrize("name,call", NUL_CALLS, ids=[n for n, _ in NUL_CALLS])
@pytest.mark.parametrize("kind", [str, bytes])
def test_nul_in_a_path_is_refused_before_anything_is_opened(tmp_path, name, call, kind):
    (tmp_path / "k").write_bytes(LEGACY)
    path = str(tmp_path / "k") + "\0.fseries"
    with pytest.raises(ValueError, match="^embedded null byte$"):
        call(kind(path, "utf-8") if kind is bytes else path)
    assert (tmp_path / "k").read_bytes() == LEGACY


def test_nul_in_a_knot_id_or_data_name_is_refused(tmp_path, monkeypatch):
    # Without the check, the id below would load knot.zz.fseries.
    (tmp_path / "knot.zz.fseries").write_text(CIRCLE)
    monkeypatch.setenv("QEL_KNOT_DATA_DIR", str(tmp_path))
    v = qb.VortexKnotSystem()
    v.initialize_trefoil_knot(10)
    before = v.get_positions()
    with pytest.raises(ValueError, match="^embedded null byte$"):
        v.initialize_knot_from_name("zz\0", 5)
    assert v.get_positions() == before
    v.initialize_knot_from_name("zz", 5)
    assert len(v.get_positions()) == 5
    for call in (lambda: qb.load_embedded_knot_block("3_1\0"),
                 lambda: qb.load_embedded_ideal_text("ideal.txt\0"),
                 lambda: qb.parse_embedded_ideal_txt("ideal.txt\0"),
                 lambda: qb.parse_embedded_ideal_ab_by_id("3:1:1", "ideal.txt\0")):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call()


def run_child(body, env=None, cwd=None, timeout=60):
    """Runs body in a fresh interpreter with _bindings imported as qb and
    returns the JSON it prints. `grown_kb()` in the child gives how far its
    peak memory has grown since the import."""
    code = textwrap.dedent("""
        import json, os, resource, _bindings as qb
        _start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        def grown_kb():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - _start
    """) + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **(env or {})}, cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


SPECIAL_FILE_CALLS = textwrap.dedent("""
    def outcome(call):
        try:
            call()
            return "returned"
        except Exception as e:
            return type(e).__name__ + ": " + str(e)
    def blocks(p):
        k = qb.fourier_knot()
        k.loadBlocks(p)
    p = PATH
    out = {
        "helicity": outcome(lambda: qb.compute_helicity_from_fseries(p, 8, 0.5, 2, 50)),
        "sample": outcome(lambda: qb.sample_curve_centered(p)),
        "compare": outcome(lambda: qb.compare_fseries_files(p, p)),
        "canonicalize": outcome(lambda: qb.canonicalize_fseries_file_inplace(p)),
        "parse": outcome(lambda: qb.parse_fseries_multi(p)),
        "loadBlocks": outcome(lambda: blocks(p)),
        "ideal": outcome(lambda: qb.parse_ideal_txt_multi(p)),
        "load_all": outcome(lambda: qb.load_all_knots([p])),
        "batch": outcome(lambda: qb.batch_helicity_from_dir(os.path.dirname(p), 8, 0.5, 2, 50)),
        "grown_kb": grown_kb(),
    }
    print(json.dumps(out))
""")


@pytest.mark.parametrize("kind", ["fifo", "link-to-dev-zero"])
def test_special_files_are_refused_at_once(tmp_path, kind):
    path = tmp_path / "k.fseries"
    if kind == "fifo":
        os.mkfifo(path)
    else:
        path.symlink_to("/dev/zero")
    out = run_child("PATH = %r\n" % str(path) + SPECIAL_FILE_CALLS, timeout=60)
    no_blocks = "RuntimeError: no blocks parsed from: " + str(path)
    assert out["helicity"] == out["sample"] == out["compare"] == no_blocks
    assert out["canonicalize"] == "RuntimeError: cannot open file: " + str(path)
    assert out["loadBlocks"] == "RuntimeError: Cannot open file: " + str(path)
    assert out["ideal"] == "RuntimeError: parse_ideal_txt_multi: cannot open file: " + str(path)
    # Readers that report a file without blocks as nothing found.
    assert out["parse"] == out["load_all"] == out["batch"] == "returned"
    # Nothing was read: far below the gigabytes a read of /dev/zero would take.
    assert out["grown_kb"] < 256 * 1024
    if kind == "fifo":
        assert path.is_fifo()


def test_lookups_skip_special_files(tmp_path):
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    (second / "knot_fseries").mkdir(parents=True)
    # The first candidate of the knot lookup is a FIFO; the next one holds
    # the knot.
    os.mkfifo(first / "knot.zz.fseries")
    (second / "knot_fseries" / "knot.zz.fseries").write_text(CIRCLE)
    os.mkfifo(first / "knot.yy.fseries")
    out = run_child("""
        v = qb.VortexKnotSystem()
        v.initialize_knot_from_name("zz", 4)
        found = v.get_positions()
        try:
            v.initialize_knot_from_name("yy", 4)
            missing = None
        except RuntimeError as e:
            missing = str(e)
        print(json.dumps([found, missing]))
    """, env={"QEL_KNOT_DATA_DIR": str(first), "QEL_RESOURCE_DIR": str(second)}, timeout=60)
    found, missing = out
    s = np.arange(4) * 2 * np.pi / 3
    ref = np.stack([np.cos(s), np.sin(s), 0.5 * np.cos(2 * s)], axis=1)
    np.testing.assert_allclose(found, ref - ref.mean(axis=0), atol=1e-12)
    assert missing == "Could not initialize knot yy: Could not find .fseries file for knot: yy"


@pytest.mark.parametrize("database", ["/dev/zero", "fifo"])
def test_particle_database_skips_special_files(tmp_path, database):
    if database == "fifo":
        database = str(tmp_path / "db.fifo")
        os.mkfifo(database)
    # The search goes on to the fixed paths relative to the working directory.
    (tmp_path / "ideal_database.txt").write_text(
        '<AB Id="t" Conway="" L="1" D="1">\n<Coeff I="1" A="1,0,0" B="0,1,0"/>\n</AB>\n')
    out = run_child("""
        p = qb.ParticleEvaluator("t", 4)
        print(json.dumps([p.get_filaments(), grown_kb()]))
    """, env={"QEL_IDEAL_DATABASE": database}, cwd=str(tmp_path), timeout=60)
    filaments, grown = out
    np.testing.assert_allclose(filaments, [[[1, 0, 0], [0, 1, 0], [-1, 0, 0], [0, -1, 0]]], atol=1e-12)
    assert grown < 256 * 1024
