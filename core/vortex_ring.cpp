#include "vortex_ring.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

namespace qel {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kFourPiRing = 12.566370614359172;

// Golden closure model constants.
constexpr double kCoreRadius = 1.40897017e-15;           // r_c [m]
constexpr double kPhi = 1.618033988749895;               // golden ratio
constexpr double kLoopEnergyCoeff = 9.379050870249998e-17;  // A_E
constexpr double kSpeedOfLightSq = 8.987551787368176e16;    // c^2 [m^2/s^2]

constexpr double kEffectiveFluidDensity = 7e-07;             // [kg/m^3]
constexpr double kCoreDensity = 3.8934358266918687e18;       // [kg/m^3]
constexpr double kEffectiveFluidK = 5.146207915245368e-55;   // rho * 0.5 * A_E * r_c / c^2
constexpr double kCoreDominatedK = 2.8623471812602267e-30;

// Work of one Newton or bisection iteration (a logarithm and a few
// divisions), in the units of the interrupt's work count. The iterations come
// in runs of kIterationRun, and the work is counted between runs.
constexpr std::uint64_t kIterationWork = 32;
constexpr std::int64_t kIterationRun = static_cast<std::int64_t>(kInterruptInterval / kIterationWork);

[[noreturn]] void unknown_regime() { throw std::runtime_error("Unknown density regime selected."); }

void warn(const char *line) {
    std::fputs(line, stderr);
    std::fflush(stderr);
}

}  // namespace

// ---------------------------------------------------------------- profiles

double VortexRing::lamb_oseen_velocity(double gamma, double r, double nu, double t) {
    const double e = std::exp((-r * r) / ((nu * 4.0) * t));
    return (gamma / (r * kTwoPi)) * (1.0 - e);
}

double VortexRing::lamb_oseen_vorticity(double gamma, double r, double nu, double t) {
    const double e = std::exp((-r * r) / ((nu * 4.0) * t));
    return (gamma / ((nu * kFourPiRing) * t)) * e;
}

double VortexRing::hill_streamfunction(double A, double r, double z, double a) {
    const double s = z * z + r * r;
    const double a2 = a * a;
    if (a2 > s) return (r * A) * (a2 - s);
    return 0.0;
}

double VortexRing::hill_vorticity(double A, double r, double z, double a) {
    const double a2 = a * a;
    if (a2 > z * z + r * r) return ((4.0 * z) * z + r * r - a2) * A;
    return 0.0;
}

double VortexRing::hill_circulation(double U, double a) { return ((U * kTwoPi) * std::pow(a, 3.0)) / 3.0; }

double VortexRing::hill_velocity(double gamma, double a) { return gamma / (a * 5.0); }

// ---------------------------------------------------------- golden closure

double GoldenNLSClosure::get_active_density() const {
    switch (regime) {
        case EFFECTIVE_FLUID:
            return kEffectiveFluidDensity;
        case CORE_DOMINATED:
            return kCoreDensity;
    }
    unknown_regime();
}

double GoldenNLSClosure::inversion_constant() const {
    switch (regime) {
        case EFFECTIVE_FLUID:
            return kEffectiveFluidK;
        case CORE_DOMINATED:
            return kCoreDominatedK;
    }
    unknown_regime();
}

double GoldenNLSClosure::calculate_loop_energy(double R) const {
    const double rho = get_active_density();
    return (std::log(R * 8.0 / kCoreRadius) - kPhi) * ((rho * 0.5 * kLoopEnergyCoeff) * R);
}

double GoldenNLSClosure::calculate_loop_mass(double R) const {
    const double rho = get_active_density();
    return (std::log(R * 8.0 / kCoreRadius) - kPhi) * ((rho * 0.5 * kLoopEnergyCoeff) * R) / kSpeedOfLightSq;
}

double GoldenNLSClosure::calculate_screened_mass(double bare_mass, std::int32_t k) const {
    // Negate in floating point: -k overflows a 32-bit int for k = INT32_MIN.
    return std::pow(kPhi, -static_cast<double>(k)) * bare_mass;
}

double GoldenNLSClosure::geometric_ratio_residual(double x, double target_mass) const {
    if (x <= 0.0) throw std::domain_error("geometric_ratio_residual: x must be > 0.");
    if (regime != CORE_DOMINATED) {
        warn("Warning: geometric ratio residual evaluated outside CORE_DOMINATED regime.\n");
    }
    const double K = inversion_constant();
    return (std::log(x * 8.0) - kPhi) * x - target_mass / K;
}

double GoldenNLSClosure::infer_geometric_ratio(double target_mass, double tolerance, int max_iter,
                                               const Interrupt &interrupt) const {
    if (regime != CORE_DOMINATED) {
        warn("Warning: Inferring fundamental mass geometric ratio outside of CORE_DOMINATED regime.\n");
    }
    const double m = target_mass / inversion_constant();
    if (max_iter > 0) {
        WorkMeter meter(interrupt);
        double x = 1.0;
        for (std::int64_t it0 = 0; it0 < max_iter; it0 += kIterationRun) {
            const std::int64_t it1 = std::min<std::int64_t>(max_iter, it0 + kIterationRun);
            for (std::int64_t it = it0; it < it1; ++it) {
                const double L = std::log(8.0 * x);
                const double step = ((L - kPhi) * x - m) / ((L + 1.0) - kPhi);
                x = x - step;
                if (std::fabs(step) < tolerance) return x;
            }
            meter.add(static_cast<std::uint64_t>(it1 - it0) * kIterationWork);
        }
    }
    throw std::runtime_error("Newton-Raphson failed to converge for geometric ratio.");
}

