#pragma once
// Magnetostatic-type fields with unit permeability (prefactor 1/(4 pi)):
// the field of a point dipole and the Biot–Savart field of an open polyline
// wire accumulated on grid nodes.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "interrupt.h"
#include "vec3.h"

namespace qel {

class FieldKernels {
public:
    // B = (1/(4 pi)) (3 (r.m) r / |r|^2 - m) / |r|^3 at offset r from a dipole
    // of moment m; zero for |r| < 1e-12.
    static Vec3 dipole_field_at_point(const Vec3 &r, const Vec3 &m);

    // Adds the field of every segment of the open polyline `wire` (midpoint
    // rule) at the n nodes (X[j], Y[j], Z[j]) to Bx, By, Bz; a node closer
    // than 1e-12 to a segment midpoint gets nothing from that segment.
    // Fewer than two wire points add nothing. `interrupt` is called about
    // every kInterruptInterval node-segment pairs; when it throws, the
    // outputs hold partial sums.
    static void biot_savart_wire_grid(const double *X, const double *Y, const double *Z, std::uint64_t n,
                                      const PointList &wire, double current, double *Bx, double *By, double *Bz,
                                      const Interrupt &interrupt = {});
};

// Grid loops run over blocks of this many nodes, every source over one block
// before the next block, so the block's coordinates stay in cache.
constexpr std::size_t kFieldBlock = 512;
// Sources per kernel call: one block of nodes meets about kInterruptInterval
// node-source pairs between two counts of the work. Each node still sums
// its sources in order, chunk after chunk.
constexpr std::size_t kFieldSourceChunk = kInterruptInterval / kFieldBlock;

// out[j] = sqrt(in[j]) for j < n, as a separate pass so the grid loops
// around it stay simple enough to vectorise.
inline void sqrt_values(const double *in, double *out, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) out[j] = std::sqrt(in[j]);
}

}  // namespace qel
