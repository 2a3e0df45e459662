#include "magnus_integrator.h"

#include <cmath>

using qel::Vec3;

MagnusBernoulliIntegrator::MagnusBernoulliIntegrator(double rho_f_, double v_swirl_, double r_c_, double Gamma_)
    : rho_f(rho_f_), v_swirl(v_swirl_), r_c(r_c_), Gamma(Gamma_) {}

Vec3 MagnusBernoulliIntegrator::compute_magnus_force(const Vec3 &tangent, const Vec3 &normal,
                                                     double curvature_radius, const Vec3 &v_knot,
                                                     const Vec3 &v_bg) const {
    const Vec3 d{v_knot[0] - v_bg[0], v_knot[1] - v_bg[1], v_knot[2] - v_bg[2]};
    const Vec3 c{tangent[1] * d[2] - tangent[2] * d[1], tangent[2] * d[0] - tangent[0] * d[2],
                 tangent[0] * d[1] - tangent[1] * d[0]};
    Vec3 n{0.0, 0.0, 0.0};
    if (curvature_radius > 1e-30) {
        const double k = 1.0 / curvature_radius;
        n = Vec3{normal[0] * k, normal[1] * k, normal[2] * k};
    }
    const double s = rho_f * Gamma;
    return Vec3{(c[0] + n[0]) * s, (c[1] + n[1]) * s, (c[2] + n[2]) * s};
}

Vec3 MagnusBernoulliIntegrator::compute_swirl_coulomb_accel(const Vec3 &eval_pos, const Vec3 &source_pos) const {
    const Vec3 d{eval_pos[0] - source_pos[0], eval_pos[1] - source_pos[1], eval_pos[2] - source_pos[2]};
    const double r = std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
    if (r < 1e-30) return Vec3{0.0, 0.0, 0.0};
    const double e = (r / r_c) * (-2.0);
    // Beyond this the exponential underflows; the pull is taken as zero.
    if (e < -700) return Vec3{0.0, 0.0, 0.0};
    const double inv_r = 1.0 / r;
    const Vec3 u{d[0] * inv_r, d[1] * inv_r, d[2] * inv_r};
    const double a = -(v_swirl * v_swirl / r) * std::exp(e);
    return Vec3{a * u[0], a * u[1], a * u[2]};
}
