// Python faces of the radiation force and the Van der Pol right-hand sides:
// positional arguments only, no docstrings.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "radiation_flow.h"

void bind_radiation_flow(py::module_ &m) {
    using qel::RadiationFlow;

    m.def("radiation_force", &RadiationFlow::radiation_force);
    m.def("van_der_pol_dx", &RadiationFlow::dxdt);
    m.def("van_der_pol_dy", &RadiationFlow::dydt);
}
