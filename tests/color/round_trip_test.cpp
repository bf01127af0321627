// Property checks over a few thousand random colours: each forward conversion followed by its
// inverse comes back within the documented bound, and finite input never gives NaN.
#include "color/conversions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace qualvex {
namespace {

constexpr int kSamples = 4000;

struct RoundTrip {
    const char* name;
    ColorVec (*forward)(ColorVec);
    ColorVec (*inverse)(ColorVec);
    double bound;
};

double LargestError(const RoundTrip& trip, float low, float high)
{
    std::mt19937 random(20161207);
    std::uniform_real_distribution<float> channel(low, high);
    double largest = 0.0;
    for (int i = 0; i < kSamples; ++i) {
        const ColorVec c = MakeColor(channel(random), channel(random), channel(random));
        const ColorVec back = trip.inverse(trip.forward(c));
        largest = std::max({largest, std::fabs(static_cast<double>(back.R) - c.R),
                            std::fabs(static_cast<double>(back.G) - c.G), std::fabs(static_cast<double>(back.B) - c.B)});
    }
    return largest;
}

class ConversionRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(ConversionRoundTrip, ReturnsUnitCubeColoursWithinTheBound)
{
    const RoundTrip& trip = GetParam();
    // Y, x, y loses black and the darkest colours to its epsilon branch; start above it.
    const float low = trip.forward == &RgbToXyy ? 0.001f : 0.0f;
    EXPECT_LE(LargestError(trip, low, 1.0f), trip.bound) << trip.name;
}

INSTANTIATE_TEST_SUITE_P(AllSpaces, ConversionRoundTrip,
                         ::testing::Values(RoundTrip{"HSV", &RgbToHsv, &HsvToRgb, 6e-7},
                                           RoundTrip{"YXy", &RgbToXyy, &XyyToRgb, 3e-6},
                                           RoundTrip{"YCbCr", &RgbToYcbcr, &YcbcrToRgb, 3e-6},
                                           RoundTrip{"YUV", &RgbToYuv, &YuvToRgb, 3e-4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConversionsOnFiniteInput, NeverGiveNaN)
{
    std::mt19937 random(7);
    // Well outside 0..1 as well: nothing is clamped, and nothing may turn into NaN.
    std::uniform_real_distribution<float> channel(-3.0f, 4.0f);
    ColorVec (*const all[])(ColorVec) = {&RgbToHsv, &HsvToRgb,   &RgbToXyy, &XyyToRgb,
                                         &RgbToYuv, &YuvToRgb,   &RgbToYcbcr, &YcbcrToRgb};
    for (int i = 0; i < kSamples; ++i) {
        const ColorVec c = MakeColor(channel(random), channel(random), channel(random));
        for (auto convert : all) {
            const ColorVec out = convert(c);
            ASSERT_FALSE(std::isnan(out.R) || std::isnan(out.G) || std::isnan(out.B))
                << "sample " << i << " (" << c.R << ", " << c.G << ", " << c.B << ")";
        }
    }
}

}  // namespace
}  // namespace qualvex
