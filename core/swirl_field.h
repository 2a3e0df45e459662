#pragma once
// Time-dependent 2-D swirl force field on a res x res grid over the unit
// square centred on the origin, in single precision throughout.
#include <array>
#include <vector>

#include "interrupt.h"

namespace qel {

// res*res pairs (Fx, Fy), row i outer and column j inner (index i*res + j).
// A negative res gives res*res zero pairs; |res| > 46340, whose square does
// not fit a 32-bit sample count, is refused with a length error.
// `interrupt` is called between rows, about every kInterruptInterval units
// of work; when it throws, nothing is returned.
std::vector<std::array<float, 2>> compute_swirl_field(int res, float time, const Interrupt &interrupt = {});

}  // namespace qel
