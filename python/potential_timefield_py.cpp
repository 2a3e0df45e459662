#include "bindings.h"

void bind_timefield(py::module_ &m) {
    (void)m;
}
