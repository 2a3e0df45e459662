#include "bindings.h"

void bind_qel_gravity(py::module_ &m) {
    (void)m;
}
