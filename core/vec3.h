#pragma once
// Three doubles (x, y, z): the point and vector type shared by all kernels.
#include <array>
#include <vector>

namespace qel {

using Vec3 = std::array<double, 3>;
using PointList = std::vector<Vec3>;

}  // namespace qel
