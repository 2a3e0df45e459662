"""The hyperbolic volume face hands the planar-diagram code to the outside
solver module; stand-in modules take its place in sys.modules."""
import sys
import types

import numpy as np
import pytest

import _bindings as qb

NAME = "qel_hypvol_no_deps"
CODE = [[1, 5, 2, 4], [3, 1, 4, 6], [5, 3, 6, 2]]


def stand_in(monkeypatch, fn):
    mod = types.ModuleType(NAME)
    mod.hyperbolic_volume_from_pd = fn
    monkeypatch.setitem(sys.modules, NAME, mod)
    return mod


@pytest.fixture
def calls(monkeypatch):
    seen = []

    def solver(*args, **kwargs):
        seen.append((args, kwargs))
        return len(args[0]) + 0.5

    stand_in(monkeypatch, solver)
    return seen


def test_code_goes_out_as_one_list_of_int_lists_with_verbose_false(calls):
    assert qb.hyperbolic_volume_from_pd(CODE) == 3.5
    assert qb.hyperbolic_volume_from_pd(pd=[tuple(c) for c in CODE]) == 3.5
    for args, kwargs in calls:
        assert kwargs == {"verbose": False} and type(kwargs["verbose"]) is bool
        assert len(args) == 1 and type(args[0]) is list
        assert args[0] == CODE
        assert all(type(e) is list and all(type(v) is int for v in e) for e in args[0])
    assert qb.hyperbolic_volume_from_pd([]) == 0.5
    assert calls[-1][0] == ([],)


def test_code_of_a_curve_is_passed_unchanged(calls):
    t = np.arange(200) * 6.283185307179586 / 200
    P = np.stack([np.sin(t) + 2 * np.sin(2 * t), np.cos(t) - 2 * np.cos(2 * t), -np.sin(3 * t)], 1)
    code = qb.pd_from_curve(P)
    assert qb.hyperbolic_volume_from_pd(code) == len(code) + 0.5
    assert calls[-1][0] == (code,)


def test_other_iterables_as_outer_sequence(calls):
    assert qb.hyperbolic_volume_from_pd(c for c in CODE) == 3.5
    assert calls[-1][0] == (CODE,)


@pytest.mark.parametrize("value,expected", [(2, 2.0), (True, 1.0), (np.float32(1.5), 1.5), (-0.25, -0.25)])
def test_numbers_come_back_as_float(monkeypatch, value, expected):
    stand_in(monkeypatch, lambda pd, verbose: value)
    got = qb.hyperbolic_volume_from_pd(CODE)
    assert type(got) is float and got == expected


@pytest.mark.parametrize("value", ["2.0", None, [1.0], object()])
def test_results_that_are_not_numbers(monkeypatch, value):
    stand_in(monkeypatch, lambda pd, verbose: value)
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type "):
        qb.hyperbolic_volume_from_pd(CODE)


def test_errors_pass_through_as_the_same_object(monkeypatch):
    err = KeyError("no volume")

    def solver(pd, verbose):
        raise err

    stand_in(monkeypatch, solver)
    with pytest.raises(KeyError) as info:
        qb.hyperbolic_volume_from_pd(CODE)
    assert info.value is err

    monkeypatch.setitem(sys.modules, NAME, types.ModuleType(NAME))
    with pytest.raises(AttributeError):
        qb.hyperbolic_volume_from_pd(CODE)

    monkeypatch.setitem(sys.modules, NAME, None)
    with pytest.raises(ModuleNotFoundError):
        qb.hyperbolic_volume_from_pd(CODE)


def test_module_is_imported_on_every_call(monkeypatch):
    stand_in(monkeypatch, lambda pd, verbose: 1.0)
    assert qb.hyperbolic_volume_from_pd(CODE) == 1.0
    stand_in(monkeypatch, lambda pd, verbose: 2.0)
    assert qb.hyperbolic_volume_from_pd(CODE) == 2.0
    monkeypatch.delitem(sys.modules, NAME)
    finder_calls = []

    class Finder:
        @staticmethod
        def find_spec(name, path=None, target=None):
            if name == NAME:
                finder_calls.append(name)
            return None

    monkeypatch.setattr(sys, "meta_path", [Finder()] + sys.meta_path)
    with pytest.raises(ModuleNotFoundError):
        qb.hyperbolic_volume_from_pd(CODE)
    with pytest.raises(ModuleNotFoundError):
        qb.hyperbolic_volume_from_pd(CODE)
    assert finder_calls == [NAME, NAME]


@pytest.mark.parametrize("bad", [[[1, 2, 3]], [[1, 2, 3, 4, 5]], "1234", [[1, 2, 3, 4.0]], None])
def test_malformed_codes_are_refused_before_the_import(monkeypatch, bad):
    monkeypatch.setitem(sys.modules, NAME, None)  # an import would fail otherwise
    with pytest.raises(TypeError):
        qb.hyperbolic_volume_from_pd(bad)


def test_keyword_name_and_docstring():
    doc = qb.hyperbolic_volume_from_pd.__doc__
    assert doc.startswith("hyperbolic_volume_from_pd(pd: ")
    assert doc.split("\n", 2)[2] == "Hyperbolic volume from PD (delegates to Python if no native solver).\n"
    with pytest.raises(TypeError):
        qb.hyperbolic_volume_from_pd(code=CODE)
