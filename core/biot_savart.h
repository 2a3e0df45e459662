#pragma once
// Biot–Savart kernels: the flow induced by a closed vortex filament, the grid
// vorticity of a sampled field and the helicity invariants read off a grid.
#include <array>
#include <tuple>
#include <vector>

#include "vec3.h"

namespace qel {

class BiotSavart {
public:
    using Dims = std::array<int, 3>;
    using Invariants = std::tuple<double, double, double>;  // H_charge, H_mass, a_mu

    // Velocity of a closed polyline (segment midpoints, chord line elements)
    // at every target point, scaled by circulation / (4 pi).
    static PointList computeVelocity(const PointList &curve, const PointList &points, double circulation);
    static PointList computeVelocity(const PointList &curve, const PointList &points);

    // Velocity at one point r from elements at X with line elements T.
    // Requires T.size() >= X.size().
    static Vec3 velocity(const Vec3 &r, const PointList &X, const PointList &T, double circulation);

    // Periodic central-difference vorticity (the negated curl for axes x, y, z).
    // Requires u.size() >= d0*d1*d2 when all dims are positive.
    static PointList computeVorticity(const PointList &u, const Dims &dims, double h);

    // Samples at least `margin` nodes in from every face, in grid order.
    // Requires margin >= 0 and u.size() >= d0*d1*d2 when the interior is not empty.
    static PointList extractInterior(const PointList &u, const Dims &dims, int margin);

    // (sum v.w, sum |w|^2 r_sq, (H_charge/H_mass - 1)/2).
    // Requires w.size() >= v.size() and r_sq.size() >= w.size().
    static Invariants computeInvariants(const PointList &v, const PointList &w, const std::vector<double> &r_sq);
};

// Shared by the kernels and their callers.
constexpr double kFourPi = 12.566370614359172;
constexpr double kInvFourPi = 0.07957747154594767;

}  // namespace qel
