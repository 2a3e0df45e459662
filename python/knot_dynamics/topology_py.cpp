// Python faces of curve topology, crossing numbers and diagram codes, and the
// grid helicity of a block (entries 21 to 36 of the knot registration).
#include "knot_py.h"

#include <tuple>

namespace knot_py {

void bind_topology(py::module_ &m) {
    // 21 FourierResult
    py::class_<KnotDynamics::FourierResult>(m, "FourierResult")
        .def_readonly("positions", &KnotDynamics::FourierResult::positions)
        .def_readonly("tangents", &KnotDynamics::FourierResult::tangents);

    // 22 compute_writhe
    m.def("compute_writhe", &KnotDynamics::compute_writhe,
          "\n        Compute the writhe of a closed filament (topological self-linking).\n    ");

    // 23 compute_linking_number
    m.def("compute_linking_number", &KnotDynamics::compute_linking_number,
          "\n        Compute the Gauss linking number between two closed loops.\n    ");

    // 24 compute_twist
    m.def("compute_twist", &KnotDynamics::compute_twist,
          "\n        Compute twist from Frenet frames along a filament.\n    ");

    // 25 compute_centerline_helicity
    m.def("compute_centerline_helicity", &KnotDynamics::compute_centerline_helicity,
          "\n        Compute the centerline helicity as the sum of writhe and twist.\n    ");

    // 26 detect_reconnection_candidates
    m.def("detect_reconnection_candidates", &KnotDynamics::detect_reconnection_candidates,
          "\n        Detect pairs of points on the filament that approach closely enough to be candidates for "
          "reconnection.\n    ");

    // 27 evaluate_fourier_series
    m.def("evaluate_fourier_series", &KnotDynamics::evaluate_fourier_series,
          "Evaluate a Fourier series for positions and tangents");

    // 28 writhe_gauss_curve
    m.def("writhe_gauss_curve", &KnotDynamics::writhe_gauss_curve, "Compute writhe via Gauss integral");

    // 29 estimate_crossing_number

    // 30 pd_from_curve

    // 31 compute_biot_savart_velocity_grid

    // 32 compute_vorticity_grid

    // 33 extract_interior_field

    // 34 compute_helicity_invariants

    // 35 compute_helicity_from_fourier_block

    // 36 compute_curvature
    m.def(
        "compute_curvature",
        [](const CArray &points, double eps) { return values_as_array(FourierKnot::curvature(to_vec3(points), eps)); },
        py::arg("points"), py::arg("eps") = 1e-8, "Compute discrete curvature from points.");
}

}  // namespace knot_py
