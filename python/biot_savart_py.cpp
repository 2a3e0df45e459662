// Python faces of the Biot–Savart kernels (list and array forms).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "array_convert.h"
#include "bindings.h"
#include "biot_savart.h"
#include "interrupt_py.h"
#include "list_convert.h"
#include "trefoil_closure_kernels.h"

namespace {

using qel::BiotSavart;
using qel::PointList;
using qel::Vec3;
using qel_py::CArray;

PointList to_vec3_list(const CArray &a) { return qel_py::rows_as_points(a, "Expected array with shape (N,3)"); }

void require_points_n3(py::ssize_t cols, const char *fname) {
    if (cols != 3) throw std::runtime_error(std::string(fname) + ": points must have shape (N, 3)");
}

[[noreturn]] void length_error(const char *fname, const std::string &what) {
    throw std::invalid_argument(std::string(fname) + ": " + what);
}

// Node count of a grid whose dims are all positive; refuses counts the
// kernels' 32-bit grid indices cannot address.
std::int64_t grid_count(const BiotSavart::Dims &dims, const char *fname) {
    // d0*d1 always fits 64 bits; the third factor can overflow them, which
    // counts as too many nodes rather than wrapping to a small count.
    std::int64_t count = 0;
    const bool wrapped = __builtin_mul_overflow(static_cast<std::int64_t>(dims[0]) * dims[1],
                                                static_cast<std::int64_t>(dims[2]), &count);
    if (wrapped || count > std::numeric_limits<std::int32_t>::max()) {
        length_error(fname, "dims d0*d1*d2 exceeds 2147483647 grid nodes");
    }
    return count;
}

void require_field(const PointList &field, const BiotSavart::Dims &dims, const char *fname) {
    const std::int64_t count = grid_count(dims, fname);
    if (static_cast<std::int64_t>(field.size()) < count) {
        length_error(fname, "field has fewer than d0*d1*d2 entries");
    }
}

// Closed polyline (N, 3) for the closure kernels; the dimension check comes
// first, then the column count under the calling function's name.
const double *closure_points(const CArray &points, const char *fname) {
    points.unchecked<2>();
    require_points_n3(points.shape(1), fname);
    return points.data();
}

using ClosureKernel = double (*)(const double *, std::uint64_t, double, const qel::Interrupt &);

// The pair kernels poll for signals, and a handler may change or resize the
// caller's array meanwhile: they run on a copy of the points, whose cost (one
// pass over N rows) is nothing next to their N^2/2 pairs.
double closure_energy(const CArray &points, double rc, ClosureKernel kernel, const char *fname) {
    const double *p = closure_points(points, fname);
    const auto n = static_cast<std::size_t>(points.shape(0));
    const std::vector<double> copy(p, p + 3 * n);
    return kernel(copy.data(), static_cast<std::uint64_t>(n), rc, qel_py::signal_interrupt());
}

// Checks of the two scan faces, in order: dimensions of every array (the
// cutoff list too, when there is one), equal row counts, three columns.
// Returns the row count N.
std::uint64_t check_scan_arrays(const CArray &points, const CArray &tangents, const CArray &ds_arr,
                                const CArray *a_values, const char *fname) {
    points.unchecked<2>();
    tangents.unchecked<2>();
    ds_arr.unchecked<1>();
    if (a_values != nullptr) a_values->unchecked<1>();
    if (points.shape(0) != tangents.shape(0) || points.shape(0) != ds_arr.shape(0)) {
        throw std::runtime_error(std::string(fname) + ": inconsistent N dimensions");
    }
    if (points.shape(1) != 3 || tangents.shape(1) != 3) {
        throw std::runtime_error(std::string(fname) + ": points/tangents must have shape (N, 3)");
    }
    return static_cast<std::uint64_t>(points.shape(0));
}

}  // namespace

