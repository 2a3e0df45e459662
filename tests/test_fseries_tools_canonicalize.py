"""In-place canonicalisation of legacy Fourier-series files: the decision
table, byte-exact rewrites, and a failed write that must leave the original
untouched with no temporary file behind."""
import json
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap

import pytest

Z6 = b"    0.000000" * 6
ROW6 = b"1 0 0 1 0 0"

NO_ROWS = "no numeric rows found"
HAS_SIX = "already has 6-column j=0 row"
NO_SECOND = "no second numeric row"
LEGACY = "file appears to be 3-column legacy throughout; not auto-converted"
UPGRADED = "upgraded leading 3-col zeros row to 6-col j=0 row"

# (id, file bytes, reason, found_numeric_rows, bytes after the call or None for unchanged)
CASES = [
    ("empty", b"", NO_ROWS, 0, None),
    ("comments-only", b"% a\n\n% b\n", NO_ROWS, 0, None),
    ("no-numbers", b"hello world\n1,2,3\nfoo 1 2 3\n", NO_ROWS, 0, None),
    ("six-zeros-first", b"% h\n0 0 0 0 0 0\n" + ROW6 + b"\n", HAS_SIX, 2, None),
    ("six-numbers-first", b"1 2 3 4 5 6\n0 0 0\n", HAS_SIX, 2, None),
    ("lone-three", b"% h\n0 0 0\n", NO_SECOND, 1, None),
    ("three-then-seven", b"0 0 0\n1 2 3 4 5 6 7\n", NO_SECOND, 1, None),
    ("3-3-6", b"0 0 0\n1 2 3\n" + ROW6 + b"\n", LEGACY, 3, None),
    ("3-4-6", b"% h\n0 0 0\n1 2 3 4\n" + ROW6 + b"\n", UPGRADED, 2,
     b"% h\n" + Z6 + b"\n1 2 3 4\n" + ROW6 + b"\n"),
    ("second-row-in-later-block", b"% a\n1 1 1\n\n% b\n" + ROW6 + b"\n0.5 0 0 0 0 0\n", UPGRADED, 3,
     b"% a\n" + Z6 + b"\n\n% b\n" + ROW6 + b"\n0.5 0 0 0 0 0\n"),
    ("crlf", b"% h\r\n0 0 0\r\n" + ROW6 + b"\r\n", UPGRADED, 2, b"% h\r\n" + Z6 + b"\n" + ROW6 + b"\r\n"),
    ("no-final-line-feed", b"% h\n0 0 0\n" + ROW6, UPGRADED, 2, b"% h\n" + Z6 + b"\n" + ROW6 + b"\n"),
    ("blank-lines", b"\n  \n% h\n\n0 0 0\n\t\r\n" + ROW6 + b"\n\n", UPGRADED, 2,
     b"\n  \n% h\n\n" + Z6 + b"\n\t\r\n" + ROW6 + b"\n\n"),
    # An indented "%" line is a comment here; numbers stop at the first text.
    ("indented-comment-and-notes", b"   % 0 0 0\n0 0 0 % j=0\n1,2,3,4,5,6\n" + ROW6 + b" tail\n", UPGRADED, 2,
     b"   % 0 0 0\n" + Z6 + b"\n1,2,3,4,5,6\n" + ROW6 + b" tail\n"),
    # A form feed is content, and the number reader skips it.
    ("form-feed", b"\f0 0 0\n" + ROW6 + b"\n", UPGRADED, 2, Z6 + b"\n" + ROW6 + b"\n"),
    # The reader sees a long line 16 KiB at a time: a number across that
    # border is still one number (here the line's content starts with the
    # form feed, and "1.25" straddles the border), and a row of more than
    # six numbers counts as none however long it is.
    ("number-across-16KiB", b"\f" + b" " * 16381 + b"1.25 2 3 4 5 6\n0 0 0\n", HAS_SIX, 2, None),
    ("exponent-across-16KiB", b"\f" + b" " * 16380 + b"1e+02 0 0\n" + ROW6 + b"\n", UPGRADED, 2,
     Z6 + b"\n" + ROW6 + b"\n"),
    ("long-row-ignored", b"0 0 0\n" + b"1 " * 100_000 + b"\n" + ROW6 + b"\n", UPGRADED, 2,
     Z6 + b"\n" + b"1 " * 100_000 + b"\n" + ROW6 + b"\n"),
    # Bytes that are not text stay as they are.
    ("raw-bytes", b"% caf\xe9 \x00 \xff\n0 0 0\n" + ROW6 + b"\n", UPGRADED, 2,
     b"% caf\xe9 \x00 \xff\n" + Z6 + b"\n" + ROW6 + b"\n"),
]


