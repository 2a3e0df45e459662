#pragma once
// Vorticity formulas: planar vorticity, solid-body and Couette vorticity,
// Crocco's relation and gradient, the rotating-frame momentum right-hand side,
// the baroclinic torque, the vorticity-transport right-hand side and the
// central-difference vorticity of a sampled 2-D velocity field.
#include <vector>

#include "fluid_dynamics.h"
#include "vec3.h"

namespace qel {

class VorticityDynamics {
public:
    VorticityDynamics() = delete;

    static double vorticity_z_2D(double dv_dx, double du_dy);
    static double local_circulation_density(double dv_dx, double du_dy);
    static double solid_body_rotation_vorticity(double omega);
    static double couette_vorticity(double alpha);
    // `vorticity` is accepted but does not enter the result.
    static Vec3 crocco_relation(const Vec3 &vorticity, double rho, const Vec3 &pressure_gradient);
    // Grid of nx*ny samples, x index fastest (k = j*nx + i). Interior samples get
    // dv/dx - du/dy by central differences, the border stays 0. Refuses a
    // negative or more than 2147483647-sample grid and u or v shorter than nx*ny.
    static std::vector<double> compute_vorticity2D(const std::vector<double> &u, const std::vector<double> &v,
                                                   int nx, int ny, double dx, double dy);
    // `vorticity` is accepted but does not enter the result.
    static Vec3 rotating_frame_rhs(const Vec3 &velocity, const Vec3 &vorticity, const Vec3 &grad_phi,
                                   const Vec3 &grad_p, const Vec3 &omega, double rho);
    static Vec3 crocco_gradient(const Vec3 &velocity, const Vec3 &vorticity, const Vec3 &grad_phi,
                                const Vec3 &grad_p, double rho);
    static Vec3 baroclinic_term(const Vec3 &grad_rho, const Vec3 &grad_p, double rho);
    static Vec3 compute_vorticity_rhs(const Vec3 &omega, const Tensor3 &grad_u, double div_u, const Vec3 &grad_rho,
                                      const Vec3 &grad_p, double rho);
};

}  // namespace qel
