"""Every registered function, method, constructor and attribute called with
hostile arguments (empty and single-point lists, NaN and infinite values,
ragged rows, negative and huge counts, wrong types) in child interpreters
with a time limit: each call must return or raise a Python exception, never
crash or hang the interpreter."""
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
SCRIPT = HERE / "hostile_calls.py"
CHUNK = 8


def _count():
    out = subprocess.run([sys.executable, str(SCRIPT), "count"], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return int(out.stdout.strip().splitlines()[-1])


COUNT = _count()


@pytest.mark.parametrize("start", range(0, COUNT, CHUNK))
def test_hostile_arguments(start):
    try:
        proc = subprocess.run([sys.executable, str(SCRIPT), str(start), str(start + CHUNK)], capture_output=True,
                              text=True, timeout=300)
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
        last = [l for l in out.splitlines() if l.startswith(("CALL", "SET"))][-1:]
        pytest.fail("time limit exceeded; last call: %s" % last)
    lines = [l for l in proc.stdout.splitlines() if l.startswith(("CALL", "SET", "DONE"))]
    assert proc.returncode == 0 and lines and lines[-1] == "DONE", (
        "child ended with %d after %s\n%s" % (proc.returncode, lines[-1:] or "nothing", proc.stderr[-3000:]))


@pytest.mark.parametrize("count,errors", [(2**31, (MemoryError,)), (2**63, (MemoryError, ValueError)),
                                          (2**64 - 1, (MemoryError, ValueError))])
def test_huge_point_count_fails_cleanly(count, errors):
    code = (
        "import sys, _bindings as qb\n"
        "k = qb.fourier_knot(); b = qb.FourierBlock(); b.a_x = [1.0]; k.activeBlock = b\n"
        "try:\n"
        "    k.reconstruct(%d)\n"
        "except (%s) as e:\n"
        "    print('refused', type(e).__name__)\n" % (count, ", ".join(e.__name__ for e in errors))
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.startswith("refused"), proc.stdout + proc.stderr
