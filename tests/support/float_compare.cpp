#include "support/float_compare.h"

#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <type_traits>

namespace qualvex::testing {

namespace {

// Maps floats onto integers so that neighbouring values are neighbouring integers.
template <typename Int, typename Float>
Int Ordered(Float value)
{
    const Int bits = std::bit_cast<Int>(value);
    return bits < 0 ? std::numeric_limits<Int>::min() - bits : bits;
}

// Same bits, or both not a number.
template <typename Float>
bool SameBits(Float a, Float b)
{
    using Bits = std::conditional_t<sizeof(Float) == 4, std::uint32_t, std::uint64_t>;
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::bit_cast<Bits>(a) == std::bit_cast<Bits>(b);
}

template <typename Float>
::testing::AssertionResult CompareBits(std::span<const Float> actual, std::span<const Float> expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "sizes differ: " << actual.size() << " values, " << expected.size()
                                             << " expected";
    using Bits = std::conditional_t<sizeof(Float) == 4, std::uint32_t, std::uint64_t>;
    std::ostringstream report;
    bool same = true;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (SameBits(actual[i], expected[i]))
            continue;
        same = false;
        char line[200];
        const int digits = sizeof(Float) == 4 ? 9 : 17;
        const int hexDigits = sizeof(Float) == 4 ? 8 : 16;
        std::snprintf(line, sizeof line, "\n  index %zu: value %.*g (%0*llx), expected %.*g (%0*llx), %lld ulps apart", i,
                      digits, static_cast<double>(actual[i]), hexDigits,
                      static_cast<unsigned long long>(std::bit_cast<Bits>(actual[i])), digits,
                      static_cast<double>(expected[i]), hexDigits,
                      static_cast<unsigned long long>(std::bit_cast<Bits>(expected[i])),
                      static_cast<long long>(UlpDistance(actual[i], expected[i])));
        report << line;
    }
    if (same)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "bit patterns differ:" << report.str();
}

template <typename Float>
::testing::AssertionResult Compare(std::span<const Float> actual, std::span<const Float> expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "sizes differ: " << actual.size() << " values, " << expected.size()
                                             << " expected";
    std::ostringstream report;
    bool same = true;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        const std::int64_t ulps = UlpDistance(actual[i], expected[i]);
        if (ulps == 0)
            continue;
        same = false;
        char line[160];
        const int digits = sizeof(Float) == 4 ? 9 : 17;
        std::snprintf(line, sizeof line, "\n  index %zu: value %.*g, expected %.*g, %lld ulps apart", i, digits,
                      static_cast<double>(actual[i]), digits, static_cast<double>(expected[i]),
                      static_cast<long long>(ulps));
        report << line;
    }
    if (same)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "values differ:" << report.str();
}

}  // namespace

std::int64_t UlpDistance(float a, float b)
{
    if (std::isnan(a) || std::isnan(b))
        return (std::isnan(a) && std::isnan(b)) ? 0 : std::numeric_limits<std::int64_t>::max();
    const std::int64_t d = static_cast<std::int64_t>(Ordered<std::int32_t>(a)) - Ordered<std::int32_t>(b);
    return d < 0 ? -d : d;
}

std::int64_t UlpDistance(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return (std::isnan(a) && std::isnan(b)) ? 0 : std::numeric_limits<std::int64_t>::max();
    const std::int64_t oa = Ordered<std::int64_t>(a);
    const std::int64_t ob = Ordered<std::int64_t>(b);
    auto magnitude = [](std::int64_t v) { return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v); };
    // Opposite signs: the distance is the sum of both magnitudes, saturated.
    const std::uint64_t d = ((oa < 0) != (ob < 0)) ? magnitude(oa) + magnitude(ob)
                                                   : magnitude(oa > ob ? oa - ob : ob - oa);
    const auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(d > limit ? limit : d);
}

::testing::AssertionResult FloatsEqual(std::span<const float> actual, std::span<const float> expected)
{
    return Compare(actual, expected);
}

::testing::AssertionResult DoublesEqual(std::span<const double> actual, std::span<const double> expected)
{
    return Compare(actual, expected);
}

::testing::AssertionResult FloatBitsEqual(std::span<const float> actual, std::span<const float> expected)
{
    return CompareBits(actual, expected);
}

::testing::AssertionResult DoubleBitsEqual(std::span<const double> actual, std::span<const double> expected)
{
    return CompareBits(actual, expected);
}

::testing::AssertionResult PrintsAs(double value, const std::string& printed)
{
    // Significant digits of the documented figure: digits of the mantissa, leading zeros aside.
    int digits = 0;
    bool leading = true;
    for (char c : printed) {
        if (c == 'e' || c == 'E')
            break;
        if (!std::isdigit(static_cast<unsigned char>(c)))
            continue;
        if (leading && c == '0')
            continue;
        leading = false;
        ++digits;
    }
    if (digits == 0)
        digits = 1;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
    const double expected = std::strtod(printed.c_str(), nullptr);
    char expectedBuffer[64];
    std::snprintf(expectedBuffer, sizeof expectedBuffer, "%.*g", digits, expected);
    if (std::string(buffer) == expectedBuffer)
        return ::testing::AssertionSuccess();
    char full[64];
    std::snprintf(full, sizeof full, "%.17g", value);
    return ::testing::AssertionFailure() << "value " << full << " prints as " << buffer << " to " << digits
                                         << " digits, expected " << printed;
}

}  // namespace qualvex::testing
