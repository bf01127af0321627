// Fitting against the loaded Sondrel.plugin: the render callback that sets controls through the
// host and renders sample colours, and fits of generated plates whose true alpha is known, scored
// by rendering the whole plate through a new instance with the fitted controls.
#include "support/hash_noise.h"
#include "fit/fit_settings.h"
#include "fit/tool_render.h"
#include "host/operator.h"
#include "support/loaded_sondrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qualvex::testing {
namespace {

using fit::Rgb;

class FitWithTool : public LoadedSondrel {
protected:
    fit::RenderFunction Render()
    {
        return fit::ToolRender([this] { return NewInstance(); });
    }
};

TEST_F(FitWithTool, TheRenderCallbackKeysColoursAsTheToolDoes)
{
    // An RGB window 0.4 .. 0.6 around grey 0.5, Fade 1: alpha is the widest window (0.2) over the
    // distance to the nearest window corner, clamped to 1; colours above every window are keyed.
    const std::vector<fit::ControlValue> controls = {
        {"MaxBlue", 0.1}, {"CRed", 0.5}, {"CGreen", 0.5}, {"CBlue", 0.5}, {"MiRedn", 0.1}, {"MinGreen", 0.1},
        {"MinBlue", 0.1}, {"MaxRed", 0.1}, {"MaxGreen", 0.1}, {"FadeRed", 1.0}, {"ColCor", 0.0}};
    std::vector<Rgb> colours = {{0.1f, 0.1f, 0.1f}, {0.9f, 0.9f, 0.9f}, {0.5f, 0.5f, 0.5f}};
    for (int i = 0; i < 1000; ++i)  // more than one row of the sample image
        colours.push_back({0.1f, 0.1f, 0.1f + 0.0003f * static_cast<float>(i)});
    const fit::Rendered r = Render()(controls, colours);

    ASSERT_EQ(r.Alpha.size(), colours.size());
    const double depth = 0.4 - 0.1;  // below the window's lower end in each component
    EXPECT_NEAR(r.Alpha[0], 0.2 / std::sqrt(3.0 * depth * depth), 1e-6);
    EXPECT_EQ(r.Alpha[1], 0.0f);
    EXPECT_EQ(r.Alpha[2], 1.0f);
    for (std::size_t i = 3; i < colours.size(); ++i) {
        const double below = 0.4 - static_cast<double>(colours[i].B);
        const double expected = 0.2 / std::sqrt(depth * depth * 2.0 + below * below);
        ASSERT_NEAR(r.Alpha[i], std::min(1.0, expected), 2e-6) << i;
    }
    // RGB: the Value sliders hold the key colour; every control as set.
    EXPECT_EQ(r.ValueSliders[0], 0.5);
    EXPECT_EQ(r.ValueSliders[1], 0.5);
    EXPECT_EQ(r.ValueSliders[2], 0.5);
    ASSERT_EQ(r.Held.size(), controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i)
        EXPECT_EQ(r.Held[i], controls[i].Value) << controls[i].ID;
}

TEST_F(FitWithTool, EachRenderStartsFromANewInstance)
{
    const auto render = Render();
    const std::vector<Rgb> grey = {{0.5f, 0.5f, 0.5f}};
    render({{"InvAlpha", 1.0}}, grey);
    // The defaults key everything (alpha 0); the earlier Invert is not carried over.
    EXPECT_EQ(render({}, grey).Alpha[0], 0.0f);
    EXPECT_EQ(render({{"InvAlpha", 1.0}}, grey).Alpha[0], 1.0f);
    EXPECT_THROW(render({{"NoSuchControl", 1.0}}, grey), std::invalid_argument);
}

// A plate with a soft-edged subject over a screen, noise and uneven light, and its true alpha.
struct Plate {
    int Width = 96, Height = 64;
    std::vector<Rgb> Pixels;
    std::vector<float> Truth;
    std::vector<bool> Speck;  // outliers put into the screen
    std::vector<Rgb> In(int x0, int y0, int w, int h) const
    {
        std::vector<Rgb> colours;
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                colours.push_back(Pixels[static_cast<std::size_t>(y * Width + x)]);
        return colours;
    }
};

enum class Shape { Disc, Band };

struct PlateCase {
    const char* Name;
    Rgb Screen, Subject;
    float Noise;
    float Light;        // the screen's brightness runs from 1 - Light/2 to 1 + Light/2 across the plate
    Shape Form;
    bool Subjects;      // subject samples given
    bool Specks;        // 0.3% of the screen sampled as magenta specks
    std::optional<int> Space;  // the space auto must choose
};

Plate MakePlate(const PlateCase& c)
{
    Plate p;
    for (int y = 0; y < p.Height; ++y)
        for (int x = 0; x < p.Width; ++x) {
            float a;
            float light;
            if (c.Form == Shape::Disc) {
                const float dx = static_cast<float>(x) - 0.5f * p.Width, dy = static_cast<float>(y) - 0.5f * p.Height;
                a = std::clamp((0.3f * p.Height - std::sqrt(dx * dx + dy * dy)) / 3.0f + 0.5f, 0.0f, 1.0f);
                light = 1.0f + c.Light * (static_cast<float>(x) / p.Width - 0.5f);
            } else {
                // A vertical band, the light falling from the bottom to the top.
                const float inside =
                    std::min(static_cast<float>(x) - 0.4f * p.Width, 0.6f * p.Width - static_cast<float>(x));
                a = std::clamp(inside / 3.0f + 0.5f, 0.0f, 1.0f);
                light = 1.0f + c.Light * (static_cast<float>(y) / (p.Height - 1) - 0.5f);
            }
            Rgb colour{(a * c.Subject.R + (1 - a) * c.Screen.R) * light + c.Noise * HashNoise(x, y, 1),
                       (a * c.Subject.G + (1 - a) * c.Screen.G) * light + c.Noise * HashNoise(x, y, 2),
                       (a * c.Subject.B + (1 - a) * c.Screen.B) * light + c.Noise * HashNoise(x, y, 3)};
            const bool speck = c.Specks && a == 0.0f && (x * 7 + y * 13) % 331 == 0;
            if (speck)
                colour = {1.0f, 0.0f, 1.0f};
            p.Pixels.push_back(colour);
            p.Truth.push_back(a);
            p.Speck.push_back(speck);
        }
    return p;
}

class PlateFits : public FitWithTool, public ::testing::WithParamInterface<PlateCase> {};

TEST_P(PlateFits, TheScreenIsKeyedAndTheSubjectKept)
{
    const PlateCase& c = GetParam();
    const Plate plate = MakePlate(c);
    fit::Samples samples;
    // The screen at both sides, across the whole fall of the light.
    samples.Screen = plate.In(0, 0, 16, plate.Height);
    const std::vector<Rgb> right = plate.In(plate.Width - 16, 0, 16, plate.Height);
    samples.Screen.insert(samples.Screen.end(), right.begin(), right.end());
    if (c.Subjects)
        samples.Subject = c.Form == Shape::Disc ? plate.In(40, 24, 16, 16) : plate.In(43, 0, 10, plate.Height);

    std::size_t renders = 0;
    const fit::RenderFunction tool = Render();
    const fit::FitResult result = fit::FitSettings(
        samples, [&](const std::vector<fit::ControlValue>& controls, const std::vector<Rgb>& colours) {
            ++renders;
            return tool(controls, colours);
        });
    EXPECT_EQ(result.Renders, renders);
    if (c.Space) {
        EXPECT_EQ(result.Controls.Space, *c.Space) << fit::SpaceName(result.Controls.Space);
        for (const fit::SpaceOutcome& outcome : result.Spaces)
            EXPECT_EQ(outcome.Apart, outcome.Space == *c.Space) << fit::SpaceName(outcome.Space);
    }
    EXPECT_GE(result.ScreenKeyed, c.Specks ? 0.99 : 1.0);
    EXPECT_EQ(result.SubjectKept, 1.0);

    // The whole plate through a new instance with the fitted controls.
    const fit::Rendered keyed = tool(result.Controls.List(), plate.Pixels);
    std::size_t screens = 0, keyedScreens = 0, subjects = 0, keptSubjects = 0;
    for (std::size_t i = 0; i < plate.Pixels.size(); ++i) {
        if (plate.Truth[i] == 0.0f && !plate.Speck[i]) {
            ++screens;
            keyedScreens += keyed.Alpha[i] == 0.0f ? 1 : 0;
        } else if (plate.Truth[i] == 1.0f) {
            ++subjects;
            keptSubjects += keyed.Alpha[i] == 1.0f ? 1 : 0;
        }
    }
    ASSERT_GT(screens, 0u);  // divided by below, as is subjects
    ASSERT_GT(subjects, 0u);
    EXPECT_GE(static_cast<double>(keyedScreens) / static_cast<double>(screens), 0.995)
        << keyedScreens << " of " << screens;
    EXPECT_GE(static_cast<double>(keptSubjects) / static_cast<double>(subjects), 0.995)
        << keptSubjects << " of " << subjects;
    // The Value sliders the fit reports are those the tool shows with these controls.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(keyed.ValueSliders[i], result.ValueSliders[i]);
}

// Mean |alpha - level| of colours rendered through the tool with the fitted controls.
double LevelError(const fit::RenderFunction& tool, const fit::FitResult& result, const std::vector<Rgb>& colours,
                  const std::vector<float>& levels)
{
    const fit::Rendered keyed = tool(result.Controls.List(), colours);
    double sum = 0.0;
    for (std::size_t i = 0; i < colours.size(); ++i)
        sum += std::fabs(static_cast<double>(keyed.Alpha[i]) - levels[i]);
    return sum / static_cast<double>(colours.size());  // colours is not empty
}

TEST_F(FitWithTool, EdgeSamplesBringAVeilNearerItsOpacity)
{
    // A noisy green screen, a grey-brown subject, and a veil of the subject over the screen at
    // opacities 0.1 to 0.9, mixed in linear light: given as edge samples, the fit renders the veil
    // nearer its opacity than from the screen and the subject alone.
    fit::Samples samples;
    std::vector<float> levels;
    for (int i = 0; i < 400; ++i) {
        const float n = 0.01f * HashNoise(static_cast<std::uint32_t>(i), 0, 1);
        samples.Screen.push_back({0.15f + n, 0.6f - n, 0.2f + n});
        samples.Subject.push_back({0.45f - n, 0.4f + n, 0.35f});
    }
    for (int i = 0; i < 360; ++i) {
        const float level = static_cast<float>(1 + i % 9) / 10.0f;
        const Rgb& s = samples.Screen[static_cast<std::size_t>(i)];
        const Rgb& f = samples.Subject[static_cast<std::size_t>(i * 7 % 400)];
        samples.Edge.push_back({level * f.R + (1 - level) * s.R, level * f.G + (1 - level) * s.G,
                                level * f.B + (1 - level) * s.B});
        levels.push_back(level);
    }
    const fit::RenderFunction tool = Render();
    const fit::FitResult edges = fit::FitSettings(samples, tool);
    EXPECT_EQ(edges.EdgeSamples, 360u);
    EXPECT_EQ(edges.TransitionSamples, 360u);  // every one lies on a screen-subject line
    EXPECT_EQ(edges.ScreenKeyed, 1.0);
    fit::Samples solids = samples;
    solids.Edge.clear();
    const fit::FitResult plain = fit::FitSettings(solids, tool);
    EXPECT_EQ(plain.EdgeSamples, 0u);
    EXPECT_EQ(plain.TransitionError, 0.0);
    const double withEdges = LevelError(tool, edges, samples.Edge, levels);
    const double without = LevelError(tool, plain, samples.Edge, levels);
    EXPECT_NEAR(edges.TransitionError, withEdges, 0.02);  // the targets are the levels, within the noise
    EXPECT_LT(withEdges, 0.75 * without) << withEdges << " against " << without;
}

INSTANTIATE_TEST_SUITE_P(
    Plates, PlateFits,
    ::testing::Values(
        PlateCase{"Green", {0.15f, 0.6f, 0.2f}, {0.8f, 0.5f, 0.4f}, 0.02f, 0.4f, Shape::Disc, true, false, {}},
        PlateCase{"Blue", {0.1f, 0.2f, 0.7f}, {0.8f, 0.5f, 0.2f}, 0.02f, 0.4f, Shape::Disc, true, false, {}},
        PlateCase{"Yellow", {0.8f, 0.75f, 0.1f}, {0.4f, 0.2f, 0.6f}, 0.02f, 0.4f, Shape::Disc, true, false, {}},
        PlateCase{"GreenScreenAlone", {0.15f, 0.6f, 0.2f}, {0.8f, 0.5f, 0.4f}, 0.02f, 0.4f, Shape::Disc, false, false,
                  {}},
        PlateCase{"YellowScreenAlone", {0.8f, 0.75f, 0.1f}, {0.4f, 0.2f, 0.6f}, 0.02f, 0.4f, Shape::Disc, false, false,
                  {}},
        PlateCase{"GreenWithSpecks", {0.15f, 0.6f, 0.2f}, {0.8f, 0.5f, 0.4f}, 0.02f, 0.4f, Shape::Disc, true, true, {}},
        // The same green at two saturations, the light falling from 0.4 to 1.2 over both: apart
        // only in HSV, where saturation is a component of its own and brightness another.
        PlateCase{"SaturationOnly", {0.2f, 0.75f, 0.2f}, {0.49f, 0.75f, 0.49f}, 0.01f, 1.0f, Shape::Band, true, false,
                  1}),
    [](const ::testing::TestParamInfo<PlateCase>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace qualvex::testing
