#pragma once
// Conversions between NumPy arrays and the core's point and value lists,
// shared by the binding sources.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "vec3.h"

namespace qel_py {

namespace py = pybind11;

// Any numeric array or nested list, cast to a row-major float64 array.
using CArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Rows of an (N, 3) array as a point list; any other shape raises ValueError
// with the caller's message.
inline qel::PointList rows_as_points(const CArray &a, const char *shape_message) {
    if (a.ndim() != 2 || a.shape(1) != 3) throw std::invalid_argument(shape_message);
    const auto n = static_cast<std::size_t>(a.shape(0));
    const double *p = a.data();
    qel::PointList out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = qel::Vec3{p[3 * i], p[3 * i + 1], p[3 * i + 2]};
    return out;
}

// A new (N, 3) float64 array of the points.
inline py::array_t<double> points_as_array(const qel::PointList &pts) {
    py::array_t<double> out({static_cast<py::ssize_t>(pts.size()), static_cast<py::ssize_t>(3)});
    double *p = out.mutable_data();
    for (std::size_t i = 0; i < pts.size(); ++i) {
        p[3 * i] = pts[i][0];
        p[3 * i + 1] = pts[i][1];
        p[3 * i + 2] = pts[i][2];
    }
    return out;
}

// A new one-dimensional float64 array of the values.
inline py::array_t<double> values_as_array(const std::vector<double> &v) {
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

}  // namespace qel_py
