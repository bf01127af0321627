#include "color/conversions.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qualvex {
namespace {

using testing::ComponentsEqual;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

ColorVec Rgb(float r, float g, float b) { return MakeColor(r, g, b); }

TEST(RgbToHsv, PrimariesAndGreys)
{
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(0, 0, 0)), 0, 0, 0));
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(1, 1, 1)), 0, 0, 1));
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(1, 0, 0)), 0, 1, 1));
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(0, 1, 0)), 0.333333343f, 1, 1));
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(0, 0, 1)), 0.666666687f, 1, 1));
}

TEST(RgbToHsv, NegativeSectorAngleWrapsTo330Degrees)
{
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(1, 0, 0.5f)), 0.916666687f, 1, 1));
}

TEST(RgbToHsv, SpreadBelowTheThresholdIsGrey)
{
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(0.5f, 0.5f, 0.500004f)), 0, 0, 0.500003994f));
    // A largest channel of 0 or less is grey too, whatever the spread.
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(-0.5f, -1.0f, 0.0f)), 0, 0, 0));
}

TEST(RgbToHsv, AngleJustBelowZeroWrapsToHueOneAndBack)
{
    const ColorVec hsv = RgbToHsv(Rgb(1, 0.5f, 0.50000006f));
    EXPECT_EQ(hsv.R, 1.0f);
    EXPECT_TRUE(ComponentsEqual(HsvToRgb(hsv), 1, 0.5f, 0.5f));
}

TEST(RgbToHsv, TiesBetweenLargestChannelsTakeRedThenGreen)
{
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(1, 1, 0)), 0.166666672f, 1, 1));
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(1, 0, 1)), 0.833333373f, 1, 1));
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(0, 1, 1)), 0.5f, 1, 1));
}

TEST(RgbToHsv, NotANumberFollowsTheComparisonsAsWritten)
{
    // Red NaN: every comparison with it is false, so min and max both come out as blue; the
    // spread is 0 and the colour is grey.
    EXPECT_TRUE(ComponentsEqual(RgbToHsv(Rgb(kNaN, 0.2f, 0.6f)), 0, 0, 0.6f));
    // Green NaN: min is red and max is blue, a real spread; the hue falls to the blue formula
    // with a NaN difference, so hue alone is NaN.
    const ColorVec greenNaN = RgbToHsv(Rgb(0.3f, kNaN, 0.6f));
    EXPECT_TRUE(std::isnan(greenNaN.R));
    EXPECT_EQ(greenNaN.G, 0.5f);
    EXPECT_EQ(greenNaN.B, 0.6f);
    // Blue NaN: min and max are NaN, the grey test fails, and H, S and V are all NaN.
    const ColorVec blueNaN = RgbToHsv(Rgb(0.3f, 0.2f, kNaN));
    EXPECT_TRUE(std::isnan(blueNaN.R) && std::isnan(blueNaN.G) && std::isnan(blueNaN.B));
}

TEST(HsvToRgb, HueOneIsHueZero)
{
    EXPECT_TRUE(ComponentsEqual(HsvToRgb(MakeColor(1, 1, 1)), 1, 0, 0));
    EXPECT_TRUE(ComponentsEqual(HsvToRgb(MakeColor(0, 1, 1)), 1, 0, 0));
    EXPECT_TRUE(ComponentsEqual(HsvToRgb(MakeColor(0.5f, 1, 1)), 0, 1, 1));
}

TEST(HsvToRgb, SaturationNotAboveZeroIsGrey)
{
    EXPECT_TRUE(ComponentsEqual(HsvToRgb(MakeColor(0.7f, 0, 0.3f)), 0.3f, 0.3f, 0.3f));
    EXPECT_TRUE(ComponentsEqual(HsvToRgb(MakeColor(0.2f, -0.5f, 0.8f)), 0.8f, 0.8f, 0.8f));
    EXPECT_TRUE(ComponentsEqual(HsvToRgb(MakeColor(0.2f, kNaN, 0.8f)), 0.8f, 0.8f, 0.8f));
}

TEST(HsvToRgb, HueThatIsNotANumberOrOutOfRangeTakesTheLastSector)
{
    // The sector index of a NaN hue is -2147483648: red = V, green = p, blue = q (NaN here).
    const ColorVec nanHue = HsvToRgb(MakeColor(kNaN, 0.5f, 0.8f));
    EXPECT_EQ(nanHue.R, 0.8f);
    EXPECT_EQ(nanHue.G, 0.4f);
    EXPECT_TRUE(std::isnan(nanHue.B));
    // A hue far below 0 has no 32-bit sector either; its fraction stays finite.
    const ColorVec farHue = HsvToRgb(MakeColor(-1e10f, 0.5f, 1.0f));
    EXPECT_EQ(farHue.R, 1.0f);
    EXPECT_EQ(farHue.G, 0.5f);
    EXPECT_TRUE(std::isfinite(farHue.B));
    // Negative hues inside the range fall in the last sector too (truncation toward zero gives 0
    // only down to -1/6 of a turn).
    const ColorVec negative = HsvToRgb(MakeColor(-0.5f, 1.0f, 1.0f));
    EXPECT_EQ(negative.R, 1.0f);
    EXPECT_EQ(negative.G, 0.0f);
}

