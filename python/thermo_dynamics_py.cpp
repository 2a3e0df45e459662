#include "bindings.h"

void bind_thermo_dynamics(py::module_ &m) {
    (void)m;
}
