#pragma once
// Hyperbolic volume of a knot complement from a planar-diagram code. The
// module has no solver of its own: its Python face hands the code to an
// outside Python module.
#include <array>
#include <vector>

namespace qel {

// Slot for a native solver. There is none: the result is 0.0 for every
// code, and nothing in the module calls it.
double hyperbolic_volume_from_pd(const std::vector<std::array<int, 4>> &code);

}  // namespace qel
