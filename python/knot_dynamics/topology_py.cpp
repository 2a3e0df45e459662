// Python faces of curve topology, crossing numbers and diagram codes, and the
// grid helicity of a block (entries 21 to 36 of the knot registration).
#include "knot_py.h"

#include "list_convert.h"

#include <pybind11/typing.h>

#include <array>
#include <cstdint>
#include <limits>
#include <tuple>

namespace knot_py {

namespace {

// A point argument: a NumPy array (any numeric type, cast to float64) must
// have shape (N, 3); anything else converts as a list of [x, y, z] triples,
// and a failure of that conversion is the binding library's cast error. An
// array that cannot be cast to float64 is refused as an array parameter
// would be: the cast is CArray's own (ensure), and its failure a TypeError.
PointList point_argument(const py::object &obj) {
    if (py::isinstance<py::array>(obj)) {
        const CArray a = CArray::ensure(obj);
        if (!a) throw py::type_error("pd_from_curve: expected array of numbers with shape (N,3)");
        return to_vec3(a);
    }
    return py::cast<PointList>(obj);
}

// The grid kernels read every node of a d0 x d1 x d2 grid (all positive):
// the rows must cover the node count, which must fit their 32-bit indices.
void require_grid_rows(const PointList &rows, const std::array<int, 3> &shape, const char *fname) {
    constexpr std::int64_t kMaxNodes = std::numeric_limits<std::int32_t>::max();
    std::int64_t count = static_cast<std::int64_t>(shape[0]) * shape[1];  // below 2^62
    if (count <= kMaxNodes) count *= shape[2];
    if (count > kMaxNodes) {
        throw std::invalid_argument(std::string(fname) + ": shape d0*d1*d2 exceeds 2147483647 grid nodes");
    }
    if (static_cast<std::int64_t>(rows.size()) < count) {
        throw std::invalid_argument(std::string(fname) + ": array has fewer rows than shape d0*d1*d2 grid nodes");
    }
}

py::tuple as_tuple(const KnotDynamics::Triple &t) { return py::make_tuple(t[0], t[1], t[2]); }

// A diagram code as a list of [a, b, c, d] lists (what the binding library
// makes of it, with the same annotation), built with checks for signals
// between blocks of entries (a code of millions of crossings takes seconds
// to convert) and hidden from the collector until it is whole (see
// build_list).
py::typing::List<KnotDynamics::PDCrossing> pd_code_as_list(const KnotDynamics::PDCode &code) {
    py::list out = qel_py::build_list(code.size(), [&](std::size_t c) {
        return qel_py::new_small_list<4>(code[c].data(), [](int label) { return PyLong_FromLong(label); });
    });
    return py::reinterpret_steal<py::typing::List<KnotDynamics::PDCrossing>>(out.release());
}

}  // namespace

void bind_topology(py::module_ &m) {
    // 21 FourierResult
    py::class_<KnotDynamics::FourierResult>(m, "FourierResult")
        .def_readonly("positions", &KnotDynamics::FourierResult::positions)
        .def_readonly("tangents", &KnotDynamics::FourierResult::tangents);

    // 22 compute_writhe
    m.def("compute_writhe", with_interrupt<&KnotDynamics::compute_writhe>(),
          "\n        Compute the writhe of a closed filament (topological self-linking).\n    ");

    // 23 compute_linking_number
    m.def("compute_linking_number", with_interrupt<&KnotDynamics::compute_linking_number>(),
          "\n        Compute the Gauss linking number between two closed loops.\n    ");

    // 24 compute_twist
    m.def("compute_twist", &KnotDynamics::compute_twist,
          "\n        Compute twist from Frenet frames along a filament.\n    ");

    // 25 compute_centerline_helicity
    m.def("compute_centerline_helicity", with_interrupt<&KnotDynamics::compute_centerline_helicity>(),
          "\n        Compute the centerline helicity as the sum of writhe and twist.\n    ");

    // 26 detect_reconnection_candidates
    m.def(
        "detect_reconnection_candidates",
        [](const PointList &points, double threshold) {
            return qel_py::PairsResult{
                KnotDynamics::detect_reconnection_candidates(points, threshold, signal_interrupt())};
        },
        "\n        Detect pairs of points on the filament that approach closely enough to be candidates for "
          "reconnection.\n    ");

    // 27 evaluate_fourier_series
    m.def("evaluate_fourier_series", with_interrupt<&KnotDynamics::evaluate_fourier_series>(),
          "Evaluate a Fourier series for positions and tangents");

    // 28 writhe_gauss_curve
    m.def("writhe_gauss_curve", with_interrupt<&KnotDynamics::writhe_gauss_curve>(),
          "Compute writhe via Gauss integral");

    // 29 estimate_crossing_number
    m.def("estimate_crossing_number", with_interrupt<&KnotDynamics::estimate_crossing_number>(), py::arg("r"),
          py::arg("directions") = 24, py::arg("seed") = 12345, "Estimate crossing number from projections");

    // 30 pd_from_curve
    m.def(
        "pd_from_curve",
        [](const py::object &P3, int tries, std::uint32_t seed, double min_angle_deg, double depth_tol) {
            const PointList points = point_argument(P3);
            return pd_code_as_list(
                KnotDynamics::pd_from_curve(points, tries, seed, min_angle_deg, depth_tol, signal_interrupt()));
        },
        py::arg("P3"), py::arg("tries") = 40, py::arg("seed") = 12345, py::arg("min_angle_deg") = 1.0,
        py::arg("depth_tol") = 1e-6, "\nCompute a PD code from a closed 3D polygonal curve.\n");

    // 31 compute_biot_savart_velocity_grid
    m.def(
        "compute_biot_savart_velocity_grid",
        [](const py::object &curve, const py::object &grid_points) {
            const PointList c = point_argument(curve);
            const PointList g = point_argument(grid_points);
            return points_as_array(KnotDynamics::compute_biot_savart_velocity_grid(c, g, signal_interrupt()));
        },
        py::arg("curve"), py::arg("grid_points"),
        "Compute Biot-Savart velocity field from a closed curve at grid points.");

    // 32 compute_vorticity_grid
    m.def(
        "compute_vorticity_grid",
        [](const CArray &velocity, const std::array<int, 3> &shape, double spacing) {
            const PointList u = to_vec3(velocity);
            if (shape[0] > 0 && shape[1] > 0 && shape[2] > 0) require_grid_rows(u, shape, "compute_vorticity_grid");
            return points_as_array(KnotDynamics::compute_vorticity_grid(u, shape, spacing, signal_interrupt()));
        },
        py::arg("velocity"), py::arg("shape"), py::arg("spacing"),
        "Compute vorticity from velocity field on a regular grid.");

    // 33 extract_interior_field
    m.def(
        "extract_interior_field",
        [](const CArray &field, const std::array<int, 3> &shape, int margin) {
            const char *fname = "extract_interior_field";
            const PointList u = to_vec3(field);
            if (margin < 0) throw std::invalid_argument(std::string(fname) + ": margin must not be negative");
            const std::int64_t twice = 2 * static_cast<std::int64_t>(margin);
            if (twice < shape[0] && twice < shape[1] && twice < shape[2]) require_grid_rows(u, shape, fname);
            return points_as_array(KnotDynamics::extract_interior_field(u, shape, margin, signal_interrupt()));
        },
        py::arg("field"), py::arg("shape"), py::arg("margin"), "Extract cubic interior field subset.");

    // 34 compute_helicity_invariants
    m.def(
        "compute_helicity_invariants",
        [](const CArray &v_sub, const CArray &w_sub, const CArray &r_sq) {
            const PointList v = to_vec3(v_sub);
            const PointList w = to_vec3(w_sub);
            if (r_sq.ndim() != 1 || r_sq.shape(0) != v_sub.shape(0) || r_sq.shape(0) != w_sub.shape(0)) {
                throw std::invalid_argument("r_sq must be 1D with same length as v_sub/w_sub");
            }
            return as_tuple(KnotDynamics::compute_helicity_invariants(v, w, values_of_1d(r_sq), signal_interrupt()));
        },
        py::arg("v_sub"), py::arg("w_sub"), py::arg("r_sq"), "Compute helicity invariants (H_charge, H_mass, a_mu).");

    // 35 compute_helicity_from_fourier_block
    m.def(
        "compute_helicity_from_fourier_block",
        [](const FourierBlock &block, int grid_size, double spacing, int interior_margin, int nsamples) {
            return as_tuple(KnotDynamics::compute_helicity_from_fourier_block(block, grid_size, spacing,
                                                                              interior_margin, nsamples,
                                                                              signal_interrupt()));
        },
        py::arg("block"), py::arg("grid_size") = 32, py::arg("spacing") = 0.1, py::arg("interior_margin") = 8,
        py::arg("nsamples") = 1000, "Compute helicity invariants from a Fourier block.");

    // 36 compute_curvature
    m.def(
        "compute_curvature",
        [](const CArray &points, double eps) { return values_as_array(FourierKnot::curvature(to_vec3(points), eps)); },
        py::arg("points"), py::arg("eps") = 1e-8, "Compute discrete curvature from points.");
}

}  // namespace knot_py
