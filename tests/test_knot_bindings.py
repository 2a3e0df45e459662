"""Python faces of the knot records: defaults, copies and views of
attributes, argument conversion, and fourier_knot_eval."""
import numpy as np
import pytest

import _bindings


def test_defaults():
    b = _bindings.FourierBlock()
    assert b.header == "" and [b.a_x, b.b_x, b.a_y, b.b_y, b.a_z, b.b_z] == [[]] * 6
    ab = _bindings.IdealABBlock()
    assert (ab.id, ab.conway, ab.L, ab.D, ab.n, ab.components, ab.fourier.a_x) == ("", "", 0.0, 0.0, 1, [], [])
    c = _bindings.IdealABComponent()
    assert (c.component_index, c.A0, c.B0, c.fourier.header) == (0, [0.0, 0.0, 0.0], [0.0, 0.0, 0.0], "")
    for obj in (b, ab, c, _bindings.fourier_knot()):
        with pytest.raises(AttributeError):
            obj.no_such_field = 1


def test_number_lists_are_copies():
    b = _bindings.FourierBlock()
    b.a_x.append(1.0)
    assert b.a_x == []
    values = [1.0, 2.0]
    b.a_x = values
    values.append(3.0)
    assert b.a_x == [1.0, 2.0]
    c = _bindings.IdealABComponent()
    c.A0[0] = 5.0
    assert c.A0 == [0.0, 0.0, 0.0]
    c.A0 = (1, 2, 3)
    assert c.A0 == [1.0, 2.0, 3.0]
    with pytest.raises(TypeError):
        c.A0 = [1.0, 2.0]


def test_class_fields_are_views():
    ab = _bindings.IdealABBlock()
    f = ab.fourier
    f.header = "changed"
    f.a_x = [4.0]
    assert ab.fourier.header == "changed" and ab.fourier.a_x == [4.0]
    del ab
    assert f.header == "changed"  # the view keeps its owner alive
    k = _bindings.fourier_knot()
    k.activeBlock.b_z = [1.0]
    assert k.activeBlock.b_z == [1.0]


def test_record_lists_hold_views_of_elements():
    (ab,) = _bindings.parse_ideal_txt_from_string(
        '<AB Id="x"><Component I="1"></Component><Component I="2"></Component></AB>')
    comps = ab.components
    comps[0].component_index = 7
    comps[1].fourier.header = "h"
    assert [c.component_index for c in ab.components] == [7, 2]
    assert ab.components[1].fourier.header == "h"
    comps.append(_bindings.IdealABComponent())
    del comps[0]
    assert len(ab.components) == 2
    # Assigning stores copies: later changes of the source do not reach the record.
    fresh = _bindings.IdealABComponent()
    ab.components = [fresh]
    fresh.component_index = 42
    assert [c.component_index for c in ab.components] == [0]

    k = _bindings.fourier_knot()
    blk = _bindings.FourierBlock()
    blk.a_x = [1.0]
    k.blocks = [blk, blk]
    blk.header = "source"
    assert [b.header for b in k.blocks] == ["", ""]
    k.blocks[1].header = "second"
    assert [b.header for b in k.blocks] == ["", "second"]


def test_argument_conversion():
    blk = _bindings.FourierBlock()
    blk.a_x, blk.b_y = [1.0], [1.0]
    with pytest.raises(TypeError):
        _bindings.length_exact(blk, nsamples=10.0)
    with pytest.raises(TypeError):
        _bindings.length_exact(blk, 2 ** 31)
    assert _bindings.length_exact(block=blk, nsamples=10) == pytest.approx(2 * np.pi)
    with pytest.raises(TypeError):
        _bindings.evaluate_fourier_block(None, [0.0])
    with pytest.raises(TypeError):
        _bindings.evaluate_fourier_block(blk, "0")
    assert _bindings.evaluate_fourier_block(blk, (x for x in [0.0])) == [[1.0, 0.0, 0.0]]
    with pytest.raises(TypeError):
        _bindings.index_of_largest_block("abc")
    with pytest.raises(TypeError):
        _bindings.parse_fseries_from_string(None)
    assert _bindings.min_self_distance_sampled(np.zeros((5, 3))) == 0.0


def test_fourier_knot_eval():
    s = np.linspace(0, 2 * np.pi, 9)
    x, y, z = _bindings.fourier_knot_eval([1.0], [0.0], [0.0], [1.0], [0.0], [0.0], s)
    np.testing.assert_allclose(x, np.cos(s), atol=1e-15)
    np.testing.assert_allclose(y, np.sin(s), atol=1e-15)
    assert z.tolist() == [0.0] * 9 and x.dtype == np.float64 and x.shape == (9,)
    # Integer arrays and lists convert; empty coefficients give zeros.
    empty = np.array([], dtype=int)
    x, y, z = _bindings.fourier_knot_eval(empty, empty, [], [], empty, empty, [0, 1, 2])
    assert x.tolist() == y.tolist() == z.tolist() == [0.0, 0.0, 0.0]
    assert [a.shape for a in _bindings.fourier_knot_eval([1], [2], [3], [4], [5], [6], [])] == [(0,)] * 3
    # Second harmonic, integer input.
    x, y, z = _bindings.fourier_knot_eval(np.array([0, 2]), np.array([0, 0]), [0, 0], [0, 0], [0, 0], [0, 3], [0.5])
    np.testing.assert_allclose([x[0], y[0], z[0]], [2 * np.cos(1.0), 0.0, 3 * np.sin(1.0)], atol=1e-15)
    # Pairs shorter than a_x read as zeros, longer ones are cut to len(a_x).
    x, y, z = _bindings.fourier_knot_eval([1.0, 0.0], [0.0, 0.0], [], [], [0.0, 1.0, 5.0], [0.0, 0.0, 5.0], [0.3])
    np.testing.assert_allclose([x[0], y[0], z[0]], [np.cos(0.3), 0.0, np.cos(0.6)], atol=1e-15)


@pytest.mark.parametrize(
    "args,message",
    [
        (([1.0], [1.0, 2.0], [1.0], [1.0], [1.0], [1.0], [0.0]), "fourier_knot_eval: a_x/b_x must be 1D and same length"),
        (([1.0], [1.0], [[1.0]], [1.0], [1.0], [1.0], [0.0]), "fourier_knot_eval: a_y/b_y must be 1D and same length"),
        (([1.0], [1.0], [1.0], [1.0], [1.0], np.ones((1, 1)), [0.0]),
         "fourier_knot_eval: a_z/b_z must be 1D and same length"),
        (([1.0], [1.0], [1.0], [1.0], [1.0], [1.0, 2.0], [[0.0]]),
         "fourier_knot_eval: a_z/b_z must be 1D and same length"),
        (([1.0], [1.0], [1.0], [1.0], [1.0], [1.0], [[0.0]]), "fourier_knot_eval: s must be 1D"),
        (([1.0], [1.0], [1.0], [1.0], [1.0], [1.0], 0.5), "fourier_knot_eval: s must be 1D"),
    ],
)
def test_fourier_knot_eval_checks(args, message):
    with pytest.raises(ValueError) as info:
        _bindings.fourier_knot_eval(*args)
    assert str(info.value) == message


def test_docstrings():
    assert _bindings.parse_fseries_multi.__doc__.endswith("Parse a .fseries file into Fourier blocks.\n")
    doc = _bindings.format_ideal_ab_header.__doc__
    assert 'Format AB metadata as: AB Id="..." Conway="..." L="..." D="..." n="..."' in doc
    assert _bindings.LoadedKnot.get_points_array.__doc__.endswith("Get points as NumPy array (N,3)\n")
