"""The canonicaliser's rewrite under faults: writes that stop short for lack
of room (injected by a preloaded shim, and on a nearly full btrfs image),
another writer just before the commit, inode flags, append-only
directories, set-id bits, and a call stopped by a signal. Whatever happens,
the old bytes are in the file or in the backup the error names, and nothing
else is left behind."""
import array
import errno
import fcntl
import json
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import textwrap

import pytest

Z6 = b"    0.000000" * 6
ROWS = b"".join(b"%d 0 0 %d 0 0.125\n" % (k, k) for k in range(1, 600))
LEGACY = b"% legacy file\n0 0 0\n" + ROWS
UPGRADED = b"% legacy file\n" + Z6 + b"\n" + ROWS
# The in-place write starts at the first changed byte and writes the rest.
FIRST = len(b"% legacy file\n")
NEEDED = len(UPGRADED) - FIRST
REASON = "upgraded leading 3-col zeros row to 6-col j=0 row"
KEPT = re.compile(r"cannot write file: (.*) \(its old contents are kept in (.*)\)\Z")

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    cc = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the write-fault shim")
    out = tmp_path_factory.mktemp("shim") / "write_fault_shim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O2", os.path.join(HERE, "write_fault_shim.c"), "-o", str(out), "-ldl"],
                   check=True, capture_output=True)
    return str(out)


CALL = """
import json, signal, sys, time
import _bindings as qb
def _stop(signum, frame):
    raise KeyboardInterrupt
alarm = {alarm!r}
try:
    if alarm:
        signal.signal(signal.SIGALRM, _stop)
        signal.setitimer(signal.ITIMER_REAL, alarm)
    r = qb.canonicalize_fseries_file_inplace({path!r})
    signal.setitimer(signal.ITIMER_REAL, 0)
    print(json.dumps(["ok", r.changed, r.reason]))
except RuntimeError as e:
    print(json.dumps(["error", str(e)]))
except KeyboardInterrupt:
    print(json.dumps(["interrupted"]))
"""


def canonicalize_in_child(path, tmpdir, shim=None, env=(), prefix=(), alarm=None):
    """Canonicalises path in a fresh interpreter with TMPDIR set to tmpdir,
    optionally with the fault shim preloaded (after whatever is preloaded
    already, such as the sanitizer runtimes) and its knobs in env."""
    full_env = dict(os.environ, TMPDIR=str(tmpdir), **dict(env))
    if shim is not None:
        full_env["LD_PRELOAD"] = (full_env.get("LD_PRELOAD", "") + " " + shim).strip()
    proc = subprocess.run([*prefix, sys.executable, "-c", CALL.format(path=str(path), alarm=alarm)],
                          capture_output=True, text=True, timeout=120, env=full_env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def inode_of(path):
    st = os.stat(path)
    return f"{st.st_dev}:{st.st_ino}"


def listing(*dirs):
    return {str(d): sorted(os.listdir(d)) for d in dirs}


@pytest.fixture
def scratch(tmp_path):
    """A directory for the file and an empty TMPDIR for the child."""
    d, t = tmp_path / "d", tmp_path / "tmp"
    d.mkdir()
    t.mkdir()
    return d, t


def legacy_file(d, linked=False, data=LEGACY):
    path = d / "k.fseries"
    path.write_bytes(data)
    if linked:
        # A second name keeps the rename road closed: the file is written
        # in place.
        os.link(path, d / "other-name")
    return path


# ---------------------------------------------------------------------------
# Writes to the file's inode that stop short, the undo included


@pytest.mark.parametrize("budget", [0, 1, 100, 5000, NEEDED - 1, NEEDED])
def test_in_place_write_stops_short(shim, scratch, budget):
    d, t = scratch
    path = legacy_file(d, linked=True)
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_INODE": inode_of(path), "QEL_FAULT_BYTES": str(budget)})
    if budget == NEEDED:
        assert out == ["ok", True, REASON]
        assert path.read_bytes() == UPGRADED
        assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}
        return
    if budget == 0:
        # Nothing was overwritten: the reservation is cut away again, the
        # backup removed.
        assert out == ["error", "cannot write file: " + str(path)]
        assert path.read_bytes() == LEGACY
        assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}
        return
    # Some of the file was overwritten and the undo could not write either:
    # the backup next to the file is kept, and named.
    assert out[0] == "error"
    m = KEPT.match(out[1])
    assert m and m.group(1) == str(path), out
    backup = m.group(2)
    assert os.path.dirname(backup) == str(d)
    with open(backup, "rb") as f:
        assert f.read() == LEGACY
    assert stat.S_IMODE(os.stat(backup).st_mode) == 0o600
    assert listing(d, t) == {str(d): sorted(["k.fseries", "other-name", os.path.basename(backup)]), str(t): []}
    # Cut back to the old length, whatever the bytes.
    assert os.path.getsize(path) == len(LEGACY)
    # The user puts the old text back by copying the backup's bytes into
    # the file (which keeps its names, owner and mode), then removes it.
    with open(backup, "rb") as src, open(path, "r+b") as dst:
        shutil.copyfileobj(src, dst)
        dst.truncate()
    os.unlink(backup)
    assert path.read_bytes() == LEGACY
    assert os.stat(path).st_nlink == 2


