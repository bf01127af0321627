// Conversions from double to 32-bit integer with a defined result for every input. A value that
// is not a number or lies outside the 32-bit range gives -2147483648, the value a truncating
// conversion gives on x86-64, which selects nothing wherever an index is expected.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace qualvex {

inline constexpr std::int32_t NoIndex = std::numeric_limits<std::int32_t>::min();

// Truncation toward zero.
inline std::int32_t TruncateToInt32(double value)
{
    // The open interval (-2^31 - 1, 2^31) truncates into the 32-bit range; NaN fails both tests.
    if (value > -2147483649.0 && value < 2147483648.0)
        return static_cast<std::int32_t>(value);
    return NoIndex;
}

// Rounding half up, as combo, multibutton and checkbox values become indices: floor(value + 0.5).
inline std::int32_t RoundIndex(double value)
{
    double x = value + 0.5;
    if (x >= -9223372036854775808.0 && x < 9223372036854775808.0)
        x = std::floor(x);
    if (x >= -2147483648.0 && x <= 2147483647.0)
        return static_cast<std::int32_t>(x);
    return NoIndex;
}

}  // namespace qualvex
