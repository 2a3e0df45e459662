"""Search for knot and ideal files on disk, by its order of candidates.

The searches have no Python face of their own, so a small native driver is
built from the core sources (with empty stand-ins for the embedded tables)
and run in a temporary directory with the environment set up for each case."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

DRIVER = r"""
#include <iostream>
#include <stdexcept>
#include <string>
#include "knot_dynamics.h"
#include "knot_embedded_data.h"

namespace qel { namespace detail {
static const EmbeddedFileEntry none[] = {{"", 0, 0}};
const EmbeddedFileTable embedded_knot_files = {"", none, 0};
const EmbeddedFileTable embedded_ideal_files = {"", none, 0};
} }

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    const std::string what = argv[1];
    if (what == "knot") std::cout << qel::find_knot_file_path(argv[2], argv[3]);
    else if (what == "ideal") std::cout << qel::find_ideal_file_path(argv[2], argv[3]);
    else if (what == "system") {
        try {
            std::cout << qel::VortexKnotSystem::find_knot_file(argv[2]);
        } catch (const std::runtime_error &e) {
            std::cout << "error: " << e.what();
        }
    }
    else return 2;
    return 0;
}
"""


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    cxx = shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    d = tmp_path_factory.mktemp("lookup")
    src = d / "driver.cpp"
    src.write_text(DRIVER)
    exe = d / "driver"
    core = sorted(str(p) for p in (ROOT / "core").rglob("*.cpp"))
    subprocess.run([cxx, "-std=c++17", "-O0", "-I", str(ROOT / "core"), str(src), *core,
                    "-o", str(exe)], check=True)
    return exe


def run(driver, cwd, env, what, name, base=""):
    e = {k: v for k, v in os.environ.items() if k not in ("QEL_KNOT_DATA_DIR", "QEL_RESOURCE_DIR")}
    e.update(env)
    return subprocess.run([str(driver), what, name, base], cwd=cwd, env=e, check=True,
                          capture_output=True, text=True).stdout


def touch(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("% knot\n")


F = "knot.5_2.fseries"


def test_knot_file_order(driver, tmp_path):
    work = tmp_path / "a" / "b" / "work"
    work.mkdir(parents=True)
    base, data, res = tmp_path / "base", tmp_path / "data", tmp_path / "res"
    rel = ["src/knot_fseries", "src/Knots_FourierSeries", "../src/knot_fseries",
           "../src/Knots_FourierSeries", "../../src/knot_fseries",
           "../../src/Knots_FourierSeries", "knot_fseries", "../knot_fseries",
           "share/qel_core/knot_fseries", "../../share/qel_core/knot_fseries"]
    for f in [base / F, base / "knot_fseries" / F, data / F,
              res / "resources" / "knot_fseries" / F, res / "knot_fseries" / F]:
        touch(f)
    for r in rel:
        touch(work / r / F)
    env_all = {"QEL_KNOT_DATA_DIR": str(data), "QEL_RESOURCE_DIR": str(res)}
    # each winner is removed in turn, and the next candidate wins
    assert run(driver, work, env_all, "knot", "5_2", str(base)) == str(base) + "/" + F
    (base / F).unlink()
    assert run(driver, work, env_all, "knot", "5_2", str(base)) == str(base) + "/knot_fseries/" + F
    (base / "knot_fseries" / F).unlink()
    assert run(driver, work, env_all, "knot", "5_2", str(base)) == str(data) + "/" + F
    (data / F).unlink()
    assert run(driver, work, env_all, "knot", "5_2", "") == str(res) + "/resources/knot_fseries/" + F
    (res / "resources" / "knot_fseries" / F).unlink()
    assert run(driver, work, env_all, "knot", "5_2", "") == str(res) + "/knot_fseries/" + F
    (res / "knot_fseries" / F).unlink()
    for r in rel:
        assert run(driver, work, env_all, "knot", "5_2", "") == r + "/" + F
        (work / r / F).unlink()
    assert run(driver, work, env_all, "knot", "5_2", "") == ""


def test_knot_data_dir_beats_working_directory(driver, tmp_path):
    d = tmp_path / "d"
    touch(d / F)
    touch(tmp_path / "knot_fseries" / F)
    assert run(driver, tmp_path, {"QEL_KNOT_DATA_DIR": str(d)}, "knot", "5_2") == str(d) + "/" + F
    assert run(driver, tmp_path, {}, "knot", "5_2") == "knot_fseries/" + F
    # the variables are read at every search, never kept
    assert run(driver, tmp_path, {"QEL_KNOT_DATA_DIR": str(d)}, "knot", "5_2") == str(d) + "/" + F


def test_empty_variable_still_counts(driver, tmp_path):
    # an empty QEL_KNOT_DATA_DIR gives the candidate "/" + file name, which
    # does not exist here, so the search goes on to the working directory
    touch(tmp_path / "knot_fseries" / "knot.zz9_9.fseries")
    assert run(driver, tmp_path, {"QEL_KNOT_DATA_DIR": ""}, "knot", "zz9_9") == \
        "knot_fseries/knot.zz9_9.fseries"
    assert run(driver, tmp_path, {"QEL_KNOT_DATA_DIR": ""}, "knot", "no_such") == ""


def test_ideal_file_order(driver, tmp_path):
    work = tmp_path / "w" / "work"
    work.mkdir(parents=True)
    base, res, data = tmp_path / "base", tmp_path / "res", tmp_path / "x" / "data"
    data.mkdir(parents=True)
    n = "ideal.txt"
    files = [base / n, base / "resources" / n, res / n, res / "resources" / n,
             tmp_path / "x" / n, work / "resources" / n, work.parent / "resources" / n,
             work / "share/qel_core/resources" / n]
    want = [str(base) + "/" + n, str(base) + "/resources/" + n, str(res) + "/" + n,
            str(res) + "/resources/" + n, str(data) + "/../" + n, "resources/" + n,
            "../resources/" + n, "share/qel_core/resources/" + n]
    for f in files:
        touch(f)
    env = {"QEL_KNOT_DATA_DIR": str(data), "QEL_RESOURCE_DIR": str(res)}
    for f, w in zip(files, want):
        assert run(driver, work, env, "ideal", n, str(base)) == w
        f.unlink()
    assert run(driver, work, env, "ideal", n, str(base)) == ""


def test_directory_of_the_file_name_is_passed_over(driver, tmp_path):
    # a directory named like the file is not a file: the search goes on
    base = tmp_path / "base"
    (base / F).mkdir(parents=True)
    touch(base / "knot_fseries" / F)
    assert run(driver, tmp_path, {}, "knot", "5_2", str(base)) == str(base) + "/knot_fseries/" + F
    (base / "ideal.txt").mkdir()
    touch(base / "resources" / "ideal.txt")
    assert run(driver, tmp_path, {}, "ideal", "ideal.txt", str(base)) == str(base) + "/resources/ideal.txt"


def test_vortex_system_lookup_order(driver, tmp_path):
    """The vortex systems' lookup is the knot-file search without a base
    directory, and an error when nothing is found."""
    work = tmp_path / "work"
    data, res = tmp_path / "data", tmp_path / "res"
    files = [data / F, res / "resources" / "knot_fseries" / F, res / "knot_fseries" / F,
             work / "src" / "knot_fseries" / F, work / "knot_fseries" / F]
    want = [str(data) + "/" + F, str(res) + "/resources/knot_fseries/" + F, str(res) + "/knot_fseries/" + F,
            "src/knot_fseries/" + F, "knot_fseries/" + F]
    for f in files:
        touch(f)
    env = {"QEL_KNOT_DATA_DIR": str(data), "QEL_RESOURCE_DIR": str(res)}
    for f, w in zip(files, want):
        assert run(driver, work, env, "system", "5_2") == w
        f.unlink()
    assert run(driver, work, env, "system", "5_2") == "error: Could not find .fseries file for knot: 5_2"
