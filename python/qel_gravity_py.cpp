// Python class QELGravity: a name space of static gravity formulas. The
// sample-array formulas convert their arrays here and evaluate per sample.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "bindings.h"
#include "qel_gravity.h"
#include "vec3.h"

namespace {

using qel::PointList;
using qel::Vec3;
using CArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

PointList qel_to_vec3_list(const CArray &array) {
    if (array.ndim() != 2 || array.shape(1) != 3) throw std::invalid_argument("Expected array with shape (N, 3)");
    const auto r = array.unchecked<2>();
    const auto n = static_cast<std::size_t>(r.shape(0));
    PointList out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto row = static_cast<py::ssize_t>(i);
        out[i] = Vec3{r(row, 0), r(row, 1), r(row, 2)};
    }
    return out;
}

std::vector<double> qel_to_scalar_list(const CArray &array) {
    if (array.ndim() != 1) throw std::invalid_argument("Expected 1D array with shape (N,)");
    const auto r = array.unchecked<1>();
    const auto n = static_cast<std::size_t>(r.shape(0));
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = r(static_cast<py::ssize_t>(i));
    return out;
}

double norm_sq(const Vec3 &v) { return (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]; }

std::vector<double> beltrami_shear(const CArray &B_field, const CArray &Curl_B) {
    const PointList B = qel_to_vec3_list(B_field);
    const PointList C = qel_to_vec3_list(Curl_B);
    if (B.size() != C.size()) throw std::invalid_argument("B_field and Curl_B must have the same size.");
    std::vector<double> out(B.size(), 0.0);
    for (std::size_t i = 0; i < B.size(); ++i) {
        const Vec3 &a = B[i];
        const Vec3 &b = C[i];
        const Vec3 c{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
        out[i] = std::sqrt(norm_sq(c));
    }
    return out;
}

std::vector<double> gravity_dilation(const CArray &B_field, double omega_drive, double /*v_swirl*/,
                                     double B_saturation) {
    const PointList B = qel_to_vec3_list(B_field);
    if (B_saturation <= 0) throw std::invalid_argument("B_saturation must be positive.");
    const double L = omega_drive > 0 ? std::log10(omega_drive) : 0.0;
    const double inv_sat = 1.0 / B_saturation;
    std::vector<double> out(B.size(), 0.0);
    for (std::size_t i = 0; i < B.size(); ++i) {
        const double g = (std::sqrt(norm_sq(B[i])) * inv_sat) * L;
        const double f = 1 - g * g;
        out[i] = f < 0 ? 0.0 : f;
    }
    return out;
}

std::vector<double> helicity_density(const CArray &A_field, const CArray &B_field) {
    const PointList A = qel_to_vec3_list(A_field);
    const PointList B = qel_to_vec3_list(B_field);
    if (A.size() != B.size()) throw std::invalid_argument("A_field and B_field must have the same size.");
    std::vector<double> out(A.size(), 0.0);
    for (std::size_t i = 0; i < A.size(); ++i) {
        out[i] = (A[i][0] * B[i][0] + A[i][1] * B[i][1]) + A[i][2] * B[i][2];
    }
    return out;
}

std::vector<double> swirl_clock(const CArray &v_swirl_field, double c) {
    const PointList V = qel_to_vec3_list(v_swirl_field);
    std::vector<double> out(V.size(), 0.0);
    for (std::size_t i = 0; i < V.size(); ++i) {
        const double s = 1.0 - norm_sq(V[i]) / (c * c);
        out[i] = s < 0 ? 0.0 : std::sqrt(s);
    }
    return out;
}

std::vector<double> swirl_coulomb_potential(const CArray &radii, double Lambda, double r_c) {
    const std::vector<double> R = qel_to_scalar_list(radii);
    if (r_c <= 0) throw std::invalid_argument("r_c must be positive.");
    std::vector<double> out(R.size(), 0.0);
    for (std::size_t i = 0; i < R.size(); ++i) {
        const double r = R[i];
        out[i] = (-Lambda) / std::sqrt(r * r + r_c * r_c);
    }
    return out;
}

std::vector<double> swirl_coulomb_force(const CArray &radii, double Lambda, double r_c) {
    const std::vector<double> R = qel_to_scalar_list(radii);
    if (r_c <= 0) throw std::invalid_argument("r_c must be positive.");
    const double rc2 = r_c * r_c;
    std::vector<double> out(R.size(), 0.0);
    for (std::size_t i = 0; i < R.size(); ++i) {
        const double r = R[i];
        const double q = std::pow(r * r + rc2, 1.5);
        out[i] = q > 0 ? ((-Lambda) * r) / q : 0.0;
    }
    return out;
}

std::vector<double> swirl_energy_density(const CArray &v_field, double rho_f) {
    const PointList V = qel_to_vec3_list(v_field);
    const double half_rho = 0.5 * rho_f;
    std::vector<double> out(V.size(), 0.0);
    for (std::size_t i = 0; i < V.size(); ++i) out[i] = norm_sq(V[i]) * half_rho;
    return out;
}

}  // namespace

void bind_qel_gravity(py::module_ &m) {
    py::class_<qel::QELGravity> g(m, "QELGravity");

    g.def_static("compute_beltrami_shear", &beltrami_shear, py::arg("B_field"), py::arg("Curl_B"),
                 "\n                Compute the Beltrami shear metric S = || B x (curl B) ||.\n            ");
    g.def_static("compute_gravity_dilation", &gravity_dilation, py::arg("B_field"), py::arg("omega_drive"),
                 py::arg("v_swirl") = 1093845.63, py::arg("B_saturation") = 100.0,
                 "\n                Compute a phenomenological gravity reduction factor G_local"
                 "\n                driven by EM excitation.\n            ");
    g.def_static("compute_helicity_density", &helicity_density, py::arg("A_field"), py::arg("B_field"),
                 "\n                Compute magnetic helicity density h = A · B.\n            ");
    g.def_static("compute_swirl_clock", &swirl_clock, py::arg("v_swirl_field"), py::arg("c") = 299792458.0,
                 "\n                Compute the Swirl Clock factor S_t at each sample.\n            ");
    g.def_static("compute_swirl_coulomb_potential", &swirl_coulomb_potential, py::arg("radii"), py::arg("Lambda"),
                 py::arg("r_c"),
                 "\n                Compute the Swirl Coulomb potential V(r) = -Lambda / sqrt(r^2 + r_c^2)."
                 "\n            ");
    g.def_static("compute_swirl_coulomb_force", &swirl_coulomb_force, py::arg("radii"), py::arg("Lambda"),
                 py::arg("r_c"), "\n                Compute the radial Swirl Coulomb force F_r(r).\n            ");
    g.def_static("compute_swirl_energy_density", &swirl_energy_density, py::arg("v_field"), py::arg("rho_f"),
                 "\n                Compute swirl kinetic energy density rho_E = 0.5 * rho_f * ||v||^2."
                 "\n            ");
    g.def_static("compute_G_swirl", &qel::QELGravity::compute_G_swirl, py::arg("v_swirl"), py::arg("t_p"),
                 py::arg("F_max"), py::arg("r_c"), py::arg("c") = 299792458.0,
                 "\n                Compute the effective Swirl gravitational coupling G_swirl.\n            ");
}
