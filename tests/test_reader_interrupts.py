"""Readers stop on a pending signal.

A regular file can block on read (/proc/kmsg, a stalled network or FUSE
file): SIGINT interrupts the read, and the call must end with the handler's
exception instead of reading on. A long parse after the read must stop too.
Each call runs in a child interpreter with a timeout of its own, since a
reader that ignores the signal would hang."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

TIMEOUT = 120

FSERIES_CALLS = {
    "parse_fseries_multi": "qb.parse_fseries_multi(PATH)",
    "loadBlocks": "qb.fourier_knot().loadBlocks(PATH)",
    "load_all_knots": "qb.load_all_knots([PATH], 8)",
    "sample_curve_centered": "qb.sample_curve_centered(PATH, 8)",
    "initialize_knot_from_name": "qb.VortexKnotSystem().initialize_knot_from_name('zz', 8)",
}
IDEAL_CALLS = {
    "parse_ideal_txt_multi": "qb.parse_ideal_txt_multi(PATH)",
    "ParticleEvaluator": "qb.ParticleEvaluator('target', 8)",
}


def child_env(path):
    """The lookups of the knot file (knot.zz.fseries) and of the particle
    database both find `path`."""
    return {**os.environ, "QEL_IDEAL_DATABASE": str(path), "QEL_KNOT_DATA_DIR": str(path.parent)}


# ------------------------------------------------------- a read that blocks

def kmsg_readable():
    try:
        fd = os.open("/proc/kmsg", os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        os.read(fd, 1 << 16)
    except BlockingIOError:
        pass  # nothing logged right now: a blocking read would wait
    except OSError:
        return False
    finally:
        os.close(fd)
    return True


BLOCKING_CALLS = {**FSERIES_CALLS, **IDEAL_CALLS,
                  "canonicalize_fseries_file_inplace": "qb.canonicalize_fseries_file_inplace(PATH)"}


@pytest.mark.skipif(not kmsg_readable(), reason="/proc/kmsg cannot be read here")
@pytest.mark.parametrize("name", sorted(BLOCKING_CALLS))
def test_blocked_read_stops_on_sigint(tmp_path, name):
    call = BLOCKING_CALLS[name]
    # /proc/kmsg is a regular file whose read waits for the next kernel
    # message once the log has been read.
    link = tmp_path / "knot.zz.fseries"
    link.symlink_to("/proc/kmsg")
    script = textwrap.dedent(f"""
        import os, sys, time
        import _bindings as qb
        PATH = {str(link)!r}
        fds = len(os.listdir("/proc/self/fd"))
        print("ready", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            # the file was closed
            print("KeyboardInterrupt", time.monotonic(), len(os.listdir("/proc/self/fd")) - fds, flush=True)
        else:
            print("returned", flush=True)
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=child_env(link), cwd=tmp_path)
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.3)  # into the read
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, err
    what, when, opened = out.split()
    assert what == "KeyboardInterrupt", out + err
    assert float(when) - sent < 5.0
    assert opened == "0"


# ------------------------------------------------------------ a long parse

# Text that takes a good fraction of a second to parse: many rows of one
# Fourier block, or one database record with many coefficients (each with
# index 1, so the record stays one harmonic).
FSERIES_TEXT = "'% long\\n' + '0.5 0.25 0.125 1.0 2.0 3.0\\n' * 800_000"
IDEAL_TEXT = ("'<AB Id=\"target\" Conway=\"\" L=\"1\" D=\"1\">\\n' + "
              "'<Coeff I=\"1\" A=\"1.0, 2.0, 3.0\" B=\"4.0, 5.0, 6.0\"/>\\n' * 400_000 + '</AB>\\n'")

# name: (text, call, what the stopped call must have left, its value)
LONG_PARSES = {
    **{name: (FSERIES_TEXT, call, "0", "0") for name, call in FSERIES_CALLS.items()},
    "parse_fseries_from_string": (FSERIES_TEXT, "qb.parse_fseries_from_string(TEXT)", "0", "0"),
    **{name: (IDEAL_TEXT, call, "0", "0") for name, call in IDEAL_CALLS.items()},
    "parse_ideal_txt_from_string": (IDEAL_TEXT, "qb.parse_ideal_txt_from_string(TEXT)", "0", "0"),
    "parse_ideal_ab_by_id_from_string": (IDEAL_TEXT, "qb.parse_ideal_ab_by_id_from_string(TEXT, 'target')",
                                         "0", "0"),
    # The object keeps what it had: two blocks, a shape of five points.
    "loadBlocks": (FSERIES_TEXT, "k = qb.fourier_knot(); k.blocks = [qb.FourierBlock()] * 2; k.loadBlocks(PATH)",
                   "len(k.blocks)", "2"),
    "initialize_knot_from_name": (FSERIES_TEXT, "v = qb.VortexKnotSystem(); v.initialize_trefoil_knot(5); "
                                  "v.initialize_knot_from_name('zz', 8)", "len(v.get_positions())", "5"),
}


@pytest.mark.parametrize("name", sorted(LONG_PARSES))
def test_long_parse_stops_on_signal(tmp_path, name):
    text, call, left, value = LONG_PARSES[name]
    # The child times the whole call, then sets an alarm at a twentieth of
    # that and times the stopped call: a parse that does not look at
    # signals would run to its end before the handler's exception came.
    script = textwrap.dedent(f"""
        import signal, time
        import _bindings as qb
        TEXT = {text}
        PATH = "knot.zz.fseries"
        with open(PATH, "w") as f:
            f.write(TEXT)
        t0 = time.monotonic()
        {call}
        full = time.monotonic() - t0
        def stop(signum, frame):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, stop)
        t0 = time.monotonic()
        try:
            signal.setitimer(signal.ITIMER_REAL, full / 20)
            {call}
        except KeyboardInterrupt:
            print(full, time.monotonic() - t0, {left})
        else:
            print(full, "returned", {left})
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=TIMEOUT,
                          env=child_env(tmp_path / "knot.zz.fseries"), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    full, stopped, kept = proc.stdout.split()
    full = float(full)
    assert full > 0.1, "the text parses too fast to show the stop"
    assert stopped != "returned"
    assert full / 20 <= float(stopped) < full / 2, proc.stdout
    assert kept == value
