"""The canonicaliser's rewrite keeps the file the same file: its other names,
owner, group, mode and extended attributes. Where a renamed copy could be
told from the original, the file is written in place; a write that cannot
complete leaves it byte for byte, on either road."""
import errno
import json
import os
import shutil
import stat
import struct
import subprocess
import sys
import textwrap

import pytest

Z6 = b"    0.000000" * 6
ROWS = b"".join(b"%d 0 0 %d 0 0.125\n" % (k, k) for k in range(1, 40))
LEGACY = b"% legacy file\n0 0 0\n" + ROWS
UPGRADED = b"% legacy file\n" + Z6 + b"\n" + ROWS
REASON = "upgraded leading 3-col zeros row to 6-col j=0 row"

OTHER_UID, OTHER_GID = 65534, 65533   # owners that are not the caller
THIRD_UID = 65532


def legacy_file(path, uid=None, gid=None, mode=0o644):
    path.write_bytes(LEGACY)
    if uid is not None:
        os.chown(path, uid, gid)
    os.chmod(path, mode)
    return path


def identity(path):
    st = os.stat(path)
    return st.st_ino, st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)


def xattrs(path):
    return {name: os.getxattr(path, name) for name in os.listxattr(path)}


def acl(*entries):
    """The system.posix_acl_access (or _default) value of (tag, perm, id)
    entries: a version-2 header, then 8 bytes per entry, sorted by tag."""
    undefined = 0xFFFFFFFF
    return struct.pack("<I", 2) + b"".join(
        struct.pack("<HHI", tag, perm, undefined if ident is None else ident) for tag, perm, ident in entries)


USER_OBJ, USER, GROUP_OBJ, GROUP, MASK, OTHER = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20


def set_xattr_or_skip(path, name, value):
    try:
        os.setxattr(path, name, value)
    except OSError as e:
        if e.errno in (errno.ENOTSUP, errno.EOPNOTSUPP, errno.EPERM):
            pytest.skip(f"{name} cannot be set here: {e}")
        raise


CALL = """
import json, os, resource, signal, sys
fsize = {fsize!r}
if fsize is not None:
    # Writes beyond the limit fail with EFBIG instead of a signal.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
if {uid!r} is not None:
    os.setgid({uid!r})
    os.setuid({uid!r})
import _bindings as qb
try:
    r = qb.canonicalize_fseries_file_inplace({path!r})
    print(json.dumps(["ok", r.changed, r.reason]))
except RuntimeError as e:
    print(json.dumps(["error", str(e)]))
"""


