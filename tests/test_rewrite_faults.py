"""The canonicaliser's rewrite under faults: writes that stop short for lack
of room (injected by a preloaded shim, and on a nearly full btrfs image),
another writer just before the commit, inode flags, append-only
directories, set-id bits, and a call stopped by a signal. Whatever happens,
the old bytes are in the file or in the backup the error names, and nothing
else is left behind."""
import array
import fcntl
import json
import os
import re
import shutil
import stat
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
    # The user puts the file back by renaming the backup over it.
    os.rename(backup, path)
    assert path.read_bytes() == LEGACY


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


def test_backup_goes_to_tmpdir_when_no_room_next_to_the_file(shim, scratch):
    d, t = scratch
    path = legacy_file(d, linked=True)
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_INODE": inode_of(path), "QEL_FAULT_BYTES": "100",
                                                "QEL_FAULT_NAME": str(d / ".k.fseries.bak-")})
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


@pytest.mark.parametrize("at", ["write", "fsync"])
def test_no_room_for_the_copy_is_final(shim, scratch, at):
    d, t = scratch
    path = legacy_file(d)
    ino = os.stat(path).st_ino
    log = d.parent / "writes.log"
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_NAME": ".tmp-", "QEL_FAULT_AT": at,
                                                "QEL_FAULT_INODE": inode_of(path), "QEL_FAULT_LOG": str(log)})
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


@pytest.mark.parametrize("road, hook", [("rename", ".tmp-"), ("in-place", ".bak-")])
def test_text_appended_before_the_commit_is_kept(shim, scratch, road, hook):
    # The other writer appends when the copy (rename road) or the backup
    # (in-place road) is made durable, after the first check.
    d, t = scratch
    path = legacy_file(d, linked=road == "in-place")
    names = sorted(os.listdir(d))
    out = canonicalize_in_child(path, t, shim, {"QEL_FAULT_APPEND_ON": hook, "QEL_FAULT_APPEND": str(path)})
    assert out == ["error", "cannot write file: " + str(path)]
    assert path.read_bytes() == LEGACY + b"% appended by another writer\n"
    assert listing(d, t) == {str(d): names, str(t): []}


# ---------------------------------------------------------------------------
# A nearly full btrfs image


def run_quiet(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True)


@pytest.fixture
def btrfs(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("mounting an image needs root")
    for tool in ("mkfs.btrfs", "losetup", "mount", "umount"):
        if shutil.which(tool) is None:
            pytest.skip(tool + " not found")
    img = tmp_path / "btrfs.img"
    with open(img, "wb") as f:
        f.truncate(128 << 20)
    made = run_quiet("mkfs.btrfs", "-q", str(img))
    if made.returncode != 0:
        pytest.skip("mkfs.btrfs failed: " + made.stderr.strip())
    loop = run_quiet("losetup", "--find", "--show", str(img))
    if loop.returncode != 0:
        pytest.skip("losetup failed: " + loop.stderr.strip())
    dev = loop.stdout.strip()
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    try:
        mounted = run_quiet("mount", "-t", "btrfs", dev, str(mnt))
        if mounted.returncode != 0:
            pytest.skip("mount failed: " + mounted.stderr.strip())
        try:
            yield mnt
        finally:
            if run_quiet("umount", str(mnt)).returncode != 0:
                run_quiet("umount", "-l", str(mnt))
    finally:
        run_quiet("losetup", "-d", dev)


def fill_but(mnt, spare):
    """Fills the file system, then gives `spare` bytes back."""
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
        os.ftruncate(fd, max(0, os.fstat(fd).st_size - spare))
        os.fsync(fd)
    finally:
        os.close(fd)
    os.sync()


BTRFS_ROWS = b"".join(b"%d 0.0 0.0 %d 0.0 0.1\n" % (k, k) for k in range(1, 2201))
BTRFS_LEGACY = b"0 0 0\n" + BTRFS_ROWS
BTRFS_UPGRADED = Z6 + b"\n" + BTRFS_ROWS


@pytest.mark.parametrize("spare", [16 << 10, 4 << 20], ids=["16KiB-free", "4MiB-free"])
@pytest.mark.parametrize("linked", [False, True], ids=["single-name", "hard-link"])
def test_nearly_full_btrfs(btrfs, tmp_path, linked, spare):
    # A reservation there covers no overwritten block. The single name
    # fails on its copy; the hard link is written in place, with a backup
    # that shares the file's blocks and puts them back when the write runs
    # out of room.
    t = tmp_path / "tmp"
    t.mkdir()
    path = legacy_file(btrfs, linked=linked, data=BTRFS_LEGACY)
    os.sync()
    fill_but(btrfs, spare)
    names = sorted(os.listdir(btrfs))
    out = canonicalize_in_child(path, t)
    if out[0] == "ok":
        assert path.read_bytes() == BTRFS_UPGRADED
    else:
        assert out == ["error", "cannot write file: " + str(path)]
        assert path.read_bytes() == BTRFS_LEGACY
    assert listing(btrfs, t) == {str(btrfs): names, str(t): []}
    if spare > 1 << 20:
        assert out == ["ok", True, REASON]


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
