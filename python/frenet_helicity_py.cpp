#include "bindings.h"

void bind_frenet_helicity(py::module_ &m) {
    (void)m;
}
