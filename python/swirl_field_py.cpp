// Python face of the 2-D swirl force field.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <array>
#include <cstddef>
#include <vector>

#include "bindings.h"
#include "interrupt_py.h"
#include "swirl_field.h"

namespace {

using Field = std::vector<std::array<float, 2>>;

// The field as a list of [Fx, Fy] lists (what the binding library makes of
// it, with the same annotation), with a check for pending signals between
// blocks of entries: a field of millions of samples takes seconds to
// convert. The list is kept out of the cyclic collector's sight until every
// entry is set, so that a handler that walks gc.get_objects() cannot meet
// its empty slots; each entry is complete before it is put in.
py::typing::List<std::array<float, 2>> field_as_list(const Field &field) {
    constexpr std::size_t kEntriesPerCheck = std::size_t(1) << 14;
    PyObject *list = PyList_New(static_cast<py::ssize_t>(field.size()));
    if (list == nullptr) throw py::error_already_set();
    using Result = py::typing::List<std::array<float, 2>>;
    Result out = py::reinterpret_steal<Result>(list);
    PyObject_GC_UnTrack(list);
    for (std::size_t c = 0; c < field.size(); ++c) {
        if (c % kEntriesPerCheck == kEntriesPerCheck - 1) qel_py::signal_interrupt()();
        py::object fx = py::reinterpret_steal<py::object>(PyFloat_FromDouble(static_cast<double>(field[c][0])));
        py::object fy = py::reinterpret_steal<py::object>(PyFloat_FromDouble(static_cast<double>(field[c][1])));
        if (!fx || !fy) throw py::error_already_set();
        PyObject *pair = PyList_New(2);
        if (pair == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(pair, 0, fx.release().ptr());
        PyList_SET_ITEM(pair, 1, fy.release().ptr());
        PyList_SET_ITEM(list, static_cast<py::ssize_t>(c), pair);
    }
    PyObject_GC_Track(list);
    return out;
}

}  // namespace

void bind_swirl_field(py::module_ &m) {
    m.def(
        "compute_swirl_field",
        [](int res, float time) {
            return field_as_list(qel::compute_swirl_field(res, time, qel_py::signal_interrupt()));
        },
        py::arg("res"), py::arg("time"), "\n\t\t\t\tCompute 2D swirl force field at a given resolution and time.\n\t\t\t");
}
