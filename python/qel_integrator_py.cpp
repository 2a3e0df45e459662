#include "bindings.h"

void bind_qel_integrator(py::module_ &m) {
    (void)m;
}
