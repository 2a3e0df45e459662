#include "vorticity_dynamics.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace qel {

namespace {

Vec3 cross(const Vec3 &a, const Vec3 &b) {
    return Vec3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace

double VorticityDynamics::vorticity_z_2D(double dv_dx, double du_dy) { return dv_dx - du_dy; }

double VorticityDynamics::local_circulation_density(double dv_dx, double du_dy) { return dv_dx - du_dy; }

double VorticityDynamics::solid_body_rotation_vorticity(double omega) { return omega + omega; }

double VorticityDynamics::couette_vorticity(double alpha) { return -alpha; }

Vec3 VorticityDynamics::crocco_relation(const Vec3 & /*vorticity*/, double rho, const Vec3 &pressure_gradient) {
    return Vec3{pressure_gradient[0] / rho, pressure_gradient[1] / rho, pressure_gradient[2] / rho};
}

std::vector<double> VorticityDynamics::compute_vorticity2D(const std::vector<double> &u,
                                                           const std::vector<double> &v, int nx, int ny,
                                                           double dx, double dy) {
    // The count is formed in 64 bits so that no product of two 32-bit sizes wraps.
    const std::int64_t count = static_cast<std::int64_t>(nx) * static_cast<std::int64_t>(ny);
    if (count < 0) throw std::length_error("compute_vorticity: nx*ny is negative");
    if (count > std::numeric_limits<std::int32_t>::max()) {
        throw std::length_error("compute_vorticity: nx*ny exceeds 2147483647 samples");
    }
    const auto n = static_cast<std::size_t>(count);
    if (u.size() < n) throw std::invalid_argument("compute_vorticity: u holds fewer than nx*ny values");
    if (v.size() < n) throw std::invalid_argument("compute_vorticity: v holds fewer than nx*ny values");

    std::vector<double> out(n, 0.0);
    if (nx < 3 || ny < 3) return out;

    const double two_dx = dx + dx;
    const double two_dy = dy + dy;
    const auto sx = static_cast<std::size_t>(nx);
    for (std::size_t j = 1; j + 1 < static_cast<std::size_t>(ny); ++j) {
        const std::size_t row = j * sx;
        for (std::size_t i = 1; i + 1 < sx; ++i) {
            const std::size_t k = row + i;
            out[k] = (v[k + 1] - v[k - 1]) / two_dx - (u[k + sx] - u[k - sx]) / two_dy;
        }
    }
    return out;
}

Vec3 VorticityDynamics::rotating_frame_rhs(const Vec3 &velocity, const Vec3 & /*vorticity*/, const Vec3 &grad_phi,
                                           const Vec3 &grad_p, const Vec3 &omega, double rho) {
    const Vec3 c = cross(omega, velocity);
    Vec3 out;
    for (int i = 0; i < 3; ++i) out[i] = (c[i] * (-2.0) - grad_phi[i]) - grad_p[i] / rho;
    return out;
}

Vec3 VorticityDynamics::crocco_gradient(const Vec3 &velocity, const Vec3 &vorticity, const Vec3 &grad_phi,
                                        const Vec3 &grad_p, double rho) {
    const Vec3 c = cross(vorticity, velocity);
    Vec3 out;
    for (int i = 0; i < 3; ++i) out[i] = (c[i] * rho + grad_phi[i]) + grad_p[i] / rho;
    return out;
}

Vec3 VorticityDynamics::baroclinic_term(const Vec3 &grad_rho, const Vec3 &grad_p, double rho) {
    const Vec3 c = cross(grad_rho, grad_p);
    const double rr = rho * rho;
    return Vec3{c[0] / rr, c[1] / rr, c[2] / rr};
}

Vec3 VorticityDynamics::compute_vorticity_rhs(const Vec3 &omega, const Tensor3 &grad_u, double div_u,
                                              const Vec3 &grad_rho, const Vec3 &grad_p, double rho) {
    const Vec3 c = cross(grad_rho, grad_p);
    const double rr = rho * rho;
    const double neg_div = -div_u;
    Vec3 out;
    for (int i = 0; i < 3; ++i) {
        const Vec3 &g = grad_u[i];
        const double stretch = g[0] * omega[0] + g[1] * omega[1] + g[2] * omega[2];
        out[i] = (stretch + omega[i] * neg_div) + c[i] / rr;
    }
    return out;
}

}  // namespace qel
