"""Replay of the fuzzing corpus (tests/fuzz_corpus/<harness>/) through the
Python functions that wrap each fuzzed reader.

Each corpus runs in a child interpreter, so that a crash fails the test
instead of ending the run; every input must give a result or one of the
errors the reader documents, and the results must keep the readers' own
invariants."""
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

CORPUS = Path(__file__).resolve().parent / "fuzz_corpus"

PRELUDE = r"""
import os, sys, tempfile
import _bindings as qb

def inputs():
    d = sys.argv[1]
    for name in sorted(os.listdir(d)):
        with open(os.path.join(d, name), "rb") as f:
            yield name, f.read()

tmp = tempfile.NamedTemporaryFile(delete=False)
tmp.close()
def as_file(data):
    with open(tmp.name, "wb") as f:
        f.write(data)
    return tmp.name

def header(b):
    try:
        return b.header
    except UnicodeDecodeError:  # bytes of the input that are not UTF-8
        return None

def lists(b):
    return [b.a_x, b.b_x, b.a_y, b.b_y, b.a_z, b.b_z]

def same(x, y):  # equal, NaN equal to NaN
    return len(x) == len(y) and all(a == b or (a != a and b != b) for a, b in zip(x, y))

count = 0
"""

REPLAY = {
    "fseries": r"""
for name, data in inputs():
    blocks = qb.parse_fseries_from_string(data)
    for b in blocks:
        n = len(b.a_x)
        assert n > 0 and all(len(v) == n for v in lists(b)), name
        h = header(b)
        assert h is None or h == h.strip(" \t") and h == h.rstrip("\r\n"), name
    best = qb.index_of_largest_block(blocks)
    assert best == (-1 if not blocks else max(range(len(blocks)), key=lambda i: (len(blocks[i].a_x), -i))), name
    path = as_file(data)
    again = qb.parse_fseries_multi(path)
    assert len(again) == len(blocks), name
    for a, b in zip(again, blocks):
        assert header(a) == header(b) and all(same(x, y) for x, y in zip(lists(a), lists(b))), name
    k = qb.fourier_knot()
    k.loadBlocks(path)
    for b in k.blocks:
        n = len(b.a_x)
        assert n > 0 and all(len(v) == n for v in lists(b)) and b.header == "", name
    if k.blocks:
        k.selectMaxHarmonics()
        k.reconstruct(3)
        assert len(k.points) == 3, name
    count += 1
""",
    "ideal": r"""
for name, data in inputs():
    try:
        recs = qb.parse_ideal_txt_from_string(data)
    except (ValueError, IndexError):
        recs = None
    try:
        from_file = qb.parse_ideal_txt_multi(as_file(data))
    except (ValueError, IndexError):
        from_file = None
    assert (recs is None) == (from_file is None), name
    if recs is not None:
        assert len(recs) == len(from_file), name
        for i, r in enumerate(recs):
            assert r.n >= 1 and len(r.components) >= 1, name
            assert same(r.fourier.a_x, r.components[0].fourier.a_x), name
            try:
                rid = r.id
            except UnicodeDecodeError:
                rid = None
            if rid is not None:
                at = qb.index_of_ideal_id(recs, rid)
                assert 0 <= at <= i and recs[at].id == rid, name
            try:
                qb.format_ideal_ab_header(r)
            except UnicodeDecodeError:
                pass
            assert len(qb.evaluate_ideal_ab_components(r, [0.0, 1.0])) == len(r.components), name
    count += 1
""",
    "ideal_by_id": r"""
for name, data in inputs():
    ab_id, _, content = data.partition(b"\n")
    try:
        r = qb.parse_ideal_ab_by_id_from_string(content, ab_id)
    except (ValueError, IndexError):
        pass
    except RuntimeError as e:
        # A message that is not UTF-8 (an id of such bytes) arrives empty.
        try:
            ab_id.decode("utf-8")
        except UnicodeDecodeError:
            assert str(e) in ("", "parse_ideal_ab_by_id_from_string: AB Id not found: "), name
        else:
            assert str(e).startswith("parse_ideal_ab_by_id_from_string: AB Id not found: "), name
    else:
        assert len(r.components) >= 1 and b'Id="' + ab_id + b'"' in content, name
    count += 1
""",
    "particle_db": r"""
db_path = tmp.name + ".db"
os.environ["QEL_IDEAL_DATABASE"] = db_path
for name, data in inputs():
    ab_id, _, db = data.partition(b"\n")
    with open(db_path, "wb") as f:
        f.write(db)
    try:
        ev = qb.ParticleEvaluator(ab_id, 7)
    except (ValueError, IndexError, RuntimeError):
        pass
    else:
        fil = ev.get_filaments()
        assert fil and all(len(c) == 7 for c in fil), name
        ev.get_physical_length_m()
    count += 1
os.unlink(db_path)
""",
    "canonicalize": r"""
for name, data in inputs():
    path = as_file(data)
    first = qb.canonicalize_fseries_file_inplace(path)
    with open(path, "rb") as f:
        after = f.read()
    assert first.changed or after == data, name
    second = qb.canonicalize_fseries_file_inplace(path)
    with open(path, "rb") as f:
        assert not second.changed and f.read() == after, name
    count += 1
""",
}


def corpora():
    return sorted(p.name for p in CORPUS.iterdir() if p.is_dir()) if CORPUS.is_dir() else []


def test_every_corpus_has_a_replay():
    missing = [name for name in corpora() if name not in REPLAY]
    assert not missing, "corpus without a replay: " + ", ".join(missing)


@pytest.mark.parametrize("harness", [h for h in corpora() if h in REPLAY])
def test_corpus_replays(harness):
    files = list((CORPUS / harness).iterdir())
    assert files
    code = PRELUDE + textwrap.dedent(REPLAY[harness]) + "\nos.unlink(tmp.name)\nprint('replayed', count)\n"
    proc = subprocess.run([sys.executable, "-c", code, str(CORPUS / harness)], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout.strip() == "replayed %d" % len(files)
