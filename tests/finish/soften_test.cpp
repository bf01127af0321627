// The soften: an exact small case, the variance and shape of the spread, mean alpha kept on frames with a constant border,
// clamped edges.
#include "finish/plates.h"
#include "finish/soften.h"
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

TEST(Soften, SigmaOneIsThreePassesOfOneFourOne)
{
    // Sigma 1 over three passes: each pass has variance 1/3, a box of radius 0 with end weights
    // 1/4, i.e. (1, 4, 1) / 6; three of them make (1, 12, 51, 88, 51, 12, 1) / 216 along each
    // direction.
    const double taps[7] = {1, 12, 51, 88, 51, 12, 1};
    AlphaPlane matte(15, 15);
    matte.At(7, 7) = 1.0f;
    Soften(matte, 1.0);
    auto weight = [&](int k) { return std::abs(k) <= 3 ? taps[k + 3] / 216.0 : 0.0; };
    for (int dy = -4; dy <= 4; ++dy)
        for (int dx = -4; dx <= 4; ++dx)
            EXPECT_NEAR(matte.At(7 + dx, 7 + dy), weight(dx) * weight(dy), 1e-7) << dx << ", " << dy;
    // Left of and above the taps' reach, before the running sums meet the impulse, every value is
    // exactly +0 (to the right and below the sums carry a rounding residue of about 1e-20 on).
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 15; ++x)
            if (x < 4 || y < 4) {
                EXPECT_TRUE(FloatBitsEqual({matte.At(x, y)}, {0.0f})) << x << ", " << y;
            }
}

// The spread of an impulse, along x: its sum, mean offset and variance.
struct Spread {
    double Sum = 0.0;
    double Mean = 0.0;
    double Variance = 0.0;
};

Spread SpreadAlongRow(const AlphaPlane& matte, int y, int centre)
{
    Spread s;
    for (int x = 0; x < matte.Width; ++x)
        s.Sum += matte.At(x, y);
    for (int x = 0; x < matte.Width; ++x) {
        const double k = x - centre;
        s.Mean += k * matte.At(x, y) / s.Sum;
        s.Variance += k * k * matte.At(x, y) / s.Sum;
    }
    return s;
}

TEST(Soften, AnImpulseSpreadsWithVarianceSigmaSquaredAndCloseToTheGaussian)
{
    for (const double sigma : {0.3, 0.8, 1.7, 2.5, 6.2, 13.0}) {
        // A one-row frame wide enough that nothing reaches the border.
        const int centre = 120;
        AlphaPlane matte(2 * centre + 1, 1);
        matte.At(centre, 0) = 1.0f;
        Soften(matte, sigma);
        const Spread spread = SpreadAlongRow(matte, 0, centre);
        EXPECT_NEAR(spread.Sum, 1.0, 1e-6) << sigma;
        EXPECT_NEAR(spread.Mean, 0.0, 1e-6) << sigma;
        EXPECT_NEAR(spread.Variance, sigma * sigma, 1e-5 * sigma * sigma) << sigma;
    }
}

