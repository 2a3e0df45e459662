#include "bindings.h"

void bind_vorticity_dynamics(py::module_ &m) {
    (void)m;
}
