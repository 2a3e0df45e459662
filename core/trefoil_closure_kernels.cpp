#include "trefoil_closure_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "biot_savart.h"

namespace qel {
namespace {

struct P3 {
    double x, y, z;
};

inline P3 row(const double *p, std::size_t i) { return P3{p[3 * i], p[3 * i + 1], p[3 * i + 2]}; }
inline P3 sub(const P3 &a, const P3 &b) { return P3{a.x - b.x, a.y - b.y, a.z - b.z}; }
inline double dot(const P3 &a, const P3 &b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
inline double norm(const P3 &a) { return std::sqrt(dot(a, a)); }
inline P3 cross(const P3 &a, const P3 &b) {
    return P3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
// Line element of vertex i on the closed loop.
inline P3 element(const double *p, std::size_t i, std::size_t n) { return sub(row(p, (i + 1) % n), row(p, i)); }

}  // namespace

double trefoil_neumann_self_energy(const double *points, std::uint64_t n64, double a, const Interrupt &interrupt) {
    const std::size_t n = static_cast<std::size_t>(n64);
    if (n < 2) return 0.0;
    const double a2 = a * a;
    double sum = 0.0;
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(n - i);
        const P3 pi = row(points, i);
        const P3 dli = element(points, i, n);
        for (std::size_t j = i + 1; j < n; ++j) {
            const P3 r = sub(row(points, j), pi);
            const double dd = dot(element(points, j, n), dli);
            sum += dd / std::sqrt(dot(r, r) + a2) * 2.0;
        }
    }
    return sum;
}

double trefoil_core_repulsion(const double *points, std::uint64_t n64, double a, const Interrupt &interrupt) {
    const std::size_t n = static_cast<std::size_t>(n64);
    if (n < 3) return 0.0;
    const double two_a = a + a;
    double sum = 0.0;
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(n - i);
        const P3 pi = row(points, i);
        // Neighbours on the loop are left out: j = i + 1, and (0, N-1).
        const std::size_t j_end = (i == 0) ? n - 1 : n;
        for (std::size_t j = i + 2; j < j_end; ++j) {
            const double d = norm(sub(row(points, j), pi));
            const double s = two_a / std::max(d, 1e-30);
            if (s > 0.1) sum += std::pow(s, 12.0);
        }
    }
    return sum;
}

double trefoil_polyline_length(const double *points, std::uint64_t n64) {
    const std::size_t n = static_cast<std::size_t>(n64);
    if (n < 2) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += norm(element(points, i, n));
    return sum;
}

double trefoil_writhe_reg(const double *points, std::uint64_t n64, double a, const Interrupt &interrupt) {
    const std::size_t n = static_cast<std::size_t>(n64);
    if (n < 2) return 0.0;
    const double a2 = a * a;
    double sum = 0.0;
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(n - i);
        const P3 pi = row(points, i);
        const P3 dli = element(points, i, n);
        for (std::size_t j = i + 1; j < n; ++j) {
            const P3 r = sub(row(points, j), pi);
            const double u = std::sqrt(dot(r, r) + a2);
            sum += dot(cross(dli, element(points, j, n)), r) * 2.0 / (u * (u * u));
        }
    }
    return sum / kFourPi;
}

double trefoil_curvature_penalty_menger(const double *points, std::uint64_t n64) {
    const std::size_t n = static_cast<std::size_t>(n64);
    if (n < 2) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const P3 prev = row(points, (i + n - 1) % n);
        const P3 cur = row(points, i);
        const P3 next = row(points, (i + 1) % n);
        const P3 e1 = sub(cur, prev);
        const P3 e2 = sub(next, cur);
        const double l1 = norm(e1), l2 = norm(e2), l3 = norm(sub(next, prev));
        double kappa = 0.0;
        if (l1 > 1e-20 && l2 > 1e-20 && l3 > 1e-20) kappa = (norm(cross(e1, e2)) * 2.0) / (l3 * (l1 * l2));
        sum += (l1 + l2) * 0.5 * (kappa * kappa);
    }
    return sum;
}

}  // namespace qel
