"""The three Fourier-series readers on crafted texts.

parse_fseries_from_string and parse_fseries_multi trim line ends, keep
headers and take the first six numbers of a row; fourier_knot.loadBlocks
trims nothing, drops headers and takes only rows of exactly six numbers.
"""
import pytest

import _bindings

R1 = [1.0, 0.0, 0.0, 1.0, 0.0, 0.0]
R2 = [0.5, -0.25, 2.0, 3.0, -1.0, 1e-3]
R3 = [0.0, 0.0, 0.0, 0.0, 0.0, 0.0]


def row(values):
    return " ".join(repr(v) for v in values)


def as_rows(block):
    cols = [block.a_x, block.b_x, block.a_y, block.b_y, block.a_z, block.b_z]
    assert len({len(c) for c in cols}) == 1, "readers fill all six lists together"
    return [list(r) for r in zip(*cols)]


def summary(blocks):
    return [(b.header, as_rows(b)) for b in blocks]


# (id, text, expected for the two text readers, expected rows for loadBlocks)
CASES = [
    ("empty", "", [], []),
    ("only-comments", "% a\n% b\n", [], []),
    ("rows-no-header", f"{row(R1)}\n{row(R2)}\n", [("", [R1, R2])], [[R1, R2]]),
    ("header-blanks-stripped", f"%  \t my knot \t \n{row(R1)}\n", [("my knot", [R1])], [[R1]]),
    ("bare-percent", f"%\n{row(R1)}\n", [("", [R1])], [[R1]]),
    ("last-comment-wins", f"% first\n% second\n{row(R1)}\n", [("second", [R1])], [[R1]]),
    ("two-headed-blocks", f"% one\n{row(R1)}\n% two\n{row(R2)}\n{row(R3)}\n",
     [("one", [R1]), ("two", [R2, R3])], [[R1], [R2, R3]]),
    ("blank-splits-and-clears-header", f"% one\n{row(R1)}\n\n{row(R2)}\n",
     [("one", [R1]), ("", [R2])], [[R1], [R2]]),
    ("header-survives-blank", f"% one\n\n\n{row(R1)}\n", [("one", [R1])], [[R1]]),
    ("zero-first-row", f"{row(R3)}\n{row(R1)}\n", [("", [R3, R1])], [[R3, R1]]),
    ("crlf", f"% c\r\n{row(R1)}\r\n{row(R2)}\r\n", [("c", [R1, R2])], [[R1, R2]]),
    # A line of only "\r" ends the block for the text readers, not for loadBlocks.
    ("cr-only-line", f"{row(R1)}\r\n\r\n{row(R2)}\r\n", [("", [R1]), ("", [R2])], [[R1, R2]]),
    ("blank-only-line", f"{row(R1)}\n  \t \n{row(R2)}\n", [("", [R1]), ("", [R2])], [[R1, R2]]),
    ("seven-numbers", f"{row(R1)} 9.0\n", [("", [R1])], []),
    ("five-numbers-skipped", f"{row(R1)}\n1 2 3 4 5\n{row(R2)}\n", [("", [R1, R2])], [[R1, R2]]),
    ("letters-after-sixth", f"{row(R2)}abc\n", [("", [R2])], [[R2]]),
    ("blank-before-percent", f"{row(R1)}\n % not a comment\n{row(R2)}\n", [("", [R1, R2])], [[R1, R2]]),
    ("tabs-and-no-final-newline", "1\t0\t0\t1\t0\t0", [("", [R1])], [[R1]]),
    # Formatted extraction: no nan, inf or hex floats; "0x.." reads as 0 then stops.
    ("nan-inf-rows-skipped", f"nan 0 0 0 0 0\n0 0 inf 0 0 0\n{row(R1)}\n", [("", [R1])], [[R1]]),
    ("hex-last-reads-zero", "1 2 3 4 5 0x1p3\n", [("", [[1.0, 2.0, 3.0, 4.0, 5.0, 0.0]])],
     [[[1.0, 2.0, 3.0, 4.0, 5.0, 0.0]]]),
    ("hex-early-skipped", "0x1 2 3 4 5 6\n", [], []),
    ("overflow-skipped", "1e999 0 0 0 0 0\n", [], []),
    ("exponents-and-signs", "+1e0 -0.5E+1 .5 5. -0 1e-2\n",
     [("", [[1.0, -5.0, 0.5, 5.0, 0.0, 0.01]])], [[[1.0, -5.0, 0.5, 5.0, 0.0, 0.01]]]),
    ("comment-after-rows-heads-next", f"{row(R1)}\n% late\n", [("", [R1])], [[R1]]),
]


@pytest.mark.parametrize("text,expected", [(c[1], c[2]) for c in CASES], ids=[c[0] for c in CASES])
def test_parse_fseries_from_string(text, expected):
    assert summary(_bindings.parse_fseries_from_string(text)) == expected


@pytest.mark.parametrize("text,expected", [(c[1], c[2]) for c in CASES], ids=[c[0] for c in CASES])
def test_parse_fseries_multi_reads_files_alike(tmp_path, text, expected):
    path = tmp_path / "k.fseries"
    path.write_bytes(text.encode())
    assert summary(_bindings.parse_fseries_multi(str(path))) == expected


@pytest.mark.parametrize("text,expected", [(c[1], c[3]) for c in CASES], ids=[c[0] for c in CASES])
def test_load_blocks(tmp_path, text, expected):
    path = tmp_path / "k.fseries"
    path.write_bytes(text.encode())
    knot = _bindings.fourier_knot()
    knot.loadBlocks(str(path))
    got = knot.blocks
    assert all(b.header == "" for b in got)
    assert [as_rows(b) for b in got] == expected


def test_missing_file(tmp_path):
    missing = str(tmp_path / "nope.fseries")
    assert _bindings.parse_fseries_multi(missing) == []
    knot = _bindings.fourier_knot()
    ok = tmp_path / "ok.fseries"
    ok.write_text(row(R1) + "\n")
    knot.loadBlocks(str(ok))
    assert len(knot.blocks) == 1
    with pytest.raises(RuntimeError, match=r"^Cannot open file: " + missing.replace("\\", "\\\\") + "$"):
        knot.loadBlocks(missing)
    assert knot.blocks == []


def test_long_text_and_many_blocks():
    rows = "\n".join(row([float(k), 0, 0, float(k), 0, 0]) for k in range(1, 2001))
    text = ("% big\n" + rows + "\n\n") * 3
    blocks = _bindings.parse_fseries_from_string(text)
    assert [b.header for b in blocks] == ["big", "big", "big"]
    assert all(len(b.a_x) == 2000 for b in blocks)
    assert blocks[2].b_y[1999] == 2000.0


@pytest.mark.parametrize("lengths,expected", [([3, 5, 5], 1), ([], -1), ([0, 0], 0), ([2, 1], 0), ([1, 4], 1)])
def test_index_of_largest_block(lengths, expected):
    blocks = []
    for n in lengths:
        b = _bindings.FourierBlock()
        b.a_x = [1.0] * n
        blocks.append(b)
    assert _bindings.index_of_largest_block(blocks) == expected
