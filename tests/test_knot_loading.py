"""The knot object (loadBlocks, selectMaxHarmonics, reconstruct) and the
loaders load_all_knots / LoadedKnot, on files in a temporary directory."""
import numpy as np
import pytest

import _bindings

TWO_PI = 6.283185307179586

ROWS3 = [[1, 0, 0, 1, 0, 0], [0, 0.5, 0, 0, 0.25, 0], [0, 0, 0, 0, 0, 0.1]]
ROWS5 = [[0, 1, 1, 0, 0, 0], [0, 2, -2, 0, 0, 0], [0, 0, 0, 0, 0, -1], [0.1, 0, 0, 0, 0, 0], [0, 0, 0.05, 0, 0, 0]]


def text_of(*blocks):
    return "\n".join("% block\n" + "\n".join(" ".join(str(v) for v in r) for r in rows) for rows in blocks) + "\n"


def np_eval(rows, s):
    s = np.asarray(s, float)
    out = np.zeros((s.size, 3))
    for k, r in enumerate(rows):
        w = k + 1
        for d in range(3):
            out[:, d] += r[2 * d] * np.cos(w * s) + r[2 * d + 1] * np.sin(w * s)
    return out


def np_poly_curvature(P, eps=1e-8):
    prev, nxt = np.roll(P, 1, axis=0), np.roll(P, -1, axis=0)
    d1, d2 = (nxt - prev) / 2, nxt - 2 * P + prev
    return np.linalg.norm(np.cross(d1, d2), axis=1) / (np.linalg.norm(d1, axis=1) ** 3 + eps)


@pytest.fixture
def two_block_file(tmp_path):
    path = tmp_path / "two.fseries"
    path.write_text(text_of(ROWS3, ROWS5))
    return str(path)


def test_new_object_and_state_errors():
    k = _bindings.fourier_knot()
    assert k.blocks == [] and k.points == [] and k.activeBlock.a_x == []
    with pytest.raises(RuntimeError, match="^No active Fourier block selected$"):
        k.reconstruct(10)
    with pytest.raises(RuntimeError, match="^No Fourier blocks loaded$"):
        k.selectMaxHarmonics()


def test_load_select_reconstruct(two_block_file, tmp_path):
    k = _bindings.fourier_knot()
    k.loadBlocks(two_block_file)
    assert [len(b.a_x) for b in k.blocks] == [3, 5]
    k.selectMaxHarmonics()
    assert k.activeBlock.b_x == [1.0, 2.0, 0.0, 0.0, 0.0] and k.activeBlock.header == ""
    k.reconstruct(4)
    np.testing.assert_allclose(k.points, np_eval(ROWS5, [0, np.pi / 2, np.pi, 3 * np.pi / 2]), atol=1e-14)
    k.reconstruct(1)
    np.testing.assert_allclose(k.points, np_eval(ROWS5, [0.0]), atol=1e-15)
    # A later loadBlocks leaves the active block and the points alone.
    other = tmp_path / "one.fseries"
    other.write_text(text_of(ROWS3))
    k.loadBlocks(str(other))
    assert len(k.blocks) == 1 and len(k.activeBlock.a_x) == 5 and len(k.points) == 1
    k.reconstruct(0)
    assert k.points == []
    with pytest.raises(TypeError):
        k.reconstruct(-1)
    with pytest.raises(TypeError):
        k.reconstruct(2.0)
    with pytest.raises(TypeError):
        k.loadBlocks(path=two_block_file)
    k.reconstruct(3)
    with pytest.raises(ValueError):
        k.reconstruct(2 ** 62)
    assert k.points == []


def test_select_ties_and_empty_blocks():
    k = _bindings.fourier_knot()
    a, b = _bindings.FourierBlock(), _bindings.FourierBlock()
    a.header, b.header = "a", "b"
    k.blocks = [a, b]
    k.selectMaxHarmonics()
    assert k.activeBlock.header == "a"
    with pytest.raises(RuntimeError, match="^No active Fourier block selected$"):
        k.reconstruct(3)


