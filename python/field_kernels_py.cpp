// Python faces of the dipole and wire fields on coordinate grids and of the
// vector potential of an open polyline.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "biot_savart.h"
#include "bindings.h"
#include "kernel_clones.h"
#include "field_kernels.h"
#include "interrupt_py.h"

namespace {

using qel::FieldKernels;
using qel::kFieldBlock;
using qel::kFieldSourceChunk;
using qel::kInvFourPi;
using qel::PointList;
using qel::Vec3;
using GridArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using TableArray = py::array_t<double, py::array::forcecast>;
using Field3 = std::tuple<py::array_t<double>, py::array_t<double>, py::array_t<double>>;


std::vector<py::ssize_t> shape_vec(const py::array &a) { return std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim()); }

void require_same_shape(const py::array &X, const py::array &Y, const py::array &Z) {
    if (X.ndim() != Y.ndim() || X.ndim() != Z.ndim()) {
        throw std::invalid_argument("X, Y, Z must share the same number of dimensions");
    }
    for (py::ssize_t ax = 0; ax < X.ndim(); ++ax) {
        if (X.shape(ax) != Y.shape(ax) || X.shape(ax) != Z.shape(ax)) {
            throw std::invalid_argument("X, Y, Z must have identical shapes");
        }
    }
}

void require_Nx3(const py::array &a, const char *name) {
    if (a.ndim() != 2 || a.shape(1) != 3) throw std::invalid_argument(std::string(name) + " must have shape [N,3]");
    if (a.shape(0) < 1) throw std::invalid_argument(std::string(name) + " must have at least 1 row");
}

// Rows of an (N, 3) float64 array, read through its strides.
PointList to_vec3_list(const TableArray &a) {
    if (a.ndim() != 2 || a.shape(1) != 3) throw std::invalid_argument("Expected shape [N,3]");
    const auto v = a.unchecked<2>();
    PointList out(static_cast<std::size_t>(v.shape(0)));
    for (py::ssize_t i = 0; i < v.shape(0); ++i) out[static_cast<std::size_t>(i)] = Vec3{v(i, 0), v(i, 1), v(i, 2)};
    return out;
}

template <typename A>
A convert_or_throw(const py::handle &h) {
    A out = A::ensure(h);
    if (!out) throw std::invalid_argument("Inputs must be convertible to float64 arrays");
    return out;
}

// A new array of the grid's shape holding a copy of one coordinate array.
// The grid loops poll for signals, and a handler may change or resize the
// caller's X, Y, Z meanwhile, so they read their nodes from these copies;
// the copies are the result arrays themselves, whose blocks of nodes are
// read before their fields are written over them. Copying the nodes costs
// what filling the results with zeros did.
py::array_t<double> copy_as_result(const GridArray &a, const std::vector<py::ssize_t> &shape) {
    py::array_t<double> out(shape);
    std::copy(a.data(), a.data() + a.size(), out.mutable_data());
    return out;
}

// Dipoles [k0, k1) over one block of nodes, dipoles outer and nodes inner;
// the arithmetic is that of FieldKernels::dipole_field_at_point, node by node.
QEL_KERNEL_CLONES
void dipole_block(const PointList &pos, const PointList &mom, std::size_t k0, std::size_t k1,
                  const double *__restrict X, const double *__restrict Y, const double *__restrict Z, std::size_t nb,
                  double *__restrict Bx, double *__restrict By, double *__restrict Bz) {
    alignas(64) double s[kFieldBlock], d[kFieldBlock];
    for (std::size_t k = k0; k < k1; ++k) {
        const double px = pos[k][0], py = pos[k][1], pz = pos[k][2];
        const double mx = mom[k][0], my = mom[k][1], mz = mom[k][2];
        for (std::size_t j = 0; j < nb; ++j) {
            const double rx = X[j] - px, ry = Y[j] - py, rz = Z[j] - pz;
            s[j] = (rx * rx + ry * ry) + rz * rz;
        }
        qel::sqrt_values(s, d, nb);
        for (std::size_t j = 0; j < nb; ++j) {
            const double rx = X[j] - px, ry = Y[j] - py, rz = Z[j] - pz;
            const double rm = (rx * mx + ry * my) + rz * mz;
            const double g = (rm / d[j]) * 3.0 / d[j];
            const double f = 1.0 / (s[j] * d[j]);
            // A node on the dipole gets nothing; NaN distances propagate.
            const bool near = d[j] < 1e-12;
            Bx[j] += near ? 0.0 : ((g * rx - mx) * kInvFourPi) * f;
            By[j] += near ? 0.0 : ((g * ry - my) * kInvFourPi) * f;
            Bz[j] += near ? 0.0 : ((g * rz - mz) * kInvFourPi) * f;
        }
    }
}

