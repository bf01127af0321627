#include "render/pixel_matte.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace qualvex {
namespace {

using testing::ComponentsEqual;
using testing::PrintsAs;

// RGB, all Values 0.5, every Min and Max `half` (windows 2 x half wide), Fade 1, Gamma 1,
// Offset 0, Mult 1, Invert and Color Correct off.
FrameSettings Window(double half = 0.1)
{
    FrameSettings s;
    for (int i = 0; i < 3; ++i) {
        s.Value[i] = 0.5;
        s.Min[i] = half;
        s.Max[i] = half;
    }
    s.Fade = 1.0;
    return s;
}

ColorVec Key(ColorVec pixel, const FrameSettings& settings)
{
    const MatteFrame frame = PrepareMatteFrame(settings);
    ApplyMatte(pixel, SliderReference(frame), frame);
    return pixel;
}

float Alpha(float r, float g, float b, const FrameSettings& settings)
{
    return Key(MakeColor(r, g, b), settings).A;
}

TEST(PixelMatte, InsideTheWindowClampsToOne)
{
    EXPECT_EQ(Alpha(0.5f, 0.5f, 0.5f, Window()), 1.0f);
    EXPECT_EQ(Alpha(0.7f, 0.5f, 0.5f, Window()), 1.0f);  // only p1 reaches its upper end
}

TEST(PixelMatte, AtOrAboveEveryUpperEndIsFullyKeyedAndKeepsItsColour)
{
    for (float v : {0.9f, 0.6f}) {  // 0.6 gives offsets of 0.200000018, reaching the width 0.2
        const ColorVec out = Key(MakeColor(v, v, v), Window());
        EXPECT_EQ(out.A, 0.0f) << v;
        EXPECT_TRUE(ComponentsEqual(out, v, v, v));
    }
    FrameSettings corrected = Window();
    corrected.ColorCorrect = 1;
    corrected.CCAmount = 1.0;
    EXPECT_TRUE(ComponentsEqual(Key(MakeColor(0.9f, 0.9f, 0.9f), corrected), 0.9f, 0.9f, 0.9f));
}

TEST(PixelMatte, BelowTheWindowFallsOffWithDistance)
{
    EXPECT_EQ(Alpha(0.1f, 0.1f, 0.1f, Window()), 0.384900182f);
}

TEST(PixelMatte, InvertSwapsKeyedAndSoftAlphas)
{
    FrameSettings s = Window();
    s.Invert = 1;
    EXPECT_EQ(Alpha(0.9f, 0.9f, 0.9f, s), 1.0f);
    EXPECT_EQ(Alpha(0.1f, 0.1f, 0.1f, s), 0.615099788f);
    s.Invert = 2;  // active only when exactly 1
    EXPECT_EQ(Alpha(0.1f, 0.1f, 0.1f, s), 0.384900182f);
}

TEST(PixelMatte, ColourCorrectionRemovesTheReferenceAndStaysUnclamped)
{
    FrameSettings s = Window();
    s.ColorCorrect = 1;
    s.CCAmount = 1.0;
    const ColorVec out = Key(MakeColor(0.1f, 0.1f, 0.1f), s);
    EXPECT_EQ(out.A, 0.384900182f);
    EXPECT_TRUE(PrintsAs(out.R, "-0.2075499"));
    EXPECT_TRUE(PrintsAs(out.G, "-0.2075499"));
    EXPECT_TRUE(PrintsAs(out.B, "-0.2075499"));
    s.ColorCorrect = 0;
    EXPECT_TRUE(ComponentsEqual(Key(MakeColor(0.1f, 0.1f, 0.1f), s), 0.1f, 0.1f, 0.1f));
}

TEST(PixelMatte, DesaturationLowersSaturationByTheKeyedShare)
{
    FrameSettings s = Window();
    s.ColorCorrect = 1;
    s.Desaturate = 5.0;  // far more than the saturation: the colour turns grey
    const ColorVec out = Key(MakeColor(0.1f, 0.0f, 0.05f), s);
    EXPECT_LT(out.A, 1.0f);
    EXPECT_TRUE(ComponentsEqual(out, 0.1f, 0.1f, 0.1f));  // grey at the pixel's value
}

TEST(PixelMatte, QuarterWindowsWithExactlyRepresentableEnds)
{
    const FrameSettings s = Window(0.25);
    EXPECT_EQ(Alpha(0.25f, 0.25f, 0.25f, s), 0.0f);  // all depths 0: dist 0
    EXPECT_EQ(Alpha(0.25f, 0.75f, 0.25f, s), 0.0f);  // D = 0, 0.5, 0: not a full key, depths 0
    EXPECT_EQ(Alpha(0.5f, 0.5f, 0.5f, s), 1.0f);
    EXPECT_EQ(Alpha(0.75f, 0.75f, 0.75f, s), 0.0f);  // fully keyed
    EXPECT_EQ(Alpha(0.0f, 0.0f, 0.0f, s), 1.0f);     // depths -0.25
    FrameSettings fade = s;
    fade.Fade = 0.5;  // F = 0.25 against dist 0.433012694
    EXPECT_EQ(Alpha(0.5f, 0.5f, 0.5f, fade), static_cast<float>(0.25 / static_cast<double>(0.433012694f)));
}

TEST(PixelMatte, ControlDefaultsKeyEverythingToZero)
{
    FrameSettings defaults;  // Min and Max 0, Fade 0, Gamma 1, Mult 1, Offset 0
    for (float v : {0.0f, 0.3f, 1.0f, -2.0f, 5.0f})
        EXPECT_EQ(Alpha(v, 0.5f, 1.0f - v, defaults), 0.0f) << v;
    defaults.Invert = 1;
    EXPECT_EQ(Alpha(0.3f, 0.5f, 0.7f, defaults), 1.0f);
}

TEST(PixelMatte, ShapingGammaOffsetAndMultiplier)
{
    FrameSettings s = Window();
    s.Gamma = 0.0;  // skipped: same as Gamma 1
    EXPECT_EQ(Alpha(0.1f, 0.1f, 0.1f, s), 0.384900182f);
    s.Gamma = 2.0;
    EXPECT_EQ(Alpha(0.1f, 0.1f, 0.1f, s), static_cast<float>(std::sqrt(static_cast<double>(0.384900182f))));
    s = Window();
    s.Offset = 10.0;
    EXPECT_EQ(Alpha(0.1f, 0.1f, 0.1f, s), 1.0f);
    EXPECT_EQ(Alpha(0.9f, 0.9f, 0.9f, s), 0.0f);  // a full key takes no shaping
    s = Window();
    s.Mult = 0.5;
    EXPECT_EQ(Alpha(0.1f, 0.1f, 0.1f, s), static_cast<float>(static_cast<double>(0.384900182f) * 0.5));
    s.Offset = -1.0;  // negative results clamp to 0
    EXPECT_EQ(Alpha(0.1f, 0.1f, 0.1f, s), 0.0f);
}

TEST(PixelMatte, ColourSpaceChoosesTheComponentsTested)
{
    // Pure red is (0, 1, 1) in HSV: inside a window around (0, 1, 1) there, far from it in RGB.
    FrameSettings s = Window();
    s.Value[0] = 0.0;
    s.Value[1] = 1.0;
    s.Value[2] = 1.0;
    s.Mode = ColorSpaceHSV;
    EXPECT_EQ(Alpha(1.0f, 0.0f, 0.0f, s), 1.0f);
    s.Mode = ColorSpaceRGB;
    EXPECT_LT(Alpha(1.0f, 0.0f, 0.0f, s), 0.2f);
    for (std::int32_t outside : {-1, 5, 99, NoIndex}) {
        s.Mode = outside;
        s.ColorCorrect = 1;
        s.CCAmount = 0.7;
        const ColorVec asRgb = Key(MakeColor(0.3f, 0.2f, 0.8f), [&] {
            FrameSettings rgb = s;
            rgb.Mode = ColorSpaceRGB;
            return rgb;
        }());
        const ColorVec got = Key(MakeColor(0.3f, 0.2f, 0.8f), s);
        EXPECT_TRUE(testing::FloatsEqual({got.R, got.G, got.B, got.A}, {asRgb.R, asRgb.G, asRgb.B, asRgb.A}))
            << "mode " << outside;
    }
}

TEST(PixelMatte, KeyPixelReferenceUsesItsComponentsAsTheyStand)
{
    const MatteFrame frame = PrepareMatteFrame(Window());
    const KeyReference fromKey = KeyPixelReference(ColorVec{0.5f, 0.5f, 0.5f, 0.25f}, frame);
    const KeyReference fromSliders = SliderReference(frame);
    EXPECT_TRUE(testing::FloatsEqual({fromKey.Value[0], fromKey.Value[1], fromKey.Value[2]},
                                     {fromSliders.Value[0], fromSliders.Value[1], fromSliders.Value[2]}));
    EXPECT_EQ(fromKey.Lower[0], fromSliders.Lower[0]);
    // The slider lower end comes from the double value, the key's from the single component.
    FrameSettings s = Window();
    s.Value[0] = 0.1;
    const MatteFrame tenth = PrepareMatteFrame(s);
    EXPECT_EQ(SliderReference(tenth).Lower[0], 0.1 - 0.1);
    EXPECT_EQ(KeyPixelReference(ColorVec{0, 0, 0.1f, 1}, tenth).Lower[0], static_cast<double>(0.1f) - 0.1);
}

TEST(PixelMatte, ZeroOrNaNWindowWidthsBecomeOneThousandth)
{
    FrameSettings s;
    s.Min[0] = 0.25;
    s.Max[0] = -0.25;
    s.Min[1] = std::numeric_limits<double>::quiet_NaN();
    const MatteFrame frame = PrepareMatteFrame(s);
    EXPECT_EQ(frame.Width[0], 0.001);
    EXPECT_EQ(frame.Width[1], 0.001);
    EXPECT_EQ(frame.Width[2], 0.001);
}

TEST(PixelMatte, NotANumberComponentTakesTheSoftPathToZero)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Alpha(nan, 0.9f, 0.9f, Window()), 0.0f);
    FrameSettings s = Window();
    s.Invert = 1;
    EXPECT_EQ(Alpha(nan, 0.9f, 0.9f, s), 1.0f);
}

TEST(PixelMatte, FiniteInputNeverGivesNaN)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<float> channel(-1.0f, 2.0f);
    std::uniform_real_distribution<double> setting(0.0, 1.0);
    for (int i = 0; i < 3000; ++i) {
        FrameSettings s;
        s.Mode = i % 5;
        for (int c = 0; c < 3; ++c) {
            s.Value[c] = setting(random);
            s.Min[c] = setting(random) * 0.5;
            s.Max[c] = setting(random) * 0.5;
        }
        s.Fade = setting(random);
        s.Gamma = 0.0001 + setting(random) * 4.0;
        s.ColorCorrect = 1;
        s.CCAmount = setting(random) * 5.0;
        s.Desaturate = setting(random) * 5.0;
        const ColorVec out = Key(MakeColor(channel(random), channel(random), channel(random)), s);
        ASSERT_FALSE(std::isnan(out.R) || std::isnan(out.G) || std::isnan(out.B) || std::isnan(out.A)) << "sample " << i;
        ASSERT_TRUE(out.A >= 0.0f && out.A <= 1.0f);
    }
}

}  // namespace
}  // namespace qualvex