@pytest.mark.parametrize("data, reason, found, after", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_decision_table_and_bytes(tmp_path, qb, data, reason, found, after):
    path = tmp_path / "k.fseries"
    path.write_bytes(data)
    r = qb.canonicalize_fseries_file_inplace(str(path))
    assert isinstance(r, qb.CanonicalizeResult)
    assert (r.path, r.reason, r.found_numeric_rows, r.changed) == (str(path), reason, found, after is not None)
    assert path.read_bytes() == (data if after is None else after)
    assert os.listdir(tmp_path) == ["k.fseries"]
    if after is not None:
        # Idempotent: the second call finds the six-column row.
        again = qb.canonicalize_fseries_file_inplace(path=str(path))
        assert (again.reason, again.changed, again.found_numeric_rows) == (HAS_SIX, False, found)
        assert path.read_bytes() == after


def test_upgrade_moves_every_harmonic_up(tmp_path, qb):
    path = tmp_path / "k.fseries"
    path.write_text("% legacy\n0 0 0\n1 0 0 1 0 0\n")
    qb.canonicalize_fseries_file_inplace(str(path))
    (block,) = qb.parse_fseries_multi(str(path))
    assert (block.a_x, block.b_y) == ([0.0, 1.0], [0.0, 1.0])


def test_mode_owner_and_link_kept(tmp_path, qb):
    target = tmp_path / "k.fseries"
    target.write_text("0 0 0\n1 0 0 1 0 0\n")
    os.chmod(target, 0o640)
    if os.geteuid() == 0:
        os.chown(target, 65534, 65534)
    before = os.stat(target)
    link = tmp_path / "link.fseries"
    link.symlink_to(target.name)
    r = qb.canonicalize_fseries_file_inplace(str(link))
    assert (r.changed, r.path) == (True, str(link))
    assert link.is_symlink() and os.readlink(link) == target.name
    after = os.stat(target)
    assert stat.S_IMODE(after.st_mode) == 0o640
    assert (after.st_uid, after.st_gid) == (before.st_uid, before.st_gid)
    assert target.read_bytes() == Z6 + b"\n" + ROW6 + b"\n"
    assert sorted(os.listdir(tmp_path)) == ["k.fseries", "link.fseries"]


@pytest.mark.parametrize("kind", ["missing", "directory", "fifo"])
def test_cannot_open(tmp_path, kind):
    path = str(tmp_path / "k.fseries")
    if kind == "directory":
        os.mkdir(path)
    elif kind == "fifo":
        os.mkfifo(path)
    # In a child with a time limit: the open of a FIFO must not wait for a
    # writer.
    out = run_child(f"""
        try:
            qb.canonicalize_fseries_file_inplace({path!r})
            print(json.dumps(None))
        except RuntimeError as e:
            print(json.dumps(str(e)))
    """)
    assert out == "cannot open file: " + path


LEGACY_TEXT = b"% legacy file\n" + b"0 0 0\n" + b"".join(b"%d 0 0 %d 0 0.125\n" % (k, k) for k in range(1, 40))


def run_child(body, uid=None, fsize=None):
    """Runs body in a fresh interpreter with _bindings imported as qb,
    optionally with a file-size limit or as another user; returns the JSON
    the body prints."""
    code = textwrap.dedent("""
        import json, os, resource, signal, sys
        uid, fsize = {uid!r}, {fsize!r}
        if fsize is not None:
            # Writes beyond the limit fail with EFBIG instead of a signal.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
        if uid is not None:
            os.setgid(uid)
            os.setuid(uid)
        import _bindings as qb
    """).format(uid=uid, fsize=fsize) + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


CALL = """
    try:
        r = qb.canonicalize_fseries_file_inplace(PATH)
        print(json.dumps(["ok", r.changed, r.reason]))
    except RuntimeError as e:
        print(json.dumps(["error", str(e)]))
"""


def call_in_child(path, **kw):
    return run_child(f"PATH = {str(path)!r}\n" + textwrap.dedent(CALL), **kw)


def test_write_failure_leaves_original(tmp_path):
    # The new text cannot be written in full: the size limit stops the
    # temporary file part-way.
    path = tmp_path / "k.fseries"
    path.write_bytes(LEGACY_TEXT)
    assert call_in_child(path, fsize=len(LEGACY_TEXT) // 2) == ["error", "cannot write file: " + str(path)]
    assert path.read_bytes() == LEGACY_TEXT
    assert os.listdir(tmp_path) == ["k.fseries"]
    # Without the limit the same file is upgraded.
    assert call_in_child(path) == ["ok", True, UPGRADED]


@pytest.fixture
def as_other_user(tmp_path):
    """A user for whom permission bits count, and a directory it owns and
    can reach (pytest's own directories are private to root)."""
    if os.geteuid() != 0:
        yield None, tmp_path
        return
    top = tempfile.mkdtemp(prefix="qel-canon-")
    try:
        os.chmod(top, 0o755)
        home = pathlib.Path(top) / "user"
        home.mkdir()
        os.chown(home, 65534, 65534)
        yield 65534, home
    finally:
        os.chmod(top, 0o755)
        shutil.rmtree(top, ignore_errors=True)


def test_read_only_file_is_refused(as_other_user):
    uid, home = as_other_user
    path = home / "k.fseries"
    path.write_bytes(LEGACY_TEXT)
    if uid is not None:
        os.chown(path, uid, uid)
    os.chmod(path, 0o444)
    # The directory is writable, so only the check on the file itself keeps
    # the rename from replacing it.
    assert call_in_child(path, uid=uid) == ["error", "cannot write file: " + str(path)]
    assert path.read_bytes() == LEGACY_TEXT
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o444
    assert os.listdir(home) == ["k.fseries"]


def test_directory_without_write_permission(as_other_user):
    uid, home = as_other_user
    path = home / "k.fseries"
    path.write_bytes(LEGACY_TEXT)
    if uid is not None:
        os.chown(path, uid, uid)
    os.chmod(path, 0o644)
    ino = os.stat(path).st_ino
    os.chmod(home, 0o555)
    try:
        # No temporary file can be made: the writable file is written in place.
        assert call_in_child(path, uid=uid) == ["ok", True, UPGRADED]
    finally:
        os.chmod(home, 0o755)
    assert path.read_bytes() == LEGACY_TEXT.replace(b"\n0 0 0\n", b"\n" + Z6 + b"\n", 1)
    assert os.stat(path).st_ino == ino
    assert os.listdir(home) == ["k.fseries"]
