#include "swirl_field.h"

#include <cmath>
#include <cstddef>
#include <stdexcept>

namespace qel {

std::vector<std::array<float, 2>> compute_swirl_field(int res, float time) {
    // 46340 is the largest |res| whose square fits a 32-bit signed count.
    constexpr int kMaxRes = 46340;
    if (res > kMaxRes || res < -kMaxRes) {
        throw std::length_error("compute_swirl_field: |res| must not exceed 46340 (res*res samples)");
    }
    const int n = res * res;
    std::vector<std::array<float, 2>> out(static_cast<std::size_t>(n), std::array<float, 2>{0.0f, 0.0f});
    if (res <= 0) return out;

    const float R = static_cast<float>(res);
    const float w = time * 6.0f;
    for (int i = 0; i < res; ++i) {
        const float u = static_cast<float>(i) / R - 0.5f;
        std::array<float, 2> *row = out.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(res);
        for (int j = 0; j < res; ++j) {
            const float v = static_cast<float>(j) / R - 0.5f;
            const float r2 = (v * v + u * u) + 1e-5f;
            const float r = std::sqrt(r2);
            const float a = 0.1f / r2;
            const float b = 0.25f / r;
            const float mod = 0.03f * std::sin(r * 10.0f - w) + 1.0f;
            row[j][0] = ((-u) * a + (-v) * b) * mod;
            row[j][1] = (b * u + (-v) * a) * mod;
        }
    }
    return out;
}

}  // namespace qel
