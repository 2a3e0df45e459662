#include "bindings.h"

void bind_time_evolution(py::module_ &m) {
    (void)m;
}
