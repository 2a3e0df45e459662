#pragma once
// Vortex-ring profiles (Lamb–Oseen and Hill's spherical vortex) and the golden
// closure model of loop energy and mass with its inverse problems.
#include <cstdint>

#include "interrupt.h"

namespace qel {

// Closed-form profiles; no argument is checked, IEEE arithmetic decides what
// a division by zero gives.
class VortexRing {
public:
    static double lamb_oseen_velocity(double gamma, double r, double nu, double t);
    static double lamb_oseen_vorticity(double gamma, double r, double nu, double t);
    static double hill_streamfunction(double A, double r, double z, double a);
    static double hill_vorticity(double A, double r, double z, double a);
    static double hill_circulation(double U, double a);
    static double hill_velocity(double gamma, double a);
};

// Energy and mass of a closed vortex loop of radius R with the golden ratio in
// its logarithmic self-energy, and the ratio x = R / r_c that carries a given
// mass. The density regime picks the fluid density.
class GoldenNLSClosure {
public:
    // Any 32-bit value may be stored; members that need the density reject
    // values other than the two enumerators.
    enum DensityRegime : std::int32_t {
        EFFECTIVE_FLUID = 0,
        CORE_DOMINATED = 1,
    };

    explicit GoldenNLSClosure(DensityRegime regime) : regime(regime) {}

    void set_regime(DensityRegime r) { regime = r; }

    double get_active_density() const;
    double calculate_loop_energy(double R) const;
    double calculate_loop_mass(double R) const;
    double calculate_screened_mass(double bare_mass, std::int32_t k) const;

    // The inversions call `interrupt` about every kInterruptInterval / 32
    // iterations (max_iter bounds them, not the tolerances).
    double infer_geometric_ratio(double target_mass, double tolerance, int max_iter,
                                 const Interrupt &interrupt = {}) const;
    double infer_geometric_ratio_safe(double target_mass, double x0, double x_min, double x_max, double x_tol,
                                      double f_tol, int max_iter, const Interrupt &interrupt = {}) const;
    double geometric_ratio_residual(double x, double target_mass) const;

    static double infer_effective_base(double ratio, int exponent_n);
    static double predicted_ratio_from_base(double base, int exponent_n);
    static double relative_error(double predicted, double observed);

    DensityRegime regime;

private:
    // K = rho * 0.5 * A_E * r_c / c^2 of the current regime.
    double inversion_constant() const;
};

}  // namespace qel