TEST(RgbToXyy, BlackAndNonPositiveSumsGiveZero)
{
    EXPECT_TRUE(ComponentsEqual(RgbToXyy(Rgb(0, 0, 0)), 0, 0, 0));
    EXPECT_TRUE(ComponentsEqual(RgbToXyy(Rgb(-0.1f, 0, 0)), 0, 0, 0));
    EXPECT_TRUE(ComponentsEqual(RgbToXyy(Rgb(kNaN, 0.5f, 0.5f)), 0, 0, 0));
}

TEST(RgbToXyy, WhiteIsTheD65WhitePoint)
{
    EXPECT_TRUE(ComponentsEqual(RgbToXyy(Rgb(1, 1, 1)), 1, 0.312700003f, 0.328999996f));
}

TEST(XyyToRgb, BlackGivesTheNearBlackOfTheEpsilonBranch)
{
    EXPECT_TRUE(ComponentsEqual(XyyToRgb(MakeColor(0, 0, 0)), 2.74235913e-06f, -9.27688745e-07f, 1.11260158e-06f));
    // Any component at or below epsilon, or NaN, takes the same branch with Y as it stands.
    const ColorVec smallY = XyyToRgb(MakeColor(0.5f, 0.3f, 0.000001f));
    const ColorVec nanX = XyyToRgb(MakeColor(0.5f, kNaN, 0.3f));
    EXPECT_TRUE(ComponentsEqual(nanX, smallY.R, smallY.G, smallY.B));
}

TEST(XyyRoundTrip, ReturnsThePrintedColour)
{
    EXPECT_TRUE(ComponentsEqual(XyyToRgb(RgbToXyy(Rgb(0.3f, 0.6f, 0.9f))), 0.299999893f, 0.600000083f, 0.900000215f));
    EXPECT_TRUE(
        ComponentsEqual(XyyToRgb(RgbToXyy(Rgb(0, 0, 0))), 2.74235913e-06f, -9.27688745e-07f, 1.11260158e-06f));
}

TEST(RgbToYcbcr, BlackWhiteAndRed)
{
    EXPECT_TRUE(ComponentsEqual(RgbToYcbcr(Rgb(0, 0, 0)), 0, 0.501960814f, 0.501960814f));
    EXPECT_TRUE(ComponentsEqual(RgbToYcbcr(Rgb(1, 1, 1)), 1, 0.501960814f, 0.501960814f));
    EXPECT_EQ(RgbToYcbcr(Rgb(1, 0, 0)).B, 1.00196087f);  // Cr above 1: nothing is clamped
}

TEST(YcbcrToRgb, UndoesTheForwardConversionToWithinRounding)
{
    // 128/255 in single precision is not exactly 128 on the 0..255 scale: black comes back as
    // tiny residues of either sign, not as exact zeros.
    const ColorVec black = YcbcrToRgb(RgbToYcbcr(Rgb(0, 0, 0)));
    const ColorVec red = YcbcrToRgb(RgbToYcbcr(Rgb(1, 0, 0)));
    for (float residue : {black.R, black.G, black.B, red.R - 1.0f, red.G, red.B})
        EXPECT_LT(std::fabs(residue), 3e-6f);
    EXPECT_NE(black.R, 0.0f);
}

TEST(RgbToYuv, LumaOfRedAndGrey)
{
    const ColorVec red = RgbToYuv(Rgb(1, 0, 0));
    EXPECT_EQ(red.R, 0.299000025f);
    // U = 0.565 (b - Y) and V = 0.713 (r - Y) on the 0..255 scale, each brought back by 1/255.
    EXPECT_EQ(red.G, -0.168935016f);
    EXPECT_EQ(red.B, 0.49981302f);
    EXPECT_TRUE(ComponentsEqual(RgbToYuv(Rgb(0.5f, 0.5f, 0.5f)), 0.5f, 0, 0));
}

TEST(YuvToRgb, LumaWithoutChromaIsGrey)
{
    EXPECT_TRUE(ComponentsEqual(YuvToRgb(MakeColor(0.5f, 0, 0)), 0.5f, 0.5f, 0.5f));
}

TEST(ColourSpaceSelection, OutsideZeroToFourIsRgbBothWays)
{
    const ColorVec c = Rgb(0.2f, 0.4f, 0.6f);
    for (std::int32_t space : {-1, 5, 7, NoIndex}) {
        EXPECT_TRUE(ComponentsEqual(RgbToSpace(c, space), 0.2f, 0.4f, 0.6f)) << "space " << space;
        EXPECT_TRUE(ComponentsEqual(SpaceToRgb(c, space), 0.2f, 0.4f, 0.6f)) << "space " << space;
    }
    EXPECT_TRUE(ComponentsEqual(RgbToSpace(c, ColorSpaceYCbCr), RgbToYcbcr(c).R, RgbToYcbcr(c).G, RgbToYcbcr(c).B));
}

}  // namespace
}  // namespace qualvex
