// The Gaussian soften: weights as defined, mean alpha kept on frames with a constant border,
// clamped edges.
#include "finish/plates.h"
#include "finish/soften.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qualvex::finish::testing {
namespace {

using qualvex::testing::FloatBitsEqual;

TEST(Soften, AnImpulseSpreadsIntoTheNormalisedGaussian)
{
    // Sigma 1: taps -3..3 with weights exp(-k^2 / 2) over their sum.
    AlphaPlane matte(15, 15);
    matte.At(7, 7) = 1.0f;
    Soften(matte, 1.0);
    double sum = 0.0;
    for (int k = -3; k <= 3; ++k)
        sum += std::exp(-0.5 * k * k);
    auto weight = [&](int k) { return std::exp(-0.5 * k * k) / sum; };
    for (int dy = -4; dy <= 4; ++dy)
        for (int dx = -4; dx <= 4; ++dx) {
            const bool reached = std::abs(dx) <= 3 && std::abs(dy) <= 3;
            const double expected = reached ? weight(dx) * weight(dy) : 0.0;
            EXPECT_NEAR(matte.At(7 + dx, 7 + dy), expected, 1e-7) << dx << ", " << dy;
        }
}

TEST(Soften, KeepsTheMeanAlphaOfAFrameWithAConstantBorder)
{
    const double sigmas[] = {0.5, 1.0, 2.0, 3.7, 6.0};
    for (double sigma : sigmas) {
        AlphaPlane matte = Disc(80, 72, 39.3, 35.8, 14.6);  // clear within 19 pixels of the border
        const double before = MeanAlpha(matte);
        Soften(matte, sigma);
        EXPECT_NEAR(MeanAlpha(matte), before, 1e-6) << "sigma " << sigma;
    }
}

TEST(Soften, EdgesRepeatTheirPixels)
{
    // Left half opaque, right half clear: the border pixels hold 1 on the left and 0 on the right,
    // so clamped edges keep the mean at exactly one half; and the edges themselves keep their
    // values, as nothing different lies within reach of them.
    AlphaPlane matte(40, 6);
    for (std::int32_t y = 0; y < 6; ++y)
        for (std::int32_t x = 0; x < 20; ++x)
            matte.At(x, y) = 1.0f;
    Soften(matte, 2.0);
    EXPECT_NEAR(MeanAlpha(matte), 0.5, 1e-6);
    for (std::int32_t y = 0; y < 6; ++y) {
        EXPECT_NEAR(matte.At(0, y), 1.0f, 1e-6);
        EXPECT_NEAR(matte.At(39, y), 0.0f, 1e-6);
        // Symmetric about the edge: columns 19 and 20 sum to one.
        EXPECT_NEAR(matte.At(19, y) + matte.At(20, y), 1.0f, 1e-6);
    }
}

TEST(Soften, ConstantFramesStayConstant)
{
    AlphaPlane matte(9, 7, 0.625f);
    Soften(matte, 4.0);
    for (float a : matte.Values)
        EXPECT_NEAR(a, 0.625f, 1e-6);
}

TEST(Soften, SigmaZeroOrNaNLeavesTheMatteAsItIs)
{
    const AlphaPlane original = Disc(20, 20, 9.5, 10.2, 5.5);
    for (double sigma : {0.0, -2.0, std::numeric_limits<double>::quiet_NaN()}) {
        AlphaPlane matte = original;
        Soften(matte, sigma);
        EXPECT_TRUE(FloatBitsEqual(matte.Values, original.Values)) << sigma;
    }
}

TEST(Soften, SigmaAboveTheLimitActsAsTheLimit)
{
    AlphaPlane a = Disc(24, 20, 11.5, 9.5, 6.0);
    AlphaPlane b = a;
    Soften(a, kMaxSoftenSigma);
    Soften(b, 1e9);
    EXPECT_TRUE(FloatBitsEqual(b.Values, a.Values));
}

}  // namespace
}  // namespace qualvex::finish::testing
