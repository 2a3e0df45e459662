"""Batch helicity over a directory: which files the flat and recursive walks
take, the order of the results, links, and the errors that end a batch."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from test_fseries_tools_metrics import fseries_text, ref_metrics, ref_samples

SMALL = dict(grid_size=4, spacing=0.5, interior_margin=1, nsamples=16)


def rows_for(k):
    """A distinct curve per file, told apart by its length."""
    return [[0.0, 0.0, 0.0, 0.0, 0.0, 0.0], [1.0 + 0.1 * k, 0.0, 0.0, 1.0, 0.0, 0.2]]


@pytest.fixture
def tree(tmp_path):
    """root/ with files the walks take and files and entries they must not."""
    root = tmp_path / "root"
    root.mkdir()
    files = {}

    def put(rel, k):
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(fseries_text(rows_for(k)))
        files[rel] = k

    put("b.fseries", 1)
    put("a.fseries", 2)
    put(".fseries", 3)
    put("b/c.fseries", 4)
    put("b/deeper/d.fseries", 5)
    put("sub.fseries/e.fseries", 6)
    # Not taken: the suffix in capitals, a longer suffix, a non-regular entry.
    (root / "A.FSERIES").write_text(fseries_text(rows_for(9)))
    (root / "x.fseries.bak").write_text(fseries_text(rows_for(9)))
    os.mkfifo(root / "pipe.fseries")
    # A link to a regular file is taken under its own path; a link to a
    # directory and a link back up the tree are never walked.
    (root / "link.fseries").symlink_to("a.fseries")
    (root / "b" / "up").symlink_to("..")
    (root / "dirlink").symlink_to("b")
    return root, files


def check(results, root, rels, files, sep="/"):
    assert [r.path for r in results] == [str(root) + sep + rel for rel in rels]
    for r, rel in zip(results, rels):
        k = files["a.fseries" if rel == "link.fseries" else rel]
        assert r.L == pytest.approx(ref_metrics(ref_samples(rows_for(k), 16))[0], rel=1e-13)
        assert r.nsamples == 16


def test_flat_walk(tree, qb):
    root, files = tree
    got = qb.batch_helicity_from_dir(str(root), **SMALL)
    check(got, root, [".fseries", "a.fseries", "b.fseries", "link.fseries"], files)
    # A trailing slash gives the same paths.
    again = qb.batch_helicity_from_dir(str(root) + "/", **SMALL)
    assert [r.path for r in again] == [r.path for r in got]


def test_recursive_walk(tree, qb):
    root, files = tree
    got = qb.batch_helicity_from_dir(str(root), recurse=True, **SMALL)
    # Sorted by bytes: "b.fseries" before "b/...", since "." orders before "/".
    check(got, root, [".fseries", "a.fseries", "b.fseries", "b/c.fseries", "b/deeper/d.fseries", "link.fseries",
                      "sub.fseries/e.fseries"], files)


def test_results_match_single_file_calls(tree, qb):
    root, _ = tree
    (r,) = [x for x in qb.batch_helicity_from_dir(str(root), **SMALL) if x.path.endswith("/a.fseries")]
    single = qb.compute_helicity_from_fseries(r.path, 4, 0.5, 1, 16)
    assert (r.Hc, r.Hm, r.L, r.min_non_neighbor_dist) == (single.Hc, single.Hm, single.L, single.min_non_neighbor_dist)


def test_link_cycle_cannot_loop(tmp_path):
    # In a child with a time limit: a walk that followed links would never end.
    root = tmp_path / "root"
    (root / "a" / "b").mkdir(parents=True)
    (root / "a" / "b" / "k.fseries").write_text(fseries_text(rows_for(0)))
    (root / "a" / "b" / "loop").symlink_to("../..")
    (root / "a" / "self").symlink_to(".")
    code = textwrap.dedent(f"""
        import json, _bindings as qb
        res = qb.batch_helicity_from_dir({str(root)!r}, 4, 0.5, 1, 16, True)
        print(json.dumps([r.path for r in res]))
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [str(root / "a" / "b" / "k.fseries")]


def test_empty_and_defaults(tmp_path, qb):
    assert qb.batch_helicity_from_dir(str(tmp_path)) == []
    (tmp_path / "k.fseries").write_text(fseries_text(rows_for(0)))
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "deep.fseries").write_text(fseries_text(rows_for(1)))
    (r,) = qb.batch_helicity_from_dir(root_dir=str(tmp_path))
    assert (r.path, r.nsamples) == (str(tmp_path / "k.fseries"), 1000)
    single = qb.compute_helicity_from_fseries(r.path)
    assert (r.Hc, r.Hm, r.a_mu) == (single.Hc, single.Hm, single.a_mu)


@pytest.mark.parametrize("kind", ["missing", "regular-file", "empty", "link-to-file"])
def test_root_must_be_a_directory(tmp_path, qb, kind):
    root = {"missing": str(tmp_path / "nope"), "regular-file": str(tmp_path / "f.fseries"), "empty": "",
            "link-to-file": str(tmp_path / "ln")}[kind]
    (tmp_path / "f.fseries").write_text(fseries_text(rows_for(0)))
    (tmp_path / "ln").symlink_to("f.fseries")
    with pytest.raises(RuntimeError) as exc:
        qb.batch_helicity_from_dir(root, **SMALL)
    assert str(exc.value) == "directory does not exist: " + root


def test_link_to_directory_as_root_is_walked(tmp_path, qb):
    (tmp_path / "real").mkdir()
    (tmp_path / "real" / "k.fseries").write_text(fseries_text(rows_for(0)))
    (tmp_path / "ln").symlink_to("real")
    (r,) = qb.batch_helicity_from_dir(str(tmp_path / "ln"), **SMALL)
    assert r.path == str(tmp_path / "ln" / "k.fseries")


def test_first_failing_file_ends_the_batch(tree, qb):
    root, _ = tree
    bad = root / "b" / "deeper" / "z.fseries"
    bad.write_text("% no rows here\n")
    # Not reached by the flat walk.
    assert len(qb.batch_helicity_from_dir(str(root), **SMALL)) == 4
    with pytest.raises(RuntimeError) as exc:
        qb.batch_helicity_from_dir(str(root), recurse=True, **SMALL)
    assert str(exc.value) == "no blocks parsed from: " + str(bad)
    with pytest.raises(ValueError, match="^vector::reserve$"):
        qb.batch_helicity_from_dir(str(root), 4, 0.5, 1, -1)
    with pytest.raises(ValueError):
        qb.batch_helicity_from_dir(str(root), 4, 0.5, -1, 16)
