#include "field_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>

#include "biot_savart.h"
#include "kernel_clones.h"

namespace qel {
namespace {

// Segments [k0, k1) (midpoints m, elements dl) over one block of nodes:
// segments outer, nodes inner over contiguous coordinates, so each node sums
// its segments in segment order and the node loops vectorise.
QEL_KERNEL_CLONES
void wire_block(const PointList &mid, const PointList &dl, std::size_t k0, std::size_t k1, double scale,
                const double *__restrict X, const double *__restrict Y, const double *__restrict Z, std::size_t nb,
                double *__restrict Bx, double *__restrict By, double *__restrict Bz) {
    alignas(64) double s[kFieldBlock], d[kFieldBlock];
    for (std::size_t k = k0; k < k1; ++k) {
        const double mx = mid[k][0], my = mid[k][1], mz = mid[k][2];
        const double lx = dl[k][0], ly = dl[k][1], lz = dl[k][2];
        for (std::size_t j = 0; j < nb; ++j) {
            const double rx = X[j] - mx, ry = Y[j] - my, rz = Z[j] - mz;
            s[j] = (rx * rx + ry * ry) + rz * rz;
        }
        sqrt_values(s, d, nb);
        for (std::size_t j = 0; j < nb; ++j) {
            const double rx = X[j] - mx, ry = Y[j] - my, rz = Z[j] - mz;
            const double f = 1.0 / (s[j] * d[j]);
            // A node on the midpoint gets nothing; NaN distances propagate.
            const bool near = d[j] < 1e-12;
            Bx[j] += near ? 0.0 : ((ly * rz - lz * ry) * scale) * f;
            By[j] += near ? 0.0 : ((lz * rx - lx * rz) * scale) * f;
            Bz[j] += near ? 0.0 : ((lx * ry - ly * rx) * scale) * f;
        }
    }
}

}  // namespace

Vec3 FieldKernels::dipole_field_at_point(const Vec3 &r, const Vec3 &m) {
    const double s = (r[0] * r[0] + r[1] * r[1]) + r[2] * r[2];
    const double d = std::sqrt(s);
    if (d < 1e-12) return Vec3{0.0, 0.0, 0.0};
    const double rm = (r[0] * m[0] + r[1] * m[1]) + r[2] * m[2];
    const double g = (rm / d) * 3.0 / d;  // 3 (r.m) / |r|^2
    const double f = 1.0 / (s * d);
    return Vec3{((g * r[0] - m[0]) * kInvFourPi) * f, ((g * r[1] - m[1]) * kInvFourPi) * f,
                ((g * r[2] - m[2]) * kInvFourPi) * f};
}

void FieldKernels::biot_savart_wire_grid(const double *X, const double *Y, const double *Z, std::uint64_t n64,
                                         const PointList &wire, double current, double *Bx, double *By, double *Bz,
                                         const Interrupt &interrupt) {
    const std::size_t n = static_cast<std::size_t>(n64);
    if (wire.size() < 2) {
        std::fill(Bx, Bx + n, 0.0);
        std::fill(By, By + n, 0.0);
        std::fill(Bz, Bz + n, 0.0);
        return;
    }
    const std::size_t nseg = wire.size() - 1;
    PointList mid(nseg), dl(nseg);
    for (std::size_t k = 0; k < nseg; ++k) {
        for (int c = 0; c < 3; ++c) {
            mid[k][c] = (wire[k + 1][c] + wire[k][c]) * 0.5;
            dl[k][c] = wire[k + 1][c] - wire[k][c];
        }
    }
    const double scale = current * kInvFourPi;
    const std::unique_ptr<FieldNodeBlock> block(new FieldNodeBlock);
    WorkMeter meter(interrupt);
    for (std::size_t start = 0; start < n; start += kFieldBlock) {
        const std::size_t nb = std::min(kFieldBlock, n - start);
        block->load(X, Y, Z, start, nb);
        for (std::size_t k0 = 0; k0 < nseg; k0 += kFieldSourceChunk) {
            const std::size_t k1 = std::min(nseg, k0 + kFieldSourceChunk);
            wire_block(mid, dl, k0, k1, scale, block->x, block->y, block->z, nb, block->bx, block->by, block->bz);
            meter.add(nb * (k1 - k0));
        }
        block->store(Bx, By, Bz, start, nb);
    }
}

}  // namespace qel