// Sum over segments [k0, k1) of dl_k / |G_j - mid_k| for one block of
// points, segments outer and points inner.
QEL_KERNEL_CLONES
void potential_block(const PointList &mid, const PointList &dl, std::size_t k0, std::size_t k1,
                     const double *__restrict gx, const double *__restrict gy, const double *__restrict gz,
                     std::size_t nb, double *__restrict Sx, double *__restrict Sy, double *__restrict Sz) {
    alignas(64) double s[kFieldBlock], d[kFieldBlock];
    for (std::size_t k = k0; k < k1; ++k) {
        const double mx = mid[k][0], my = mid[k][1], mz = mid[k][2];
        const double lx = dl[k][0], ly = dl[k][1], lz = dl[k][2];
        for (std::size_t j = 0; j < nb; ++j) {
            const double rx = gx[j] - mx, ry = gy[j] - my, rz = gz[j] - mz;
            s[j] = (rx * rx + ry * ry) + rz * rz;
        }
        qel::sqrt_values(s, d, nb);
        for (std::size_t j = 0; j < nb; ++j) {
            // A point on the midpoint gets nothing from that segment.
            const bool near = d[j] < 1e-12;
            const double inv = 1.0 / d[j];
            Sx[j] += near ? 0.0 : lx * inv;
            Sy[j] += near ? 0.0 : ly * inv;
            Sz[j] += near ? 0.0 : lz * inv;
        }
    }
}

Field3 dipole_ring_field_grid_np(const py::array &X, const py::array &Y, const py::array &Z,
                                 const py::array &positions, const py::array &moments) {
    require_same_shape(X, Y, Z);
    require_Nx3(positions, "positions");
    require_Nx3(moments, "moments");
    if (positions.shape(0) != moments.shape(0)) {
        throw std::invalid_argument("positions and moments must have the same number of rows");
    }
    const auto x = convert_or_throw<GridArray>(X), y = convert_or_throw<GridArray>(Y), z = convert_or_throw<GridArray>(Z);
    const PointList pos = to_vec3_list(convert_or_throw<TableArray>(positions));
    const PointList mom = to_vec3_list(convert_or_throw<TableArray>(moments));

    const std::vector<py::ssize_t> shape = shape_vec(X);
    auto Bx = copy_as_result(x, shape), By = copy_as_result(y, shape), Bz = copy_as_result(z, shape);
    const auto n = static_cast<std::size_t>(x.size());
    double *bx = Bx.mutable_data(), *by = By.mutable_data(), *bz = Bz.mutable_data();
    const std::unique_ptr<qel::FieldNodeBlock> block(new qel::FieldNodeBlock);
    qel::WorkMeter meter(qel_py::signal_interrupt());
    for (std::size_t start = 0; start < n; start += kFieldBlock) {
        const std::size_t nb = std::min(kFieldBlock, n - start);
        block->load(bx, by, bz, start, nb);
        for (std::size_t k0 = 0; k0 < pos.size(); k0 += kFieldSourceChunk) {
            const std::size_t k1 = std::min(pos.size(), k0 + kFieldSourceChunk);
            dipole_block(pos, mom, k0, k1, block->x, block->y, block->z, nb, block->bx, block->by, block->bz);
            meter.add(nb * (k1 - k0));
        }
        block->store(bx, by, bz, start, nb);
    }
    return Field3{Bx, By, Bz};
}

