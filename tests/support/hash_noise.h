// Noise for generated test plates: uniform in [-1, 1) from a position and a seed, by a fixed
// integer hash, so every machine makes the same plate.
#pragma once

#include <cstdint>

namespace qualvex::testing {

inline float HashNoise(std::uint32_t x, std::uint32_t y, std::uint32_t seed)
{
    std::uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return static_cast<float>(h >> 8) / 8388608.0f - 1.0f;
}

}  // namespace qualvex::testing