@pytest.mark.parametrize("budget", [1, 5000])
def test_undo_puts_old_bytes_back(shim, scratch, budget):
    # The room comes back after one failed write: the undo succeeds, the
    # backup is removed.
    d, t = scratch
    path = legacy_file(d, linked=True)
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_INODE": inode_of(path), "QEL_FAULT_BYTES": str(budget),
                                                "QEL_FAULT_FAILS": "1"})
    assert out == ["error", "cannot write file: " + str(path)]
    assert path.read_bytes() == LEGACY
    assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}


@pytest.mark.parametrize("knobs", [
    {"QEL_FAULT_CREATE": "/d/.k.fseries.bak-"},
    {"QEL_FAULT_CREATE": "/d/.k.fseries.bak-", "QEL_FAULT_ERRNO": str(errno.EDQUOT)},
    {"QEL_FAULT_NAME": "/d/.k.fseries.bak-"},
    {"QEL_FAULT_NAME": "/d/.k.fseries.bak-", "QEL_FAULT_AT": "fsync"},
], ids=["create", "create-quota", "write", "fsync"])
def test_no_room_for_the_backup_is_final(shim, scratch, knobs):
    # A directory without room for the backup has none for the overwrite:
    # the backup does not move to TMPDIR, and not one byte of the file is
    # written.
    d, t = scratch
    path = legacy_file(d, linked=True)
    log = d.parent / "writes.log"
    out = canonicalize_in_child(path, t, shim, {**knobs, "QEL_FAULT_INODE": inode_of(path),
                                                "QEL_FAULT_LOG": str(log)})
    assert out == ["error", "cannot write file: " + str(path)]
    assert path.read_bytes() == LEGACY
    assert not log.exists()
    assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}


def test_backup_goes_to_tmpdir_when_the_directory_refuses_it(shim, scratch):
    # The directory refuses new files (here: EACCES): the backup is made in
    # TMPDIR, where it is kept when the file cannot be put back.
    d, t = scratch
    path = legacy_file(d, linked=True)
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_INODE": inode_of(path), "QEL_FAULT_BYTES": "100",
                                                "QEL_FAULT_CREATE": str(d / ".k.fseries.bak-"),
                                                "QEL_FAULT_ERRNO": str(errno.EACCES)})
    m = KEPT.match(out[1])
    assert m and os.path.dirname(m.group(2)) == str(t), out
    with open(m.group(2), "rb") as f:
        assert f.read() == LEGACY
    assert listing(d) == {str(d): ["k.fseries", "other-name"]}
    assert os.listdir(t) == [os.path.basename(m.group(2))]


def test_no_backup_no_overwrite(shim, scratch):
    # No backup can be written anywhere: the file is not touched at all.
    d, t = scratch
    path = legacy_file(d, linked=True)
    log = d.parent / "writes.log"
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_NAME": ".bak-", "QEL_FAULT_INODE": inode_of(path),
                                                "QEL_FAULT_LOG": str(log)})
    assert out == ["error", "cannot write file: " + str(path)]
    assert path.read_bytes() == LEGACY
    assert not log.exists()
    assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}


