// Unmixing the matte's edges: pixels mixed from a screen and a subject colour in known shares
// (worked by hand, in linear light and through the sRGB and Rec. 709 curves) come back as those
// shares, whatever the matte said; the screen and subject are the ones near the pixel; and the
// cases where the colour cannot tell leave the matte as it was.
#include "finish/unmix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace qualvex::finish::testing {
namespace {

// One pixel of a plate: its colour as the image gives it and its matte.
struct Cell {
    float R, G, B, Matte;
};

struct Plate {
    AlphaPlane Matte;
    std::vector<float> Colour;
};

// A plate one row high from cells, or `rows` copies of that row.
Plate RowPlate(const std::vector<Cell>& cells, std::int32_t rows = 1)
{
    Plate plate{AlphaPlane(static_cast<std::int32_t>(cells.size()), rows), {}};
    for (std::int32_t y = 0; y < rows; ++y)
        for (std::size_t x = 0; x < cells.size(); ++x) {
            const Cell& c = cells[x];
            plate.Matte.At(static_cast<std::int32_t>(x), y) = c.Matte;
            plate.Colour.insert(plate.Colour.end(), {c.R, c.G, c.B});
        }
    return plate;
}

std::vector<float> Unmixed(Plate plate, const UnmixSettings& settings)
{
    UnmixScratch scratch;
    UnmixEdges(plate.Matte, plate.Colour, settings, scratch);
    return plate.Matte.Values;
}

struct MixCase {
    const char* Name;
    UnmixLight Light;
    Rgb Screen;   // the slider colour (the key colour), as given
    Cell Backing;  // the screen's pixels, as given
    Cell Subject;
    std::vector<Cell> Mixes;       // matte 0.5, a keyer's guess
    std::vector<float> Expected;   // the share of the subject each holds, by hand
    float Tolerance;               // the inputs' rounding to 7 or 8 digits
};

// t x subject + (1 - t) x screen, in linear light; encoded values from the curves' formulas.
const MixCase kMixes[] = {
    // Green: screen (0.3, 0.8, 0.1), excess G - R = 0.5; subject (0.6, 0.2, 0.1), -0.4.
    {"GreenAsGiven", UnmixLight::AsGiven, {0.0f, 1.0f, 0.0f}, {0.3f, 0.8f, 0.1f, 0.0f}, {0.6f, 0.2f, 0.1f, 1.0f},
     {{0.375f, 0.65f, 0.1f, 0.5f}, {0.45f, 0.5f, 0.1f, 0.5f}, {0.525f, 0.35f, 0.1f, 0.5f}},
     {0.25f, 0.5f, 0.75f},
     1e-6f},
    // Yellow (R and G): screen (0.8, 0.7, 0.1), min(R, G) - B = 0.6; subject (0.3, 0.2, 0.4), -0.2.
    {"YellowAsGiven", UnmixLight::AsGiven, {0.8f, 0.7f, 0.1f}, {0.8f, 0.7f, 0.1f, 0.0f}, {0.3f, 0.2f, 0.4f, 1.0f},
     {{0.55f, 0.45f, 0.25f, 0.5f}}, {0.5f}, 1e-6f},
    // Blue: screen (0.1, 0.2, 0.9), B - G = 0.7; subject (0.3, 0.5, 0.2), -0.3.
    {"BlueAsGiven", UnmixLight::AsGiven, {0.1f, 0.2f, 0.9f}, {0.1f, 0.2f, 0.9f, 0.0f}, {0.3f, 0.5f, 0.2f, 1.0f},
     {{0.15f, 0.275f, 0.725f, 0.5f}}, {0.25f}, 1e-6f},
    // sRGB: screen (0, 1, 0); subject encoded (0.5, 0, 0), linear 0.2140411; the mixes encoded.
    {"GreenSrgb", UnmixLight::Srgb, {0.0f, 1.0f, 0.0f}, {0.0f, 1.0f, 0.0f, 0.0f}, {0.5f, 0.0f, 0.0f, 1.0f},
     {{0.2564832f, 0.880825f, 0.0f, 0.5f}, {0.3607802f, 0.735357f, 0.0f, 0.5f}, {0.4373061f, 0.5370987f, 0.0f, 0.5f}},
     {0.25f, 0.5f, 0.75f}, 1e-5f},
    // The half mix above read as given: excess 0.735357 - 0.3607802 against 1 and -0.5.
    {"GreenSrgbReadAsGiven", UnmixLight::AsGiven, {0.0f, 1.0f, 0.0f}, {0.0f, 1.0f, 0.0f, 0.0f},
     {0.5f, 0.0f, 0.0f, 1.0f}, {{0.3607802f, 0.735357f, 0.0f, 0.5f}}, {0.4169488f}, 1e-5f},
    // Rec. 709: the subject encoded (0.5, 0, 0), linear 0.2595894; the half mix encoded.
    {"GreenRec709", UnmixLight::Rec709, {0.0f, 1.0f, 0.0f}, {0.0f, 1.0f, 0.0f, 0.0f}, {0.5f, 0.0f, 0.0f, 1.0f},
     {{0.3394937f, 0.7055151f, 0.0f, 0.5f}}, {0.5f}, 1e-5f},
};

class MixedPixels : public ::testing::TestWithParam<MixCase> {};

TEST_P(MixedPixels, ComeBackAsTheirShareOfTheSubject)
{
    const MixCase& c = GetParam();
    std::vector<Cell> cells = {c.Backing, c.Backing, c.Backing};
    cells.insert(cells.end(), c.Mixes.begin(), c.Mixes.end());
    cells.insert(cells.end(), {c.Subject, c.Subject, c.Subject});
    const std::vector<float> alpha = Unmixed(RowPlate(cells, 3), {c.Light, 20.0, c.Screen});
    for (std::int32_t y = 0; y < 3; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * cells.size();
        for (std::size_t x = 0; x < 3; ++x) {
            EXPECT_EQ(alpha[row + x], 0.0f) << "screen pixel " << x;
            EXPECT_EQ(alpha[row + 3 + c.Mixes.size() + x], 1.0f) << "subject pixel " << x;
        }
        for (std::size_t m = 0; m < c.Mixes.size(); ++m)
            EXPECT_NEAR(alpha[row + 3 + m], c.Expected[m], c.Tolerance) << "mix " << m << ", row " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Screens, MixedPixels, ::testing::ValuesIn(kMixes),
                         [](const ::testing::TestParamInfo<MixCase>& info) { return std::string(info.param.Name); });

std::vector<Cell> Cells(std::initializer_list<std::pair<int, Cell>> runs)
{
    std::vector<Cell> cells;
    for (const auto& [count, cell] : runs)
        cells.insert(cells.end(), static_cast<std::size_t>(count), cell);
    return cells;
}

const Cell kScreen{0.3f, 0.8f, 0.1f, 0.0f};  // excess 0.5
const Cell kSubject{0.6f, 0.2f, 0.1f, 1.0f};  // excess -0.4
const Cell kHalf{0.45f, 0.5f, 0.1f, 0.2f};    // half of each: 0.5
const UnmixSettings kGreenReach8{UnmixLight::AsGiven, 8.0, {0.0f, 1.0f, 0.0f}};
const UnmixSettings kGreen{UnmixLight::AsGiven, 20.0, {0.0f, 1.0f, 0.0f}};

// The screen a pixel is unmixed against is the one near it: a screen lit half as bright on the
// right (0.15, 0.4, 0.05), excess 0.25, makes (0.375, 0.3, 0.075), half the subject, read 0.5 there
// (by the bright screen it would read (0.5 + 0.075) / 0.9 = 0.639).
TEST(UnmixEdges, UnmixesAgainstTheScreenAndSubjectNearEachPixel)
{
    std::vector<Cell> cells(10, kScreen);
    cells.push_back(kHalf);
    cells.insert(cells.end(), 39, kSubject);
    cells.push_back({0.375f, 0.3f, 0.075f, 0.2f});
    cells.insert(cells.end(), 9, Cell{0.15f, 0.4f, 0.05f, 0.0f});
    const std::vector<float> alpha = Unmixed(RowPlate(cells), {UnmixLight::AsGiven, 8.0, {0.0f, 1.0f, 0.0f}});
    EXPECT_NEAR(alpha[10], 0.5f, 1e-6f);
    EXPECT_NEAR(alpha[50], 0.5f, 1e-6f);
}

// The reach counts whole pixels each way: a screen pixel 3 px to the right or to the left of a half
// mix is in a reach of 3 (the mix reads 0.5) and out of a reach of 2 (its matte, 0.2, stays).
TEST(UnmixEdges, ReachesAsManyPixelsEachWay)
{
    const std::vector<Cell> right = Cells({{3, kSubject}, {1, kHalf}, {2, kSubject}, {1, kScreen}});
    const std::vector<Cell> left = Cells({{1, kScreen}, {2, kSubject}, {1, kHalf}, {3, kSubject}});
    for (const auto& [cells, x] : {std::pair{right, std::size_t{3}}, std::pair{left, std::size_t{3}}}) {
        EXPECT_NEAR(Unmixed(RowPlate(cells), {UnmixLight::AsGiven, 3.0, {0.0f, 1.0f, 0.0f}})[x], 0.5f, 1e-6f);
        EXPECT_EQ(Unmixed(RowPlate(cells), {UnmixLight::AsGiven, 2.0, {0.0f, 1.0f, 0.0f}})[x], 0.2f);
    }
}

// A dark pixel (0.05, 0.1, 0.05) beside a warm subject reads by the excess alone as half screen,
// (0.5 - 0.05) / 0.9; but half the screen would bring it 0.4 of green light, and it has 0.1: it
// holds at most 0.1 / 0.8 of the screen, so its alpha is at least 1 - 0.125 = 0.875.
TEST(UnmixEdges, ADarkPixelHoldsNoMoreScreenThanItsLightAllows)
{
    const std::vector<Cell> cells = Cells({{3, kScreen}, {1, {0.05f, 0.1f, 0.05f, 0.5f}}, {3, kSubject}});
    EXPECT_NEAR(Unmixed(RowPlate(cells), kGreenReach8)[3], 0.875f, 1e-6f);
}

// A pixel the key called screen is lifted only from 0.1 up. Beside six screen pixels, 5 % of the
// subject, (0.315, 0.77, 0.1), keyed 0, counts in the screen's mean (excess (0.795714 - 0.302143)
// = 0.493571) and reads (0.493571 - 0.455) / 0.893571 = 0.043: it stays 0, as a screen's noise
// would; 25 %, (0.375, 0.65, 0.1), reads (0.467857 - 0.275) / 0.867857 = 2/9 and takes it. The
// 5 % keyed 0.2 is no screen pixel: against the plain screen it reads 0.05.
TEST(UnmixEdges, APixelKeyedAsScreenRisesOnlyAboveTheNoise)
{
    const struct {
        Cell Pixel;
        float Expected;
    } cases[] = {
        {{0.315f, 0.77f, 0.1f, 0.0f}, 0.0f},
        {{0.375f, 0.65f, 0.1f, 0.0f}, 2.0f / 9.0f},
        {{0.315f, 0.77f, 0.1f, 0.2f}, 0.05f},
    };
    for (const auto& c : cases) {
        const std::vector<Cell> cells = Cells({{6, kScreen}, {1, c.Pixel}, {3, kSubject}});
        EXPECT_NEAR(Unmixed(RowPlate(cells), kGreenReach8)[6], c.Expected, 1e-6f) << c.Pixel.R << " " << c.Pixel.Matte;
    }
}

// Frames smaller than the band and the reach: a lone screen pixel stays; a half mix beside one
// screen pixel, with no subject in the frame, reads against a neutral one, (0.5 - 0.05) / 0.5 =
// 0.9; down a column one pixel wide, screen, half mix and subject give 0.5.
TEST(UnmixEdges, FramesSmallerThanItsReachAreUnmixedInsideThem)
{
    EXPECT_EQ(Unmixed(RowPlate({kScreen}), kGreen)[0], 0.0f);
    EXPECT_NEAR(Unmixed(RowPlate({kScreen, kHalf}), kGreen)[1], 0.9f, 1e-6f);
    Plate column{AlphaPlane(1, 3), {}};
    for (std::int32_t y = 0; y < 3; ++y) {
        const Cell& c = y == 0 ? kScreen : (y == 1 ? kHalf : kSubject);
        column.Matte.At(0, y) = c.Matte;
        column.Colour.insert(column.Colour.end(), {c.R, c.G, c.B});
    }
    const std::vector<float> alpha = Unmixed(column, kGreen);
    EXPECT_EQ(alpha, (std::vector<float>{0.0f, alpha[1], 1.0f}));
    EXPECT_NEAR(alpha[1], 0.5f, 1e-6f);
}

// A veil with no subject pixel within reach takes the whole frame's subject; a frame without any
// takes a neutral one: a grey (excess 0) mixed half with the screen, (0.35, 0.6, 0.25), reads 0.5.
TEST(UnmixEdges, WithoutASubjectNearTakesTheFramesOrANeutralOne)
{
    std::vector<Cell> veil(5, kScreen);
    veil.insert(veil.end(), 10, kHalf);
    veil.insert(veil.end(), 20, kScreen);
    veil.insert(veil.end(), 5, kSubject);
    const std::vector<float> far = Unmixed(RowPlate(veil), {UnmixLight::AsGiven, 8.0, {0.0f, 1.0f, 0.0f}});
    for (std::size_t x = 5; x < 15; ++x)
        EXPECT_NEAR(far[x], 0.5f, 1e-6f) << "pixel " << x;

    std::vector<Cell> grey(5, kScreen);
    grey.insert(grey.end(), 5, Cell{0.35f, 0.6f, 0.25f, 0.3f});
    grey.insert(grey.end(), 5, kScreen);
    const std::vector<float> neutral = Unmixed(RowPlate(grey), {UnmixLight::AsGiven, 8.0, {0.0f, 1.0f, 0.0f}});
    for (std::size_t x = 5; x < 10; ++x)
        EXPECT_NEAR(neutral[x], 0.5f, 1e-6f) << "pixel " << x;
}

// Where the colour cannot say, or the pixel is not at a transition, the matte stays to the bit.
struct KeptCase {
    const char* Name;
    UnmixSettings Settings;
    std::vector<Cell> Cells;
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const Cell kAlike{0.3f, 0.79f, 0.3f, 1.0f};  // excess 0.49: 0.01 below the screen's


TEST(UnmixEdges, KeepsTheMatteWhereTheColourCannotSay)
{
    const std::vector<Cell> plain = Cells({{3, kScreen}, {2, kHalf}, {3, kSubject}});
    const KeptCase cases[] = {
        {"off", {UnmixLight::Off, 20.0, {0.0f, 1.0f, 0.0f}}, plain},
        {"grey screen", {UnmixLight::AsGiven, 20.0, {0.5f, 0.5f, 0.5f}}, plain},
        {"NaN screen", {UnmixLight::AsGiven, 20.0, {kNaN, 1.0f, 0.0f}}, plain},
        {"subject like the screen", kGreen, Cells({{3, kScreen}, {2, kHalf}, {3, kAlike}})},
        {"colour not a number", kGreen, Cells({{3, kScreen}, {1, {kNaN, 0.5f, 0.1f, 0.3f}}, {3, kSubject}})},
        {"infinite colour", kGreen, Cells({{3, kScreen}, {1, {0.4f, INFINITY, 0.1f, 0.3f}}, {3, kSubject}})},
        // The screen 5 and 6 px from the mixes, the reach 3.
        {"no screen in reach",
         {UnmixLight::AsGiven, 3.0, {0.0f, 1.0f, 0.0f}},
         Cells({{1, kScreen}, {4, kSubject}, {2, kHalf}, {3, kSubject}})},
        // A subject's inside with a matte below 1, 25 px from the screen: texture, not a mix.
        {"inside the subject",
         kGreen,
         Cells({{2, kScreen}, {25, kSubject}, {1, {0.45f, 0.5f, 0.1f, 0.9f}}, {25, kSubject}})},
        // Screen pixels farther than 2 px from any matte above 0 keep their 0, noise or not.
        {"screen away from the edge", kGreen, Cells({{1, {0.35f, 0.7f, 0.1f, 0.0f}}, {4, kScreen}, {3, kSubject}})},
    };
    for (const KeptCase& c : cases) {
        const Plate plate = RowPlate(c.Cells);
        const std::vector<float> alpha = Unmixed(plate, c.Settings);
        for (std::size_t x = 0; x < c.Cells.size(); ++x)
            EXPECT_EQ(alpha[x], c.Cells[x].Matte) << c.Name << ", pixel " << x;
    }
}

// The curves themselves, against their published forms: sRGB's and Rec. 709's breakpoints, 1 and
// 0.5; values at or below 0 and NaN as they are; above 1 by the formula.
TEST(UnmixEdges, DecodesTheCurvesAsPublished)
{
    struct Decode {
        UnmixLight Light;
        float Value, Expected;
    };
    const Decode cases[] = {
        {UnmixLight::Srgb, 0.5f, 0.21404114f},   {UnmixLight::Srgb, 0.04045f, 0.0031308f},
        {UnmixLight::Srgb, 1.0f, 1.0f},          {UnmixLight::Srgb, 2.0f, 4.9538457f},
        {UnmixLight::Rec709, 0.5f, 0.25958940f}, {UnmixLight::Rec709, 0.0405f, 0.009f},
        {UnmixLight::Rec709, 1.0f, 1.0f},        {UnmixLight::AsGiven, 0.5f, 0.5f},
        {UnmixLight::Srgb, -0.25f, -0.25f},      {UnmixLight::Rec709, 0.0f, 0.0f},
    };
    for (const Decode& c : cases)
        EXPECT_NEAR(DecodedLight(c.Value, c.Light), c.Expected, 1e-4f * std::fabs(c.Expected) + 1e-7f)
            << static_cast<int>(c.Light) << " " << c.Value;
    EXPECT_TRUE(std::isnan(DecodedLight(kNaN, UnmixLight::Srgb)));
}

}  // namespace
}  // namespace qualvex::finish::testing
