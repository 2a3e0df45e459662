#include "frenet_helicity.h"

#include <cmath>
#include <cstddef>

namespace qel {
namespace {

inline Vec3 cross(const Vec3 &a, const Vec3 &b) {
    return Vec3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double dot(const Vec3 &a, const Vec3 &b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }
inline double length(const Vec3 &v) { return std::sqrt(dot(v, v)); }

constexpr Vec3 kZero{0.0, 0.0, 0.0};

}  // namespace

Vec3 normalize(const Vec3 &v) {
    const double len = length(v);
    return Vec3{v[0] / len, v[1] / len, v[2] / len};
}

Vec3 operator-(const Vec3 &a, const Vec3 &b) { return Vec3{a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

void FrenetHelicity::compute_frenet_frames(const PointList &X, PointList &T, PointList &N, PointList &B) {
    const std::size_t n = X.size();
    T.resize(n);
    N.resize(n);
    B.resize(n);
    if (n < 2) {
        // A single point has no frame; its outputs stay defined as zeros.
        for (std::size_t i = 0; i < n; ++i) T[i] = N[i] = B[i] = kZero;
        return;
    }
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const Vec3 t = normalize(X[i + 1] - X[i - 1]);
        const Vec3 nrm = normalize((X[i + 1] - X[i]) - (X[i] - X[i - 1]));
        const Vec3 b = cross(t, nrm);
        T[i] = t;
        N[i] = nrm;
        B[i] = b;
    }
    T[0] = T[1];
    N[0] = N[1];
    B[0] = B[1];
    T[n - 1] = T[n - 2];
    N[n - 1] = N[n - 2];
    B[n - 1] = B[n - 2];
}

void FrenetHelicity::compute_curvature_torsion(const PointList &T, const PointList &N, std::vector<double> &curvature,
                                               std::vector<double> &torsion) {
    const std::size_t n = T.size();
    curvature.resize(n);
    torsion.resize(n);
    if (n < 2) {
        for (std::size_t i = 0; i < n; ++i) curvature[i] = torsion[i] = 0.0;
        return;
    }
    for (std::size_t i = 1; i + 1 < n; ++i) {
        curvature[i] = 0.5 * length(T[i + 1] - T[i - 1]);
        torsion[i] = 0.5 * dot(cross(T[i], N[i]), N[i + 1] - N[i - 1]);
    }
    curvature[0] = curvature[1];
    curvature[n - 1] = curvature[n - 2];
    torsion[0] = torsion[1];
    torsion[n - 1] = torsion[n - 2];
}

float FrenetHelicity::compute_helicity(const PointList &a, const PointList &b) {
    const std::size_t n = a.size();
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const double p = a[i][0] * b[i][0] + a[i][1] * b[i][1] + a[i][2] * b[i][2];
        sum += static_cast<float>(p);
    }
    return sum / static_cast<float>(n);
}

PointList FrenetHelicity::rk4_integrate(const PointList &X, const PointList &V, double s1, double s2) {
    const double h = s1 * s2;
    PointList Y(X.size());
    for (std::size_t i = 0; i < X.size(); ++i) {
        Y[i] = Vec3{V[i][0] * h + X[i][0], V[i][1] * h + X[i][1], V[i][2] * h + X[i][2]};
    }
    return Y;
}

PointList FrenetHelicity::evolve_vortex_knot(const PointList &X, const PointList &V, double s1, double s2) {
    return rk4_integrate(X, V, s1, s2);
}

}  // namespace qel
