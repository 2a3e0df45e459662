#include "bindings.h"

void bind_swirl_field(py::module_ &m) {
    (void)m;
}
