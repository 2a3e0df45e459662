#include "qel_integrator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace qel {

namespace {

// Core mass per unit length, rho_core * pi * r_c^2, kept in 80-bit precision.
constexpr long double kCoreLineDensity = 2.428211382846244304e-11L;
constexpr double kFluidCoeff = 2.5520118267065337e-24;
constexpr double kCoreRadiusSq = 1.985196939949829e-30;  // regularisation a^2
constexpr double kSpeedOfLightSq = 8.987551787368176e16;

}  // namespace

void compute_qel_mass(const PointList &points, double chi_spin, double &m_core, double &m_fluid,
                      const Interrupt &interrupt) {
    const std::size_t n = points.size();
    const double w = (chi_spin * chi_spin) * kFluidCoeff;
    if (n == 0) {
        m_core = 0.0;
        m_fluid = (w * 0.0) / kSpeedOfLightSq;
        return;
    }

    PointList dl(n);
    double length = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 &p = points[i];
        const Vec3 &q = points[i + 1 < n ? i + 1 : 0];
        dl[i] = Vec3{q[0] - p[0], q[1] - p[1], q[2] - p[2]};
        length += std::sqrt(dl[i][0] * dl[i][0] + dl[i][1] * dl[i][1] + dl[i][2] * dl[i][2]);
    }
    m_core = static_cast<double>(kCoreLineDensity * static_cast<long double>(length));

    // Mutual-inductance sum over all ordered pairs, the diagonal included;
    // distances between element start points. Each row is summed in ascending
    // j and the rows are added in ascending i.
    const Vec3 *P = points.data();
    const Vec3 *D = dl.data();
    // The rows come in runs between two counts of the work, so that the
    // compiler still sums neighbouring rows side by side.
    double S = 0.0;
    WorkMeter meter(interrupt);
    const std::size_t run = iterations_per_interval(n, 8);
    for (std::size_t i0 = 0; i0 < n; i0 += run) {
        const std::size_t i1 = std::min(n, i0 + run);
        for (std::size_t i = i0; i < i1; ++i) {
            const double pix = P[i][0], piy = P[i][1], piz = P[i][2];
            const double dix = D[i][0], diy = D[i][1], diz = D[i][2];
            double row = 0.0;
            for (std::size_t j = 0; j < n; ++j) {
                const double rx = pix - P[j][0];
                const double ry = piy - P[j][1];
                const double rz = piz - P[j][2];
                const double dot = dix * D[j][0] + diy * D[j][1] + diz * D[j][2];
                row += dot / std::sqrt(rx * rx + ry * ry + rz * rz + kCoreRadiusSq);
            }
            S += row;
        }
        meter.add((i1 - i0) * n);
    }
    m_fluid = (w * S) / kSpeedOfLightSq;
}

}  // namespace qel
