// Exact comparison of floats for tests. A failure names each differing index with the value, the
// expected value and their distance in units in the last place.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "color/color_vec.h"

namespace qualvex::testing {

// Distance in representable values between a and b (0 when equal, also for two NaNs).
std::int64_t UlpDistance(float a, float b);
std::int64_t UlpDistance(double a, double b);

::testing::AssertionResult FloatsEqual(std::span<const float> actual, std::span<const float> expected);
::testing::AssertionResult DoublesEqual(std::span<const double> actual, std::span<const double> expected);

// Bit for bit: -0 differs from +0, but any NaN matches any NaN (sign and payload aside). A
// failure names each differing index with both values, their bit patterns and their distance.
::testing::AssertionResult FloatBitsEqual(std::span<const float> actual, std::span<const float> expected);
::testing::AssertionResult DoubleBitsEqual(std::span<const double> actual, std::span<const double> expected);

inline ::testing::AssertionResult FloatsEqual(std::initializer_list<float> actual,
                                              std::initializer_list<float> expected)
{
    return FloatsEqual(std::span<const float>(actual.begin(), actual.size()),
                       std::span<const float>(expected.begin(), expected.size()));
}

inline ::testing::AssertionResult DoublesEqual(std::initializer_list<double> actual,
                                               std::initializer_list<double> expected)
{
    return DoublesEqual(std::span<const double>(actual.begin(), actual.size()),
                        std::span<const double>(expected.begin(), expected.size()));
}

inline ::testing::AssertionResult FloatBitsEqual(std::initializer_list<float> actual,
                                                 std::initializer_list<float> expected)
{
    return FloatBitsEqual(std::span<const float>(actual.begin(), actual.size()),
                          std::span<const float>(expected.begin(), expected.size()));
}

// The p1, p2, p3 (R, G, B) fields of a colour, exactly.
inline ::testing::AssertionResult ComponentsEqual(const ColorVec& c, float p1, float p2, float p3)
{
    return FloatsEqual({c.R, c.G, c.B}, {p1, p2, p3});
}

// The value printed with as many significant digits as `printed` has equals `printed`: a check
// to the last printed digit of a documented figure such as "-0.2075499".
::testing::AssertionResult PrintsAs(double value, const std::string& printed);

}  // namespace qualvex::testing
