#include "swirl_field.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace qel {

namespace {

// Work of one sample (a square root, a sine and two divisions in single
// precision), in the units of the interrupt's work count.
constexpr std::uint64_t kSampleWork = 8;
// Zero pairs appended between two counts of the work.
constexpr std::size_t kZeroRun = 4096;

}  // namespace

std::vector<std::array<float, 2>> compute_swirl_field(int res, float time, const Interrupt &interrupt) {
    // 46340 is the largest |res| whose square fits a 32-bit signed count.
    constexpr int kMaxRes = 46340;
    if (res > kMaxRes || res < -kMaxRes) {
        throw std::length_error("compute_swirl_field: |res| must not exceed 46340 (res*res samples)");
    }
    const int n = res * res;
    // Filled in order rather than made zero first, so that the memory of a
    // large field is first touched in the loops that count the work.
    std::vector<std::array<float, 2>> out;
    out.reserve(static_cast<std::size_t>(n));
    WorkMeter meter(interrupt);
    if (res <= 0) {
        while (out.size() < static_cast<std::size_t>(n)) {
            const std::size_t run = std::min(kZeroRun, static_cast<std::size_t>(n) - out.size());
            out.resize(out.size() + run, std::array<float, 2>{0.0f, 0.0f});
            meter.add(run);
        }
        return out;
    }

    const float R = static_cast<float>(res);
    const float w = time * 6.0f;
    for (int i = 0; i < res; ++i) {
        const float u = static_cast<float>(i) / R - 0.5f;
        for (int j = 0; j < res; ++j) {
            const float v = static_cast<float>(j) / R - 0.5f;
            const float r2 = (v * v + u * u) + 1e-5f;
            const float r = std::sqrt(r2);
            const float a = 0.1f / r2;
            const float b = 0.25f / r;
            const float mod = 0.03f * std::sin(r * 10.0f - w) + 1.0f;
            // Sample (i, j) goes to index i*res + j, where the samples before it end.
            out.push_back(std::array<float, 2>{((-u) * a + (-v) * b) * mod, (b * u + (-v) * a) * mod});
        }
        meter.add(kSampleWork * static_cast<std::uint64_t>(res));
    }
    return out;
}

}  // namespace qel
