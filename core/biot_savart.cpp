#include "biot_savart.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace qel {
namespace {

// Targets are processed in blocks held as structure-of-arrays so the inner
// loop over targets vectorises; each target still sums its segments in
// segment order, so the result does not depend on the vector width.
constexpr std::size_t kTargetBlock = 512;

struct SegmentArrays {
    std::vector<double> mx, my, mz, lx, ly, lz;
};

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define QEL_KERNEL_CLONES __attribute__((target_clones("default", "avx2", "arch=x86-64-v4")))
#else
#define QEL_KERNEL_CLONES
#endif

QEL_KERNEL_CLONES
void accumulate_block(const SegmentArrays &seg, std::size_t nseg, const double *__restrict tx,
                      const double *__restrict ty, const double *__restrict tz, double *__restrict vx,
                      double *__restrict vy, double *__restrict vz, std::size_t nt) {
    for (std::size_t k = 0; k < nseg; ++k) {
        const double mx = seg.mx[k], my = seg.my[k], mz = seg.mz[k];
        const double lx = seg.lx[k], ly = seg.ly[k], lz = seg.lz[k];
        for (std::size_t j = 0; j < nt; ++j) {
            const double rx = tx[j] - mx;
            const double ry = ty[j] - my;
            const double rz = tz[j] - mz;
            const double r2 = (rx * rx + ry * ry) + rz * rz;
            const double d = r2 * std::sqrt(r2) + 1e-12;
            vx[j] += (ly * rz - lz * ry) / d;
            vy[j] += (lz * rx - lx * rz) / d;
            vz[j] += (lx * ry - ly * rx) / d;
        }
    }
}

}  // namespace

PointList BiotSavart::computeVelocity(const PointList &curve, const PointList &points, double circulation) {
    const std::size_t n = curve.size();
    const std::size_t m = points.size();
    PointList out(m, Vec3{0.0, 0.0, 0.0});
    if (n < 2 || m == 0) return out;

    SegmentArrays seg;
    for (auto *v : {&seg.mx, &seg.my, &seg.mz, &seg.lx, &seg.ly, &seg.lz}) v->resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Vec3 &p = curve[k];
        const Vec3 &q = curve[(k + 1) % n];
        seg.mx[k] = (p[0] + q[0]) * 0.5;
        seg.my[k] = (p[1] + q[1]) * 0.5;
        seg.mz[k] = (p[2] + q[2]) * 0.5;
        seg.lx[k] = q[0] - p[0];
        seg.ly[k] = q[1] - p[1];
        seg.lz[k] = q[2] - p[2];
    }

    const double scale = circulation / kFourPi;
    alignas(64) double tx[kTargetBlock], ty[kTargetBlock], tz[kTargetBlock];
    alignas(64) double vx[kTargetBlock], vy[kTargetBlock], vz[kTargetBlock];
    for (std::size_t start = 0; start < m; start += kTargetBlock) {
        const std::size_t nt = std::min(kTargetBlock, m - start);
        for (std::size_t j = 0; j < nt; ++j) {
            tx[j] = points[start + j][0];
            ty[j] = points[start + j][1];
            tz[j] = points[start + j][2];
            vx[j] = vy[j] = vz[j] = 0.0;
        }
        accumulate_block(seg, n, tx, ty, tz, vx, vy, vz, nt);
        for (std::size_t j = 0; j < nt; ++j) {
            out[start + j] = Vec3{vx[j] * scale, vy[j] * scale, vz[j] * scale};
        }
    }
    return out;
}

PointList BiotSavart::computeVelocity(const PointList &curve, const PointList &points) {
    return computeVelocity(curve, points, 1.0);
}

