#include "bindings.h"

void bind_extensions(py::module_ &m) {
    (void)m;
}
