// Python face of the 2-D swirl force field.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "swirl_field.h"

void bind_swirl_field(py::module_ &m) {
    m.def("compute_swirl_field", &qel::compute_swirl_field, py::arg("res"), py::arg("time"),
          "\n\t\t\t\tCompute 2D swirl force field at a given resolution and time.\n\t\t\t");
}
