"""Start-up of the module, its version gate and the name directory."""
import glob
import importlib
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _bindings

DOC = "QEL Core Bindings (backwards compatibility alias)"

LIST_DOC = (
    "\n        Return a dictionary of exported names in this module.\n\n"
    "        Args:\n"
    "          pattern (str|None): optional case-insensitive substring filter.\n"
    "          include_private (bool): include names beginning with '_' if True.\n\n"
    "        Returns:\n"
    "          dict with keys: 'functions', 'classes', 'attributes', and 'counts'.\n"
    "        Also sets module __all__ = functions + classes (public names).\n"
    "        "
)


def other_interpreters():
    """Python interpreters of other minor versions installed next to this one."""
    found = []
    try:
        pyenv_root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return found
    # 3.13 and later no longer export symbols the extension links against, so
    # the loader refuses it before the gate runs; these reach the gate.
    for minor in ("3.9", "3.11", "3.12"):
        for exe in sorted(glob.glob(os.path.join(pyenv_root, "versions", minor + ".*", "bin", "python" + minor))):
            found.append((minor, exe))
            break
    return found


def test_module_doc():
    assert _bindings.__doc__ == DOC


def test_reimport_returns_same_module_without_registering_again():
    first = sys.modules.pop("_bindings")
    try:
        again = importlib.import_module("_bindings")
        assert again is first
        assert again.__doc__ == DOC
    finally:
        sys.modules["_bindings"] = first


@pytest.mark.parametrize("minor,exe", other_interpreters() or [pytest.param(None, None, marks=pytest.mark.skip("no other Python"))])
def test_version_gate_refuses_other_interpreters(minor, exe):
    script = textwrap.dedent(
        """
        import importlib.machinery, importlib.util, sys
        path = sys.argv[1]
        loader = importlib.machinery.ExtensionFileLoader("_bindings", path)
        spec = importlib.util.spec_from_file_location("_bindings", path, loader=loader)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as e:
            print("IMPORTERROR:" + str(e))
        else:
            print("LOADED")
        """
    )
    proc = subprocess.run([exe, "-c", script, _bindings.__file__], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.strip()
    version = subprocess.run([exe, "-c", "import sys; print(sys.version)"], capture_output=True, text=True).stdout
    expected = (
        "IMPORTERROR:Python version mismatch: module was compiled for Python 3.10, "
        "but the interpreter version is incompatible: " + version.rstrip("\n") + "."
    )
    assert out == expected


def test_accepted_interpreter_version():
    assert sys.version.startswith("3.10") and not sys.version[4:5].isdigit()


class TestListBindings:
    def test_default_sorts_names_and_sets_all(self):
        res = _bindings.list_bindings()
        assert list(res) == ["functions", "classes", "attributes", "counts"]
        assert list(res["counts"]) == ["functions", "classes", "attributes"]
        for key in ("functions", "classes", "attributes"):
            assert res["counts"][key] == len(res[key])
        assert "BiotSavart" in res["classes"]
        assert "biot_savart_velocity" in res["functions"]
        assert "list_bindings" not in res["functions"]
        assert _bindings.__all__ == res["functions"] + res["classes"]
        for name in res["functions"]:
            obj = getattr(_bindings, name)
            assert callable(obj) and not isinstance(obj, type)
        for name in res["classes"]:
            assert isinstance(getattr(_bindings, name), type)
        assert all(not n.startswith("_") for key in ("functions", "classes", "attributes") for n in res[key])

    def test_names_follow_registration_order(self):
        res = _bindings.list_bindings()
        public = [n for n in _bindings.__dict__ if not n.startswith("_") and n != "list_bindings"]
        listed = set(res["functions"]) | set(res["classes"]) | set(res["attributes"])
        order = [n for n in public if n in listed]
        for key in ("functions", "classes", "attributes"):
            assert res[key] == [n for n in order if n in res[key]]
        fns = res["functions"]
        assert fns.index("biot_savart_velocity") < fns.index("biot_savart_velocity_grid")

    @pytest.mark.parametrize("pattern", ["BIOT", "biot", "BiOt"])
    def test_pattern_is_case_insensitive(self, pattern):
        res = _bindings.list_bindings(pattern)
        assert "BiotSavart" in res["classes"]
        for key in ("functions", "classes", "attributes"):
            assert all("biot" in n.lower() for n in res[key])
        assert res == _bindings.list_bindings("biot")
        assert _bindings.__all__ == res["functions"] + res["classes"]

    def test_empty_pattern_keeps_everything(self):
        assert _bindings.list_bindings("") == _bindings.list_bindings()
        assert _bindings.list_bindings(None) == _bindings.list_bindings()

    def test_non_string_pattern_uses_str(self):
        class P:
            def __str__(self):
                return "VELOCITY_GRID"

        res = _bindings.list_bindings(P())
        assert res["functions"] == ["biot_savart_velocity_grid", "compute_biot_savart_velocity_grid"]
        res5 = _bindings.list_bindings(5)
        assert all("5" in n for k in ("functions", "classes", "attributes") for n in res5[k])

    def test_pattern_str_error_propagates(self):
        class Bad:
            def __str__(self):
                raise ZeroDivisionError("boom")

        with pytest.raises(ZeroDivisionError):
            _bindings.list_bindings(Bad())

    def test_no_match_gives_empty_lists_and_empty_all(self):
        res = _bindings.list_bindings("no-such-name-anywhere")
        assert res == {
            "functions": [],
            "classes": [],
            "attributes": [],
            "counts": {"functions": 0, "classes": 0, "attributes": 0},
        }
        assert _bindings.__all__ == []

    def test_include_private(self):
        _bindings.list_bindings()
        res = _bindings.list_bindings(include_private=True)
        for name in ("__doc__", "__name__", "__all__"):
            assert name in res["attributes"]
        assert "list_bindings" not in res["functions"]
        assert _bindings.__all__ == res["functions"] + res["classes"]

    @pytest.mark.parametrize("flag,private", [(1, True), (0, False), (None, False), (np.bool_(True), True), (2.5, True)])
    def test_include_private_accepts_bool_like(self, flag, private):
        res = _bindings.list_bindings(include_private=flag)
        assert ("__doc__" in res["attributes"]) is private

    @pytest.mark.parametrize("flag", ["yes", [1], {}])
    def test_include_private_refuses_other_types(self, flag):
        with pytest.raises(TypeError):
            _bindings.list_bindings(include_private=flag)

    def test_doc(self):
        doc = _bindings.list_bindings.__doc__
        assert len(LIST_DOC) == 403
        signature, _, text = doc.partition("\n\n")
        assert signature.startswith("list_bindings(pattern")
        assert "include_private" in signature
        assert text.rstrip("\n") == LIST_DOC.rstrip("\n")
        assert text.startswith(LIST_DOC)
