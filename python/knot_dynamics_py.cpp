#include "bindings.h"

#include <pybind11/stl.h>

#include "knot_dynamics.h"

void bind_knot(py::module_ &m) {
    // 37: get_embedded_ideal_files
    m.def("get_embedded_ideal_files", &qel::get_embedded_ideal_files,
          "Return embedded ideal*.txt resources as {relative_name: content}.");
    // 38: load_embedded_ideal_text
    m.def("load_embedded_ideal_text", &qel::load_embedded_ideal_text, py::arg("name") = "ideal.txt",
          "Load embedded ideal text resource from library (basename fallback supported).");
    // 43: get_embedded_knot_files
    m.def("get_embedded_knot_files", &qel::get_embedded_knot_files,
          "Return embedded .fseries resources as {knot_id: file_content}.");
}
