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


# Every long call of the interrupt tests again, now under a hostile signal
# handler: a timer fires every few milliseconds, and its successive runs read
# every slot of every large list the collector knows, run the same call
# again inside the running one (whose polls then run the next handlers),
# change in place and then reallocate every array and change and empty every
# list the calls were given, read every list once more, and then stop the
# calls. Whatever the call ends with, the child must end in order.
HOSTILE_HANDLER = """
import gc
# (compiled first: exec of a text that raises KeyboardInterrupt would make
# the interpreter end as if killed by SIGINT)
CALL = compile({call!r}, "<call>", "exec")

def read_every_list():
    n = 0
    for o in gc.get_objects():
        if type(o) in (list, tuple) and len(o) > 1000:
            for x in o:
                n += x is None
    return n

def spoil():
    for v in list(globals().values()):
        if isinstance(v, np.ndarray):
            try:
                v[...] = 7
                v.resize((v.size * 16 + 3,), refcheck=False)
                v[...] = np.nan
            except (ValueError, TypeError):
                pass
        elif isinstance(v, list):
            for e in v:
                if isinstance(e, list):
                    e[:] = [float("nan")] * (len(e) + 1)
            v.clear()
        elif isinstance(v, qb.FourierBlock):
            v.a_x = []

runs = 0
raised = False
def hostile(signum, frame):
    global runs, raised
    if raised:
        return
    runs += 1
    if runs == 1:
        read_every_list()
    elif runs == 2:
        exec(CALL, globals())
    elif runs == 3:
        spoil()
    elif runs == 4:
        read_every_list()
    else:
        raised = True
        raise KeyboardInterrupt

signal.signal(signal.SIGALRM, hostile)
try:
    signal.setitimer(signal.ITIMER_REAL, 0.02, 0.004)
    exec(CALL, globals())
except BaseException as e:
    print("ended", type(e).__name__, runs)
else:
    print("ended returned", runs)
signal.setitimer(signal.ITIMER_REAL, 0)
"""


def _long_calls():
    from test_interrupts import LONG_CALLS, PRELUDE

    return LONG_CALLS, PRELUDE


@pytest.mark.parametrize("name", sorted(_long_calls()[0]))
def test_hostile_signal_handlers(tmp_path, name):
    calls, prelude = _long_calls()
    setup, call = calls[name]
    script = prelude + setup + HOSTILE_HANDLER.format(call=call)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.startswith("ended"), proc.stdout