TEST(Soften, AHardEdgeFollowsTheGaussiansIntegral)
{
    // Alpha 1 from x = 120 on: softened, pixel x holds the share of a Gaussian centred on it
    // that falls beyond x = 119.5. Three boxes keep that within 0.01 once sigma spans a pixel and
    // a half (their own peak is 6 % lower, the integral hides it).
    for (const double sigma : {1.5, 2.0, 2.5, 4.2, 9.0, 31.0}) {
        AlphaPlane matte(240, 2);
        for (int y = 0; y < 2; ++y)
            for (int x = 120; x < 240; ++x)
                matte.At(x, y) = 1.0f;
        Soften(matte, sigma);
        for (int x = 0; x < 240; ++x) {
            const double expected = 0.5 * std::erfc(-(x - 119.5) / (sigma * std::sqrt(2.0)));
            EXPECT_NEAR(matte.At(x, 1), expected, 0.01) << "sigma " << sigma << " at " << x;
        }
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

// The blur as its description defines it, one pass after another over whole planes: along each
// row three running-sum passes in double, rounded to float once; then down each column three
// such passes, each rounded to float. The box (radius, end weight, scale) is worked out here from
// the variance as the description gives it.
AlphaPlane SoftenedPassByPass(AlphaPlane matte, double sigma)
{
    const double variance = sigma * sigma / 3.0;
    int r = 0;
    while ((r + 1) * (r + 2) / 3.0 <= variance)
        ++r;
    const double plain = r * (r + 1) / 3.0;
    const double end = (2.0 * r + 1.0) * (plain - variance) / (2.0 * (variance - (r + 1.0) * (r + 1.0)));
    const double scale = 1.0 / (2.0 * r + 1.0 + 2.0 * end);
    // One pass over n values read at in(i) (i clamped by the caller's accessor), written to out.
    const auto pass = [&](auto in, auto out, int n) {
        double sum = 0.0;
        for (int i = -r; i <= r; ++i)
            sum += in(i);
        for (int i = 0; i < n; ++i) {
            out(i, (sum + end * (in(i - r - 1) + in(i + r + 1))) * scale);
            sum += in(i + r + 1) - in(i - r);
        }
    };
    const int w = matte.Width;
    const int h = matte.Height;
    for (int y = 0; y < h; ++y) {
        std::vector<double> row(static_cast<std::size_t>(w));
        for (int x = 0; x < w; ++x)
            row[static_cast<std::size_t>(x)] = matte.At(x, y);
        for (int p = 0; p < 3; ++p) {
            std::vector<double> next(row.size());
            pass([&](int i) { return row[static_cast<std::size_t>(std::clamp(i, 0, w - 1))]; },
                 [&](int i, double v) { next[static_cast<std::size_t>(i)] = v; }, w);
            row = next;
        }
        for (int x = 0; x < w; ++x)
            matte.At(x, y) = static_cast<float>(row[static_cast<std::size_t>(x)]);
    }
    for (int p = 0; p < 3; ++p) {
        AlphaPlane next(w, h);
        for (int x = 0; x < w; ++x)
            pass([&](int i) { return static_cast<double>(matte.At(x, std::clamp(i, 0, h - 1))); },
                 [&](int i, double v) { next.At(x, i) = static_cast<float>(v); }, h);
        matte = next;
    }
    return matte;
}

// The frame's passes, however the blur arranges them (rows side by side, columns swept in strips
// with the passes following one another), give the bits of the passes run one after another:
// frames narrower and wider than a strip, radii from 0 to the widest, heights shorter than the
// passes' reach, values beyond 0..1 and zeros of either sign.
TEST(Soften, GivesTheBitsOfThePassesRunOneAfterAnother)
{
    struct Case {
        std::int32_t Width, Height;
        double Sigma;
    };
    const Case cases[] = {{1, 1, 2.0}, {5, 3, 9.0},    {33, 17, 0.4},  {41, 29, 2.0},
                          {90, 7, 3.3}, {700, 12, 50.0}, {9, 150, 20.0}, {1500, 5, 30.0}};
    std::mt19937 random(11);
    std::uniform_real_distribution<float> value(-0.25f, 1.25f);
    for (const Case& c : cases) {
        AlphaPlane matte(c.Width, c.Height);
        for (float& v : matte.Values)
            v = random() % 5 == 0 ? (random() % 2 == 0 ? -0.0f : 1.0f) : value(random);
        const AlphaPlane expected = SoftenedPassByPass(matte, c.Sigma);
        for (FinishIsa isa : {FinishIsa::Baseline, FinishIsa::Avx2}) {
            if (!FinishIsaAvailable(isa))
                continue;
            AlphaPlane softened = matte;
            std::vector<float> spare;
            Soften(softened, c.Sigma, spare, isa);
            EXPECT_TRUE(FloatBitsEqual(softened.Values, expected.Values))
                << c.Width << " x " << c.Height << ", sigma " << c.Sigma;
        }
    }
}

// The blur compiled for AVX2 gives every value the bits the baseline build gives: frames narrower
// than a strip and wider, heights that leave rows over after the groups of four, one-pixel frames,
// negative zeros, borders of zeros and values beyond 0..1 among them, the widest sigma.
TEST(Soften, EveryInstructionSetGivesTheSameBits)
{
    if (!FinishIsaAvailable(FinishIsa::Avx2))
        GTEST_SKIP() << "this processor has no AVX2";
    struct Case {
        std::int32_t Width, Height;
        double Sigma;
    };
    const Case cases[] = {{1, 1, 2.0},   {1, 9, 0.7},    {7, 1, 3.0},    {37, 23, 0.3},  {300, 11, 1.0},
                          {64, 64, 2.0}, {259, 6, 7.7},  {13, 270, 25.0}, {40, 30, 50.0}};
    std::mt19937 random(5);
    std::uniform_real_distribution<float> value(-0.25f, 1.25f);
    for (const Case& c : cases) {
        AlphaPlane baseline(c.Width, c.Height);
        for (float& v : baseline.Values)
            v = random() % 7 == 0 ? -0.0f : value(random);
        // A border of zeros (either sign) two pixels wide on the larger frames.
        if (c.Width > 8 && c.Height > 8)
            for (std::int32_t y = 0; y < c.Height; ++y)
                for (std::int32_t x = 0; x < c.Width; ++x)
                    if (x < 2 || y < 2 || x >= c.Width - 2 || y >= c.Height - 2)
                        baseline.At(x, y) = (x + y) % 2 == 0 ? 0.0f : -0.0f;
        AlphaPlane avx2 = baseline;
        std::vector<float> spare;
        Soften(baseline, c.Sigma, spare, FinishIsa::Baseline);
        Soften(avx2, c.Sigma, spare, FinishIsa::Avx2);
        EXPECT_TRUE(FloatBitsEqual(avx2.Values, baseline.Values))
            << c.Width << " x " << c.Height << ", sigma " << c.Sigma;
    }
}

}  // namespace
}  // namespace qualvex::finish::testing
