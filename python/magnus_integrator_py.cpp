#include "bindings.h"

void bind_magnus_integrator(py::module_ &m) {
    (void)m;
}
