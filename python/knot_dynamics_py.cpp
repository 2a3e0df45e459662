#include "bindings.h"

void bind_knot(py::module_ &m) {
    (void)m;
}