def load_one(path, n):
    got = _bindings.load_all_knots([str(path)], n)
    assert len(got) <= 1
    return got[0] if got else None


def test_load_knot_samples_both_ends(two_block_file):
    k = load_one(two_block_file, 5)
    s = np.arange(5) * TWO_PI / 4
    raw = np_eval(ROWS5, s)
    expected = raw - raw.mean(axis=0)
    np.testing.assert_allclose(k.points, expected, atol=1e-13)
    np.testing.assert_allclose(k.points[0], k.points[-1], atol=1e-13)
    # Curvature over the distinct points, the repeated end taking the first value.
    kappa = np_poly_curvature(expected[:-1])
    np.testing.assert_allclose(k.curvature, np.append(kappa, kappa[0]), rtol=1e-12)
    arr = k.get_points_array()
    assert arr.shape == (5, 3) and arr.dtype == np.float64
    arr[0, 0] = 99.0
    assert k.points[0][0] != 99.0 and k.get_points_array()[0, 0] != 99.0
    c = k.get_curvature_array()
    assert c.shape == (5,) and c.tolist() == k.curvature


def test_closed_curvature_has_no_seam(tmp_path):
    path = tmp_path / "circle.fseries"
    path.write_text("1 0 0 1 0 0\n")
    k = load_one(path, 101)
    # A circle sampled at 100 distinct points: every entry the same.
    np.testing.assert_allclose(k.curvature, k.curvature[0], rtol=1e-9)
    np.testing.assert_allclose(k.curvature[0], np_poly_curvature(np.asarray(k.points)[:-1])[0], rtol=1e-12)


@pytest.mark.parametrize("n,points,curvature", [(1, [[0.0, 0.0, 0.0]], [0.0]), (2, None, [0.0, 0.0]),
                                                (3, None, [0.0, 0.0, 0.0])])
def test_load_knot_few_samples(two_block_file, n, points, curvature):
    k = load_one(two_block_file, n)
    assert len(k.points) == n and np.all(np.isfinite(k.points))
    if points is not None:
        assert k.points == points
    assert k.curvature == curvature


def test_load_knot_counts(two_block_file, tmp_path):
    assert load_one(two_block_file, 0) is None
    with pytest.raises(ValueError):
        _bindings.load_all_knots([two_block_file], -1)
    empty = tmp_path / "empty.fseries"
    empty.write_text("% nothing here\n")
    assert _bindings.load_all_knots([str(empty), str(tmp_path / "missing.fseries")], -1) == []


@pytest.mark.parametrize(
    "filename,name",
    [
        ("knot.3_1.fseries", ".3_1"),
        ("C:\\knots\\Knot_4_1.fseries", "_4_1"),
        ("trefoil.fseries", "trefoil"),
        ("a.b.fseries", "a.b"),
        ("myknotfile.fseries", "myfile"),
        ("MyKNOTs", "Mys"),
        (".fseries", ""),
    ],
)
def test_names(tmp_path, filename, name):
    path = tmp_path / filename
    path.write_text("1 0 0 1 0 0\n")
    (k,) = _bindings.load_all_knots([str(path)], 8)
    assert k.name == name


def test_load_all_knots_order_and_arguments(tmp_path):
    paths = []
    for i, rows in enumerate([ROWS3, ROWS5]):
        p = tmp_path / f"k{i}.fseries"
        p.write_text(text_of(rows))
        paths.append(str(p))
    paths.insert(1, str(tmp_path / "missing.fseries"))
    got = _bindings.load_all_knots(paths)
    assert [k.name for k in got] == ["k0", "k1"]
    assert all(len(k.points) == 1000 for k in got)
    assert [k.name for k in _bindings.load_all_knots(p for p in paths)] == ["k0", "k1"]
    with pytest.raises(TypeError):
        _bindings.load_all_knots(paths[0])
    with pytest.raises(TypeError):
        _bindings.LoadedKnot()
    with pytest.raises(AttributeError):
        got[0].name = "x"
