#include "bindings.h"

void bind_ab_initio(py::module_ &m) {
    (void)m;
}
