#include "bindings.h"

void bind_radiation_flow(py::module_ &m) {
    (void)m;
}
