// Sampling a Fourier-series file into a centred closed polyline, discrete
// curve metrics of closed polylines, and the comparison of two files.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "../file_access.h"
#include "../kernel_clones.h"
#include "internal.h"

namespace qel {
namespace qelext {

namespace detail {

FourierBlock largest_block_of(const std::string &path, const Interrupt &interrupt) {
    std::vector<FourierBlock> blocks = FourierKnot::parse_fseries_multi(path, interrupt);
    if (blocks.empty()) throw file_access::PathError("no blocks parsed from: ", path);
    const int k = FourierKnot::index_of_largest_block(blocks);
    const std::size_t idx = (k >= 0 && static_cast<std::size_t>(k) < blocks.size()) ? static_cast<std::size_t>(k) : 0;
    return std::move(blocks[idx]);
}

PointList sample_block_centered(const FourierBlock &block, int nsamples, const Interrupt &interrupt) {
    if (nsamples < 0) throw std::length_error("vector::reserve");
    std::vector<double> s(static_cast<std::size_t>(nsamples));
    const double n = static_cast<double>(nsamples);
    for (int i = 0; i < nsamples; ++i) s[static_cast<std::size_t>(i)] = (static_cast<double>(i) * kTwoPi) / n;
    return FourierKnot::center_points(FourierKnot::evaluate(block, s, interrupt));
}

FilamentEnergyResult metrics_of_points(const std::string &path, const PointList &points, int nsamples, int skip,
                                       const Interrupt &interrupt) {
    FilamentEnergyResult r;
    r.path = path;
    r.nsamples = nsamples;
    curve_metrics_from_points(points, r.L, r.kappa_max, r.kappa_mean, r.bend_energy);
    r.ds_avg = points.empty() ? 0.0 : r.L / static_cast<double>(points.size());
    r.min_non_neighbor_dist = min_non_neighbor_distance(points, skip, interrupt);
    r.reach_proxy = 0.5 * r.min_non_neighbor_dist;
    return r;
}

}  // namespace detail

using namespace detail;

namespace {

constexpr double kNoPairDistance = 1e300;

// Four doubles as one value of GCC's generic vector type: element-wise
// arithmetic and selects, compiled to whatever vector width the clone has.
typedef double V4 __attribute__((vector_size(32)));

// Smallest squared distance from point i to the points j in [lo, hi).
// Four lanes keep independent minima; the minimum of the squares is the same
// whatever the order, and NaN never lowers it (the select keeps the old value
// when a comparison is false).
QEL_KERNEL_CLONES
double min_sq_dist_to_range(const double *x, const double *y, const double *z, std::int64_t i, std::int64_t lo,
                            std::int64_t hi) {
    const double inf = std::numeric_limits<double>::infinity();
    const double xi = x[i], yi = y[i], zi = z[i];
    V4 b = {inf, inf, inf, inf};
    std::int64_t j = lo;
    for (; j + 4 <= hi; j += 4) {
        V4 px, py, pz;
        std::memcpy(&px, x + j, sizeof px);
        std::memcpy(&py, y + j, sizeof py);
        std::memcpy(&pz, z + j, sizeof pz);
        const V4 dx = px - xi;
        const V4 dy = py - yi;
        const V4 dz = pz - zi;
        const V4 d2 = dx * dx + dy * dy + dz * dz;
        b = d2 < b ? d2 : b;
    }
    double m = inf;
    for (int l = 0; l < 4; ++l) m = b[l] < m ? b[l] : m;
    for (; j < hi; ++j) {
        const double dx = x[j] - xi;
        const double dy = y[j] - yi;
        const double dz = z[j] - zi;
        const double d2 = dx * dx + dy * dy + dz * dz;
        m = d2 < m ? d2 : m;
    }
    return m;
}

}  // namespace

PointList sample_curve_centered(const std::string &path, int nsamples, const Interrupt &interrupt) {
    return sample_block_centered(largest_block_of(path, interrupt), nsamples, interrupt);
}

double curve_length(const PointList &points) {
    const std::size_t n = points.size();
    if (n < 2) return 0.0;
    double L = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 &a = points[i];
        const Vec3 &b = points[(i + 1) % n];
        L += norm3(b[0] - a[0], b[1] - a[1], b[2] - a[2]);
    }
    return L;
}

void curve_metrics_from_points(const PointList &points, double &L, double &kappa_max, double &kappa_mean,
                               double &bend_energy) {
    const std::size_t n = points.size();
    L = kappa_max = kappa_mean = bend_energy = 0.0;
    if (n <= 1) return;
    L = curve_length(points);
    if (n <= 2 || L <= 0.0) return;
    double sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const Vec3 &prev = points[(j + n - 1) % n];
        const Vec3 &cur = points[j];
        const Vec3 &next = points[(j + 1) % n];
        const Vec3 back{cur[0] - prev[0], cur[1] - prev[1], cur[2] - prev[2]};
        const double d = norm3(back[0], back[1], back[2]);
        if (d <= 0.0) continue;
        const Vec3 fwd{next[0] - cur[0], next[1] - cur[1], next[2] - cur[2]};
        const double e = norm3(fwd[0], fwd[1], fwd[2]);
        if (e <= 0.0) continue;
        const double f = (e + d) * 0.5;
        if (f <= 0.0) continue;
        const double kappa =
            norm3(fwd[0] / e - back[0] / d, fwd[1] / e - back[1] / d, fwd[2] / e - back[2] / d) / f;
        bend_energy += (kappa * kappa) * f;
        if (kappa > kappa_max) kappa_max = kappa;
        sum += kappa;
    }
    // Every vertex counts in the mean, skipped ones included.
    kappa_mean = sum / static_cast<double>(n);
}

