// Python face of the filament time evolution.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <utility>

#include "bindings.h"
#include "interrupt_py.h"
#include "time_evolution.h"

void bind_time_evolution(py::module_ &m) {
    using qel::PointList;
    using qel::TimeEvolution;

    py::class_<TimeEvolution>(m, "TimeEvolution")
        .def(py::init([](PointList initial_positions, PointList initial_tangents, double gamma) {
                 // The first step reads a tangent at every position.
                 if (initial_tangents.size() < initial_positions.size()) {
                     throw std::invalid_argument("TimeEvolution: initial_tangents has fewer entries than initial_positions");
                 }
                 return TimeEvolution(std::move(initial_positions), std::move(initial_tangents), gamma);
             }),
             py::arg("initial_positions"), py::arg("initial_tangents"), py::arg("gamma") = 1.0)
        .def("evolve", qel_py::with_interrupt<&TimeEvolution::evolve>(), py::arg("dt"), py::arg("steps"))
        .def("get_positions", &TimeEvolution::get_positions)
        .def("get_tangents", &TimeEvolution::get_tangents);
}
