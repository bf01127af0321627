// The screen's colour estimated across the frame from screen pixels: screens lit with a known
// falloff are recovered under the holes the subject leaves, the subject's own pixels among the
// points are dropped, too little to go on is refused, and references come out in the space's
// components.
#include "fit/clean_plate.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace qualvex::testing {
namespace {

using fit::Rgb;
using fit::ScreenPoint;

constexpr int kPlateWidth = 64;
constexpr int kPlateHeight = 48;

struct LitScreen {
    const char* Name;
    // The screen's colour at pixel (x, y), written out by hand in the frame's own coordinates.
    Rgb (*Colour)(int x, int y);
};

// A green screen twice as bright on the right as on the left.
Rgb LeftToRight(int x, int)
{
    const float t = (static_cast<float>(x) + 0.5f) / kPlateWidth;
    return {0.08f + 0.12f * t, 0.35f + 0.5f * t, 0.1f + 0.1f * t};
}

// A yellow screen lit from its centre: bright in the middle, a quarter darker in the corners.
Rgb Vignetted(int x, int y)
{
    const double u = (2.0 * x + 1.0) / kPlateWidth - 1.0;
    const double v = (2.0 * y + 1.0) / kPlateHeight - 1.0;
    const double light = 1.0 - 0.125 * (u * u + v * v) + 0.05 * u * v;
    return {static_cast<float>(0.85 * light), static_cast<float>(0.8 * light), static_cast<float>(0.15 * light)};
}

Rgb Flat(int, int) { return {0.1f, 0.2f, 0.75f}; }

// The subject, a box in the middle of the frame, leaves no screen points there.
bool UnderSubject(int x, int y) { return x >= 20 && x < 44 && y >= 12 && y < 40; }

std::vector<ScreenPoint> AroundTheSubject(Rgb (*colour)(int, int))
{
    std::vector<ScreenPoint> points;
    for (int y = 0; y < kPlateHeight; ++y)
        for (int x = 0; x < kPlateWidth; ++x)
            if (!UnderSubject(x, y))
                points.push_back({x, y, colour(x, y)});
    return points;
}

class LitScreens : public ::testing::TestWithParam<LitScreen> {};

TEST_P(LitScreens, TheScreenUnderTheSubjectIsTheScreenAroundIt)
{
    const LitScreen& screen = GetParam();
    const fit::SurfaceFit fitted = fit::FitScreenSurface(AroundTheSubject(screen.Colour), kPlateWidth, kPlateHeight);
    EXPECT_EQ(fitted.Dropped, 0u);
    EXPECT_EQ(fitted.Points, static_cast<std::size_t>(kPlateWidth * kPlateHeight - 24 * 28));
    EXPECT_LT(fitted.Rms, 1e-6);
    // Everywhere, under the subject included, to a few float roundings of the colours.
    for (int y = 0; y < kPlateHeight; ++y)
        for (int x = 0; x < kPlateWidth; ++x) {
            const Rgb expected = screen.Colour(x, y);
            const Rgb got = fitted.Surface.At(x, y);
            ASSERT_NEAR(got.R, expected.R, 2e-6) << screen.Name << " at " << x << "," << y;
            ASSERT_NEAR(got.G, expected.G, 2e-6) << screen.Name << " at " << x << "," << y;
            ASSERT_NEAR(got.B, expected.B, 2e-6) << screen.Name << " at " << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(Screens, LitScreens,
                         ::testing::Values(LitScreen{"LeftToRight", LeftToRight}, LitScreen{"Vignetted", Vignetted},
                                           LitScreen{"Flat", Flat}),
                         [](const ::testing::TestParamInfo<LitScreen>& info) { return info.param.Name; });

TEST(CleanPlate, SubjectPixelsAndNoiseAmongThePointsAreDroppedNotFitted)
{
    // Every pixel of the frame offered as screen: the subject's 24 x 28 box, hair-grey, and the
    // screen's noise of +-0.004 (well inside the drop limit) around a left-to-right falloff.
    std::vector<ScreenPoint> points;
    for (int y = 0; y < kPlateHeight; ++y)
        for (int x = 0; x < kPlateWidth; ++x) {
            Rgb c = UnderSubject(x, y) ? Rgb{0.45f, 0.42f, 0.4f} : LeftToRight(x, y);
            if (!UnderSubject(x, y))
                c.G += ((x * 7 + y * 13) % 3 - 1) * 0.004f;
            points.push_back({x, y, c});
        }
    const fit::SurfaceFit fitted = fit::FitScreenSurface(points, kPlateWidth, kPlateHeight);
    EXPECT_EQ(fitted.Dropped, 24u * 28u);
    EXPECT_LT(fitted.Rms, 0.004);
    for (int y = 0; y < kPlateHeight; y += 5)
        for (int x = 0; x < kPlateWidth; x += 5) {
            ASSERT_NEAR(fitted.Surface.At(x, y).G, LeftToRight(x, y).G, 0.002) << x << "," << y;
            ASSERT_NEAR(fitted.Surface.At(x, y).R, LeftToRight(x, y).R, 1e-5) << x << "," << y;
        }
}

TEST(CleanPlate, PointsOnOneRowGiveTheirMeanColour)
{
    // One row cannot say how the colour changes down the frame: the surface is flat, their mean.
    std::vector<ScreenPoint> points;
    for (int x = 0; x < 32; ++x)
        points.push_back({x, 5, {x % 2 == 0 ? 0.2f : 0.4f, 0.7f, 0.1f}});
    const fit::SurfaceFit fitted = fit::FitScreenSurface(points, kPlateWidth, kPlateHeight);
    EXPECT_EQ(fitted.Surface.Terms(), 1);
    EXPECT_NEAR(fitted.Surface.At(60, 40).R, 0.3f, 1e-6);
    EXPECT_NEAR(fitted.Surface.At(0, 0).G, 0.7f, 1e-6);
}

TEST(CleanPlate, TooFewFinitePointsOrNoFrameAreRefused)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<ScreenPoint> points;
    for (int i = 0; i < 15; ++i)
        points.push_back({i, i, {0.1f, 0.8f, 0.1f}});
    for (int i = 0; i < 10; ++i)
        points.push_back({i, 20, {nan, 0.8f, 0.1f}});
    EXPECT_THROW(fit::FitScreenSurface(points, kPlateWidth, kPlateHeight), std::invalid_argument);
    points.push_back({40, 3, {0.1f, 0.8f, 0.1f}});  // the sixteenth finite point
    EXPECT_NO_THROW(fit::FitScreenSurface(points, kPlateWidth, kPlateHeight));
    EXPECT_THROW(fit::FitScreenSurface(points, 0, kPlateHeight), std::invalid_argument);
    EXPECT_THROW(fit::FitScreenSurface(points, kPlateWidth, -1), std::invalid_argument);
}

TEST(CleanPlate, ReferencesAreTheSpacesComponents)
{
    // RGB: the colour itself; HSV of pure yellow: hue 60 degrees as a share of the turn, full
    // saturation and value; YUV of black: all 0.
    const Rgb rgb = fit::ReferenceInSpace({0.2f, 0.7f, 0.1f}, 0);
    EXPECT_TRUE(FloatsEqual({rgb.R, rgb.G, rgb.B}, {0.2f, 0.7f, 0.1f}));
    const Rgb hsv = fit::ReferenceInSpace({1.0f, 1.0f, 0.0f}, 1);
    EXPECT_TRUE(FloatsEqual({hsv.R, hsv.G, hsv.B}, {60.0f * (1.0f / 360.0f), 1.0f, 1.0f}));
    const Rgb yuv = fit::ReferenceInSpace({0.0f, 0.0f, 0.0f}, 3);
    EXPECT_TRUE(FloatsEqual({yuv.R, yuv.G, yuv.B}, {0.0f, 0.0f, 0.0f}));
}

}  // namespace
}  // namespace qualvex::testing
