// Python faces of the knot model. The registration runs in three parts, in
// this order, each in its own source under knot_dynamics/.
#include "bindings.h"
#include "knot_dynamics/knot_py.h"

void bind_knot(py::module_ &m) {
    knot_py::bind_model(m);
    knot_py::bind_topology(m);
    knot_py::bind_data(m);
}
