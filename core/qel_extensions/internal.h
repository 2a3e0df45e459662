#pragma once
// Helpers shared by the sources of the Fourier-series file tools.
#include "../qel_extensions.h"

#include <cmath>
#include <string>
#include <vector>

#include "../knot_dynamics.h"

namespace qel {
namespace qelext {
namespace detail {

constexpr double kTwoPi = 6.283185307179586;

inline double norm3(double x, double y, double z) { return std::sqrt(x * x + y * y + z * z); }

// The largest block of a file (first on ties), read as parse_fseries_multi
// reads it. Throws file_access::PathError (a std::runtime_error)
// "no blocks parsed from: " + path when the file yields no block.
FourierBlock largest_block_of(const std::string &path, const Interrupt &interrupt = {});

// Centred samples of a block at i*2pi/nsamples, i = 0 .. nsamples-1; a
// negative count is std::length_error "vector::reserve".
PointList sample_block_centered(const FourierBlock &block, int nsamples, const Interrupt &interrupt = {});

// The curve fields of a metrics record from samples already taken.
FilamentEnergyResult metrics_of_points(const std::string &path, const PointList &points, int nsamples, int skip,
                                       const Interrupt &interrupt = {});

// Coordinates split into three contiguous arrays for the pair loops.
struct Coords {
    std::vector<double> x, y, z;
    explicit Coords(const PointList &p) : x(p.size()), y(p.size()), z(p.size()) {
        for (std::size_t i = 0; i < p.size(); ++i) {
            x[i] = p[i][0];
            y[i] = p[i][1];
            z[i] = p[i][2];
        }
    }
};

}  // namespace detail
}  // namespace qelext
}  // namespace qel
