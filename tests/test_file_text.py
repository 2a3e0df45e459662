"""File names in messages under any locale, and text read from files that
is not UTF-8.

File names in messages are decoded as os.fsdecode decodes them (as the path
fields of results are), also where the file-system encoding is not UTF-8.
Headers of Fourier-series blocks and the ids and Conway codes of database
records come back as UTF-8 with surrogate escapes for bytes that are not
valid UTF-8, and go back to the same bytes."""
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import _bindings as qb

# ------------------------------------------------------ the C locale

C_LOCALE = {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}

# Every message that names a file, each call given a file under a directory
# whose name is valid UTF-8 ("café"): the message must name it as
# os.fsdecode does, which under the C locale is with surrogate escapes.
C_LOCALE_CHILD = textwrap.dedent("""
    import json, os, sys
    import _bindings as qb
    cafe = os.path.join(os.getcwd().encode(), b"caf\\xc3\\xa9")
    os.mkdir(cafe)
    missing = os.fsdecode(os.path.join(cafe, b"missing.fseries"))
    empty = os.path.join(cafe, b"knot.zz.fseries")
    open(empty, "wb").close()
    os.environ["QEL_KNOT_DATA_DIR"] = os.fsdecode(cafe)
    def blocks(p):
        qb.fourier_knot().loadBlocks(p)
    def message(call):
        try:
            call()
        except RuntimeError as e:
            return str(e)
    circle = os.fsdecode(os.path.join(cafe, b"circle.fseries"))
    with open(circle, "w") as f:
        f.write("1 0 0 1 0 0\\n")
    out = {
        "encoding": sys.getfilesystemencoding(),
        "missing": missing,
        "knot_file": os.fsdecode(empty),
        "result_path": qb.compute_curve_metrics_from_fseries(circle, 8).path,
        "circle": circle,
        "no blocks parsed from: ": message(lambda: qb.compute_helicity_from_fseries(missing)),
        "sample_curve_centered": message(lambda: qb.sample_curve_centered(missing)),
        "cannot open file: ": message(lambda: qb.canonicalize_fseries_file_inplace(missing)),
        "directory does not exist: ": message(lambda: qb.batch_helicity_from_dir(missing)),
        "Cannot open file: ": message(lambda: blocks(missing)),
        "parse_ideal_txt_multi: cannot open file: ": message(lambda: qb.parse_ideal_txt_multi(missing)),
        "initialize": message(lambda: qb.VortexKnotSystem().initialize_knot_from_name("zz", 8)),
    }
    print(json.dumps(out))
""")