def test_failed_removals_are_reported(shim, scratch):
    # The copy that ran out of room cannot be removed: said so, and named.
    d, t = scratch
    path = legacy_file(d)
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_NAME": ".tmp-", "QEL_FAULT_UNLINK": ".tmp-"})
    m = re.match(r"cannot write file: (.*) \(cannot remove (.*)\)\Z", out[1])
    assert out[0] == "error" and m and m.group(1) == str(path), out
    assert os.path.dirname(m.group(2)) == str(d) and os.path.exists(m.group(2))
    assert path.read_bytes() == LEGACY
    os.unlink(m.group(2))
    # A complete in-place write whose backup cannot be removed.
    path = legacy_file(d, linked=True)
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_UNLINK": ".bak-"})
    assert out[0] == "error" and out[1].startswith("cannot remove file: "), out
    backup = out[1][len("cannot remove file: "):]
    assert path.read_bytes() == UPGRADED
    with open(backup, "rb") as f:
        assert f.read() == LEGACY
    assert listing(d, t) == {str(d): sorted(["k.fseries", "other-name", os.path.basename(backup)]), str(t): []}


# ---------------------------------------------------------------------------
# The rename road: lack of room for the copy is final


@pytest.mark.parametrize("knobs", [
    {"QEL_FAULT_CREATE": ".tmp-"},
    {"QEL_FAULT_CREATE": ".tmp-", "QEL_FAULT_ERRNO": str(errno.EDQUOT)},
    {"QEL_FAULT_NAME": ".tmp-"},
    {"QEL_FAULT_NAME": ".tmp-", "QEL_FAULT_AT": "fsync"},
    {"QEL_FAULT_RENAME": ".tmp-"},
    {"QEL_FAULT_RENAME": ".tmp-", "QEL_FAULT_ERRNO": str(errno.EDQUOT)},
], ids=["create", "create-quota", "write", "fsync", "rename", "rename-quota"])
def test_no_room_on_the_rename_road_is_final(shim, scratch, knobs):
    d, t = scratch
    path = legacy_file(d)
    ino = os.stat(path).st_ino
    log = d.parent / "writes.log"
    out = canonicalize_in_child(path, t, shim, {**knobs, "QEL_FAULT_INODE": inode_of(path),
                                                "QEL_FAULT_LOG": str(log)})
    assert out == ["error", "cannot write file: " + str(path)]
    assert path.read_bytes() == LEGACY and os.stat(path).st_ino == ino
    # No in-place attempt: not one write reached the file, no backup made.
    assert not log.exists()
    assert listing(d, t) == {str(d): ["k.fseries"], str(t): []}
    # With room, the same file is replaced by its renamed copy.
    assert canonicalize_in_child(path, t) == ["ok", True, REASON]
    assert path.read_bytes() == UPGRADED and os.stat(path).st_ino != ino


# ---------------------------------------------------------------------------
# Another writer just before the commit


APPENDED = b"% appended by another writer\n"
CHANGED = "cannot write file: {} (changed by another writer during the write)"


def act(*fields):
    return "\n".join(str(f) for f in fields)


@pytest.mark.parametrize("road, hook", [("rename", ".tmp-"), ("in-place", ".bak-")])
def test_text_appended_before_the_commit_is_kept(shim, scratch, road, hook):
    # The other writer appends when the copy (rename road) or the backup
    # (in-place road) is made durable, after the first check.
    d, t = scratch
    path = legacy_file(d, linked=road == "in-place")
    names = sorted(os.listdir(d))
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_ACT_ON": hook, "QEL_FAULT_ACT": act("append", path)})
    assert out == ["error", "cannot write file: " + str(path)]
    assert path.read_bytes() == LEGACY + APPENDED
    assert listing(d, t) == {str(d): names, str(t): []}


# The first numeric row written long, so that its zero row is shorter and
# the new text shrinks.
LONG_ROW = b"0.000000000000000000000000000000 0.000000000000000000000000000000 0.00000000000000000000000000000\n"
SHRINKING = b"% legacy file\n" + LONG_ROW + ROWS


@pytest.mark.parametrize("data", [LEGACY, SHRINKING], ids=["growing", "shrinking"])
def test_append_during_the_in_place_write_is_kept(shim, scratch, data):
    # Another writer appends a line (shorter than the growth) just before
    # the first overwrite. Before the write that extends the file, or the
    # cut that shortens it, the call sees the file grown: it puts its old
    # bytes back, keeps the appended ones and says so.
    d, t = scratch
    path = legacy_file(d, linked=True, data=data)
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_INODE": inode_of(path),
                                                "QEL_FAULT_ACT_WRITE": "before:1",
                                                "QEL_FAULT_ACT": act("append", path)})
    assert out == ["error", CHANGED.format(path)]
    assert path.read_bytes() == data + APPENDED
    assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}


