"""The single-precision 2-D swirl field against the formula evaluated in float32."""
import ctypes
import ctypes.util
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _bindings as qb

f32 = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.sinf.restype = ctypes.c_float
_libm.sinf.argtypes = [ctypes.c_float]


def sinf(x):
    # The C library's single-precision sine (NumPy's vectorised float32 sine may round differently).
    return f32(_libm.sinf(float(x)))


def reference_field(res, time):
    out = []
    if res <= 0:
        return [[0.0, 0.0]] * (res * res)
    R = f32(res)
    w = f32(time) * f32(6)
    for i in range(res):
        u = f32(i) / R - f32(0.5)
        for j in range(res):
            v = f32(j) / R - f32(0.5)
            r2 = (v * v + u * u) + f32(1e-5)
            r = np.sqrt(r2)
            a = f32(0.1) / r2
            b = f32(0.25) / r
            m = f32(0.03) * sinf(r * f32(10) - w) + f32(1)
            fx = ((-u) * a + (-v) * b) * m
            fy = (b * u + (-v) * a) * m
            out.append([float(fx), float(fy)])
    return out


def same(a, b):
    return len(a) == len(b) and all(
        x == y and math.copysign(1.0, x) == math.copysign(1.0, y) for p, q in zip(a, b) for x, y in zip(p, q)
    )


@pytest.mark.parametrize("res,time", [(1, 0.0), (2, 0.0), (3, 0.25), (7, -1.3), (16, 0.1), (5, 1e3)])
def test_field_matches_single_precision_formula(res, time):
    got = qb.compute_swirl_field(res, time)
    assert len(got) == res * res
    assert same(got, reference_field(res, time))
    # Every value is a single-precision number.
    assert all(float(f32(x)) == x for pair in got for x in pair)


def test_two_by_two_order_and_centre():
    got = qb.compute_swirl_field(res=2, time=0.0)
    assert len(got) == 4
    # (i, j) = (1, 1) is u = v = 0: the centre, where only signed zeros remain.
    assert same([got[3]], [[-0.0, 0.0]])
    # Row i outer, column j inner: index 1 is (i, j) = (0, 1), u = -0.5, v = 0, whose swirl
    # (-v, u) points along -y; index 2 is (1, 0), u = 0, v = -0.5, the same sample turned by 90 degrees.
    assert got[1][1] < 0 < got[2][1]
    assert got[1][0] == got[2][1] and got[1][1] == -got[2][0]


def test_time_is_narrowed_to_single_precision():
    assert qb.compute_swirl_field(4, 0.1) == qb.compute_swirl_field(4, float(f32(0.1)))


@pytest.mark.parametrize("res", [0, -1, -2, -5])
def test_non_positive_resolution_gives_zeros(res):
    got = qb.compute_swirl_field(res, 0.5)
    assert got == [[0.0, 0.0]] * (res * res)


def test_resolution_outside_32_bits_fails_in_conversion():
    with pytest.raises(TypeError):
        qb.compute_swirl_field(2**31, 0.0)
    with pytest.raises(TypeError):
        qb.compute_swirl_field(2.0, 0.0)


def test_resolutions_whose_square_overflows_are_refused():
    # 46341^2 and 65536^2 do not fit a 32-bit count (the latter wraps to 0).
    # Run in a fresh interpreter: a wrapped size would write past the buffer.
    code = """
        import _bindings as qb
        for res in (46341, -46341, 65536, 2**31 - 1):
            try:
                qb.compute_swirl_field(res, 0.0)
                print("no error")
            except ValueError as e:
                print(e)
    """
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["compute_swirl_field: |res| must not exceed 46340 (res*res samples)"] * 4


def test_docstring():
    first, _, rest = qb.compute_swirl_field.__doc__.partition("\n")
    assert first.startswith("compute_swirl_field(res: ")
    assert rest == "\n\n\t\t\t\tCompute 2D swirl force field at a given resolution and time.\n\t\t\t\n"
