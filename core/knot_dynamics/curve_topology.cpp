// Topology of filaments given as point lists: writhe, linking number, twist,
// centreline helicity, reconnection candidates.
#include "../knot_dynamics.h"
#include "../biot_savart.h"
#include "internal.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace qel {

using namespace knot_detail;

// ---------------------------------------------------------------------------
// Curve topology

double KnotDynamics::compute_writhe(const PointList &P, const Interrupt &interrupt) {
    const std::size_t N = P.size();
    if (N < 2) return 0.0;
    const std::size_t M = N - 1;
    double sum = 0.0;
    WorkMeter meter(interrupt);
    for (std::size_t a = 0; a + 1 < M; ++a) {
        meter.add(M - a);
        const Vec3 dla = sub(P[a + 1], P[a]);
        for (std::size_t b = a + 1; b < M; ++b) {
            const Vec3 r = sub(P[a], P[b]);
            const double rn = norm(r);
            if (rn < 1e-6) continue;
            const Vec3 dlb = sub(P[b + 1], P[b]);
            sum += dot(cross(dla, dlb), r) / (rn * rn * rn);
        }
    }
    return sum / kTwoPi;
}

int KnotDynamics::compute_linking_number(const PointList &A, const PointList &B, const Interrupt &interrupt) {
    if (A.size() < 2 || B.size() < 2) return 0;
    double sum = 0.0;
    WorkMeter meter(interrupt);
    for (std::size_t a = 0; a + 1 < A.size(); ++a) {
        meter.add(B.size());
        const Vec3 dla = sub(A[a + 1], A[a]);
        for (std::size_t b = 0; b + 1 < B.size(); ++b) {
            const Vec3 r = sub(A[a], B[b]);
            const double rn = norm(r);
            if (rn < 1e-6) continue;
            sum += dot(cross(dla, sub(B[b + 1], B[b])), r) / (rn * rn * rn);
        }
    }
    const double lk = std::round(sum / kFourPi);
    if (!(lk >= static_cast<double>(std::numeric_limits<int>::min()) &&
          lk <= static_cast<double>(std::numeric_limits<int>::max()))) {
        throw std::domain_error("compute_linking_number: Gauss linking sum is not a finite integer in range");
    }
    return static_cast<int>(lk);
}

double KnotDynamics::compute_twist(const PointList &X, const PointList &V) {
    if (V.size() < X.size()) {
        throw std::invalid_argument("compute_twist: vectors must hold at least as many entries as points");
    }
    const std::size_t N = X.size();
    if (N <= 2) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 1; i + 1 < N; ++i) {
        Vec3 dV;
        for (int d = 0; d < 3; ++d) dV[d] = (V[i + 1][d] - V[i - 1][d]) * 0.5;
        sum += dot(cross(X[i], dV), V[i]);
    }
    return sum / kTwoPi;
}

double KnotDynamics::compute_centerline_helicity(const PointList &X, const PointList &T, const Interrupt &interrupt) {
    (void)T;
    return compute_writhe(X, interrupt);
}

std::vector<std::pair<int, int>> KnotDynamics::detect_reconnection_candidates(const PointList &P, double threshold,
                                                                              const Interrupt &interrupt) {
    std::vector<std::pair<int, int>> out;
    const std::size_t N = P.size();
    const Vec3 *p = P.data();  // fixed for the call, read directly by the pair loop
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = i + 5; j < N; ++j) {
            if (norm(sub(p[i], p[j])) < threshold) out.emplace_back(static_cast<int>(i), static_cast<int>(j));
        }
        meter.add(N - i);
    }
    return out;
}

double KnotDynamics::writhe_gauss_curve(const PointList &X, const PointList &T, const Interrupt &interrupt) {
    if (T.size() < X.size()) {
        throw std::invalid_argument("writhe_gauss_curve: tangents must hold at least as many entries as points");
    }
    const std::size_t N = X.size();
    const double ds = kTwoPi / static_cast<double>(N);
    // The point and tangent arrays, fixed for the call (the interrupt does
    // not change them), so that the pair loop reads them directly.
    const Vec3 *x = X.data();
    const Vec3 *t = T.data();
    double sum = 0.0;
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            if (i == j) continue;
            const Vec3 r = sub(x[i], x[j]);
            const double rn = norm(r);
            if (rn < 1e-6) continue;
            sum += dot(cross(t[i], t[j]), r) / (rn * rn * rn);
        }
        meter.add(N);
    }
    return ds * ds * sum / kFourPi;
}

}  // namespace qel
