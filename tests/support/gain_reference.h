#pragma once

// The service's level gain, written out apart from its code for the tests to compare against:
// each sample becomes (sample / 7) * level, the division truncating toward zero, the product
// clamped to 16 bits. Only the level's low 16 bits count, read as a signed number.

#include <stdint.h>

#include <algorithm>
#include <vector>

inline int16_t scaled(int16_t sample, int level) {
    const int32_t level16 = static_cast<int16_t>(static_cast<uint16_t>(level));
    const int32_t product = sample / 7 * level16;
    return static_cast<int16_t>(std::clamp<int32_t>(product, INT16_MIN, INT16_MAX));
}

// A block of interleaved samples, scaled sample by sample.
inline std::vector<int16_t> scaled(const std::vector<int16_t>& in, int level) {
    std::vector<int16_t> out(in.size());
    std::transform(in.begin(), in.end(), out.begin(), [&](int16_t s) { return scaled(s, level); });
    return out;
}
