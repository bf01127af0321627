#include "color/int_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qualvex {
namespace {

TEST(RoundIndex, RoundsHalvesUpward)
{
    EXPECT_EQ(RoundIndex(2.5), 3);
    EXPECT_EQ(RoundIndex(2.49), 2);
    EXPECT_EQ(RoundIndex(-0.5), 0);
    EXPECT_EQ(RoundIndex(-0.6), -1);
    EXPECT_EQ(RoundIndex(-1.5), -1);
    EXPECT_EQ(RoundIndex(0.5), 1);
    EXPECT_EQ(RoundIndex(1.5), 2);
    EXPECT_EQ(RoundIndex(4.9e-324), 0);  // the smallest subnormal is button 0
}

TEST(RoundIndex, GivesNoIndexForWhatDoesNotFitOrIsNotANumber)
{
    EXPECT_EQ(RoundIndex(std::nan("")), NoIndex);
    EXPECT_EQ(RoundIndex(std::numeric_limits<double>::infinity()), NoIndex);
    EXPECT_EQ(RoundIndex(-std::numeric_limits<double>::infinity()), NoIndex);
    EXPECT_EQ(RoundIndex(3e9), NoIndex);
    EXPECT_EQ(RoundIndex(1e300), NoIndex);
    EXPECT_EQ(RoundIndex(2147483646.6), 2147483647);
    EXPECT_EQ(RoundIndex(2147483647.5), NoIndex);
    EXPECT_EQ(RoundIndex(-2147483648.4), NoIndex);  // rounds to -2^31 itself
    EXPECT_EQ(RoundIndex(-2147483648.6), NoIndex);
}

TEST(TruncateToInt32, TruncatesTowardZeroInsideTheRange)
{
    EXPECT_EQ(TruncateToInt32(2.9), 2);
    EXPECT_EQ(TruncateToInt32(-2.9), -2);
    EXPECT_EQ(TruncateToInt32(2147483647.9), 2147483647);
    EXPECT_EQ(TruncateToInt32(-2147483648.9), -2147483647 - 1);
}

TEST(TruncateToInt32, GivesNoIndexOutsideTheRange)
{
    EXPECT_EQ(TruncateToInt32(2147483648.0), NoIndex);
    EXPECT_EQ(TruncateToInt32(-2147483649.0), NoIndex);
    EXPECT_EQ(TruncateToInt32(std::nan("")), NoIndex);
    EXPECT_EQ(TruncateToInt32(std::numeric_limits<double>::infinity()), NoIndex);
    EXPECT_EQ(TruncateToInt32(-1e20), NoIndex);
}

}  // namespace
}  // namespace qualvex
