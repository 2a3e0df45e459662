// Python face of the core-and-fluid mass of a closed polyline.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <utility>

#include "bindings.h"
#include "interrupt_py.h"
#include "qel_integrator.h"

namespace {

constexpr const char *kComputeQelMassDoc = R"(
Compute QEL mass (core + fluid) for a closed polyline.

Uses Rosenhead–Moore regularized Neumann mutual inductance integral.
points: list of [x,y,z] (closed curve by convention).
chi_spin: spin factor (e.g. 2 for fermion).
Returns: (m_core_kg, m_fluid_kg).
)";

}  // namespace

void bind_qel_integrator(py::module_ &m) {
    m.def(
        "compute_qel_mass",
        [](const qel::PointList &points, double chi_spin) {
            double m_core = 0.0;
            double m_fluid = 0.0;
            qel::compute_qel_mass(points, chi_spin, m_core, m_fluid, qel_py::signal_interrupt());
            return std::make_pair(m_core, m_fluid);
        },
        py::arg("points"), py::arg("chi_spin"), kComputeQelMassDoc);
}
