// Python faces of the gravitational-potential and time-dilation fields.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "bindings.h"
#include "interrupt_py.h"
#include "potential_timefield.h"

namespace {

using qel::PointList;

// The potentials read the vorticity list at the indices of the positions.
void require_vorticity(const PointList &positions, const PointList &vorticity, const char *fname) {
    if (vorticity.size() < positions.size()) {
        throw std::invalid_argument(std::string(fname) + ": vorticity has fewer entries than positions");
    }
}

}  // namespace

void bind_timefield(py::module_ &m) {
    m.def(
        "compute_gravitational_potential_gradient",
        [](const PointList &positions, const PointList &vorticity, double epsilon) {
            require_vorticity(positions, vorticity, "compute_gravitational_potential_gradient");
            return qel::TimeField::compute_gravitational_potential_gradient(positions, vorticity, epsilon,
                                                                            qel_py::signal_interrupt());
        },
        py::arg("positions"), py::arg("vorticity"), py::arg("epsilon") = 7e-07,
        "\n            Compute Ætheric gravitational potential field from vorticity gradients.\n        ");

    m.def("compute_time_dilation_map_sqrt", &qel::TimeField::compute_time_dilation_map_sqrt, py::arg("tangents"),
          py::arg("C_e") = 1093845.63,
          "\n            Compute time dilation factors from knot tangential velocities (sqrt method).\n        ");

    m.def(
        "compute_gravitational_potential_direct",
        [](const PointList &positions, const PointList &vorticity, double epsilon) {
            require_vorticity(positions, vorticity, "compute_gravitational_potential_direct");
            return qel::TimeField::compute_gravitational_potential_direct(positions, vorticity, epsilon,
                                                                          qel_py::signal_interrupt());
        },
        py::arg("positions"), py::arg("vorticity"), py::arg("epsilon") = 0.1,
        "\n            Compute Æther gravitational potential field from vorticity.\n        ");

    m.def("compute_time_dilation_map_linear", &qel::TimeField::compute_time_dilation_map_linear, py::arg("tangents"),
          py::arg("C_e"), "\n            Compute local time dilation factor map from tangential velocities.\n        ");

    m.def(
        "compute_gravitational_potential",
        [](const PointList &positions, const PointList &vorticity, double epsilon) {
            require_vorticity(positions, vorticity, "compute_gravitational_potential");
            return qel::compute_gravitational_potential(positions, vorticity, epsilon, qel_py::signal_interrupt());
        },
        py::arg("positions"), py::arg("vorticity"), py::arg("epsilon") = 7e-07,
        "\n            Compute Ætheric gravitational potential field (backward compatibility).\n        ");

    m.def("compute_time_dilation_map", &qel::compute_time_dilation_map, py::arg("tangents"),
          py::arg("C_e") = 1093845.63, "\n            Compute time dilation factors (backward compatibility).\n        ");
}
