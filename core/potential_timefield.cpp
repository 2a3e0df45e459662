#include "potential_timefield.h"

#include <cmath>
#include <cstddef>

#include "biot_savart.h"

namespace qel {
namespace {

inline double norm2(const Vec3 &v) { return (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]; }

// Factor of a speed at or above C_e: sqrt(1 - 0.999999) in double arithmetic.
constexpr double kDilationFloor = 0.0010000000000143778;

}  // namespace

std::vector<double> TimeField::compute_gravitational_potential_gradient(const PointList &positions,
                                                                        const PointList &vorticity, double epsilon,
                                                                        const Interrupt &interrupt) {
    const std::size_t n = positions.size();
    std::vector<double> phi(n);
    const double two_eps_sq = (epsilon + epsilon) * epsilon;
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(n);
        Vec3 s{0.0, 0.0, 0.0};
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            const Vec3 r{positions[i][0] - positions[j][0], positions[i][1] - positions[j][1],
                         positions[i][2] - positions[j][2]};
            const double g = std::exp(-norm2(r) / two_eps_sq);
            s[0] += vorticity[j][0] * g;
            s[1] += vorticity[j][1] * g;
            s[2] += vorticity[j][2] * g;
        }
        phi[i] = (s[0] * s[0] + s[1] * s[1] + s[2] * s[2]) * -0.5;
    }
    return phi;
}

std::vector<double> TimeField::compute_gravitational_potential_direct(const PointList &positions,
                                                                      const PointList &vorticity, double epsilon,
                                                                      const Interrupt &interrupt) {
    const std::size_t n = positions.size();
    std::vector<double> phi(n);
    const double eps_sq = epsilon * epsilon;
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(n);
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            const Vec3 r{positions[i][0] - positions[j][0], positions[i][1] - positions[j][1],
                         positions[i][2] - positions[j][2]};
            const double wr = (vorticity[j][0] * r[0] + vorticity[j][1] * r[1]) + vorticity[j][2] * r[2];
            sum += wr / std::pow(norm2(r) + eps_sq, 1.5);
        }
        phi[i] = sum * -kInvFourPi;
    }
    return phi;
}

std::vector<double> TimeField::compute_time_dilation_map_sqrt(const PointList &tangents, double C_e) {
    std::vector<double> factor(tangents.size());
    const double c2 = C_e * C_e;
    for (std::size_t i = 0; i < tangents.size(); ++i) {
        const double a = norm2(tangents[i]) / c2;
        factor[i] = (a >= 1.0) ? kDilationFloor : std::sqrt(1.0 - a);
    }
    return factor;
}

std::vector<double> TimeField::compute_time_dilation_map_linear(const PointList &tangents, double C_e) {
    std::vector<double> factor(tangents.size());
    const double c2 = C_e * C_e;
    for (std::size_t i = 0; i < tangents.size(); ++i) factor[i] = 1.0 - norm2(tangents[i]) / c2;
    return factor;
}

std::vector<double> compute_gravitational_potential(const PointList &positions, const PointList &vorticity,
                                                    double epsilon, const Interrupt &interrupt) {
    return TimeField::compute_gravitational_potential_gradient(positions, vorticity, epsilon, interrupt);
}

std::vector<double> compute_time_dilation_map(const PointList &tangents, double C_e) {
    return TimeField::compute_time_dilation_map_sqrt(tangents, C_e);
}

}  // namespace qel