Field3 biot_savart_wire_grid_np(const py::array &X, const py::array &Y, const py::array &Z,
                                const py::array &wire_points, double current) {
    require_same_shape(X, Y, Z);
    require_Nx3(wire_points, "wire_points");
    const auto x = convert_or_throw<GridArray>(X), y = convert_or_throw<GridArray>(Y), z = convert_or_throw<GridArray>(Z);
    const PointList wire = to_vec3_list(convert_or_throw<TableArray>(wire_points));

    const std::vector<py::ssize_t> shape = shape_vec(X);
    auto Bx = copy_as_result(x, shape), By = copy_as_result(y, shape), Bz = copy_as_result(z, shape);
    double *bx = Bx.mutable_data(), *by = By.mutable_data(), *bz = Bz.mutable_data();
    FieldKernels::biot_savart_wire_grid(bx, by, bz, static_cast<std::uint64_t>(x.size()), wire, current, bx, by, bz,
                                        qel_py::signal_interrupt());
    return Field3{Bx, By, Bz};
}

Field3 vector_potential_np(const TableArray &polyline, const TableArray &grid, double current) {
    if (polyline.ndim() != 2 || polyline.shape(1) != 3) throw std::invalid_argument("polyline must have shape [N,3]");
    if (grid.ndim() != 2 || grid.shape(1) != 3) throw std::invalid_argument("grid must have shape [M,3]");
    const PointList P = to_vec3_list(polyline);
    const auto g = grid.unchecked<2>();
    const auto m = static_cast<std::size_t>(g.shape(0));

    py::array_t<double> Ax(static_cast<py::ssize_t>(m)), Ay(static_cast<py::ssize_t>(m)), Az(static_cast<py::ssize_t>(m));
    double *ax = Ax.mutable_data(), *ay = Ay.mutable_data(), *az = Az.mutable_data();
    std::fill(ax, ax + m, 0.0);
    std::fill(ay, ay + m, 0.0);
    std::fill(az, az + m, 0.0);
    if (P.size() < 2 || m == 0) return Field3{Ax, Ay, Az};

    const std::size_t nseg = P.size() - 1;
    PointList mid(nseg), dl(nseg);
    for (std::size_t k = 0; k < nseg; ++k) {
        for (int c = 0; c < 3; ++c) {
            mid[k][c] = (P[k + 1][c] + P[k][c]) * 0.5;
            dl[k][c] = P[k + 1][c] - P[k][c];
        }
    }
    // The grid points, copied to contiguous coordinate lists.
    std::vector<double> coords(3 * m);
    double *gx = coords.data(), *gy = gx + m, *gz = gy + m;
    for (std::size_t j = 0; j < m; ++j) {
        const auto jj = static_cast<py::ssize_t>(j);
        gx[j] = g(jj, 0);
        gy[j] = g(jj, 1);
        gz[j] = g(jj, 2);
    }
    qel::WorkMeter meter(qel_py::signal_interrupt());
    for (std::size_t start = 0; start < m; start += kFieldBlock) {
        const std::size_t nb = std::min(kFieldBlock, m - start);
        for (std::size_t k0 = 0; k0 < nseg; k0 += kFieldSourceChunk) {
            const std::size_t k1 = std::min(nseg, k0 + kFieldSourceChunk);
            potential_block(mid, dl, k0, k1, gx + start, gy + start, gz + start, nb, ax + start, ay + start,
                            az + start);
            meter.add(nb * (k1 - k0));
        }
    }
    const double scale = current * kInvFourPi;
    for (std::size_t j = 0; j < m; ++j) {
        ax[j] *= scale;
        ay[j] *= scale;
        az[j] *= scale;
    }
    return Field3{Ax, Ay, Az};
}

}  // namespace

void bind_field_kernels(py::module_ &m) {
    m.def("dipole_field_at_point", &FieldKernels::dipole_field_at_point, py::arg("r"), py::arg("m"),
          "Analytical point dipole field (mu0=1).");
    m.def("biot_savart_wire_grid", &biot_savart_wire_grid_np, py::arg("X"), py::arg("Y"), py::arg("Z"),
          py::arg("wire_points"), py::arg("current") = 1.0,
          "Biot–Savart of polyline on a 3D grid (midpoint per segment).");
    m.def("dipole_ring_field_grid", &dipole_ring_field_grid_np, py::arg("X"), py::arg("Y"), py::arg("Z"),
          py::arg("positions"), py::arg("moments"), "Superposition of point dipoles on a 3D grid.");
    m.def("biot_savart_vector_potential_grid", &vector_potential_np, py::arg("polyline"), py::arg("grid"),
          py::arg("current") = 1.0, "Computes Magnetic Vector Potential A on a grid.");
}
