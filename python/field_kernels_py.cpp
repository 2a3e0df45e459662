#include "bindings.h"

void bind_field_kernels(py::module_ &m) {
    (void)m;
}
