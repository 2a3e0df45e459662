"""Invariants that a table of cases would cover only at a few points, checked
over generated inputs: symmetries of the Biot–Savart velocity of a closed
polyline, and a Fourier block written as text reading back unchanged."""
import math

import numpy as np
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import _bindings as qb

SETTINGS = settings(max_examples=60, deadline=None)

coord = st.floats(min_value=-1.0, max_value=1.0, allow_nan=False)
point = st.tuples(coord, coord, coord)
curves = st.lists(point, min_size=3, max_size=20)
# Targets well away from every curve inside the unit cube.
shell = st.tuples(st.floats(0.0, 2 * math.pi), st.floats(-1.0, 1.0), st.floats(2.5, 4.0))
targets = st.lists(shell, min_size=1, max_size=6)


def target_points(spec):
    out = []
    for phi, cz, r in spec:
        sz = math.sqrt(max(0.0, 1.0 - cz * cz))
        out.append([r * sz * math.cos(phi), r * sz * math.sin(phi), r * cz])
    return np.array(out)


def velocity(curve, pts, circulation=1.0):
    return qb.biot_savart_velocity_grid(np.asarray(curve, float), np.asarray(pts, float), circulation)


def term_scale(curve, circulation=1.0, lam=1.0):
    """Size of the sum's terms: length / (4 pi d^2), d >= 0.75 (targets past
    radius 2.5, the curve inside the unit cube). Rounding is measured against
    it, not against a velocity that may cancel to nearly zero."""
    c = np.asarray(curve, float)
    length = float(np.sum(np.linalg.norm(np.roll(c, -1, axis=0) - c, axis=1)))
    return abs(circulation) * length / (4 * math.pi * 0.75 ** 2) / lam + 1e-300


def close(a, b, scale, rtol=1e-12):
    np.testing.assert_allclose(a, b, rtol=0, atol=rtol * scale)


@SETTINGS
@given(curves, targets, st.floats(-5.0, 5.0, allow_nan=False))
def test_velocity_flips_with_orientation_and_is_linear_in_circulation(curve, spec, gamma):
    pts = target_points(spec)
    v = velocity(curve, pts)
    close(velocity(curve[::-1], pts), -v, term_scale(curve))
    close(velocity(curve, pts, gamma), gamma * v, term_scale(curve, gamma))


@SETTINGS
@given(curves, targets, st.floats(0.25, 4.0))
def test_velocity_scales_as_inverse_length(curve, spec, lam):
    pts = target_points(spec)
    v = velocity(curve, pts)
    # The kernel's 1e-12 regularisation is far below the cubed distances here.
    close(velocity(np.array(curve) * lam, pts * lam), v / lam, term_scale(curve, lam=lam), rtol=1e-8)


@SETTINGS
@given(curves, targets, st.tuples(st.floats(-1, 1), st.floats(-1, 1), st.floats(-1, 1), st.floats(-1, 1)))
def test_velocity_commutes_with_rotations(curve, spec, q):
    n = math.sqrt(sum(c * c for c in q))
    assume(n > 1e-3)
    w, x, y, z = (c / n for c in q)
    R = np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                  [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                  [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
    pts = target_points(spec)
    v = velocity(curve, pts)
    close(velocity(np.array(curve) @ R.T, pts @ R.T), v @ R.T, term_scale(curve))


finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
header_text = st.text(st.characters(min_codepoint=0x21, max_codepoint=0x7e), max_size=30)


@SETTINGS
@given(st.lists(st.tuples(*[finite] * 6), min_size=1, max_size=12), header_text)
def test_block_written_as_text_reads_back_equal(rows, header):
    text = "% " + header + "\n" + "".join(" ".join(repr(v) for v in r) + "\n" for r in rows)
    for blocks in (qb.parse_fseries_from_string(text), qb.parse_fseries_from_string(text.replace("\n", "\r\n"))):
        assert len(blocks) == 1
        b = blocks[0]
        assert b.header == header
        cols = list(zip(*rows))
        assert [b.a_x, b.b_x, b.a_y, b.b_y, b.a_z, b.b_z] == [list(c) for c in cols]
