// The fit's search, driven by stub renders whose alphas the tests choose: every candidate goes
// through the render callback, the samples are thinned and cleaned as promised, the choice of
// colour space follows what the renders say, and failures of the callback reach the caller.
#include "fit/fit_settings.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace qualvex::testing {
namespace {

using fit::ControlValue;
using fit::Rendered;
using fit::Rgb;

// Screen samples are green (G above 0.5), subject samples are not.
fit::Samples GreenAndRed(std::size_t screens = 40, std::size_t subjects = 20)
{
    fit::Samples samples;
    for (std::size_t i = 0; i < screens; ++i)
        samples.Screen.push_back({0.1f + 0.001f * static_cast<float>(i % 7), 0.7f, 0.2f});
    for (std::size_t i = 0; i < subjects; ++i)
        samples.Subject.push_back({0.8f, 0.3f - 0.001f * static_cast<float>(i % 5), 0.3f});
    return samples;
}

double ValueOf(const std::vector<ControlValue>& controls, const std::string& id)
{
    for (const ControlValue& c : controls)
        if (c.ID == id)
            return c.Value;
    throw std::runtime_error("no control " + id);
}

// A stub tool: in the colour space `good` every colour with G above 0.5 is keyed and every other
// kept; in any other space everything comes out half transparent. It records what it was asked.
struct StubTool {
    int Good = 0;
    std::size_t Calls = 0;
    std::set<int> Spaces;
    std::size_t MostColours = 0;
    std::vector<std::string> FirstIDs;

