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
    {"AverageGreen", {0.5f, 0.625f, 0.125f}, {kAverage, kGreen, 1.0f, false, {}}, {0.5f, 0.3125f, 0.125f}},
    // The larger of R and B is 0.5: the spill is 0.125.
    {"MaximumGreen", {0.5f, 0.625f, 0.125f}, {kMaximum, kGreen, 1.0f, false, {}}, {0.5f, 0.5f, 0.125f}},
    // Half the amount takes half the spill: 0.625 - 0.5 x 0.3125.
    {"HalfAmount", {0.5f, 0.625f, 0.125f}, {kAverage, kGreen, 0.5f, false, {}}, {0.5f, 0.46875f, 0.125f}},
    {"ZeroAmount", {0.5f, 0.625f, 0.125f}, {kAverage, kGreen, 0.0f, false, {}}, {0.5f, 0.625f, 0.125f}},
    {"Off", {0.5f, 0.625f, 0.125f}, {kOff, kGreen, 1.0f, true, {}}, {0.5f, 0.625f, 0.125f}},
    // No spill: green at or below the limit stays as it is.
    {"GreenBelowAverage", {0.5f, 0.25f, 0.125f}, {kAverage, kGreen, 1.0f, false, {}}, {0.5f, 0.25f, 0.125f}},
    {"GreenAtMaximum", {0.5f, 0.5f, 0.125f}, {kMaximum, kGreen, 1.0f, true, {}}, {0.5f, 0.5f, 0.125f}},
    {"Grey", {0.375f, 0.375f, 0.375f}, {kAverage, kGreen, 1.0f, true, {}}, {0.375f, 0.375f, 0.375f}},
    // Blue screen: limit from R and G; red screen: limit from G and B.
    {"AverageBlue", {0.25f, 0.125f, 0.75f}, {kAverage, kBlue, 1.0f, false, {}}, {0.25f, 0.125f, 0.1875f}},
    {"MaximumBlue", {0.25f, 0.125f, 0.75f}, {kMaximum, kBlue, 1.0f, false, {}}, {0.25f, 0.125f, 0.25f}},
    {"MaximumRed", {0.875f, 0.5f, 0.25f}, {kMaximum, kRed, 1.0f, false, {}}, {0.5f, 0.5f, 0.25f}},
    // Green spill on a blue-screen setting is not spill.
    {"OtherScreen", {0.5f, 0.625f, 0.125f}, {kMaximum, kBlue, 1.0f, false, {}}, {0.5f, 0.625f, 0.125f}},
    // To grey: spill 0.375 (limit 0.25), a third of it, 0.125, back to each channel; the sum of
    // the channels stays 1.
    {"ToGrey", {0.25f, 0.625f, 0.125f}, {kMaximum, kGreen, 1.0f, true, {}}, {0.375f, 0.375f, 0.25f}},
    // Half of spill 0.75 is 0.375, a third of that 0.125.
    {"ToGreyHalf", {0.0f, 1.0f, 0.25f}, {kMaximum, kGreen, 0.5f, true, {}}, {0.125f, 0.75f, 0.375f}},
};

// Against a screen colour: the screen channels are those with at least three quarters of the
// strongest excess over the screen's weakest channel; each loses the excess of the weakest of
// them over the strongest other channel.
constexpr DespillMethod kScreen = DespillMethod::ScreenColour;
constexpr Rgb kGreenScreen{0.0f, 1.0f, 0.0f};
constexpr Rgb kYellowScreen{1.0f, 0.9375f, 0.125f};  // R and G: excesses 0.875 and 0.8125 of 0.875
constexpr Rgb kBlueScreen{0.125f, 0.25f, 0.875f};    // B alone: G's excess 0.125 of 0.75
constexpr Rgb kCyanScreen{0.0f, 0.75f, 0.75f};
constexpr Rgb kMagentaScreen{0.75f, 0.0f, 0.75f};
constexpr Rgb kTealAtThreeQuarters{0.125f, 0.875f, 0.6875f};  // B's excess 0.5625: 3/4 of G's 0.75
constexpr Rgb kTealBelow{0.125f, 0.875f, 0.625f};              // 0.5: G alone
constexpr Rgb kGreenWithBlue{0.0f, 0.8125f, 0.40625f};         // B's excess half of G's: G alone

