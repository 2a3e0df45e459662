#pragma once
// Shared by the binding sources of the knot model: the conversions of its
// array arguments and the three parts of the registration sequence, which
// bind_knot calls in order.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "array_convert.h"
#include "bindings.h"
#include "file_text.h"
#include "fs_path.h"
#include "interrupt_py.h"
#include "knot_dynamics.h"

namespace knot_py {

using qel::FourierBlock;
using qel::FourierKnot;
using qel::KnotDynamics;
using qel::PointList;
using qel::Vec3;
using qel_py::CArray;
using qel_py::FileName;
using qel_py::FileText;
using qel_py::FsPath;
using qel_py::points_as_array;
using qel_py::signal_interrupt;
using qel_py::values_as_array;
using qel_py::with_interrupt;

// Rows of an (N, 3) array as a point list; the message is the one shared
// converter text of the knot functions.
inline PointList to_vec3(const CArray &a) {
    return qel_py::rows_as_points(a, "pd_from_curve: expected array with shape (N,3)");
}

inline std::vector<double> values_of_1d(const CArray &a) {
    const double *p = a.data();
    return std::vector<double>(p, p + a.shape(0));
}

inline void _check_1d_same_len(const CArray &a, const CArray &b, const char *name) {
    if (a.ndim() != 1 || b.ndim() != 1 || a.shape(0) != b.shape(0)) {
        throw std::invalid_argument(std::string("fourier_knot_eval: ") + name + " must be 1D and same length");
    }
}

// The first K entries of an array, zeros where it is shorter.
inline std::vector<double> first_k(const CArray &a, std::size_t K) {
    std::vector<double> out(K, 0.0);
    const std::size_t m = std::min(K, static_cast<std::size_t>(a.shape(0)));
    std::copy(a.data(), a.data() + m, out.begin());
    return out;
}

inline std::vector<double> s_of(const CArray &s) {
    if (s.ndim() != 1) throw std::invalid_argument("s must be 1D");
    return values_of_1d(s);
}

// Fourier blocks, readers, block geometry, ideal records and knot objects.
void bind_model(py::module_ &m);
// Result class, curve topology, crossings and diagram codes, grid helicity.
void bind_topology(py::module_ &m);
// Embedded data, ideal lookups, knot loading and vortex knot systems.
void bind_data(py::module_ &m);

}  // namespace knot_py
