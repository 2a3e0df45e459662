#pragma once
// Force laws of vortex filaments with four fixed model constants: the
// transverse Magnus-curvature force on a segment and the swirl-Coulomb radial
// acceleration induced by a source point. No time stepping of its own.
#include "vec3.h"

class MagnusBernoulliIntegrator {
public:
    MagnusBernoulliIntegrator(double rho_f, double v_swirl, double r_c, double Gamma);

    // rho_f Gamma (tangent x (v_knot - v_bg) + normal / curvature_radius); the
    // curvature term is dropped unless curvature_radius > 1e-30.
    qel::Vec3 compute_magnus_force(const qel::Vec3 &tangent, const qel::Vec3 &normal, double curvature_radius,
                                   const qel::Vec3 &v_knot, const qel::Vec3 &v_bg) const;

    // -(v_swirl^2 / r) exp(-2 r / r_c) along the unit vector from the source to
    // the evaluation point; zero for r < 1e-30 or an exponent below -700.
    qel::Vec3 compute_swirl_coulomb_accel(const qel::Vec3 &eval_pos, const qel::Vec3 &source_pos) const;

private:
    double rho_f;
    double v_swirl;
    double r_c;
    double Gamma;
};