    Rendered operator()(const std::vector<ControlValue>& controls, const std::vector<Rgb>& colours)
    {
        ++Calls;
        const int space = static_cast<int>(ValueOf(controls, "Colorspace"));
        Spaces.insert(space);
        MostColours = std::max(MostColours, colours.size());
        if (FirstIDs.empty())
            for (const ControlValue& c : controls)
                FirstIDs.push_back(c.ID);
        Rendered r;
        for (const Rgb& c : colours)
            r.Alpha.push_back(space == Good ? (c.G > 0.5f ? 0.0f : 1.0f) : 0.5f);
        r.ValueSliders[0] = 10.0 + space;  // marks which render the result came from
        for (const ControlValue& c : controls)
            r.Held.push_back(c.Value);
        return r;
    }
};

class SpaceChoice : public ::testing::TestWithParam<int> {};

TEST_P(SpaceChoice, AutoTakesTheSpaceWhoseRendersSeparateTheSamples)
{
    StubTool tool;
    tool.Good = GetParam();
    const fit::FitResult result = fit::FitSettings(GreenAndRed(), std::ref(tool));

    EXPECT_EQ(result.Controls.Space, GetParam());
    EXPECT_EQ(tool.Spaces, (std::set<int>{0, 1, 2, 3, 4}));  // every space was tried
    ASSERT_EQ(result.Spaces.size(), 5u);
    for (const fit::SpaceOutcome& outcome : result.Spaces) {
        if (outcome.Space == GetParam())
            continue;
        EXPECT_GT(result.Spaces[static_cast<std::size_t>(GetParam())].Separation, outcome.Separation)
            << fit::SpaceName(outcome.Space);
    }
    // Every screen sample keyed, every subject sample kept, as the renders said.
    EXPECT_EQ(result.ScreenKeyed, 1.0);
    EXPECT_EQ(result.SubjectKept, 1.0);
    // What is reported comes from the chosen render.
    EXPECT_EQ(result.ValueSliders[0], 10.0 + GetParam());
    EXPECT_EQ(result.Renders, tool.Calls);
    EXPECT_EQ(result.Reason.rfind("the widest separation", 0), 0u) << result.Reason;
}

// The key is the screen samples' median, component by component: with three or five samples,
// unsorted, each component's middle value, taken from a different sample each (RGB: the samples'
// own values, no conversion between).
TEST(FitSearch, TheKeyIsTheMiddleOfTheScreenSamplesComponentByComponent)
{
    const struct {
        std::vector<Rgb> Screen;
        double Expected[3];
    } cases[] = {
        {{{0.2f, 0.9f, 0.1f}, {0.1f, 0.8f, 0.3f}, {0.3f, 0.7f, 0.2f}}, {0.2f, 0.8f, 0.2f}},
        {{{0.5f, 0.6f, 0.0f}, {0.1f, 0.9f, 0.4f}, {0.4f, 0.7f, 0.1f}, {0.2f, 0.8f, 0.3f}, {0.3f, 0.5f, 0.2f}},
         {0.3f, 0.7f, 0.2f}},
    };
    for (const auto& c : cases) {
        fit::Samples samples;
        samples.Screen = c.Screen;
        samples.Subject = {{0.9f, 0.1f, 0.1f}};
        StubTool tool;
        tool.Good = 0;
        fit::FitOptions options;
        options.Space = 0;
        const fit::FitResult result = fit::FitSettings(samples, std::ref(tool), options);
        EXPECT_TRUE(DoublesEqual({result.Controls.KeyColor[0], result.Controls.KeyColor[1], result.Controls.KeyColor[2]},
                                 {c.Expected[0], c.Expected[1], c.Expected[2]}))
            << c.Screen.size() << " samples";
    }
}

INSTANTIATE_TEST_SUITE_P(EachSpace, SpaceChoice, ::testing::Values(0, 1, 2, 3, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(fit::SpaceName(info.param));
                         });

TEST(FitSearch, AGivenSpaceIsTheOnlyOneRendered)
{
    for (int space = 0; space < fit::kSpaceCount; ++space) {
        StubTool tool;
        tool.Good = (space + 1) % fit::kSpaceCount;  // even a worse space is kept when asked for
        fit::FitOptions options;
        options.Space = space;
        const fit::FitResult result = fit::FitSettings(GreenAndRed(), std::ref(tool), options);
        EXPECT_EQ(tool.Spaces, std::set<int>{space});
        EXPECT_EQ(result.Controls.Space, space);
        ASSERT_EQ(result.Spaces.size(), 1u);
        EXPECT_EQ(result.Reason, "the space asked for");
    }
}

TEST(FitSearch, TheCandidateSetsTheKeyerControlsInControlPageOrder)
{
    StubTool tool;
    fit::FitSettings(GreenAndRed(), std::ref(tool));
    const std::vector<std::string> expected = {"Colorspace", "CRed",     "CGreen",   "CBlue",    "InvAlpha",  "ColCor",
                                               "MiRedn",     "MinGreen", "MinBlue",  "MaxRed",   "MaxGreen",  "MaxBlue",
                                               "FadeRed",    "GammaAlpha", "MultAlpha", "OffAlpha"};
    EXPECT_EQ(tool.FirstIDs, expected);
}

struct ThinningCase {
    std::size_t Screens, Subjects, Most;
    std::size_t ExpectedScreens, ExpectedSubjects;
};

class Thinning : public ::testing::TestWithParam<ThinningCase> {};

TEST_P(Thinning, SamplesAreThinnedToTheLimit)
{
    const ThinningCase c = GetParam();
    StubTool tool;
    fit::FitOptions options;
    options.MaxSamples = c.Most;
    const fit::FitResult result = fit::FitSettings(GreenAndRed(c.Screens, c.Subjects), std::ref(tool), options);
    EXPECT_EQ(result.ScreenSamples, c.ExpectedScreens);
    EXPECT_EQ(result.SubjectSamples, c.ExpectedSubjects);
}

INSTANTIATE_TEST_SUITE_P(Limits, Thinning,
                         ::testing::Values(ThinningCase{40, 20, 3000, 40, 20}, ThinningCase{5000, 20, 300, 300, 20},
                                           ThinningCase{40, 7000, 100, 40, 100}, ThinningCase{1, 0, 3000, 1, 0}));

TEST(FitSearch, NonFiniteSamplesAreLeftOut)
{
    fit::Samples samples = GreenAndRed(10, 5);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    samples.Screen.push_back({nan, 0.7f, 0.2f});
    samples.Screen.push_back({0.1f, inf, 0.2f});
    samples.Subject.push_back({0.8f, 0.3f, -inf});
    StubTool tool;
    const fit::FitResult result = fit::FitSettings(samples, std::ref(tool));
    EXPECT_EQ(result.ScreenSamples, 10u);
    EXPECT_EQ(result.SubjectSamples, 5u);
}

TEST(FitSearch, WithoutSubjectSamplesTheScreenAloneIsFitted)
{
    fit::Samples samples = GreenAndRed(30, 0);
    StubTool tool;
    tool.Good = 3;
    const fit::FitResult result = fit::FitSettings(samples, std::ref(tool));
    EXPECT_EQ(result.Controls.Space, 3);
    EXPECT_EQ(result.SubjectSamples, 0u);
    EXPECT_EQ(result.SubjectKept, 1.0);
    EXPECT_EQ(result.BlendError, 0.0);
    for (const fit::SpaceOutcome& outcome : result.Spaces)
        EXPECT_TRUE(outcome.Apart);
}

TEST(FitSearch, RefusesWhatCannotBeFitted)
{
    StubTool tool;
    EXPECT_THROW(fit::FitSettings(fit::Samples{}, std::ref(tool)), std::invalid_argument);
    fit::Samples onlyNaN;
    onlyNaN.Screen.push_back({std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f});
    EXPECT_THROW(fit::FitSettings(onlyNaN, std::ref(tool)), std::invalid_argument);
    for (int space : {-1, 5}) {
        fit::FitOptions options;
        options.Space = space;
        EXPECT_THROW(fit::FitSettings(GreenAndRed(), std::ref(tool), options), std::invalid_argument) << space;
    }
    EXPECT_EQ(tool.Calls, 0u);
}

TEST(FitSearch, ARenderThatLosesColoursIsAnError)
{
    const auto shortRender = [](const std::vector<ControlValue>& controls, const std::vector<Rgb>& colours) {
        Rendered r;
        r.Alpha.assign(colours.size() - 1, 0.0f);
        r.Held.assign(controls.size(), 0.0);
        return r;
    };
    EXPECT_THROW(fit::FitSettings(GreenAndRed(), shortRender), std::runtime_error);
    const auto noHeld = [](const std::vector<ControlValue>&, const std::vector<Rgb>& colours) {
        Rendered r;
        r.Alpha.assign(colours.size(), 0.0f);
        return r;
    };
    EXPECT_THROW(fit::FitSettings(GreenAndRed(), noHeld), std::runtime_error);
}

TEST(FitSearch, WhatTheRenderThrowsPassesThrough)
{
    const auto failing = [](const std::vector<ControlValue>&, const std::vector<Rgb>&) -> Rendered {
        throw std::domain_error("tool gone");
    };
    EXPECT_THROW(fit::FitSettings(GreenAndRed(), failing), std::domain_error);
}

struct NameCase {
    const char* Text;
    std::optional<int> Space;
};

class SpaceNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(SpaceNames, NamesReadAsTheComboSpellsThem)
{
    EXPECT_EQ(fit::SpaceNamed(GetParam().Text), GetParam().Space);
    if (GetParam().Space) {
        EXPECT_STRCASEEQ(fit::SpaceName(*GetParam().Space), GetParam().Text);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SpaceNames,
                         ::testing::Values(NameCase{"RGB", 0}, NameCase{"hsv", 1}, NameCase{"YXy", 2},
                                           NameCase{"yuv", 3}, NameCase{"YCbCr", 4}, NameCase{"auto", std::nullopt},
                                           NameCase{"YCbC", std::nullopt}, NameCase{"", std::nullopt}));


TEST(Unmixing, PlacesABlendAlongTheLineToTheNearestSubjectColour)
{
    const Rgb screen{0.1f, 0.8f, 0.2f};
    const std::vector<Rgb> palette = {{0.8f, 0.5f, 0.4f}, {0.2f, 0.2f, 0.9f}, screen};
    const struct {
        Rgb Colour;
        float Alpha;
    } cases[] = {
        {{0.1f + 0.3f * 0.7f, 0.8f - 0.3f * 0.3f, 0.2f + 0.3f * 0.2f}, 0.3f},  // 30% of the first colour
        {{0.1f + 0.75f * 0.1f, 0.8f - 0.75f * 0.6f, 0.2f + 0.75f * 0.7f}, 0.75f},  // 75% of the second
        {{0.1f, 0.8f, 0.2f}, 0.0f},                                            // the screen
        {{1.5f, 0.2f, 0.6f}, 1.0f},                                            // beyond the first: clamped
    };
    for (const auto& c : cases) {
        const std::optional<fit::Unmixed> u = fit::Unmix(c.Colour, screen, palette);
        ASSERT_TRUE(u.has_value());
        EXPECT_NEAR(u->Alpha, c.Alpha, 1e-6) << c.Colour.R << "," << c.Colour.G << "," << c.Colour.B;
        if (c.Alpha < 1.0f) {
            EXPECT_LT(u->Residual, 1e-6);
        }
    }
    // Off every line: the nearest line's distance is the residual.
    const std::optional<fit::Unmixed> off = fit::Unmix({0.1f, 0.8f, 0.7f}, screen, {{0.1f, 0.2f, 0.2f}});
    ASSERT_TRUE(off.has_value());
    EXPECT_NEAR(off->Alpha, 0.0f, 1e-6);
    EXPECT_NEAR(off->Residual, 0.5f, 1e-6);
    // A palette of the screen's own colour gives no line.
    EXPECT_FALSE(fit::Unmix({0.5f, 0.5f, 0.5f}, screen, {screen}).has_value());
    EXPECT_FALSE(fit::Unmix({0.5f, 0.5f, 0.5f}, screen, {}).has_value());
}

TEST(Unmixing, EncodedValuesDecodeByTheirCurves)
{
    // sRGB: linear below 0.04045 (divided by 12.92), the 2.4 power above; Rec. 709: divided by
    // 4.5 below 0.081, the 1 / 0.45 power above; 0, negatives and linear values stay.
    EXPECT_NEAR(fit::Decoded(0.5f, fit::Encoding::Srgb), 0.2140411f, 1e-6);
    EXPECT_NEAR(fit::Decoded(0.04f, fit::Encoding::Srgb), 0.04f / 12.92f, 1e-9);
    EXPECT_NEAR(fit::Decoded(1.0f, fit::Encoding::Srgb), 1.0f, 1e-6);
    EXPECT_NEAR(fit::Decoded(0.5f, fit::Encoding::Rec709), 0.2595894f, 1e-6);
    EXPECT_NEAR(fit::Decoded(0.08f, fit::Encoding::Rec709), 0.08f / 4.5f, 1e-9);
    EXPECT_EQ(fit::Decoded(0.5f, fit::Encoding::Linear), 0.5f);
    EXPECT_EQ(fit::Decoded(-0.25f, fit::Encoding::Srgb), -0.25f);
    EXPECT_EQ(fit::Decoded(0.0f, fit::Encoding::Rec709), 0.0f);
}

}  // namespace
}  // namespace qualvex::testing
