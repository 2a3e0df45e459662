#pragma once
// Gravitational potential of point vortex elements and time-dilation factors
// from the tangential velocities of a filament.
#include <vector>

#include "interrupt.h"
#include "vec3.h"

namespace qel {

// The potentials are sums over all pairs; they call `interrupt` between
// rows, about every kInterruptInterval pairs.
class TimeField {
public:
    // Phi_i = -|S_i|^2 / 2, S_i = sum over j != i of w_j exp(-|r_i - r_j|^2 / (2 eps^2)).
    // Requires vorticity.size() >= positions.size().
    static std::vector<double> compute_gravitational_potential_gradient(const PointList &positions,
                                                                        const PointList &vorticity, double epsilon,
                                                                        const Interrupt &interrupt = {});

    // Phi_i = -1/(4 pi) sum over j != i of w_j . (r_i - r_j) / (|r_i - r_j|^2 + eps^2)^1.5.
    // Requires vorticity.size() >= positions.size().
    static std::vector<double> compute_gravitational_potential_direct(const PointList &positions,
                                                                      const PointList &vorticity, double epsilon,
                                                                      const Interrupt &interrupt = {});

    // sqrt(1 - |t|^2 / C_e^2), floored at sqrt(1 - 0.999999) for |t| >= C_e.
    static std::vector<double> compute_time_dilation_map_sqrt(const PointList &tangents, double C_e);

    // 1 - |t|^2 / C_e^2, without floor or clamp.
    static std::vector<double> compute_time_dilation_map_linear(const PointList &tangents, double C_e);
};

// Older entry points: the Gaussian-smoothed potential and the square-root map.
std::vector<double> compute_gravitational_potential(const PointList &positions, const PointList &vorticity,
                                                    double epsilon, const Interrupt &interrupt = {});
std::vector<double> compute_time_dilation_map(const PointList &tangents, double C_e);

}  // namespace qel
