// Shrink and grow on anti-aliased discs: the radius measured from the matte's area moves by the
// radius asked for, to a tenth of a pixel, fractions included; shrinking then growing restores it.
#include "finish/plates.h"
#include "finish/shrink_grow.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace qualvex::finish::testing {
namespace {

using qualvex::testing::FloatBitsEqual;
using qualvex::testing::FloatsEqual;

struct DiscCase {
    double Radius;   // of the disc
    double CentreX;  // off the pixel grid by different fractions
    double CentreY;
    double By;       // shrink (positive) or grow (negative) radius
};

class DiscRadius : public ::testing::TestWithParam<DiscCase> {};

TEST_P(DiscRadius, MovesTheEdgeByTheRadius)
{
    const DiscCase c = GetParam();
    AlphaPlane matte = Disc(96, 96, c.CentreX, c.CentreY, c.Radius);
    ASSERT_NEAR(RadiusFromArea(matte), c.Radius, 0.02);  // the plate itself
    ShrinkGrow(matte, c.By);
    EXPECT_NEAR(RadiusFromArea(matte), c.Radius - c.By, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Shrink, DiscRadius,
                         ::testing::Values(DiscCase{20.0, 48.0, 48.0, 3.0}, DiscCase{20.3, 47.25, 48.6, 0.25},
                                           DiscCase{20.3, 47.25, 48.6, 0.5}, DiscCase{20.3, 47.25, 48.6, 1.0},
                                           DiscCase{25.7, 48.41, 47.13, 2.7}, DiscCase{30.0, 47.5, 47.5, 6.4},
                                           DiscCase{12.2, 48.8, 47.9, 0.1}, DiscCase{33.1, 48.13, 48.77, 11.5}));
INSTANTIATE_TEST_SUITE_P(Grow, DiscRadius,
                         ::testing::Values(DiscCase{20.0, 48.0, 48.0, -3.0}, DiscCase{20.3, 47.25, 48.6, -0.25},
                                           DiscCase{20.3, 47.25, 48.6, -0.5}, DiscCase{20.3, 47.25, 48.6, -1.0},
                                           DiscCase{15.7, 48.41, 47.13, -2.7}, DiscCase{10.0, 47.5, 47.5, -6.4},
                                           DiscCase{12.2, 48.8, 47.9, -0.1}, DiscCase{8.1, 48.13, 48.77, -17.5}));

TEST(ShrinkGrow, ShrinkThenGrowRestoresTheRadius)
{
    const double shrinks[] = {0.5, 1.75, 3.0, 6.25};
    for (double r : shrinks) {
        AlphaPlane matte = Disc(96, 96, 47.3, 48.7, 22.4);
        ShrinkGrow(matte, r);
        ShrinkGrow(matte, -r);
        EXPECT_NEAR(RadiusFromArea(matte), 22.4, 0.1) << "by " << r;
    }
}

TEST(ShrinkGrow, ZeroAndNaNLeaveTheMatteAsItIs)
{
    const AlphaPlane original = Disc(40, 30, 20.3, 14.6, 9.2);
    for (double r : {0.0, -0.0, std::numeric_limits<double>::quiet_NaN()}) {
        AlphaPlane matte = original;
        ShrinkGrow(matte, r);
        EXPECT_TRUE(FloatBitsEqual(matte.Values, original.Values)) << r;
    }
}

TEST(ShrinkGrow, AStraightHardEdgeMovesByWholeAndFractionalPixels)
{
    // Columns 0..9 opaque, 10..19 clear: the 0.5 contour lies half way, at x = 9.5.
    const auto straight = [] {
        AlphaPlane matte(20, 3);
        for (std::int32_t y = 0; y < 3; ++y)
            for (std::int32_t x = 0; x < 10; ++x)
                matte.At(x, y) = 1.0f;
        return matte;
    };
    struct Case {
        double By;
        float Expected[20];  // coverage of each column after the move: clamp(9.5 - by - x + 0.5)
    };
    const Case cases[] = {
        {2.0, {1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {0.25, {1, 1, 1, 1, 1, 1, 1, 1, 1, 0.75f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {-0.25, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0.25f, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {-3.5, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0.5f, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        AlphaPlane matte = straight();
        ShrinkGrow(matte, c.By);
        for (std::int32_t y = 0; y < 3; ++y)
            EXPECT_TRUE(FloatsEqual(std::span<const float>(&matte.At(0, y), 20), std::span<const float>(c.Expected)))
                << "by " << c.By << ", row " << y;
    }
}

TEST(ShrinkGrow, AFrameWithoutAnEdgeKeepsItsMatteExceptBelowHalfWhenShrunk)
{
    AlphaPlane opaque(8, 8, 1.0f);
    ShrinkGrow(opaque, 5.0);
    EXPECT_EQ(opaque.Values, std::vector<float>(64, 1.0f));  // the frame's border is no edge

    AlphaPlane thin(8, 8, 0.25f);
    ShrinkGrow(thin, -5.0);
    EXPECT_EQ(thin.Values, std::vector<float>(64, 0.25f));
    ShrinkGrow(thin, 0.5);
    EXPECT_EQ(thin.Values, std::vector<float>(64, 0.0f));
}

// Each pixel gets min (shrink) or max (grow) of its alpha and the moved edge's ramp at its
// distance, clamp(t - radius + 0.5, 0, 1), with t measured on the whole frame without a reach:
// whether the edge is short (a disc: its seeds searched around) or everywhere (noise: the
// whole-frame transform), for pixels near it and far from it.
TEST(ShrinkGrow, FollowsTheEdgesDistancesWhetherTheEdgeIsShortOrEverywhere)
{
    AlphaPlane noise(40, 30);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    for (float& v : noise.Values)
        v = value(random);
    const AlphaPlane plates[] = {Disc(160, 120, 70.3, 52.6, 13.0), noise};
    for (const AlphaPlane& plate : plates)
        for (const double radius : {1.3, -2.2, 0.4}) {
            const std::vector<float> t = SignedEdgeDistance(plate, std::numeric_limits<double>::infinity());
            std::vector<float> expected(plate.Values.size());
            for (std::size_t i = 0; i < expected.size(); ++i) {
                const double moved = static_cast<double>(t[i]) - radius + 0.5;
                const float ramp = static_cast<float>(std::clamp(moved, 0.0, 1.0));
                expected[i] = radius > 0.0 ? std::min(plate.Values[i], ramp) : std::max(plate.Values[i], ramp);
            }
            AlphaPlane matte = plate;
            ShrinkGrow(matte, radius);
            EXPECT_TRUE(FloatBitsEqual(matte.Values, expected))
                << plate.Width << " x " << plate.Height << ", " << radius;
        }
}

}  // namespace
}  // namespace qualvex::finish::testing