def call_in_child(path, prefix=(), fsize=None, uid=None):
    """Canonicalises path in a fresh interpreter, started under the command
    prefix (such as a setpriv invocation), with an optional file-size limit
    or as another user; returns ["ok", changed, reason] or ["error", message]."""
    code = CALL.format(path=str(path), fsize=fsize, uid=uid)
    proc = subprocess.run([*prefix, sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


# Root without the capabilities that bypass permission checks: as uid 0 the
# child still owns pytest's root-owned directories, but files and
# directories of other users are subject to their permission bits.
BYPASS = ("dac_override", "dac_read_search", "fowner", "chown", "fsetid")


def setpriv_prefix(groups=(), keep=()):
    drop = ",".join("-" + cap for cap in BYPASS if cap not in keep)
    return ["setpriv", "--reuid=0", "--regid=0",
            "--groups=" + ",".join(map(str, groups)) if groups else "--clear-groups",
            "--inh-caps=-all", "--bounding-set=" + drop]


@pytest.fixture(scope="session")
def setpriv():
    if os.geteuid() != 0:
        pytest.skip("needs root to drop the bypass capabilities")
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv not found")
    probe = subprocess.run([*setpriv_prefix(), "grep", "^CapEff:", "/proc/self/status"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip("setpriv cannot drop capabilities here: " + probe.stderr.strip())
    effective = int(probe.stdout.split()[1], 16)
    if effective & (1 << 1):   # CAP_DAC_OVERRIDE still effective
        pytest.skip("setpriv left CAP_DAC_OVERRIDE effective")
    return setpriv_prefix


# ---------------------------------------------------------------------------
# Other names and attributes


def test_hard_link_upgraded_under_both_names(tmp_path, qb):
    a = legacy_file(tmp_path / "a.fseries")
    b = tmp_path / "b.fseries"
    os.link(a, b)
    r = qb.canonicalize_fseries_file_inplace(str(a))
    assert (r.changed, r.reason) == (True, REASON)
    assert a.read_bytes() == b.read_bytes() == UPGRADED
    sa, sb = os.stat(a), os.stat(b)
    assert sa.st_ino == sb.st_ino and sa.st_nlink == 2
    assert sorted(os.listdir(tmp_path)) == ["a.fseries", "b.fseries"]


def test_rename_road_where_transparent(tmp_path, qb):
    # A single name in a directory the caller (root) may write: the file is
    # replaced by a new inode that takes owner, group and every mode bit
    # (set-group-id included, which the change of owner clears).
    if os.geteuid() == 0:
        path = legacy_file(tmp_path / "k.fseries", OTHER_UID, OTHER_GID, 0o2750)
    else:
        path = legacy_file(tmp_path / "k.fseries", mode=0o640)
    ino, *rest = identity(path)
    assert qb.canonicalize_fseries_file_inplace(str(path)).changed
    assert path.read_bytes() == UPGRADED
    new_ino, *new_rest = identity(path)
    assert new_ino != ino and new_rest == rest
    assert os.listdir(tmp_path) == ["k.fseries"]


@pytest.mark.parametrize("road", ["rename", "in-place"])
def test_extended_attributes_kept(tmp_path, qb, road):
    path = legacy_file(tmp_path / "k.fseries", mode=0o664)
    set_xattr_or_skip(path, "user.qel.origin", b"tightened\0run 7")
    # Whichever of these the file system and the caller allow: an access ACL
    # (a named user) and attributes of the security and trusted namespaces.
    extra = {
        "system.posix_acl_access": acl((USER_OBJ, 6, None), (USER, 6, OTHER_UID), (GROUP_OBJ, 4, None),
                                       (MASK, 6, None), (OTHER, 4, None)),
        "security.qel": b"label",
        "trusted.qel": b"\x00\x01",
    }
    for name, value in extra.items():
        try:
            os.setxattr(path, name, value)
        except OSError:
            pass
    if road == "in-place":
        os.link(path, tmp_path / "other-name")
    before, ident = xattrs(path), identity(path)
    assert qb.canonicalize_fseries_file_inplace(str(path)).changed
    assert path.read_bytes() == UPGRADED
    assert xattrs(path) == before
    assert identity(path)[1:] == ident[1:]
    assert (identity(path)[0] == ident[0]) == (road == "in-place")


def test_no_acl_inherited_from_the_directory(tmp_path, qb):
    # The file predates the directory's default ACL; a new file made in the
    # directory would inherit an access ACL from it.
    d = tmp_path / "d"
    d.mkdir()
    path = legacy_file(d / "k.fseries", mode=0o640)
    set_xattr_or_skip(d, "system.posix_acl_default",
                      acl((USER_OBJ, 7, None), (USER, 7, OTHER_UID), (GROUP_OBJ, 5, None), (MASK, 7, None),
                          (OTHER, 5, None)))
    before = xattrs(path)
    assert "system.posix_acl_access" not in before
    assert qb.canonicalize_fseries_file_inplace(str(path)).changed
    assert path.read_bytes() == UPGRADED
    assert xattrs(path) == before
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
    assert os.listdir(d) == ["k.fseries"]


@pytest.mark.skipif(shutil.which("getfacl") is None or shutil.which("setfacl") is None,
                    reason="getfacl/setfacl not installed")
def test_acl_as_getfacl_reports_it(tmp_path, qb):
    path = legacy_file(tmp_path / "k.fseries")
    subprocess.run(["setfacl", "-m", f"u:{OTHER_UID}:rw,g:{OTHER_GID}:r", str(path)], check=True)
    show = ["getfacl", "--omit-header", "--numeric", str(path)]
    before = subprocess.run(show, capture_output=True, text=True, check=True).stdout
    assert qb.canonicalize_fseries_file_inplace(str(path)).changed
    assert subprocess.run(show, capture_output=True, text=True, check=True).stdout == before


# ---------------------------------------------------------------------------
# Permissions, as a caller without the bypass capabilities


def group_writable(tmp_path):
    # Someone else's file that the caller may write through its group.
    return tmp_path, legacy_file(tmp_path / "k.fseries", OTHER_UID, OTHER_GID, 0o664)


def locked_directory(tmp_path):
    d = tmp_path / "locked"
    d.mkdir()
    path = legacy_file(d / "k.fseries")
    os.chmod(d, 0o555)
    return d, path


def sticky_directory(tmp_path):
    # World-writable and sticky, owned by one user; the file is another's.
    d = tmp_path / "sticky"
    d.mkdir()
    os.chown(d, OTHER_UID, OTHER_UID)
    os.chmod(d, 0o1777)
    return d, legacy_file(d / "k.fseries", THIRD_UID, THIRD_UID, 0o666)


def not_writable(tmp_path):
    return tmp_path, legacy_file(tmp_path / "k.fseries", OTHER_UID, OTHER_GID, 0o644)


def not_writable_in_locked_directory(tmp_path):
    d, path = locked_directory(tmp_path)
    os.chown(path, OTHER_UID, OTHER_GID)
    return d, path


# (id, fixture, supplementary groups, capabilities kept, upgraded)
PERMISSION_CASES = [
    ("group-writable-file-of-another-owner", group_writable, [OTHER_GID], (), True),
    ("directory-without-write-permission", locked_directory, [], (), True),
    ("sticky-directory-file-of-another-owner", sticky_directory, [], (), True),
    # With CAP_CHOWN the copy could be given to the file's owner, and then
    # neither be renamed over the file nor removed again.
    ("sticky-directory-chown-allowed", sticky_directory, [], ("chown",), True),
    ("file-not-writable", not_writable, [], (), False),
    ("file-not-writable-directory-locked", not_writable_in_locked_directory, [], (), False),
]


@pytest.mark.parametrize("make, groups, keep, upgraded", [c[1:] for c in PERMISSION_CASES],
                         ids=[c[0] for c in PERMISSION_CASES])
def test_permissions(tmp_path, setpriv, make, groups, keep, upgraded):
    d, path = make(tmp_path)
    try:
        before = identity(path)
        out = call_in_child(path, prefix=setpriv(groups, keep))
        assert out == (["ok", True, REASON] if upgraded else ["error", "cannot write file: " + str(path)])
        assert path.read_bytes() == (UPGRADED if upgraded else LEGACY)
        assert identity(path) == before
        assert os.listdir(d) == ["k.fseries"]
    finally:
        os.chmod(d, 0o755)


# ---------------------------------------------------------------------------
# Failed writes on the in-place road


def hard_linked(tmp_path):
    path = legacy_file(tmp_path / "k.fseries")
    os.link(path, tmp_path / "other-name")
    return tmp_path, path


# The limit is below the old size, or between the old and the new size.
@pytest.mark.parametrize("fsize", [len(LEGACY) // 2, len(LEGACY) + 10], ids=["below-old-size", "below-new-size"])
@pytest.mark.parametrize("make", [hard_linked, locked_directory], ids=["hard-link", "locked-directory"])
def test_failed_in_place_write_leaves_file(request, tmp_path, make, fsize):
    # The locked directory only keeps out a caller without the bypass
    # capabilities.
    prefix = request.getfixturevalue("setpriv")() if make is locked_directory else ()
    d, path = make(tmp_path)
    try:
        names, before = sorted(os.listdir(d)), identity(path)
        out = call_in_child(path, prefix=prefix, fsize=fsize)
        assert out == ["error", "cannot write file: " + str(path)]
        assert path.read_bytes() == LEGACY
        assert identity(path) == before
        assert sorted(os.listdir(d)) == names
        # Without the limit the same file is upgraded, in place.
        assert call_in_child(path, prefix=prefix) == ["ok", True, REASON]
        assert path.read_bytes() == UPGRADED and identity(path) == before
    finally:
        os.chmod(d, 0o755)
