"""The canonicaliser calls the interrupt all through a long call: while it
examines the text (long lines included), builds the new text, writes its
copy or backup, makes it durable and compares the file again. A timer
fires every 5 ms in a child interpreter and its handler notes the time; no
two notes (nor the call's start and end) lie far apart. A handler that
stops the call once the copy or backup is written in full leaves the file
untouched and nothing behind."""
import json
import os
import subprocess
import sys

import pytest

TIMEOUT = 300

GAPS = """
import json, signal, sys, time
import _bindings as qb
notes = []
signal.signal(signal.SIGALRM, lambda signum, frame: notes.append(time.monotonic()))
t0 = time.monotonic()
signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
r = qb.canonicalize_fseries_file_inplace(sys.argv[1])
t1 = time.monotonic()
signal.setitimer(signal.ITIMER_REAL, 0)
gaps = [b - a for a, b in zip([t0] + notes, notes + [t1])]
print(json.dumps([r.changed, r.reason, r.found_numeric_rows, t1 - t0, max(gaps)]))
"""

Z6 = b"    0.000000" * 6
SIX = b"1 2 3 4 5 6\n"

# name: (text, whether it is rewritten, numeric rows)
CASES = {
    # One numeric line of 8e6 numbers (96 MB) between the legacy row and a
    # six-number row: examined, then copied, made durable and compared.
    "long-numeric-line": (lambda: b"0 0 0\n" + b"0.123456789 " * 8_000_000 + b"\n" + SIX, True, 2),
    # A form feed is content, and the number reader skips it and 60 MB of
    # blanks after it inside one extraction.
    "long-blank-run": (lambda: b"\f" + b" " * 60_000_000 + SIX, False, 1),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_longest_wait_between_polls(tmp_path, name):
    make, rewritten, rows = CASES[name]
    path = tmp_path / "k.fseries"
    data = make()
    path.write_bytes(data)
    del data
    proc = subprocess.run([sys.executable, "-c", GAPS, str(path)], capture_output=True, text=True, timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    changed, reason, found, total, gap = json.loads(proc.stdout)
    assert (changed, found) == (rewritten, rows), reason
    assert gap < min(0.1, 0.25 * total), proc.stdout
    assert sorted(os.listdir(tmp_path)) == ["k.fseries"]
    if rewritten:
        with open(path, "rb") as f:
            assert f.read(len(Z6) + 1) == Z6 + b"\n"


STOP_WHEN_WRITTEN = """
import json, os, signal, sys
import _bindings as qb
path, marker, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
d = os.path.dirname(path)
def handler(signum, frame):
    for n in os.listdir(d):
        if marker in n and os.path.getsize(os.path.join(d, n)) == size:
            raise KeyboardInterrupt
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
try:
    qb.canonicalize_fseries_file_inplace(path)
    out = "returned"
except KeyboardInterrupt:
    out = "interrupted"
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps(out))
"""


@pytest.mark.parametrize("road", ["rename", "in-place"])
def test_stop_after_the_copy_is_written(tmp_path, road):
    # The handler stops the call once the copy (rename road) or the backup
    # (in-place road) holds all its bytes: while it is made durable or the
    # file is compared again, after the room is reserved on the in-place
    # road. The file is untouched, its reservation undone, nothing left.
    row = b"0.1234567 -0.7654321 0.5 0.25 -0.125 0.0625\n"
    data = b"% big\n0 0 0\n" + row * 1_000_000
    new_size = len(data) - len(b"0 0 0") + len(Z6)
    d = tmp_path / "d"
    d.mkdir()
    path = d / "k.fseries"
    path.write_bytes(data)
    names = ["k.fseries"]
    if road == "in-place":
        os.link(path, d / "other-name")
        names.append("other-name")
    marker, size = (".tmp-", new_size) if road == "rename" else (".bak-", len(data))
    env = dict(os.environ, TMPDIR=str(tmp_path))
    proc = subprocess.run([sys.executable, "-c", STOP_WHEN_WRITTEN, str(path), marker, str(size)],
                          capture_output=True, text=True, timeout=TIMEOUT, env=env)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == "interrupted"
    assert path.read_bytes() == data
    assert os.stat(path).st_blocks * 512 < len(data) + (1 << 20)
    assert sorted(os.listdir(d)) == names
    assert sorted(os.listdir(tmp_path)) == ["d"]


STOP_AT = """
import json, signal, sys, time
import _bindings as qb
def stop(signum, frame):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, stop)
t0 = time.monotonic()
try:
    signal.setitimer(signal.ITIMER_REAL, float(sys.argv[2]))
    r = qb.canonicalize_fseries_file_inplace(sys.argv[1])
    out = ["returned", r.reason]
except KeyboardInterrupt:
    out = ["interrupted"]
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps(out + [time.monotonic() - t0]))
"""


def test_stop_inside_one_number_extraction(tmp_path):
    # 200 MB of blanks that the number reader skips in one extraction
    # (after a form feed, which is content): a stop there leaves the
    # extraction with the handler's exception, soon after the alarm.
    path = tmp_path / "k.fseries"
    path.write_bytes(b"0 0 0\n\f" + b" " * 200_000_000 + SIX)
    proc = subprocess.run([sys.executable, "-c", STOP_AT, str(path), "0.3"], capture_output=True, text=True,
                          timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out[0] == "interrupted", out
    assert 0.3 <= out[1] < 2.5, out
    assert sorted(os.listdir(tmp_path)) == ["k.fseries"]
