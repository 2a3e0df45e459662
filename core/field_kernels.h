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

    // Writes the field of every segment of the open polyline `wire`
    // (midpoint rule, each node summing its segments in order from 0) at the
    // n nodes (X[j], Y[j], Z[j]) into Bx, By, Bz; a node closer than 1e-12 to
    // a segment midpoint gets nothing from that segment. Fewer than two wire
    // points give zeros. The outputs may be the storage of the nodes
    // themselves (X == Bx, Y == By, Z == Bz): each block of nodes is read
    // before its field is written, so a caller can hold its one copy of the
    // nodes in the outputs. `interrupt` is called about every
    // kInterruptInterval node-segment pairs; when it throws, the outputs hold
    // nodes and fields in part.
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

// The coordinates of one block of grid nodes and their sums, on the heap: a
// grid loop holds it while it calls the interrupt, whose Python handlers may
// run the loop again inside it.
struct alignas(64) FieldNodeBlock {
    double x[kFieldBlock], y[kFieldBlock], z[kFieldBlock];
    double bx[kFieldBlock], by[kFieldBlock], bz[kFieldBlock];

    // Nodes [start, start + nb) of the coordinate lists in, sums zeroed.
    void load(const double *X, const double *Y, const double *Z, std::size_t start, std::size_t nb) {
        for (std::size_t j = 0; j < nb; ++j) {
            x[j] = X[start + j];
            y[j] = Y[start + j];
            z[j] = Z[start + j];
            bx[j] = by[j] = bz[j] = 0.0;
        }
    }
    // The sums out to nodes [start, start + nb) of the outputs.
    void store(double *Bx, double *By, double *Bz, std::size_t start, std::size_t nb) const {
        for (std::size_t j = 0; j < nb; ++j) {
            Bx[start + j] = bx[j];
            By[start + j] = by[j];
            Bz[start + j] = bz[j];
        }
    }
};

// out[j] = sqrt(in[j]) for j < n, as a separate pass so the grid loops
// around it stay simple enough to vectorise.
inline void sqrt_values(const double *in, double *out, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) out[j] = std::sqrt(in[j]);
}

}  // namespace qel