def test_messages_decode_file_names_as_the_file_system_does(tmp_path):
    proc = subprocess.run([sys.executable, "-c", C_LOCALE_CHILD], capture_output=True, text=True, timeout=60,
                          env={**os.environ, **C_LOCALE}, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["encoding"] == "ascii"
    missing = out["missing"]
    assert "caf\udcc3\udca9" in missing  # what os.fsdecode gave in the child
    # A result field and the name it was given agree, as before.
    assert out["result_path"] == out["circle"]
    for prefix in ("no blocks parsed from: ", "cannot open file: ", "directory does not exist: ",
                   "Cannot open file: ", "parse_ideal_txt_multi: cannot open file: "):
        assert out[prefix] == prefix + missing
    assert out["sample_curve_centered"] == "no blocks parsed from: " + missing
    # The knot id is text as given; the file the lookup found, a file name.
    assert out["initialize"] == "Could not initialize knot zz: Failed to load knot zz from " + out["knot_file"]


# ------------------------------------------------ text that is not UTF-8

LATIN1_FSERIES = b"% Knot M\xfcller\n1 0 0 1 0 0\n0 0 0 0 0.5 0\n"
LATIN1_RECORD = (b'<AB Id="M\xfcller" Conway="3\xb7a" L="1" D="1">\n'
                 b'<Coeff I="1" A="1, 0, 0" B="0, 1, 0" />\n</AB>\n')


def as_bytes(text):
    return text.encode("utf-8", "surrogateescape")


def test_latin1_header_reads_with_escapes_and_sets_back(tmp_path):
    path = tmp_path / "m.fseries"
    path.write_bytes(LATIN1_FSERIES)
    (block,) = qb.parse_fseries_multi(path)
    assert block.header == "Knot M\udcfcller"
    assert as_bytes(block.header) == b"Knot M\xfcller"
    # A text reader given the same bytes reads the same header.
    assert qb.parse_fseries_from_string(LATIN1_FSERIES)[0].header == block.header
    copy = qb.FourierBlock()
    copy.header = block.header
    assert copy.header == block.header
    # Through the views of a knot object and of an ideal component too.
    knot = qb.fourier_knot()
    knot.activeBlock = block
    assert knot.activeBlock.header == block.header
    component = qb.IdealABComponent()
    component.fourier.header = block.header
    assert component.fourier.header == block.header


@pytest.mark.parametrize("text", ["Knot M\u00fcller", "plain", "", "\u2013 \U0001f600"])
def test_utf8_header_reads_as_before(text):
    (block,) = qb.parse_fseries_from_string("% " + text + "\n1 0 0 1 0 0\n")
    assert block.header == text
    block.header = text + "!"
    assert block.header == text + "!"


def test_header_setter_takes_bytes_and_refuses_what_no_byte_stands_for():
    block = qb.FourierBlock()
    block.header = b"x\xff"
    assert block.header == "x\udcff"
    with pytest.raises(TypeError):
        block.header = "\ud800"  # a surrogate that no escaped byte gives
    with pytest.raises(TypeError):
        block.header = 5
    assert block.header == "x\udcff"


@pytest.mark.parametrize("source", ["file", "text"])
def test_latin1_record_id_and_conway_round_trip(tmp_path, source):
    if source == "file":
        path = tmp_path / "ideal.txt"
        path.write_bytes(LATIN1_RECORD)
        (record,) = qb.parse_ideal_txt_multi(path)
    else:
        (record,) = qb.parse_ideal_txt_from_string(LATIN1_RECORD)
    assert record.id == "M\udcfcller" and as_bytes(record.id) == b"M\xfcller"
    assert record.conway == "3\udcb7a" and as_bytes(record.conway) == b"3\xb7a"
    assert qb.index_of_ideal_id([record], record.id) == 0
    assert qb.index_of_ideal_id([record], "M\u00fcller") == -1  # the UTF-8 spelling is other bytes
    assert as_bytes(qb.format_ideal_ab_header(record)) == \
        b'AB Id="M\xfcller" Conway="3\xb7a" L="1.000000" D="1.000000" n="1"'
    fresh = qb.IdealABBlock()
    fresh.id, fresh.conway = record.id, record.conway
    assert (fresh.id, fresh.conway) == (record.id, record.conway)
    assert as_bytes(qb.format_ideal_ab_header(fresh)) == \
        b'AB Id="M\xfcller" Conway="3\xb7a" L="0.000000" D="0.000000" n="1"'
    # And found by the id it was read with.
    assert qb.parse_ideal_ab_by_id_from_string(LATIN1_RECORD, b"M\xfcller").id == record.id


# The canonicaliser's write failure names the file as os.fsdecode does too.
# An immutable file (chattr +i) opens for reading but not for writing, even
# for root, so the rewrite fails before anything is touched.
C_LOCALE_WRITE_CHILD = textwrap.dedent("""
    import json, os, subprocess
    import _bindings as qb
    cafe = os.path.join(os.getcwd().encode(), b"caf\\xc3\\xa9")
    os.mkdir(cafe)
    legacy = os.path.join(cafe, b"legacy.fseries")
    with open(legacy, "wb") as f:
        f.write(b"0 0 0\\n1 0 0 1 0 0\\n")
    if subprocess.run(["chattr", "+i", legacy], capture_output=True).returncode != 0:
        print(json.dumps({"skip": "chattr +i not supported here"}))
        raise SystemExit(0)
    try:
        try:
            qb.canonicalize_fseries_file_inplace(os.fsdecode(legacy))
            message = None
        except RuntimeError as e:
            message = str(e)
        with open(legacy, "rb") as f:
            after = f.read()
    finally:
        subprocess.run(["chattr", "-i", legacy])
    print(json.dumps({"message": message, "path": os.fsdecode(legacy), "kept": after == b"0 0 0\\n1 0 0 1 0 0\\n"}))
""")


def test_write_failure_names_the_file_as_the_file_system_does(tmp_path):
    if shutil.which("chattr") is None:
        pytest.skip("chattr not found")
    proc = subprocess.run([sys.executable, "-c", C_LOCALE_WRITE_CHILD], capture_output=True, text=True, timeout=60,
                          env={**os.environ, **C_LOCALE}, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    if "skip" in out:
        pytest.skip(out["skip"])
    assert "caf\udcc3\udca9" in out["path"]
    assert out["message"] == "cannot write file: " + out["path"]
    assert out["kept"]
