"""The shared module-level names compute_vorticity and compute_helicity: dispatch by
argument count and the layout of their documentation."""
import pytest

import _bindings as qb

TENSOR_DOC = "\n        Compute vorticity vector ω = ∇ × v from the velocity gradient tensor.\n    "
GRID_DOC = "Vorticity tools for 2D flows"
HELICITY_DOC = "\n        Compute helicity ∑ (v · ω) dV over a discretized field.\n    "

TENSOR = [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 0.0]]
U9 = [0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 5.0, 0.0]
V9 = [0.0, 0.0, 0.0, 2.0, 0.0, 8.0, 0.0, 0.0, 0.0]
GRID_RESULT = [0.0] * 4 + [1.0] + [0.0] * 4


@pytest.mark.parametrize(
    "args,kwargs,expected",
    [
        ((TENSOR,), {}, [0.0, 0.0, 1.0]),
        ((), {"grad": TENSOR}, [0.0, 0.0, 1.0]),
        ((U9, V9, 3, 3, 1.0, 1.0), {}, GRID_RESULT),
        ((), {"u": U9, "v": V9, "nx": 3, "ny": 3, "dx": 1.0, "dy": 1.0}, GRID_RESULT),
        ((U9, V9, 3, 3, 1, 1), {}, GRID_RESULT),  # integer spacings convert in the second pass
        ((U9, V9), {"nx": 3, "ny": 3, "dx": 1.0, "dy": 1.0}, GRID_RESULT),
    ],
)
def test_compute_vorticity_dispatches_by_arguments(args, kwargs, expected):
    assert qb.compute_vorticity(*args, **kwargs) == expected


@pytest.mark.parametrize(
    "args,kwargs",
    [((1, 2), {}), ((U9, V9, 3, 3, 1.0), {}), ((), {"grad": TENSOR, "u": U9}), ((U9, V9, 3.5, 3, 1.0, 1.0), {})],
)
def test_compute_vorticity_without_a_fitting_form(args, kwargs):
    with pytest.raises(TypeError) as info:
        qb.compute_vorticity(*args, **kwargs)
    msg = str(info.value)
    assert msg.startswith("compute_vorticity(): incompatible function arguments. "
                          "The following argument types are supported:\n")
    assert "\n    1. (grad: " in msg and "\n    2. (u: " in msg and "Invoked with: " in msg


def test_compute_vorticity_documentation_lists_both_forms_in_order():
    doc = qb.compute_vorticity.__doc__
    head = "compute_vorticity(*args, **kwargs)\nOverloaded function.\n\n"
    assert doc.startswith(head + "1. compute_vorticity(grad: ")
    first, sep, second = doc[len(head):].partition("\n2. compute_vorticity(u: ")
    assert sep
    # Each form's own text under its own signature line.
    assert first.split("\n", 1)[1] == "\n" + TENSOR_DOC + "\n"
    assert second.split("\n", 1)[1] == "\n" + GRID_DOC + "\n"
    # The grid form's earlier text is replaced by the later one.
    assert "Compute 2D vorticity field" not in doc


def test_compute_helicity_three_arguments_reach_the_fluid_form():
    vel = [[1.0, 2.0, 3.0], [0.5, -1.0, 0.0]]
    vort = [[0.25, 0.5, -1.0], [2.0, 2.0, 2.0]]
    ref = 0.0
    for a, b in zip(vel, vort):
        ref += (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]
    assert qb.compute_helicity(vel, vort, 0.5) == 0.5 * ref
    assert qb.compute_helicity(velocity=vel, vorticity=vort, dV=0.5) == 0.5 * ref


FRENET_HELICITY_DOC = "\n        Compute helicity H = ∫ v · ω dV.\n    "


def test_compute_helicity_documentation_layout():
    doc = qb.compute_helicity.__doc__
    head = "compute_helicity(*args, **kwargs)\nOverloaded function.\n\n"
    assert doc.startswith(head + "1. compute_helicity(velocity: ")
    first, sep, second = doc[len(head):].partition("\n2. compute_helicity(arg0: ")
    assert sep
    assert first.split("\n", 1)[1] == "\n" + HELICITY_DOC + "\n"
    assert second.split("\n", 1)[1] == "\n" + FRENET_HELICITY_DOC + "\n"


def test_compute_helicity_dispatch_by_argument_count():
    a = [[1.0, 0.0, 0.0], [0.0, 2.0, 0.0]]
    # Two point lists: the single-precision mean of the Frenet form.
    assert qb.compute_helicity(a, a) == 2.5
    # Three arguments: the fluid sum times dV.
    assert qb.compute_helicity(a, a, 2.0) == 10.0
    with pytest.raises(TypeError, match=r"^compute_helicity\(\): incompatible function arguments"):
        qb.compute_helicity(a)
