#pragma once
// Closure energies of a closed polyline held as a flat row-major array of
// N rows (x, y, z): Neumann self-energy, hard-core repulsion, length,
// regularised writhe and the Menger curvature penalty. Vertex N-1 joins
// vertex 0. Every kernel is one pass over vertices or vertex pairs and
// allocates nothing; the pair kernels call `interrupt` between rows, about
// every kInterruptInterval pairs.
#include <cstdint>

#include "interrupt.h"

namespace qel {

// Sum over pairs i < j of 2 (dl_i . dl_j) / sqrt(|p_j - p_i|^2 + a^2); 0 when N < 2.
double trefoil_neumann_self_energy(const double *points, std::uint64_t n, double a, const Interrupt &interrupt = {});

// Sum over non-neighbouring pairs of s^12, s = 2a / d, for s > 0.1; 0 when N < 3.
double trefoil_core_repulsion(const double *points, std::uint64_t n, double a, const Interrupt &interrupt = {});

// Length of the closed polyline, closing segment included; 0 when N < 2.
double trefoil_polyline_length(const double *points, std::uint64_t n);

// Writhe with the pair distance regularised by a; 0 when N < 2.
double trefoil_writhe_reg(const double *points, std::uint64_t n, double a, const Interrupt &interrupt = {});

// Sum over vertices of (l1 + l2)/2 * kappa^2, kappa the Menger curvature of
// a vertex and its two neighbours; 0 when N < 2.
double trefoil_curvature_penalty_menger(const double *points, std::uint64_t n);

}  // namespace qel