double GoldenNLSClosure::infer_geometric_ratio_safe(double target_mass, double x0, double x_min, double x_max,
                                                    double x_tol, double f_tol, int max_iter,
                                                    const Interrupt &interrupt) const {
    if (x_min <= 0.0 || x_max <= 0.0 || x_min >= x_max) {
        throw std::invalid_argument("infer_geometric_ratio_safe: require 0 < x_min < x_max.");
    }

    // Newton from the clamped start; any sign of trouble hands over to bisection.
    WorkMeter meter(interrupt);
    double x = std::min(x_max, std::max(x_min, x0));
    bool newton = true;
    for (std::int64_t it0 = 0; newton && it0 < max_iter; it0 += kIterationRun) {
        const std::int64_t it1 = std::min<std::int64_t>(max_iter, it0 + kIterationRun);
        for (std::int64_t it = it0; it < it1; ++it) {
            if (x <= 0.0) {
                newton = false;
                break;
            }
            const double r = geometric_ratio_residual(x, target_mass);
            if (std::fabs(r) < f_tol) return x;
            const double g = std::log(8.0 * x) + 1.0 - kPhi;
            if (!std::isfinite(g) || std::fabs(g) < 1e-14) {
                newton = false;
                break;
            }
            const double step = r / g;
            x = x - step;
            if (!std::isfinite(x) || x <= x_min || x >= x_max) {
                newton = false;
                break;
            }
            if (std::fabs(step) < x_tol) {
                const double r2 = geometric_ratio_residual(x, target_mass);
                if (std::fabs(r2) < f_tol) return x;
            }
        }
        meter.add(static_cast<std::uint64_t>(it1 - it0) * kIterationWork);
    }

    double lo = x_min;
    double hi = x_max;
    double f_lo = geometric_ratio_residual(lo, target_mass);
    double f_hi = geometric_ratio_residual(hi, target_mass);
    if (!std::isfinite(f_lo) || !std::isfinite(f_hi)) {
        throw std::runtime_error("infer_geometric_ratio_safe: non-finite residual at bracket endpoints.");
    }

    if (f_lo * f_hi > 0.0) {
        bool bracketed = false;
        for (int k = 0; k < 12; ++k) {
            lo = std::max(lo * 0.5, 1e-12);
            hi = hi + hi;
            f_lo = geometric_ratio_residual(lo, target_mass);
            f_hi = geometric_ratio_residual(hi, target_mass);
            if (std::isfinite(f_lo) && std::isfinite(f_hi) && f_lo * f_hi <= 0.0) {
                bracketed = true;
                break;
            }
        }
        if (!bracketed) {
            throw std::runtime_error("infer_geometric_ratio_safe: could not bracket root for bisection fallback.");
        }
    }

    // Four bisection steps per allowed iteration, counted in 64 bits so that
    // a large max_iter cannot overflow into a negative budget.
    const std::int64_t n = 4 * static_cast<std::int64_t>(max_iter);
    for (std::int64_t it0 = 0; it0 < n; it0 += kIterationRun) {
        const std::int64_t it1 = std::min(n, it0 + kIterationRun);
        for (std::int64_t it = it0; it < it1; ++it) {
            const double mid = (lo + hi) * 0.5;
            const double r = geometric_ratio_residual(mid, target_mass);
            if (!std::isfinite(r)) {
                throw std::runtime_error("infer_geometric_ratio_safe: non-finite residual during bisection.");
            }
            if (std::fabs(r) < f_tol) return mid;
            if ((hi - lo) * 0.5 < x_tol) return mid;
            if (r * f_lo <= 0.0) {
                hi = mid;
            } else {
                lo = mid;
                f_lo = r;
            }
        }
        meter.add(static_cast<std::uint64_t>(it1 - it0) * kIterationWork);
    }
    throw std::runtime_error("infer_geometric_ratio_safe: failed to converge.");
}

double GoldenNLSClosure::infer_effective_base(double ratio, int exponent_n) {
    if (ratio <= 0.0) throw std::domain_error("infer_effective_base: ratio must be > 0.");
    if (exponent_n <= 0) throw std::invalid_argument("infer_effective_base: exponent_n must be positive.");
    return std::pow(ratio, 1.0 / exponent_n);
}

double GoldenNLSClosure::predicted_ratio_from_base(double base, int exponent_n) {
    if (base <= 0.0) throw std::domain_error("predicted_ratio_from_base: base must be > 0.");
    return std::pow(base, static_cast<double>(exponent_n));
}

double GoldenNLSClosure::relative_error(double predicted, double observed) {
    if (observed == 0.0) throw std::domain_error("relative_error: observed must be nonzero.");
    return std::fabs(predicted - observed) / std::fabs(observed);
}

}  // namespace qel
