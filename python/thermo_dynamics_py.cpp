// Python faces of the thermodynamic formulas (named arguments).
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "thermo_dynamics.h"

void bind_thermo_dynamics(py::module_ &m) {
    using qel::ThermoDynamics;

    m.def("potential_temperature", &ThermoDynamics::potential_temperature, py::arg("T"), py::arg("p0"),
          py::arg("p"), py::arg("R"), py::arg("cp"), "Compute potential temperature θ = T (p0/p)^k");
    m.def("entropy_from_theta", &ThermoDynamics::entropy_from_theta, py::arg("cp"), py::arg("theta"),
          py::arg("dtheta"), "Entropy differential ds = cp * dθ / θ");
    m.def("entropy_from_pv", &ThermoDynamics::entropy_from_pv, py::arg("N"), py::arg("R"), py::arg("p"),
          py::arg("V"), py::arg("gamma"), "Entropy from pressure and volume ds = NR/(γ-1) * (ln(p)+ln(V))");
    m.def("enthalpy", &ThermoDynamics::enthalpy, py::arg("internal_energy"), py::arg("p"), py::arg("V"),
          "Enthalpy H = E + pV");
}