double min_non_neighbor_distance(const PointList &points, int skip, const Interrupt &interrupt) {
    const auto n = static_cast<std::int64_t>(points.size());
    if (n <= 3) return 0.0;
    // Pair (i, j), i < j, counts when its cyclic separation
    // min(j - i, n - (j - i)) exceeds skip, that is for j - i in
    // (skip, n - skip): one contiguous run of j per i. Distances are
    // symmetric, so the unordered pairs give the minimum of the ordered ones.
    const auto s = static_cast<std::int64_t>(skip);
    const std::int64_t gap_lo = std::max<std::int64_t>(s, 0) + 1;
    const std::int64_t gap_hi = n - s;  // exclusive; beyond n - 1 for s < 0
    if (gap_lo >= gap_hi) return kNoPairDistance;
    const Coords c(points);
    double best = std::numeric_limits<double>::infinity();
    WorkMeter meter(interrupt);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t lo = i + gap_lo;
        const std::int64_t hi = std::min(n, i + gap_hi);
        if (lo >= hi) continue;
        meter.add(static_cast<std::uint64_t>(hi - lo));
        const double m = min_sq_dist_to_range(c.x.data(), c.y.data(), c.z.data(), i, lo, hi);
        if (m < best) best = m;
    }
    // A distance is the root of its square; an infinite square is an infinite
    // distance, which never lowers the sentinel.
    return best < std::numeric_limits<double>::infinity() ? std::sqrt(best) : kNoPairDistance;
}

double reach_proxy(const PointList &points, int skip, const Interrupt &interrupt) {
    return 0.5 * min_non_neighbor_distance(points, skip, interrupt);
}

FilamentEnergyResult curve_metrics_from_fseries(const std::string &path, int nsamples, int skip,
                                                const Interrupt &interrupt) {
    return metrics_of_points(path, sample_curve_centered(path, nsamples, interrupt), nsamples, skip, interrupt);
}

std::map<std::string, double> compare_fseries_files(const std::string &path_a, const std::string &path_b,
                                                    int nsamples, int skip, const Interrupt &interrupt) {
    // The samples of each file serve both its metrics and the point
    // distances; a's errors come first.
    const PointList pa = sample_curve_centered(path_a, nsamples, interrupt);
    const PointList pb = sample_curve_centered(path_b, nsamples, interrupt);
    const FilamentEnergyResult ma = metrics_of_points(path_a, pa, nsamples, skip, interrupt);
    const FilamentEnergyResult mb = metrics_of_points(path_b, pb, nsamples, skip, interrupt);

    const std::size_t m = std::min(pa.size(), pb.size());
    double rms = 0.0;
    if (m > 0) {
        double sum = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            const double d = norm3(pa[i][0] - pb[i][0], pa[i][1] - pb[i][1], pa[i][2] - pb[i][2]);
            sum += d * d;
        }
        rms = std::sqrt(sum / static_cast<double>(m));
    }

    return {
        {"L_a", ma.L},
        {"L_b", mb.L},
        {"dL", mb.L - ma.L},
        {"kappa_max_a", ma.kappa_max},
        {"kappa_max_b", mb.kappa_max},
        {"dkappa_max", mb.kappa_max - ma.kappa_max},
        {"kappa_mean_a", ma.kappa_mean},
        {"kappa_mean_b", mb.kappa_mean},
        {"dkappa_mean", mb.kappa_mean - ma.kappa_mean},
        {"bend_energy_a", ma.bend_energy},
        {"bend_energy_b", mb.bend_energy},
        {"dbend_energy", mb.bend_energy - ma.bend_energy},
        {"reach_proxy_a", ma.reach_proxy},
        {"reach_proxy_b", mb.reach_proxy},
        {"dreach_proxy", mb.reach_proxy - ma.reach_proxy},
        {"rms_point_delta", rms},
    };
}

}  // namespace qelext
}  // namespace qel