def test_append_after_the_extending_write_is_never_cut(shim, scratch):
    # The append lands after the whole new text is written: the file holds
    # the new text and the appended line, and the backup is kept and named.
    d, t = scratch
    path = legacy_file(d, linked=True)
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_INODE": inode_of(path),
                                                "QEL_FAULT_ACT_WRITE": "after:2",
                                                "QEL_FAULT_ACT": act("append", path)})
    m = KEPT.match(out[1])
    assert out[0] == "error" and m and m.group(1) == str(path), out
    assert path.read_bytes() == UPGRADED + APPENDED
    with open(m.group(2), "rb") as f:
        assert f.read() == LEGACY
    os.unlink(m.group(2))
    assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}


@pytest.mark.parametrize("road, hook", [("rename", ".tmp-"), ("in-place", ".bak-")])
def test_file_replaced_by_a_rename_is_left_alone(shim, scratch, road, hook):
    # Another program renames a file of its own over the name while the copy
    # or backup is made durable: the name no longer leads to the file that
    # was read, and neither file is written.
    d, t = scratch
    path = legacy_file(d, linked=road == "in-place")
    theirs = d.parent / "theirs"
    theirs.write_bytes(LEGACY + b"% theirs\n")
    their_ino = os.stat(theirs).st_ino
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_ACT_ON": hook, "QEL_FAULT_ACT": act("rename", theirs, path)})
    assert out == ["error", "cannot write file: " + str(path)]
    assert os.stat(path).st_ino == their_ino and path.read_bytes() == LEGACY + b"% theirs\n"
    if road == "in-place":
        # The file that was read keeps its other name, and its text.
        assert (d / "other-name").read_bytes() == LEGACY
    assert listing(d, t) == {str(d): ["k.fseries", "other-name"] if road == "in-place" else ["k.fseries"],
                             str(t): []}


@pytest.mark.parametrize("change", ["chmod", "xattr", "link"])
def test_change_made_while_the_copy_is_synced_is_kept(shim, scratch, change):
    # A chmod, a new attribute or a new name made while the copy is made
    # durable would be undone by the rename (the copy carries what was seen
    # at the start): the file is written in place instead, keeping it.
    d, t = scratch
    path = legacy_file(d)
    os.chmod(path, 0o644)
    ino = os.stat(path).st_ino
    other = d / "new-name"
    action = {"chmod": act("chmod", "600", path), "xattr": act("xattr", "user.note", "kept", path),
              "link": act("link", path, other)}[change]
    if change == "xattr":
        try:
            os.setxattr(path, "user.probe", b"1")
            os.removexattr(path, "user.probe")
        except OSError as e:
            pytest.skip(f"user attributes cannot be set here: {e}")
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_ACT_ON": ".tmp-", "QEL_FAULT_ACT": action})
    assert out == ["ok", True, REASON]
    assert path.read_bytes() == UPGRADED and os.stat(path).st_ino == ino
    if change == "chmod":
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    elif change == "xattr":
        assert os.getxattr(path, "user.note") == b"kept"
    else:
        assert os.stat(path).st_nlink == 2 and other.read_bytes() == UPGRADED
    assert listing(d, t) == {str(d): ["k.fseries", "new-name"] if change == "link" else ["k.fseries"], str(t): []}


# ---------------------------------------------------------------------------
# A refused call that wrote nothing


