// Helicity invariants of one Fourier block from the Biot–Savart velocity and
// grid vorticity on a cubic grid about the block's centroid.
#include "../knot_dynamics.h"
#include "../biot_savart.h"
#include "internal.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace qel {

using namespace knot_detail;

namespace {

// Work of one grid node or radius made, in the units of the interrupt's
// work count.
constexpr std::uint64_t kNodeWork = 2;

KnotDynamics::Triple to_triple(const BiotSavart::Invariants &inv) {
    return {std::get<0>(inv), std::get<1>(inv), std::get<2>(inv)};
}

}  // namespace

PointList KnotDynamics::compute_biot_savart_velocity_grid(const PointList &curve, const PointList &grid_points,
                                                           const Interrupt &interrupt) {
    return BiotSavart::computeVelocity(curve, grid_points, 1.0, interrupt);
}

PointList KnotDynamics::compute_vorticity_grid(const PointList &velocity, const std::array<int, 3> &shape,
                                               double spacing, const Interrupt &interrupt) {
    return BiotSavart::computeVorticity(velocity, shape, spacing, interrupt);
}

PointList KnotDynamics::extract_interior_field(const PointList &field, const std::array<int, 3> &shape, int margin,
                                               const Interrupt &interrupt) {
    return BiotSavart::extractInterior(field, shape, margin, interrupt);
}

KnotDynamics::Triple KnotDynamics::compute_helicity_invariants(const PointList &v_sub, const PointList &w_sub,
                                                               const std::vector<double> &r_sq,
                                                               const Interrupt &interrupt) {
    return to_triple(BiotSavart::computeInvariants(v_sub, w_sub, r_sq, interrupt));
}

KnotDynamics::Triple KnotDynamics::compute_helicity_from_fourier_block(const FourierBlock &block, int grid_size,
                                                                       double spacing, int interior_margin,
                                                                       int nsamples, const Interrupt &interrupt) {
    static const char *const fn = "compute_helicity_from_fourier_block: ";
    if (nsamples < 0) throw std::length_error("cannot create std::vector larger than max_size()");
    if (interior_margin < 0) throw std::invalid_argument(std::string(fn) + "interior_margin must not be negative");
    if (grid_size < 0) throw std::length_error("vector::reserve");
    const std::int64_t G = grid_size;
    // G*G stays below 2^62; the third factor is only applied while the count
    // still fits, so the product never overflows.
    constexpr std::int64_t kMaxNodes = std::numeric_limits<std::int32_t>::max();
    std::int64_t nodes = G * G;
    if (nodes <= kMaxNodes) nodes *= G;
    if (nodes > kMaxNodes) {
        throw std::invalid_argument(std::string(fn) + "grid_size " + std::to_string(grid_size) +
                                    " gives more than 2147483647 grid nodes");
    }

    // Both ends of the period: the last sample repeats the first, so the
    // closing segment of the polyline has zero length.
    const std::int64_t n = nsamples;
    std::vector<double> s(static_cast<std::size_t>(n));
    for (std::int64_t k = 0; k < n; ++k) {
        s[static_cast<std::size_t>(k)] = (static_cast<double>(k) * kTwoPi) / static_cast<double>(n - 1);
    }
    const PointList curve = FourierKnot::center_points(FourierKnot::evaluate(block, s, interrupt));

    // The node and radius lists count their work by rows of the grid, as
    // the grid kernels do.
    WorkMeter meter(interrupt);
    const std::int64_t g = G / 2;
    PointList grid;
    grid.reserve(static_cast<std::size_t>(nodes));
    for (std::int64_t i = -g; i < G - g; ++i) {
        const double x = static_cast<double>(i) * spacing;
        for (std::int64_t j = -g; j < G - g; ++j) {
            const double y = static_cast<double>(j) * spacing;
            for (std::int64_t k = -g; k < G - g; ++k) grid.push_back(Vec3{x, y, static_cast<double>(k) * spacing});
            meter.add(kNodeWork * static_cast<std::uint64_t>(G));
        }
    }

    const BiotSavart::Dims dims{grid_size, grid_size, grid_size};
    // Each grid list is freed as soon as it is no longer needed: giving back
    // the memory of a large grid takes a while, and these stretches then
    // come one by one between polls rather than all at the return.
    PointList velocity = BiotSavart::computeVelocity(curve, grid, 1.0, interrupt);
    PointList().swap(grid);
    PointList vorticity = BiotSavart::computeVorticity(velocity, dims, spacing, interrupt);
    const PointList v_sub = BiotSavart::extractInterior(velocity, dims, interior_margin, interrupt);
    PointList().swap(velocity);
    const PointList w_sub = BiotSavart::extractInterior(vorticity, dims, interior_margin, interrupt);
    PointList().swap(vorticity);

    std::vector<double> r_sq;
    const std::int64_t m = interior_margin;
    if (G - 2 * m > 0) {
        r_sq.reserve(v_sub.size());
        for (std::int64_t i = m - g; i < G - g - m; ++i) {
            const double x = static_cast<double>(i) * spacing;
            for (std::int64_t j = m - g; j < G - g - m; ++j) {
                const double y = static_cast<double>(j) * spacing;
                for (std::int64_t k = m - g; k < G - g - m; ++k) {
                    const double z = static_cast<double>(k) * spacing;
                    r_sq.push_back((x * x + y * y) + z * z);
                }
                meter.add(kNodeWork * static_cast<std::uint64_t>(G - 2 * m));
            }
        }
    }
    return to_triple(BiotSavart::computeInvariants(v_sub, w_sub, r_sq, interrupt));
}

}  // namespace qel
