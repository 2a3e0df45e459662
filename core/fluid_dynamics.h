#pragma once
// Closed-form fluid formulas: Bernoulli pressure, speeds, an explicit Euler
// position step, vorticity of a gradient tensor, vortex-core pressures and
// energies, helicity, circulation and enstrophy sums, potential flow, kinetic
// energy, Rossby and Ekman numbers, cylinder mass and inertia, torque and the
// finite-difference gradient of a 2-D pressure field.
#include <array>
#include <vector>

#include "vec3.h"

namespace qel {

// Velocity-gradient tensor: grad[i][j] = d v_i / d x_j (row i, column j).
using Tensor3 = std::array<Vec3, 3>;

class FluidDynamics {
public:
    using ScalarField = std::vector<double>;
    using PressureField = std::vector<std::vector<double>>;  // P[i][j]: i along x, j along y
    using GradientField = std::vector<std::vector<Vec3>>;

    FluidDynamics() = delete;

    static ScalarField compute_pressure_field(const ScalarField &velocity_magnitude, double rho_ae,
                                              double P_infinity);
    static ScalarField compute_velocity_magnitude(const PointList &velocity);
    // Updates `positions` in place; velocity must have at least as many entries.
    static void evolve_positions_euler(PointList &positions, const PointList &velocity, double dt);
    static Vec3 compute_vorticity(const Tensor3 &grad);
    static double swirl_clock_rate(double dv_dx, double du_dy);
    static double vorticity_from_curvature(double V, double R);
    static double vortex_pressure_drop(double rho, double c);
    static double vortex_transverse_pressure_diff(double rho, double c);
    static double swirl_energy(double rho, double omega);
    static bool kairos_energy_trigger(double rho, double omega, double Ce);
    // vorticity must have at least as many entries as velocity.
    static double compute_helicity(const PointList &velocity, const PointList &vorticity, double dV);
    static double potential_vorticity(double fa, double zeta_r, double h);
    static bool is_incompressible(const Vec3 &dudx, const Vec3 &dvdy, const Vec3 &dwdz);
    // dA_field must have at least as many entries as omega_field.
    static double circulation_surface_integral(const PointList &omega_field, const PointList &dA_field);
    // ds_area must have at least as many entries as omega_squared.
    static double enstrophy(const ScalarField &omega_squared, const ScalarField &ds_area);
    static ScalarField compute_bernoulli_pressure(const ScalarField &velocity_magnitude, double rho,
                                                  double p_inf);
    // Every row must be at least as long as row 0.
    static GradientField pressure_gradient(const PressureField &pressure_field, double dx, double dy);
    static double laplacian_phi(double d2phidx2, double d2phidy2, double d2phidz2);
    static Vec3 grad_phi(const Vec3 &phi_grad);
    static double bernoulli_pressure_potential(double velocity_squared, double V);
    static double compute_kinetic_energy(const PointList &velocity, double rho_ae);
    static double rossby_number(double U, double omega, double d);
    static double ekman_number(double nu, double omega, double H);
    static double cylinder_mass(double rho, double R, double H);
    static double cylinder_inertia(double mass, double R);
    static double torque(double inertia, double alpha);
};

}  // namespace qel
