// Evaluation of Fourier blocks and their geometry: derivatives, curvature,
// length, bending and mode energies, self-distances, centring.
#include "../knot_dynamics.h"
#include "internal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace qel {

using namespace knot_detail;

// ---------------------------------------------------------------------------
// Evaluation and geometry

PointList FourierKnot::evaluate(const FourierBlock &block, const std::vector<double> &s, const Interrupt &interrupt) {
    const PaddedCoeffs p = padded(block, block.a_x.size());
    PointList out(s.size());
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < s.size(); ++i) {
        meter.add(kHarmonicWork * p.K + 1);
        out[i] = eval_padded(p, s[i]);
    }
    return out;
}

Vec3 FourierKnot::evalPoint(const FourierBlock &block, double s) {
    return eval_padded(padded(block, block.a_x.size()), s);
}

std::array<Vec3, 4> FourierKnot::evaluate_with_derivatives(const FourierBlock &block, double s) {
    const PaddedCoeffs p = padded(block, max_list_length(block));
    std::array<Vec3, 4> r{};
    for (std::size_t k = 0; k < p.K; ++k) {
        const double w = static_cast<double>(k + 1);
        const double c = std::cos(w * s);
        const double n = std::sin(w * s);
        for (int d = 0; d < 3; ++d) {
            const double a = p.c[2 * d][k];
            const double b = p.c[2 * d + 1][k];
            r[0][d] += a * c + b * n;
            r[1][d] += w * (b * c - a * n);
            r[2][d] += -(w * w) * (a * c + b * n);
            r[3][d] += (w * w * w) * (a * n - b * c);
        }
    }
    return r;
}

std::vector<double> FourierKnot::curvature_exact(const FourierBlock &block, const std::vector<double> &s, double eps,
                                                 const Interrupt &interrupt) {
    const PaddedCoeffs p = padded(block, max_list_length(block));
    std::vector<double> out(s.size());
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < s.size(); ++i) {
        meter.add(kHarmonicWork * p.K + 1);
        Vec3 d1, d2;
        first_two_derivatives(p, s[i], d1, d2);
        const double v = std::max(eps, norm(d1));
        out[i] = norm(cross(d1, d2)) / (v * v * v);
    }
    return out;
}

double FourierKnot::length_exact(const FourierBlock &block, int nsamples, const Interrupt &interrupt) {
    WorkMeter meter(interrupt);
    return length_sum(padded(block, max_list_length(block)), std::max(nsamples, 16), meter);
}

double FourierKnot::bending_energy_exact(const FourierBlock &block, int nsamples, double eps,
                                         const Interrupt &interrupt) {
    WorkMeter meter(interrupt);
    return bending_sum(padded(block, max_list_length(block)), std::max(nsamples, 32), eps, meter);
}

std::vector<double> FourierKnot::mode_energies(const FourierBlock &block) {
    const PaddedCoeffs p = padded(block, max_list_length(block));
    std::vector<double> out(p.K, 0.0);
    for (std::size_t k = 0; k < p.K; ++k) {
        double e = 0.0;
        for (int d = 0; d < 6; ++d) e += p.c[d][k] * p.c[d][k];
        out[k] = e;
    }
    return out;
}

double FourierKnot::min_self_distance_sampled(const PointList &points, int exclude_window,
                                              const Interrupt &interrupt) {
    const std::int64_t N = static_cast<std::int64_t>(points.size());
    if (N <= 3) return 0.0;
    // A pair (i, j) counts when window < j - i < N - window.
    const std::int64_t w = exclude_window;
    const std::int64_t lo = std::max<std::int64_t>(w + 1, 1);
    const std::int64_t hi = N - w;  // exclusive bound on j - i
    double best = std::numeric_limits<double>::infinity();
    bool found = false;
    WorkMeter meter(interrupt);
    for (std::int64_t i = 0; i < N; ++i) {
        const std::int64_t j0 = i + lo;
        const std::int64_t j1 = std::min(N, i + hi);
        meter.add(static_cast<std::uint64_t>(std::max<std::int64_t>(j1 - j0, 0)) + 1);
        const Vec3 &a = points[static_cast<std::size_t>(i)];
        for (std::int64_t j = j0; j < j1; ++j) {
            const Vec3 &b = points[static_cast<std::size_t>(j)];
            const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
            const double d2 = dx * dx + dy * dy + dz * dz;
            if (d2 < best) best = d2;
            found = true;
        }
    }
    return found ? std::sqrt(best) : 0.0;
}

double FourierKnot::min_self_distance_exactish(const FourierBlock &block, int nsamples, int exclude_window,
                                               const Interrupt &interrupt) {
    WorkMeter meter(interrupt);
    return min_self_distance_sampled(sample_end_excluded(block, std::max(nsamples, 64), meter), exclude_window,
                                     interrupt);
}

FourierKnot::GeometricDescriptors FourierKnot::describe_fourier_block(const FourierBlock &block, int nsamples,
                                                                      int exclude_window,
                                                                      const Interrupt &interrupt) {
    // Everything that reads the block does so before the first call of the
    // interrupt, which may run Python code that changes the block.
    GeometricDescriptors g;
    g.mode_energy = mode_energies(block);
    const PaddedCoeffs p = padded(block, max_list_length(block));
    WorkMeter meter(interrupt);
    const std::int64_t n = std::max(nsamples, 64);
    const PointList P = sample_end_excluded(block, n, meter);
    const std::int64_t m = std::max<std::int64_t>(4 * n, 512);
    g.L = length_sum(p, m, meter);
    g.bending_energy = bending_sum(p, m, 1e-12, meter);
    g.min_self_distance = min_self_distance_sampled(P, exclude_window, interrupt);
    g.writhe = KnotDynamics::compute_writhe(P, interrupt);
    return g;
}

PointList FourierKnot::center_points(const PointList &points) {
    if (points.empty()) return {};
    Vec3 sum{0.0, 0.0, 0.0};
    for (const Vec3 &p : points) {
        sum[0] += p[0];
        sum[1] += p[1];
        sum[2] += p[2];
    }
    const double n = static_cast<double>(points.size());
    const Vec3 mean{sum[0] / n, sum[1] / n, sum[2] / n};
    PointList out(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) out[i] = sub(points[i], mean);
    return out;
}

std::vector<double> FourierKnot::curvature(const PointList &points, double eps) {
    const std::size_t N = points.size();
    std::vector<double> out(N, 0.0);
    if (N <= 2) return out;
    for (std::size_t i = 0; i < N; ++i) {
        const Vec3 &prev = points[(i + N - 1) % N];
        const Vec3 &cur = points[i];
        const Vec3 &next = points[(i + 1) % N];
        Vec3 d1, d2;
        for (int d = 0; d < 3; ++d) {
            d1[d] = (next[d] - prev[d]) / 2.0;
            d2[d] = next[d] - 2.0 * cur[d] + prev[d];
        }
        const double s = norm(d1);
        out[i] = norm(cross(d1, d2)) / (s * s * s + eps);
    }
    return out;
}

}  // namespace qel
