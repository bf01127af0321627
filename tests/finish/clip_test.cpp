// The clip's black and white points at hand-computed points.
#include "finish/clip.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <limits>

namespace qualvex::finish {
namespace {

using qualvex::testing::FloatsEqual;

struct ClipCase {
    double Black;
    double White;
    float In;
    float Out;
};

const ClipCase kClipCases[] = {
    // Black 0.25, white 0.75: (a - 0.25) / 0.5.
    {0.25, 0.75, 0.0f, 0.0f},
    {0.25, 0.75, 0.25f, 0.0f},
    {0.25, 0.75, 0.375f, 0.25f},
    {0.25, 0.75, 0.5f, 0.5f},
    {0.25, 0.75, 0.625f, 0.75f},
    {0.25, 0.75, 0.75f, 1.0f},
    {0.25, 0.75, 1.0f, 1.0f},
    // Black 0.2, white 0.7, alpha 0.45f = 0.449999988079071: in double, 0.249999988079071 /
    // 0.49999999999999994 = 0.4999999761581421, whose nearest float is 0.49999997019767761
    // (the floats there are 2^-25 apart): not 0.5, the rounding of the inputs shows.
    {0.2, 0.7, 0.45f, 0.49999997019767761f},
    // The defaults only clamp.
    {0.0, 1.0, 0.3f, 0.3f},
    {0.0, 1.0, -0.5f, 0.0f},
    {0.0, 1.0, 1.5f, 1.0f},
    // No range: a step at black.
    {0.5, 0.5, 0.49f, 0.0f},
    {0.5, 0.5, 0.5f, 1.0f},
    {0.6, 0.4, 0.55f, 0.0f},
    {0.6, 0.4, 0.65f, 1.0f},
};

TEST(Clip, MapsBlackToWhiteOntoZeroToOne)
{
    for (const ClipCase& c : kClipCases)
        EXPECT_TRUE(FloatsEqual({ClipAlpha(c.In, {c.Black, c.White})}, {c.Out}))
            << "black " << c.Black << ", white " << c.White << ", alpha " << c.In;
}

TEST(Clip, NaNGivesZero)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(ClipAlpha(nan, {0.25, 0.75}), 0.0f);
    EXPECT_EQ(ClipAlpha(nan, {0.5, 0.5}), 0.0f);
    EXPECT_EQ(ClipAlpha(0.75f, {std::numeric_limits<double>::quiet_NaN(), 1.0}), 0.0f);
}

}  // namespace
}  // namespace qualvex::finish