@pytest.mark.parametrize("unlink_fails", [False, True], ids=["removed", "cannot-remove"])
def test_refused_call_that_wrote_nothing_keeps_no_backup(shim, scratch, unlink_fails):
    # No room to reserve, nor to cut the file (as on a completely full
    # btrfs): the file holds its old text, so its backup is removed and the
    # message is the plain one; a backup that cannot be removed is named.
    d, t = scratch
    path = legacy_file(d, linked=True)
    knobs = {"QEL_FAULT_INODE": inode_of(path), "QEL_FAULT_RESERVE": "1", "QEL_FAULT_TRUNCATE": "1"}
    if unlink_fails:
        knobs["QEL_FAULT_UNLINK"] = ".bak-"
    out = canonicalize_in_child(path, t, shim, knobs)
    assert path.read_bytes() == LEGACY
    if not unlink_fails:
        assert out == ["error", "cannot write file: " + str(path)]
        assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}
        return
    m = re.match(r"cannot write file: (.*) \(cannot remove (.*)\)\Z", out[1])
    assert out[0] == "error" and m and m.group(1) == str(path), out
    assert os.path.dirname(m.group(2)) == str(d)
    with open(m.group(2), "rb") as f:
        assert f.read() == LEGACY


# ---------------------------------------------------------------------------
# The temporary directory, when the file's directory refuses the backup


@pytest.mark.parametrize("tmpdir_is", ["missing", "a-file", "refusing"])
def test_unusable_tmpdir_falls_back_as_python_does(shim, scratch, tmpdir_is):
    # The file's directory refuses the backup and TMPDIR is unusable: TEMP
    # is tried next (then TMP, /tmp, /var/tmp, /usr/tmp and the working
    # directory), as tempfile.gettempdir() does.
    d, t = scratch
    path = legacy_file(d, linked=True)
    bad = d.parent / "bad-tmp"
    refused = [str(d / ".k.fseries.bak-")]
    if tmpdir_is == "a-file":
        bad.write_bytes(b"")
    elif tmpdir_is == "refusing":
        bad.mkdir()
        refused.append(str(bad / ".k.fseries.bak-"))
    knobs = {"QEL_FAULT_CREATE": "\n".join(refused), "QEL_FAULT_ERRNO": str(errno.EACCES), "TEMP": str(t)}
    # A complete call: the backup is made in TEMP and removed.
    out = canonicalize_in_child(path, bad, shim, knobs)
    assert out == ["ok", True, REASON]
    assert path.read_bytes() == UPGRADED
    assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}
    # A failed one keeps its backup there, and names it.
    path.write_bytes(LEGACY)
    out = canonicalize_in_child(path, bad, shim, {**knobs, "QEL_FAULT_INODE": inode_of(path),
                                                  "QEL_FAULT_BYTES": "100"})
    m = KEPT.match(out[1])
    assert m and os.path.dirname(m.group(2)) == str(t), out
    with open(m.group(2), "rb") as f:
        assert f.read() == LEGACY
    if tmpdir_is == "refusing":
        assert os.listdir(bad) == []


# ---------------------------------------------------------------------------
# A nearly full btrfs image


def run_quiet(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True)


@pytest.fixture
def loop_mount(tmp_path):
    """Makes a file system of the given type on a loop-mounted image of the
    given size, and yields its mount point; skipped where that cannot be
    done (no root, no tools, no loop devices)."""
    mounted = []

    def make(fstype, size, *mkfs_args):
        if os.geteuid() != 0:
            pytest.skip("mounting an image needs root")
        for tool in ("mkfs." + fstype, "losetup", "mount", "umount"):
            if shutil.which(tool) is None:
                pytest.skip(tool + " not found")
        img = tmp_path / (fstype + ".img")
        with open(img, "wb") as f:
            f.truncate(size)
        made = run_quiet("mkfs." + fstype, *mkfs_args, str(img))
        if made.returncode != 0:
            pytest.skip(f"mkfs.{fstype} failed: " + made.stderr.strip())
        loop = run_quiet("losetup", "--find", "--show", str(img))
        if loop.returncode != 0:
            pytest.skip("losetup failed: " + loop.stderr.strip())
        dev = loop.stdout.strip()
        mnt = tmp_path / ("mnt-" + fstype)
        mnt.mkdir()
        done = run_quiet("mount", "-t", fstype, dev, str(mnt))
        if done.returncode != 0:
            run_quiet("losetup", "-d", dev)
            pytest.skip("mount failed: " + done.stderr.strip())
        mounted.append((mnt, dev))
        return mnt

    yield make
    for mnt, dev in mounted:
        if run_quiet("umount", str(mnt)).returncode != 0:
            run_quiet("umount", "-l", str(mnt))
        run_quiet("losetup", "-d", dev)


