// Curl of a velocity field on a periodic grid by central differences.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "bindings.h"
#include "interrupt_py.h"
#include "kernel_clones.h"

namespace {

using FieldArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Work of one node of the curl, in the units of the interrupt's work count.
constexpr std::uint64_t kCurlNodeWork = 8;

// The curl at node k of one row, from the samples of the row itself (r), of
// its neighbour rows along the second axis (jp, jm) and along the first
// (ip, im), with the neighbours kp and km along the third.
inline void curl_nodes(const double *r, const double *jp, const double *jm, const double *ip, const double *im,
                       std::ptrdiff_t k, std::ptrdiff_t kp, std::ptrdiff_t km, double h2, double *o) {
    o[3 * k] = (jp[3 * k + 2] - jm[3 * k + 2]) / h2 - (r[3 * kp + 1] - r[3 * km + 1]) / h2;
    o[3 * k + 1] = (r[3 * kp] - r[3 * km]) / h2 - (ip[3 * k + 2] - im[3 * k + 2]) / h2;
    o[3 * k + 2] = (ip[3 * k + 1] - im[3 * k + 1]) / h2 - (jp[3 * k] - jm[3 * k]) / h2;
}

// The curl of one row of nz nodes (three components each) from the samples
// of the row itself (r), of its neighbour rows along the second axis
// (jp, jm) and along the first (ip, im), into o. Each component is the
// difference of two separately divided central differences, the same
// operations in the same order at every node.
QEL_KERNEL_CLONES
void curl_row(const double *__restrict r, const double *__restrict jp, const double *__restrict jm,
              const double *__restrict ip, const double *__restrict im, double *__restrict o, std::ptrdiff_t nz,
              double h2) {
    if (nz < 3) {
        for (std::ptrdiff_t k = 0; k < nz; ++k) curl_nodes(r, jp, jm, ip, im, k, (k + 1) % nz, (k - 1 + nz) % nz, h2, o);
        return;
    }
    curl_nodes(r, jp, jm, ip, im, 0, 1, nz - 1, h2, o);
    for (std::ptrdiff_t k = 1; k < nz - 1; ++k) curl_nodes(r, jp, jm, ip, im, k, k + 1, k - 1, h2, o);
    curl_nodes(r, jp, jm, ip, im, nz - 1, 0, nz - 2, h2, o);
}

// The curl of one plane of ny x nz nodes from the samples of the plane
// itself (cur) and of its neighbour planes along the first axis (next,
// prev), into out; the work is counted after every row.
void curl_plane(const double *cur, const double *next, const double *prev, double *out, std::ptrdiff_t ny,
                std::ptrdiff_t nz, double h2, qel::WorkMeter &meter) {
    const std::ptrdiff_t row = nz * 3;
    for (std::ptrdiff_t j = 0; j < ny; ++j) {
        const std::ptrdiff_t jp = (j + 1) % ny, jm = (j - 1 + ny) % ny;
        curl_row(cur + j * row, cur + jp * row, cur + jm * row, next + j * row, prev + j * row, out + j * row, nz, h2);
        meter.add(kCurlNodeWork * static_cast<std::uint64_t>(nz));
    }
}

py::array_t<double> curl3d_central(const FieldArray &vel, double spacing) {
    if (vel.ndim() != 4 || vel.shape(3) != 3) throw std::invalid_argument("curl3d_central: vel must be (Nx,Ny,Nz,3)");
    // A zero or non-finite spacing gives no derivative at all.
    if (!std::isfinite(spacing) || spacing == 0.0) {
        throw std::invalid_argument("curl3d_central: spacing must be finite and non-zero");
    }
    const std::ptrdiff_t nx = vel.shape(0), ny = vel.shape(1), nz = vel.shape(2);
    py::array_t<double> out(std::vector<py::ssize_t>{vel.shape(0), vel.shape(1), vel.shape(2), vel.shape(3)});
    const std::size_t plane = static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz) * 3;
    const std::size_t total = static_cast<std::size_t>(nx) * plane;
    if (total == 0) return out;
    double *c = out.mutable_data();
    // vel may be the caller's own array, which a signal handler may change
    // or reallocate: it is read whole into the result before the first call
    // of the interrupt, and the curl is then taken there in place, plane
    // after plane. The samples that later planes still need once a plane is
    // overwritten are kept apart: those of the plane before and of the
    // plane itself, and those of the first plane for the last one's wrap.
    std::copy(vel.data(), vel.data() + total, c);
    std::vector<double> prev(plane), cur(plane), first;
    const double h2 = spacing + spacing;
    qel::WorkMeter meter(qel_py::signal_interrupt());
    for (std::ptrdiff_t i = 0; i < nx; ++i) {
        double *here = c + static_cast<std::size_t>(i) * plane;
        std::copy(here, here + plane, cur.data());
        if (i == 0 && nx >= 3) first = cur;
        // The samples of plane p as they were: planes past i are not yet overwritten.
        auto original = [&](std::ptrdiff_t p) -> const double * {
            if (p == i) return cur.data();
            if (p == i - 1) return prev.data();
            if (p > i) return c + static_cast<std::size_t>(p) * plane;
            return first.data();  // p == 0, for the last plane
        };
        curl_plane(cur.data(), original((i + 1) % nx), original((i - 1 + nx) % nx), here, ny, nz, h2, meter);
        prev.swap(cur);
    }
    return out;
}

}  // namespace

void bind_field_ops(py::module_ &m) {
    m.def("curl3d_central", &curl3d_central, py::arg("vel"), py::arg("spacing"),
          "Central‑difference curl with periodic BCs. vel:(Nx,Ny,Nz,3) -> curl:(Nx,Ny,Nz,3)");
}