const DespillCase kScreenColourCases[] = {
    // A green screen is G alone: the same as Maximum (MaximumGreen above).
    {"GreenScreenIsMaximum", {0.5f, 0.625f, 0.125f}, {kScreen, kBlue, 1.0f, false, kGreenScreen}, {0.5f, 0.5f, 0.125f}},
    // Warm skin under yellow spill: min(R, G) 0.625 over B 0.25 is 0.375, out of R and G; R's lead
    // over G, the skin's own warmth, stays.
    {"YellowSkin", {0.75f, 0.625f, 0.25f}, {kScreen, kGreen, 1.0f, false, kYellowScreen}, {0.375f, 0.25f, 0.25f}},
    {"YellowHalfAmount", {0.75f, 0.625f, 0.25f}, {kScreen, kGreen, 0.5f, false, kYellowScreen},
     {0.5625f, 0.4375f, 0.25f}},
    // The removed 2 x 0.375 back, a third (0.25) to each: the sum 1.625 is kept.
    {"YellowToGrey", {0.75f, 0.625f, 0.25f}, {kScreen, kGreen, 1.0f, true, kYellowScreen}, {0.625f, 0.5f, 0.5f}},
    // Screen light keeps only its R lead over G; B above min(R, G) holds no yellow spill.
    {"YellowLightLosesItsYellow", {0.875f, 0.8125f, 0.125f}, {kScreen, kGreen, 1.0f, false, kYellowScreen},
     {0.1875f, 0.125f, 0.125f}},
    {"YellowNoSpill", {0.5f, 0.25f, 0.375f}, {kScreen, kGreen, 1.0f, false, kYellowScreen}, {0.5f, 0.25f, 0.375f}},
    {"YellowOnGrey", {0.375f, 0.375f, 0.375f}, {kScreen, kGreen, 1.0f, true, kYellowScreen}, {0.375f, 0.375f, 0.375f}},
    // Green spill is not yellow spill where B is above R: min(R, G) 0.25 is under B 0.5.
    {"YellowScreenGreenLight", {0.25f, 0.75f, 0.5f}, {kScreen, kGreen, 1.0f, false, kYellowScreen},
     {0.25f, 0.75f, 0.5f}},
    {"BlueScreen", {0.25f, 0.125f, 0.75f}, {kScreen, kGreen, 1.0f, false, kBlueScreen}, {0.25f, 0.125f, 0.25f}},
    {"CyanScreen", {0.25f, 0.5f, 0.625f}, {kScreen, kGreen, 1.0f, false, kCyanScreen}, {0.25f, 0.25f, 0.375f}},
    {"MagentaScreen", {0.625f, 0.25f, 0.5f}, {kScreen, kGreen, 1.0f, false, kMagentaScreen}, {0.375f, 0.25f, 0.25f}},
    // At three quarters B counts (spill min(0.75, 0.5) - 0.25); under it, G alone (0.75 - 0.5).
    {"TealAtThreeQuarters", {0.25f, 0.75f, 0.5f}, {kScreen, kGreen, 1.0f, false, kTealAtThreeQuarters},
     {0.25f, 0.5f, 0.25f}},
    {"TealBelow", {0.25f, 0.75f, 0.5f}, {kScreen, kGreen, 1.0f, false, kTealBelow}, {0.25f, 0.5f, 0.5f}},
    // Green spill on skin under a blue-heavy green screen: G over max(R, B), 0.125, comes out.
    {"GreenWithBlueOnSkin", {0.5f, 0.625f, 0.375f}, {kScreen, kGreen, 1.0f, false, kGreenWithBlue},
     {0.5f, 0.5f, 0.375f}},
    // A grey screen has no hue to take out.
    {"GreyScreen", {0.25f, 0.75f, 0.5f}, {kScreen, kGreen, 1.0f, true, {0.5f, 0.5f, 0.5f}}, {0.25f, 0.75f, 0.5f}},
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
INSTANTIATE_TEST_SUITE_P(ScreenColour, Despilling, ::testing::ValuesIn(kScreenColourCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Despill, ANaNInTheColourLeavesItAsItIs)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Rgb in{nan, 0.75f, 0.25f};
    for (const DespillMethod method : {kAverage, kScreen}) {
        const Rgb out = Despill(in, {method, kGreen, 1.0f, true, kGreenScreen});
        EXPECT_TRUE(std::isnan(out.R));
        EXPECT_TRUE(FloatsEqual({out.G, out.B}, {0.75f, 0.25f}));
    }
}

TEST(Despill, AScreenColourWithANaNOrAnInfinityTakesNothingOut)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const Rgb screen : {Rgb{nan, 1.0f, 0.0f}, Rgb{0.0f, inf, 0.0f}, Rgb{-inf, 0.0f, 0.0f}}) {
        const Rgb out = Despill({0.25f, 0.75f, 0.5f}, {kScreen, kGreen, 1.0f, false, screen});
        EXPECT_TRUE(FloatsEqual({out.R, out.G, out.B}, {0.25f, 0.75f, 0.5f}));
    }
}

}  // namespace
}  // namespace qualvex::finish