def fill_but(mnt, spare):
    """Fills the file system, then gives `spare` bytes back: a file of that
    size, written first, is removed (removing needs no room, where cutting
    a file may)."""
    pad = mnt / "pad"
    if spare > 0:
        pad.write_bytes(b"\x5a" * spare)
        os.sync()
    fill = mnt / "fill"
    fd = os.open(fill, os.O_WRONLY | os.O_CREAT)
    try:
        for chunk in (1 << 20, 1 << 16, 1 << 12):
            block = b"\xa5" * chunk
            try:
                while True:
                    os.write(fd, block)
            except OSError:
                pass
        try:
            os.fsync(fd)
        except OSError:
            pass
    finally:
        os.close(fd)
    if spare > 0:
        try:
            pad.unlink()
        except OSError as e:
            pytest.skip(f"cannot give room back on the full image: {e}")
    os.sync()


BTRFS_ROWS = b"".join(b"%d 0.0 0.0 %d 0.0 0.1\n" % (k, k) for k in range(1, 2201))
BTRFS_LEGACY = b"0 0 0\n" + BTRFS_ROWS
BTRFS_UPGRADED = Z6 + b"\n" + BTRFS_ROWS
# About 200 KiB.
MIXED_ROWS = b"".join(b"%d 0.25 0.5 %d 0.75 0.125\n" % (k, k) for k in range(1, 8001))
MIXED_LEGACY = b"% big\n0 0 0\n" + MIXED_ROWS
MIXED_UPGRADED = b"% big\n" + Z6 + b"\n" + MIXED_ROWS

FULL_LAYOUTS = {
    # The default layout: data and metadata apart.
    "default": (128 << 20, ("-q",), BTRFS_LEGACY, BTRFS_UPGRADED, [16 << 10, 4 << 20]),
    # Data and metadata share their room, as on small disks.
    "mixed": (160 << 20, ("-q", "--mixed"), MIXED_LEGACY, MIXED_UPGRADED, [0, 16 << 10, 64 << 10, 4 << 20]),
}


@pytest.mark.parametrize("layout, spare", [(lay, sp) for lay, v in FULL_LAYOUTS.items() for sp in v[4]])
@pytest.mark.parametrize("linked", [False, True], ids=["single-name", "hard-link"])
def test_nearly_full_btrfs(loop_mount, tmp_path, linked, layout, spare):
    # A reservation there covers no overwritten block. Lack of room at any
    # step before the first overwrite ends the call with the file as it
    # was; a hard link is written in place, with a backup that shares the
    # file's blocks and puts them back when the write runs out of room. The
    # backup never goes to TMPDIR: without room for it next to the file
    # there is none for the overwrite.
    size, mkfs_args, legacy, upgraded, _ = FULL_LAYOUTS[layout]
    mnt = loop_mount("btrfs", size, *mkfs_args)
    t = tmp_path / "tmp"
    t.mkdir()
    path = legacy_file(mnt, linked=linked, data=legacy)
    os.sync()
    fill_but(mnt, spare)
    names = sorted(os.listdir(mnt))
    out = canonicalize_in_child(path, t)
    if out[0] == "ok":
        assert path.read_bytes() == upgraded
    else:
        assert out == ["error", "cannot write file: " + str(path)]
        assert path.read_bytes() == legacy
    assert listing(mnt, t) == {str(mnt): names, str(t): []}
    if spare > 1 << 20:
        assert out == ["ok", True, REASON]


FS_IOC_FSGETXATTR, FS_IOC_FSSETXATTR = 0x801C581F, 0x401C5820
FS_XFLAG_NODEFRAG, FS_XFLAG_PREALLOC = 0x2000, 0x2
FSXATTR = struct.Struct("=5I8x")  # xflags, extsize, nextents, projid, cowextsize


