#include "bindings.h"

void bind_field_ops(py::module_ &m) {
    (void)m;
}