Vec3 BiotSavart::velocity(const Vec3 &r, const PointList &X, const PointList &T, double circulation) {
    Vec3 v{0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < X.size(); ++j) {
        const double Rx = r[0] - X[j][0], Ry = r[1] - X[j][1], Rz = r[2] - X[j][2];
        const double s = std::sqrt((Rx * Rx + Ry * Ry) + Rz * Rz);
        if (!(s > 1e-6)) continue;  // skips s <= 1e-6 and NaN
        const double f = circulation / ((s * s) * s);
        const Vec3 &t = T[j];
        const double cx = t[1] * Rz - t[2] * Ry;
        const double cy = t[2] * Rx - t[0] * Rz;
        const double cz = t[0] * Ry - t[1] * Rx;
        v[0] += (cx * kInvFourPi) * f;
        v[1] += (cy * kInvFourPi) * f;
        v[2] += (cz * kInvFourPi) * f;
    }
    return v;
}

PointList BiotSavart::computeVorticity(const PointList &u, const Dims &dims, double h) {
    PointList out(u.size(), Vec3{0.0, 0.0, 0.0});
    const std::int64_t d0 = dims[0], d1 = dims[1], d2 = dims[2];
    if (d0 <= 0 || d1 <= 0 || d2 <= 0) return out;
    const double two_h = h + h;
    auto at = [&](std::int64_t i, std::int64_t j, std::int64_t k) -> const Vec3 & {
        return u[static_cast<std::size_t>((i * d1 + j) * d2 + k)];
    };
    for (std::int64_t i = 0; i < d0; ++i) {
        const std::int64_t ip = (i + 1) % d0, im = (i - 1 + d0) % d0;
        for (std::int64_t j = 0; j < d1; ++j) {
            const std::int64_t jp = (j + 1) % d1, jm = (j - 1 + d1) % d1;
            for (std::int64_t k = 0; k < d2; ++k) {
                const std::int64_t kp = (k + 1) % d2, km = (k - 1 + d2) % d2;
                const Vec3 &a0p = at(ip, j, k), &a0m = at(im, j, k);
                const Vec3 &a1p = at(i, jp, k), &a1m = at(i, jm, k);
                const Vec3 &a2p = at(i, j, kp), &a2m = at(i, j, km);
                const double d0y = (a0p[1] - a0m[1]) / two_h, d0z = (a0p[2] - a0m[2]) / two_h;
                const double d1x = (a1p[0] - a1m[0]) / two_h, d1z = (a1p[2] - a1m[2]) / two_h;
                const double d2x = (a2p[0] - a2m[0]) / two_h, d2y = (a2p[1] - a2m[1]) / two_h;
                out[static_cast<std::size_t>((i * d1 + j) * d2 + k)] = Vec3{d2y - d1z, d0z - d2x, d1x - d0y};
            }
        }
    }
    return out;
}

PointList BiotSavart::extractInterior(const PointList &u, const Dims &dims, int margin) {
    PointList out;
    const std::int64_t m = margin, d0 = dims[0], d1 = dims[1], d2 = dims[2];
    if (2 * m >= d0 || 2 * m >= d1 || 2 * m >= d2) return out;
    out.reserve(static_cast<std::size_t>((d0 - 2 * m) * (d1 - 2 * m) * (d2 - 2 * m)));
    for (std::int64_t i = m; i < d0 - m; ++i)
        for (std::int64_t j = m; j < d1 - m; ++j)
            for (std::int64_t k = m; k < d2 - m; ++k) out.push_back(u[static_cast<std::size_t>((i * d1 + j) * d2 + k)]);
    return out;
}

BiotSavart::Invariants BiotSavart::computeInvariants(const PointList &v, const PointList &w,
                                                     const std::vector<double> &r_sq) {
    double h_charge = 0.0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        h_charge += (v[i][0] * w[i][0] + v[i][1] * w[i][1]) + v[i][2] * w[i][2];
    }
    double h_mass = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
        const double norm = std::sqrt((w[i][0] * w[i][0] + w[i][1] * w[i][1]) + w[i][2] * w[i][2]);
        h_mass += (norm * norm) * r_sq[i];
    }
    const double a_mu = (h_charge / h_mass - 1.0) * 0.5;
    return Invariants{h_charge, h_mass, a_mu};
}

}  // namespace qel