def fs_attrs(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        return FSXATTR.unpack(fcntl.ioctl(fd, FS_IOC_FSGETXATTR, bytes(FSXATTR.size)))
    finally:
        os.close(fd)


@pytest.mark.parametrize("linked", [False, True], ids=["rename", "in-place"])
def test_xfs_project_id_and_flags_kept(loop_mount, tmp_path, linked):
    # A project id and a flag that only XFS has (no defragmentation), set
    # through FS_IOC_FSSETXATTR, carry over to the renamed copy.
    mnt = loop_mount("xfs", 320 << 20, "-q")
    t = tmp_path / "tmp"
    t.mkdir()
    path = legacy_file(mnt, linked=linked)
    xflags, extsize, _, _, cowextsize = fs_attrs(path)
    fd = os.open(path, os.O_RDONLY)
    try:
        fcntl.ioctl(fd, FS_IOC_FSSETXATTR, FSXATTR.pack(xflags | FS_XFLAG_NODEFRAG, extsize, 0, 42, cowextsize))
    except OSError as e:
        pytest.skip(f"a project id cannot be set here: {e}")
    finally:
        os.close(fd)
    before = fs_attrs(path)
    assert before[3] == 42 and before[0] & FS_XFLAG_NODEFRAG
    ino = os.stat(path).st_ino
    assert canonicalize_in_child(path, t) == ["ok", True, REASON]
    assert path.read_bytes() == UPGRADED
    # The in-place road's reservation may mark the file preallocated.
    after = fs_attrs(path)
    assert (after[0] & ~FS_XFLAG_PREALLOC, after[3]) == (before[0] & ~FS_XFLAG_PREALLOC, before[3])
    assert (os.stat(path).st_ino == ino) == linked
    names = ["k.fseries", "other-name"] if linked else ["k.fseries"]
    assert listing(mnt, t) == {str(mnt): names, str(t): []}


# ---------------------------------------------------------------------------
# Inode flags and append-only directories

FS_IOC_GETFLAGS = 0x80086601
FS_APPEND_FL, FS_NODUMP_FL, FS_NOATIME_FL, FS_SYNC_FL = 0x20, 0x40, 0x80, 0x08


def inode_flags(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        buf = array.array("i", [0, 0])
        fcntl.ioctl(fd, FS_IOC_GETFLAGS, buf, True)
        return buf[0]
    finally:
        os.close(fd)


def chattr_or_skip(flags, path):
    if shutil.which("chattr") is None:
        pytest.skip("chattr not found")
    done = run_quiet("chattr", flags, str(path))
    if done.returncode != 0:
        pytest.skip(f"chattr {flags} not supported here: {done.stderr.strip()}")


@pytest.mark.parametrize("linked", [False, True], ids=["rename", "in-place"])
def test_inode_flags_kept(scratch, linked):
    d, t = scratch
    path = legacy_file(d, linked=linked)
    chattr_or_skip("+dAS", path)
    flags = inode_flags(path)
    assert flags & (FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL) == FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL
    ino = os.stat(path).st_ino
    assert canonicalize_in_child(path, t) == ["ok", True, REASON]
    assert path.read_bytes() == UPGRADED
    assert inode_flags(path) == flags
    # Flags carry over to a copy, so a single name still takes the rename.
    assert (os.stat(path).st_ino == ino) == linked
    assert listing(d, t) == {str(d): ["k.fseries", "other-name"] if linked else ["k.fseries"], str(t): []}


def test_append_only_directory_collects_nothing(scratch):
    d, t = scratch
    path = legacy_file(d)
    ino = os.stat(path).st_ino
    chattr_or_skip("+a", d)
    try:
        assert inode_flags(d) & FS_APPEND_FL
        # Neither a copy nor a backup can be removed there again: the file
        # is written in place, its backup made in TMPDIR and removed.
        assert canonicalize_in_child(path, t) == ["ok", True, REASON]
        assert path.read_bytes() == UPGRADED and os.stat(path).st_ino == ino
        assert listing(d, t) == {str(d): ["k.fseries"], str(t): []}
    finally:
        run_quiet("chattr", "-a", str(d))


# ---------------------------------------------------------------------------
# Set-id bits on the in-place road


def test_set_id_bits_put_back_for_the_owner(scratch):
    # As root without CAP_FSETID the kernel clears the set-user-id and
    # set-group-id bits on the first write; the caller owns the file and
    # sets them again.
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv to drop CAP_FSETID")
    d, t = scratch
    path = legacy_file(d, linked=True)
    os.chmod(path, 0o6754)
    prefix = ["setpriv", "--inh-caps=-all", "--bounding-set=-fsetid"]
    probe = run_quiet(*prefix, "true")
    if probe.returncode != 0:
        pytest.skip("setpriv cannot drop CAP_FSETID here: " + probe.stderr.strip())
    assert canonicalize_in_child(path, t, prefix=prefix) == ["ok", True, REASON]
    assert path.read_bytes() == UPGRADED
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o6754


def test_set_id_bits_put_back_after_a_refusal(shim, scratch):
    # The reservation already cleared the bits when the last check refuses
    # (the name now leads to another file): they are set back all the same.
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv to drop CAP_FSETID")
    d, t = scratch
    path = legacy_file(d, linked=True)
    os.chmod(path, 0o6754)
    prefix = ["setpriv", "--inh-caps=-all", "--bounding-set=-fsetid"]
    probe = run_quiet(*prefix, "true")
    if probe.returncode != 0:
        pytest.skip("setpriv cannot drop CAP_FSETID here: " + probe.stderr.strip())
    theirs = d.parent / "theirs"
    theirs.write_bytes(b"% theirs\n")
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_ACT_ON": ".bak-", "QEL_FAULT_ACT": act("rename", theirs, path)},
                                prefix=prefix)
    assert out == ["error", "cannot write file: " + str(path)]
    ours = d / "other-name"
    assert ours.read_bytes() == LEGACY
    assert stat.S_IMODE(os.stat(ours).st_mode) == 0o6754
    assert listing(d, t) == {str(d): ["k.fseries", "other-name"], str(t): []}


# ---------------------------------------------------------------------------
# A long canonicalisation stopped by a signal


def test_stopped_by_signal_leaves_file(scratch):
    d, t = scratch
    # About 60 MB of rows: seconds of text work, stopped 0.2 s in.
    row = b"0.1234567 -0.7654321 0.5 0.25 -0.125 0.0625\n"
    path = legacy_file(d, data=b"% big\n0 0 0\n" + row * 1_400_000)
    size = os.path.getsize(path)
    out = canonicalize_in_child(path, t, alarm=0.2)
    assert out == ["interrupted"]
    assert os.path.getsize(path) == size
    with open(path, "rb") as f:
        assert f.read(12) == b"% big\n0 0 0\n"
    assert listing(d, t) == {str(d): ["k.fseries"], str(t): []}


# A handler that changes the working directory once the call has made its
# copy or backup next to a file named by a relative path; it then stops the
# call, or lets it go on. Every name the call made is taken relative to the
# directory it opened, so nothing is made, renamed or left in the other
# directory, and nothing is left in the file's.
CHDIR = """
import json, os, signal, sys
import _bindings as qb
d, elsewhere, stop = sys.argv[1], sys.argv[2], sys.argv[3] == "stop"
os.chdir(d)
seen = []
def handler(signum, frame):
    if not seen and any(n.startswith(".k.fseries.") for n in os.listdir(d)):
        seen.append(True)
        os.chdir(elsewhere)
        if stop:
            raise KeyboardInterrupt
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
try:
    r = qb.canonicalize_fseries_file_inplace("k.fseries")
    out = ["ok", r.changed]
except KeyboardInterrupt:
    out = ["interrupted"]
except RuntimeError as e:
    out = ["error", str(e)]
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps(out + [bool(seen), os.getcwd() == elsewhere]))
"""


@pytest.mark.parametrize("stop", [False, True], ids=["goes-on", "stops"])
@pytest.mark.parametrize("linked", [False, True], ids=["rename", "in-place"])
def test_handler_that_changes_directory(scratch, linked, stop):
    d, t = scratch
    elsewhere = d.parent / "elsewhere"
    elsewhere.mkdir()
    row = b"0.1234567 -0.7654321 0.5 0.25 -0.125 0.0625\n"
    data = b"% big\n0 0 0\n" + row * 600_000
    path = legacy_file(d, linked=linked, data=data)
    proc = subprocess.run([sys.executable, "-c", CHDIR, str(d), str(elsewhere), "stop" if stop else "go"],
                          capture_output=True, text=True, timeout=120, env=dict(os.environ, TMPDIR=str(t)))
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out[-2:] == [True, True], out
    names = ["k.fseries", "other-name"] if linked else ["k.fseries"]
    assert listing(d, elsewhere, t) == {str(d): names, str(elsewhere): [], str(t): []}
    if stop:
        assert out[0] == "interrupted"
        assert path.read_bytes() == data
    else:
        assert out[:2] == ["ok", True]
        assert path.read_bytes() == b"% big\n" + Z6 + b"\n" + row * 600_000
