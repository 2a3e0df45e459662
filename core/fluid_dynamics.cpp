#include "fluid_dynamics.h"

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace qel {

namespace {

// A formula that reads `second` at the indices of `first` refuses a shorter
// second list instead of reading past its end.
template <class A, class B>
void require_covering(const A &first, const B &second, const char *fname, const char *first_name,
                      const char *second_name) {
    if (second.size() < first.size()) {
        throw std::invalid_argument(std::string(fname) + ": " + second_name + " has fewer entries than " +
                                    first_name);
    }
}

}  // namespace

FluidDynamics::ScalarField FluidDynamics::compute_pressure_field(const ScalarField &velocity_magnitude,
                                                                 double rho_ae, double P_infinity) {
    ScalarField out(velocity_magnitude.size());
    for (std::size_t i = 0; i < velocity_magnitude.size(); ++i) {
        const double v = velocity_magnitude[i];
        out[i] = P_infinity - 0.5 * rho_ae * v * v;
    }
    return out;
}

FluidDynamics::ScalarField FluidDynamics::compute_velocity_magnitude(const PointList &velocity) {
    ScalarField out(velocity.size());
    for (std::size_t i = 0; i < velocity.size(); ++i) {
        const Vec3 &v = velocity[i];
        out[i] = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    }
    return out;
}

void FluidDynamics::evolve_positions_euler(PointList &positions, const PointList &velocity, double dt) {
    require_covering(positions, velocity, "evolve_positions_euler", "positions", "velocity");
    for (std::size_t i = 0; i < positions.size(); ++i) {
        for (int c = 0; c < 3; ++c) positions[i][c] = positions[i][c] + velocity[i][c] * dt;
    }
}

Vec3 FluidDynamics::compute_vorticity(const Tensor3 &grad) {
    return Vec3{grad[2][1] - grad[1][2], grad[0][2] - grad[2][0], grad[1][0] - grad[0][1]};
}

double FluidDynamics::swirl_clock_rate(double dv_dx, double du_dy) { return (dv_dx - du_dy) * 0.5; }

double FluidDynamics::vorticity_from_curvature(double V, double R) { return V / R; }

double FluidDynamics::vortex_pressure_drop(double rho, double c) { return 0.5 * rho * c * c; }

double FluidDynamics::vortex_transverse_pressure_diff(double rho, double c) { return 0.25 * rho * c * c; }

double FluidDynamics::swirl_energy(double rho, double omega) { return 0.5 * rho * omega * omega; }

bool FluidDynamics::kairos_energy_trigger(double rho, double omega, double Ce) {
    return (0.5 * rho * omega * omega) > (0.5 * rho * Ce * Ce);
}

double FluidDynamics::compute_helicity(const PointList &velocity, const PointList &vorticity, double dV) {
    require_covering(velocity, vorticity, "compute_helicity", "velocity", "vorticity");
    double sum = 0.0;
    for (std::size_t i = 0; i < velocity.size(); ++i) {
        const Vec3 &v = velocity[i];
        const Vec3 &w = vorticity[i];
        sum += v[0] * w[0] + v[1] * w[1] + v[2] * w[2];
    }
    return dV * sum;
}

double FluidDynamics::potential_vorticity(double fa, double zeta_r, double h) { return (fa + zeta_r) / h; }

bool FluidDynamics::is_incompressible(const Vec3 &dudx, const Vec3 &dvdy, const Vec3 &dwdz) {
    return std::abs(dudx[0] + dvdy[1] + dwdz[2]) < 1e-8;
}

double FluidDynamics::circulation_surface_integral(const PointList &omega_field, const PointList &dA_field) {
    require_covering(omega_field, dA_field, "circulation_surface_integral", "omega_field", "dA_field");
    double sum = 0.0;
    for (std::size_t i = 0; i < omega_field.size(); ++i) {
        const Vec3 &w = omega_field[i];
        const Vec3 &a = dA_field[i];
        sum += w[0] * a[0] + w[1] * a[1] + w[2] * a[2];
    }
    return sum;
}

double FluidDynamics::enstrophy(const ScalarField &omega_squared, const ScalarField &ds_area) {
    require_covering(omega_squared, ds_area, "enstrophy", "omega_squared", "ds_area");
    double sum = 0.0;
    for (std::size_t i = 0; i < omega_squared.size(); ++i) sum += omega_squared[i] * ds_area[i];
    return sum;
}

FluidDynamics::ScalarField FluidDynamics::compute_bernoulli_pressure(const ScalarField &velocity_magnitude,
                                                                     double rho, double p_inf) {
    // The same pointwise Bernoulli relation, p_inf - rho v^2 / 2.
    return compute_pressure_field(velocity_magnitude, rho, p_inf);
}

FluidDynamics::GradientField FluidDynamics::pressure_gradient(const PressureField &pressure_field, double dx,
                                                              double dy) {
    const std::size_t N = pressure_field.size();
    if (N == 0) return {};
    const std::size_t M = pressure_field[0].size();
    for (std::size_t i = 1; i < N; ++i) {
        if (pressure_field[i].size() < M) {
            throw std::invalid_argument("pressure_gradient: pressure_field row " + std::to_string(i) +
                                        " is shorter than row 0");
        }
    }
    GradientField out(N, std::vector<Vec3>(M, Vec3{0.0, 0.0, 0.0}));
    if (N < 2 || M < 2) return out;

    const PressureField &P = pressure_field;
    const double two_dx = dx + dx;
    const double two_dy = dy + dy;
    for (std::size_t i = 0; i < N; ++i) {
        const std::vector<double> &row = P[i];
        std::vector<Vec3> &orow = out[i];
        for (std::size_t j = 0; j < M; ++j) {
            double ddx;
            if (i == 0) {
                ddx = (P[1][j] - P[0][j]) / dx;
            } else if (i == N - 1) {
                ddx = (P[N - 1][j] - P[N - 2][j]) / dx;
            } else {
                ddx = (P[i + 1][j] - P[i - 1][j]) / two_dx;
            }
            double ddy;
            if (j == 0) {
                ddy = (row[1] - row[0]) / dy;
            } else if (j == M - 1) {
                ddy = (row[M - 1] - row[M - 2]) / dy;
            } else {
                ddy = (row[j + 1] - row[j - 1]) / two_dy;
            }
            orow[j] = Vec3{-ddx, -ddy, 0.0};
        }
    }
    return out;
}

double FluidDynamics::laplacian_phi(double d2phidx2, double d2phidy2, double d2phidz2) {
    return d2phidx2 + d2phidy2 + d2phidz2;
}

Vec3 FluidDynamics::grad_phi(const Vec3 &phi_grad) { return phi_grad; }

double FluidDynamics::bernoulli_pressure_potential(double velocity_squared, double V) {
    return velocity_squared * 0.5 - V;
}

double FluidDynamics::compute_kinetic_energy(const PointList &velocity, double rho_ae) {
    double sum = 0.0;
    for (const Vec3 &v : velocity) sum += v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    return (0.5 * rho_ae) * sum;
}

double FluidDynamics::rossby_number(double U, double omega, double d) { return U / ((omega + omega) * d); }

double FluidDynamics::ekman_number(double nu, double omega, double H) { return nu / (omega * H * H); }

double FluidDynamics::cylinder_mass(double rho, double R, double H) {
    constexpr double kPi = 3.141592653589793;
    return rho * kPi * R * R * H;
}

double FluidDynamics::cylinder_inertia(double mass, double R) { return 0.5 * mass * R * R; }

double FluidDynamics::torque(double inertia, double alpha) { return inertia * alpha; }

}  // namespace qel
