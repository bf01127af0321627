// Spill suppression on colours with a known spill: the screen channel comes down to the limit
// the method names, light without spill stays, and the grey option keeps the channels' sum.
// Every value is a sum of powers of two, so each expected figure is exact.
#include "finish/despill.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qualvex::finish {
namespace {

using qualvex::testing::FloatsEqual;

struct DespillCase {
    const char* Name;
    Rgb In;
    DespillSettings Settings;
    Rgb Out;
};

constexpr DespillMethod kOff = DespillMethod::Off;
constexpr DespillMethod kAverage = DespillMethod::Average;
constexpr DespillMethod kMaximum = DespillMethod::Maximum;
constexpr ScreenChannel kRed = ScreenChannel::Red;
constexpr ScreenChannel kGreen = ScreenChannel::Green;
constexpr ScreenChannel kBlue = ScreenChannel::Blue;

// A subject colour (0.5, 0.25, 0.125) under green spill: G raised by 0.375 to 0.625.
const DespillCase kDespillCases[] = {
    // Average of R and B is 0.3125: the spill is 0.3125.
    {"AverageGreen", {0.5f, 0.625f, 0.125f}, {kAverage, kGreen, 1.0f, false}, {0.5f, 0.3125f, 0.125f}},
    // The larger of R and B is 0.5: the spill is 0.125.
    {"MaximumGreen", {0.5f, 0.625f, 0.125f}, {kMaximum, kGreen, 1.0f, false}, {0.5f, 0.5f, 0.125f}},
    // Half the amount takes half the spill: 0.625 - 0.5 x 0.3125.
    {"HalfAmount", {0.5f, 0.625f, 0.125f}, {kAverage, kGreen, 0.5f, false}, {0.5f, 0.46875f, 0.125f}},
    {"ZeroAmount", {0.5f, 0.625f, 0.125f}, {kAverage, kGreen, 0.0f, false}, {0.5f, 0.625f, 0.125f}},
    {"Off", {0.5f, 0.625f, 0.125f}, {kOff, kGreen, 1.0f, true}, {0.5f, 0.625f, 0.125f}},
    // No spill: green at or below the limit stays as it is.
    {"GreenBelowAverage", {0.5f, 0.25f, 0.125f}, {kAverage, kGreen, 1.0f, false}, {0.5f, 0.25f, 0.125f}},
    {"GreenAtMaximum", {0.5f, 0.5f, 0.125f}, {kMaximum, kGreen, 1.0f, true}, {0.5f, 0.5f, 0.125f}},
    {"Grey", {0.375f, 0.375f, 0.375f}, {kAverage, kGreen, 1.0f, true}, {0.375f, 0.375f, 0.375f}},
    // Blue screen: limit from R and G; red screen: limit from G and B.
    {"AverageBlue", {0.25f, 0.125f, 0.75f}, {kAverage, kBlue, 1.0f, false}, {0.25f, 0.125f, 0.1875f}},
    {"MaximumBlue", {0.25f, 0.125f, 0.75f}, {kMaximum, kBlue, 1.0f, false}, {0.25f, 0.125f, 0.25f}},
    {"MaximumRed", {0.875f, 0.5f, 0.25f}, {kMaximum, kRed, 1.0f, false}, {0.5f, 0.5f, 0.25f}},
    // Green spill on a blue-screen setting is not spill.
    {"OtherScreen", {0.5f, 0.625f, 0.125f}, {kMaximum, kBlue, 1.0f, false}, {0.5f, 0.625f, 0.125f}},
    // To grey: spill 0.375 (limit 0.25), a third of it, 0.125, back to each channel; the sum of
    // the channels stays 1.
    {"ToGrey", {0.25f, 0.625f, 0.125f}, {kMaximum, kGreen, 1.0f, true}, {0.375f, 0.375f, 0.25f}},
    // Half of spill 0.75 is 0.375, a third of that 0.125.
    {"ToGreyHalf", {0.0f, 1.0f, 0.25f}, {kMaximum, kGreen, 0.5f, true}, {0.125f, 0.75f, 0.375f}},
};

class Despilling : public ::testing::TestWithParam<DespillCase> {};

TEST_P(Despilling, GivesTheHandComputedColour)
{
    const DespillCase& c = GetParam();
    const Rgb out = Despill(c.In, c.Settings);
    EXPECT_TRUE(FloatsEqual({out.R, out.G, out.B}, {c.Out.R, c.Out.G, c.Out.B}));
}

INSTANTIATE_TEST_SUITE_P(Cases, Despilling, ::testing::ValuesIn(kDespillCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Despill, ANaNInTheColourLeavesItAsItIs)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Rgb in{nan, 0.75f, 0.25f};
    const Rgb out = Despill(in, {kAverage, kGreen, 1.0f, true});
    EXPECT_TRUE(std::isnan(out.R));
    EXPECT_TRUE(FloatsEqual({out.G, out.B}, {0.75f, 0.25f}));
}

}  // namespace
}  // namespace qualvex::finish
