#include "bindings.h"

void bind_hyperbolic_volume(py::module_ &m) {
    (void)m;
}
