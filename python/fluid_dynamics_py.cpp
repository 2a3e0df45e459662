#include "bindings.h"

void bind_fluid_dynamics(py::module_ &m) {
    (void)m;
}
