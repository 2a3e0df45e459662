// Curl of a velocity field on a periodic grid by central differences.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "bindings.h"

namespace {

using FieldArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::array_t<double> curl3d_central(const FieldArray &vel, double spacing) {
    if (vel.ndim() != 4 || vel.shape(3) != 3) throw std::invalid_argument("curl3d_central: vel must be (Nx,Ny,Nz,3)");
    // A zero or non-finite spacing gives no derivative at all.
    if (!std::isfinite(spacing) || spacing == 0.0) {
        throw std::invalid_argument("curl3d_central: spacing must be finite and non-zero");
    }
    const std::ptrdiff_t nx = vel.shape(0), ny = vel.shape(1), nz = vel.shape(2);
    py::array_t<double> out(std::vector<py::ssize_t>{vel.shape(0), vel.shape(1), vel.shape(2), vel.shape(3)});
    const double *u = vel.data();
    double *c = out.mutable_data();
    const double h2 = spacing + spacing;
    // Component `comp` of node (a, b, d).
    auto at = [&](std::ptrdiff_t a, std::ptrdiff_t b, std::ptrdiff_t d, int comp) {
        return u[((a * ny + b) * nz + d) * 3 + comp];
    };
    for (std::ptrdiff_t i = 0; i < nx; ++i) {
        const std::ptrdiff_t ip = (i + 1) % nx, im = (i - 1 + nx) % nx;
        for (std::ptrdiff_t j = 0; j < ny; ++j) {
            const std::ptrdiff_t jp = (j + 1) % ny, jm = (j - 1 + ny) % ny;
            for (std::ptrdiff_t k = 0; k < nz; ++k) {
                const std::ptrdiff_t kp = (k + 1) % nz, km = (k - 1 + nz) % nz;
                double *o = c + ((i * ny + j) * nz + k) * 3;
                o[0] = (at(i, jp, k, 2) - at(i, jm, k, 2)) / h2 - (at(i, j, kp, 1) - at(i, j, km, 1)) / h2;
                o[1] = (at(i, j, kp, 0) - at(i, j, km, 0)) / h2 - (at(ip, j, k, 2) - at(im, j, k, 2)) / h2;
                o[2] = (at(ip, j, k, 1) - at(im, j, k, 1)) / h2 - (at(i, jp, k, 0) - at(i, jm, k, 0)) / h2;
            }
        }
    }
    return out;
}

}  // namespace

void bind_field_ops(py::module_ &m) {
    m.def("curl3d_central", &curl3d_central, py::arg("vel"), py::arg("spacing"),
          "Central‑difference curl with periodic BCs. vel:(Nx,Ny,Nz,3) -> curl:(Nx,Ny,Nz,3)");
}
