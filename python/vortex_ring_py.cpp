#include "bindings.h"

void bind_vortex_ring(py::module_ &m) {
    (void)m;
}
