// Python face of the hyperbolic volume: the planar-diagram code goes to the
// outside solver module, imported anew on every call.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <vector>

#include "bindings.h"

void bind_hyperbolic_volume(py::module_ &m) {
    m.def(
        "hyperbolic_volume_from_pd",
        [](const std::vector<std::array<int, 4>> &pd) {
            py::gil_scoped_acquire gil;
            // Every Python error of the import, the lookup and the call
            // reaches the caller as it was raised.
            py::module_ solver = py::module_::import("qel_hypvol_no_deps");
            py::object fn = solver.attr("hyperbolic_volume_from_pd");
            py::list code;
            for (const auto &crossing : pd) {
                py::list entry;
                for (int label : crossing) entry.append(label);  // [under_in, over_in, under_out, over_out]
                code.append(entry);
            }
            return fn(code, py::arg("verbose") = false).cast<double>();
        },
        py::arg("pd"), "Hyperbolic volume from PD (delegates to Python if no native solver).");
}
