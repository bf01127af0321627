// Float values that any conversion on the way would change, for tests of files in and out: signed
// zeros, infinities, NaN, the smallest subnormal, values beyond 0..1 and beyond half's range, and
// a spread of bit patterns, the same on every machine.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

namespace qualvex::testing {

inline std::vector<float> UnusualFloats(std::size_t count)
{
    const float unusual[] = {0.0f,
                              -0.0f,
                              1.0f,
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::denorm_min(),
                              -1.5e30f,
                              65520.0f,
                              0.1f};
    std::vector<float> values(count);
    std::uint32_t bits = 0x3e000000u;
    for (std::size_t i = 0; i < count; ++i) {
        bits = bits * 1664525u + 1013904223u;
        values[i] = i % 7 == 0 ? unusual[(i / 7) % std::size(unusual)]
                               : std::bit_cast<float>((bits & 0x3f7fffffu) | 0x00800000u);
    }
    return values;
}

}  // namespace qualvex::testing