void bind_biot_savart(py::module_ &m) {
    py::class_<BiotSavart> bs(m, "BiotSavart");

    bs.def_static(
        "compute_velocity",
        [](const qel_py::PointsArgument &curve, const qel_py::PointsArgument &grid_points, double circulation) {
            return qel_py::PointsResult{BiotSavart::computeVelocity(curve.points, grid_points.points, circulation,
                                                                    qel_py::signal_interrupt())};
        },
        py::arg("curve"), py::arg("grid_points"), py::arg("circulation") = 1.0,
        "Compute the Biot–Savart velocity field from a closed curve at given grid points.\n"
        "Backward compatible with the historical 2-argument call; circulation defaults to 1.0.");

    bs.def_static("compute_vorticity",
                  [](const qel_py::PointsArgument &field, const BiotSavart::Dims &dims, double spacing) {
                      if (dims[0] > 0 && dims[1] > 0 && dims[2] > 0) {
                          require_field(field.points, dims, "BiotSavart.compute_vorticity");
                      }
                      return qel_py::PointsResult{BiotSavart::computeVorticity(field.points, dims, spacing)};
                  });

    bs.def_static("extract_interior", [](const PointList &field, const BiotSavart::Dims &dims, int margin) {
        const char *fname = "BiotSavart.extract_interior";
        if (margin < 0) length_error(fname, "margin must be non-negative");
        const std::int64_t twice = 2 * static_cast<std::int64_t>(margin);
        if (twice < dims[0] && twice < dims[1] && twice < dims[2]) require_field(field, dims, fname);
        return BiotSavart::extractInterior(field, dims, margin);
    });

    bs.def_static("compute_invariants", [](const PointList &v, const PointList &w, const std::vector<double> &r_sq) {
        const char *fname = "BiotSavart.compute_invariants";
        if (w.size() < v.size()) length_error(fname, "w has fewer entries than v");
        if (r_sq.size() < w.size()) length_error(fname, "r_sq has fewer entries than w");
        return BiotSavart::computeInvariants(v, w, r_sq);
    });

    m.def(
        "biot_savart_velocity",
        [](const Vec3 &r, const PointList &filament_points, const PointList &tangent_vectors, double circulation) {
            if (tangent_vectors.size() < filament_points.size()) {
                length_error("biot_savart_velocity", "tangent_vectors has fewer entries than filament_points");
            }
            return BiotSavart::velocity(r, filament_points, tangent_vectors, circulation);
        },
        py::arg("r"), py::arg("filament_points"), py::arg("tangent_vectors"), py::arg("circulation") = 1.0,
        "Velocity at a single point r due to a filament.");

    m.def(
        "biot_savart_velocity_grid",
        [](const CArray &polyline, const CArray &grid, double circulation) {
            const PointList curve = to_vec3_list(polyline);
            const PointList targets = to_vec3_list(grid);
            return qel_py::points_as_array(
                BiotSavart::computeVelocity(curve, targets, circulation, qel_py::signal_interrupt()));
        },
        py::arg("polyline"), py::arg("grid"), py::arg("circulation") = 1.0,
        "Biot–Savart velocity at arbitrary grid points for a polyline.\n"
        "Backward compatible with the historical 2-argument call; circulation defaults to 1.0.");

    m.def(
        "calculate_neumann_self_energy",
        [](const CArray &points, double rc) {
            return closure_energy(points, rc, qel::trefoil_neumann_self_energy, "calculate_neumann_self_energy");
        },
        py::arg("points"), py::arg("rc"),
        "Calculate Neumann integral C_N(K) (trefoil_closure/qel_core compatibility).");

    m.def(
        "calculate_core_repulsion",
        [](const CArray &points, double rc) {
            return closure_energy(points, rc, qel::trefoil_core_repulsion, "calculate_core_repulsion");
        },
        py::arg("points"), py::arg("rc"), "Hard-core volume repulsion (trefoil_closure/qel_core compatibility).");

    m.def(
        "calculate_length",
        [](const CArray &points) {
            const double *p = closure_points(points, "calculate_length");
            return qel::trefoil_polyline_length(p, static_cast<std::uint64_t>(points.shape(0)));
        },
        py::arg("points"), "Closed polyline length L(K) (trefoil_closure/qel_core compatibility).");

    m.def(
        "calculate_writhe",
        [](const CArray &points, double rc) {
            return closure_energy(points, rc, qel::trefoil_writhe_reg, "calculate_writhe");
        },
        py::arg("points"), py::arg("rc"),
        "Topological writhe H(K) with distance regularization rc (trefoil_closure/qel_core compatibility).");

    m.def(
        "calculate_curvature_penalty",
        [](const CArray &points) {
            const double *p = closure_points(points, "calculate_curvature_penalty");
            return qel::trefoil_curvature_penalty_menger(p, static_cast<std::uint64_t>(points.shape(0)));
        },
        py::arg("points"), "Menger curvature penalty integral (trefoil_closure/qel_core compatibility).");

    m.def(
        "calculate_bs_cutoff_energy_scan",
        [](const CArray &points, const CArray &tangents, const CArray &ds_arr, const CArray &a_values) {
            const char *fname = "calculate_bs_cutoff_energy_scan";
            const std::uint64_t n = check_scan_arrays(points, tangents, ds_arr, &a_values, fname);
            // The difference list is only the energy for ordered, finite cutoffs.
            const auto mcut = static_cast<std::size_t>(a_values.shape(0));
            const double *a = a_values.data();
            for (std::size_t q = 0; q < mcut; ++q) {
                if (!std::isfinite(a[q]) || (q > 0 && a[q] < a[q - 1])) {
                    length_error(fname, "a_values must be finite and in non-decreasing order");
                }
            }
            const std::vector<double> energy = qel::bs_cutoff_energy_scan(points.data(), tangents.data(),
                                                                          ds_arr.data(), n, a, mcut,
                                                                          qel_py::signal_interrupt());
            py::array_t<double> out(static_cast<py::ssize_t>(energy.size()));
            std::copy(energy.begin(), energy.end(), out.mutable_data());
            return out;
        },
        py::arg("points"), py::arg("tangents"), py::arg("ds_arr"), py::arg("a_values"),
        "Biot–Savart cutoff-energy scan over all a_values, accumulated in one native pass "
        "(same kernel as trefoil_closure/qel_core).");

    m.def(
        "calculate_bs_cutoff_energy",
        [](const CArray &points, const CArray &tangents, const CArray &ds_arr, double a_cutoff) {
            const char *fname = "calculate_bs_cutoff_energy";
            const std::uint64_t n = check_scan_arrays(points, tangents, ds_arr, nullptr, fname);
            if (!std::isfinite(a_cutoff)) length_error(fname, "a_cutoff must be finite");
            return qel::bs_cutoff_energy_scan(points.data(), tangents.data(), ds_arr.data(), n, &a_cutoff, 1,
                                              qel_py::signal_interrupt())[0];
        },
        py::arg("points"), py::arg("tangents"), py::arg("ds_arr"), py::arg("a_cutoff"),
        "Single-cutoff Biot–Savart energy for closure scans.");
}
