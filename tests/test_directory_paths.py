"""A directory given where a reader takes a file path reads as a file that
cannot be opened: the same result or error as a missing file, never an empty
file."""
import os

import pytest

import _bindings

ROWS = "% k\n1 0 0 1 0 0\n0 0 0 0 0 1\n"


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:  # the reader's own error, compared below
        return type(e).__name__, str(e)


def knot_blocks_after_load(path):
    k = _bindings.fourier_knot()
    blk = _bindings.FourierBlock()
    blk.a_x = [1.0]
    k.blocks = [blk]
    result = outcome(lambda: k.loadBlocks(path))
    return result, len(k.blocks)


READERS = {
    "parse_fseries_multi": lambda p: outcome(lambda: len(_bindings.parse_fseries_multi(p))),
    "loadBlocks": knot_blocks_after_load,
    "parse_ideal_txt_multi": lambda p: outcome(lambda: len(_bindings.parse_ideal_txt_multi(p))),
    "load_all_knots": lambda p: outcome(lambda: len(_bindings.load_all_knots([p], 10))),
}


def norm_path(result, path):
    return repr(result).replace(path, "<path>")


@pytest.mark.parametrize("reader", sorted(READERS))
def test_directory_reads_like_a_missing_file(reader, tmp_path):
    missing = str(tmp_path / "missing.fseries")
    directory = tmp_path / "dir.fseries"
    directory.mkdir()
    got_dir = READERS[reader](str(directory))
    got_missing = READERS[reader](missing)
    assert norm_path(got_dir, str(directory)) == norm_path(got_missing, missing)


def test_missing_file_outcomes():
    # What a missing file (and so a directory) gives, reader by reader.
    path = os.path.join(os.sep, "no", "such", "dir")
    assert READERS["parse_fseries_multi"](path) == ("ok", 0)
    assert READERS["loadBlocks"](path) == (("RuntimeError", "Cannot open file: " + path), 0)
    assert READERS["parse_ideal_txt_multi"](path) == (
        "RuntimeError", "parse_ideal_txt_multi: cannot open file: " + path)
    assert READERS["load_all_knots"](path) == ("ok", 0)


def test_load_all_knots_skips_a_directory_among_files(tmp_path):
    good = tmp_path / "knot.a.fseries"
    good.write_text(ROWS)
    (tmp_path / "knot.b.fseries").mkdir()
    got = _bindings.load_all_knots([str(tmp_path / "knot.b.fseries"), str(good)], 5)
    assert [k.name for k in got] == [".a"]
