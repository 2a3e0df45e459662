#pragma once
// Biot–Savart kernels: the flow induced by a closed vortex filament, the grid
// vorticity of a sampled field and the helicity invariants read off a grid.
#include <array>
#include <cstdint>
#include <tuple>
#include <vector>

#include "interrupt.h"
#include "vec3.h"

namespace qel {

class BiotSavart {
public:
    using Dims = std::array<int, 3>;
    using Invariants = std::tuple<double, double, double>;  // H_charge, H_mass, a_mu

    // Velocity of a closed polyline (segment midpoints, chord line elements)
    // at every target point, scaled by circulation / (4 pi). `interrupt` is
    // called about every kInterruptInterval segment-target pairs.
    static PointList computeVelocity(const PointList &curve, const PointList &points, double circulation,
                                     const Interrupt &interrupt = {});
    static PointList computeVelocity(const PointList &curve, const PointList &points);

    // Velocity at one point r from elements at X with line elements T.
    // Requires T.size() >= X.size().
    static Vec3 velocity(const Vec3 &r, const PointList &X, const PointList &T, double circulation);

    // Periodic central-difference vorticity (the negated curl for axes x, y, z).
    // Requires u.size() >= d0*d1*d2 when all dims are positive.
    // The three grid kernels below call `interrupt` between rows of the
    // grid (or runs of entries), about every kInterruptInterval units of work.
    static PointList computeVorticity(const PointList &u, const Dims &dims, double h,
                                      const Interrupt &interrupt = {});

    // Samples at least `margin` nodes in from every face, in grid order.
    // Requires margin >= 0 and u.size() >= d0*d1*d2 when the interior is not empty.
    static PointList extractInterior(const PointList &u, const Dims &dims, int margin,
                                     const Interrupt &interrupt = {});

    // (sum v.w, sum |w|^2 r_sq, (H_charge/H_mass - 1)/2).
    // Requires w.size() >= v.size() and r_sq.size() >= w.size().
    static Invariants computeInvariants(const PointList &v, const PointList &w, const std::vector<double> &r_sq,
                                        const Interrupt &interrupt = {});
};

// Shared by the kernels and their callers.
constexpr double kFourPi = 12.566370614359172;
constexpr double kInvFourPi = 0.07957747154594767;

// Biot–Savart interaction energy of a closed filament for M cutoffs a_q in
// one pass over the vertex pairs:
//   E(a_q) = 1/(8 pi) * sum over ordered pairs i != j with d_ij > a_q of (t_i . t_j) ds_i ds_j / d_ij.
// points and tangents hold n rows of (x, y, z), ds n weights. Each pair is
// entered once into a difference list at the number of cutoffs below its
// distance; prefix sums then give every E(a_q). The cutoffs must be finite
// and non-decreasing for the result to be that energy; any other list still
// keeps every index in range. M = 0 gives an empty list, n < 2 gives M zeros.
// `interrupt` is called between rows, about every kInterruptInterval pairs.
std::vector<double> bs_cutoff_energy_scan(const double *points, const double *tangents, const double *ds,
                                          std::uint64_t n, const double *cutoffs, std::uint64_t m,
                                          const Interrupt &interrupt = {});

}  // namespace qel
