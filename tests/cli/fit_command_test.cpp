// qualvex fit and key --key-color-from, end to end on the installed program: generated plates
// whose true alpha is known are fitted from sample regions and masks, keyed with the settings file
// the fit wrote, and measured; bad regions are refused by name.
#include "support/hash_noise.h"
#include "support/qualvex_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace qualvex::testing {
namespace {

struct Colour {
    float R, G, B;
};

constexpr int kFitWidth = 96;
constexpr int kFitHeight = 64;

// A soft-edged subject (a disc in the middle, or a vertical band) over a noisy screen whose light
// falls across the plate (left to right for the disc, bottom to top for the band).
struct Plate {
    std::vector<float> Rgba;   // as written
    std::vector<float> Truth;  // true alpha
};

Plate MakePlate(Colour screen, Colour subject, float light, bool band, float brighter = 1.0f)
{
    Plate p;
    for (int y = 0; y < kFitHeight; ++y)
        for (int x = 0; x < kFitWidth; ++x) {
            float a, l;
            if (!band) {
                const float dx = static_cast<float>(x) - 0.5f * kFitWidth, dy = static_cast<float>(y) - 0.5f * kFitHeight;
                a = std::clamp((0.3f * kFitHeight - std::sqrt(dx * dx + dy * dy)) / 3.0f + 0.5f, 0.0f, 1.0f);
                l = 1.0f + light * (static_cast<float>(x) / kFitWidth - 0.5f);
            } else {
                const float inside =
                    std::min(static_cast<float>(x) - 0.4f * kFitWidth, 0.6f * kFitWidth - static_cast<float>(x));
                a = std::clamp(inside / 3.0f + 0.5f, 0.0f, 1.0f);
                l = 1.0f + light * (static_cast<float>(y) / (kFitHeight - 1) - 0.5f);
            }
            l *= brighter;
            const float noise = band ? 0.01f : 0.02f;
            p.Rgba.push_back((a * subject.R + (1 - a) * screen.R) * l + noise * HashNoise(x, y, 1));
            p.Rgba.push_back((a * subject.G + (1 - a) * screen.G) * l + noise * HashNoise(x, y, 2));
            p.Rgba.push_back((a * subject.B + (1 - a) * screen.B) * l + noise * HashNoise(x, y, 3));
            p.Rgba.push_back(1.0f);
            p.Truth.push_back(a);
        }
    return p;
}

// The screen at both sides, all the way down; the subject inside the disc, or down the band.
// Whether the report marks `space` as one where screen and subject overlap: "RGB 0.6012 (overlap)".
bool MarkedOverlapping(const std::string& report, const std::string& space)
{
    const std::size_t line = report.find("separation by colour space");
    const std::size_t at = report.find(" " + space + " ", line);
    if (line == std::string::npos || at == std::string::npos)
        throw std::runtime_error("no separation for " + space + " in " + report);
    const std::size_t number = at + space.size() + 2;
    const std::size_t end = report.find_first_not_of("-0123456789.", number);
    return report.compare(end, 10, " (overlap)") == 0;
}

// The number after `prefix` in `text`.
double NumberAfter(const std::string& text, const std::string& prefix)
{
    const std::size_t at = text.find(prefix);
    if (at == std::string::npos)
        throw std::runtime_error("no \"" + prefix + "\" in " + text);
    return std::strtod(text.c_str() + at + prefix.size(), nullptr);
}

const std::vector<std::string> kDiscRegions = {"--screen", "0,0,16,64", "--screen", "80,0,16,64",
                                               "--subject", "40,24,16,16"};
const std::vector<std::string> kBandRegions = {"--screen", "0,0,16,64", "--screen", "80,0,16,64",
                                               "--subject", "43,0,10,64"};

class FitCommand : public QualvexCommand {
protected:
    void WritePlate(const std::string& name, const Plate& plate) const
    {
        WriteImage(P(name), kFitWidth, kFitHeight, {"R", "G", "B", "A"}, TypeDesc::FLOAT, plate.Rgba);
    }

    // The shares of pure screen pixels keyed to 0 and of pure subject pixels kept at 1.
    struct Measured {
        double Keyed = 0.0, Kept = 0.0;
    };
    Measured Measure(const std::string& keyed, const Plate& plate) const
    {
        const ReadBack back = ReadImage(P(keyed));
        EXPECT_EQ(back.Header.nchannels, 4);
        std::size_t screens = 0, keyedCount = 0, subjects = 0, kept = 0;
        for (std::size_t i = 0; i < plate.Truth.size(); ++i) {
            const float alpha = back.Pixels[i * 4 + 3];
            if (plate.Truth[i] == 0.0f) {
                ++screens;
                keyedCount += alpha == 0.0f ? 1 : 0;
            } else if (plate.Truth[i] == 1.0f) {
                ++subjects;
                kept += alpha == 1.0f ? 1 : 0;
            }
        }
        // Every plate here has pure screen and pure subject pixels: neither count is 0.
        return {static_cast<double>(keyedCount) / static_cast<double>(screens),
                static_cast<double>(kept) / static_cast<double>(subjects)};
    }

    // Every pixel of the rectangle at `target` alpha.
    void ExpectRectangle(const std::string& keyed, int x0, int y0, int w, int h, float target) const
    {
        const ReadBack back = ReadImage(P(keyed));
        int off = 0;
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                off += back.Pixels[static_cast<std::size_t>((y * kFitWidth + x) * 4 + 3)] != target ? 1 : 0;
        EXPECT_EQ(off, 0) << x0 << "," << y0 << "," << w << "," << h << " not all at " << target;
    }
};

struct ScreenCase {
    const char* Name;
    Colour Screen, Subject;
};

class FitScreens : public FitCommand, public ::testing::WithParamInterface<ScreenCase> {};

TEST_P(FitScreens, FittedSettingsKeyTheScreenAndKeepTheSubject)
{
    const Plate plate = MakePlate(GetParam().Screen, GetParam().Subject, 0.4f, false);
    WritePlate("plate.exr", plate);
    const RunResult fit = Run(With({"fit", "plate.exr", "-o", "fit.json"}, kDiscRegions));
    ASSERT_EQ(fit.ExitCode, 0) << fit.Err;
    EXPECT_NE(fit.Out.find("qualvex fit: 2048 screen and 256 subject samples from 1 frame of plate.exr"),
              std::string::npos)
        << fit.Out;
    EXPECT_NE(fit.Out.find("screen samples fully keyed: 100.0%, subject samples fully kept: 100.0%"), std::string::npos)
        << fit.Out;
    EXPECT_NE(fit.Out.find("  written: fit.json"), std::string::npos) << fit.Out;
    const std::string json = Slurp(P("fit.json"));
    for (const char* id : {"\"CRed\"", "\"CGreen\"", "\"CBlue\"", "\"MiRedn\"", "\"FadeRed\"", "\"InvAlpha\""})
        EXPECT_NE(json.find(id), std::string::npos) << id << "\n" << json;
    int spaces = 0;
    for (const char* space : {"RGB", "HSV", "YXy", "YUV", "YCbCr"})
        spaces += json.find(std::string("\"Colorspace\": \"") + space + "\"") != std::string::npos ? 1 : 0;
    EXPECT_EQ(spaces, 1) << json;

    const RunResult key = Run({"key", "plate.exr", "-o", "keyed.exr", "--settings", "fit.json", "-q"});
    ASSERT_EQ(key.ExitCode, 0) << key.Err;
    ExpectRectangle("keyed.exr", 0, 0, 16, 64, 0.0f);
    ExpectRectangle("keyed.exr", 80, 0, 16, 64, 0.0f);
    ExpectRectangle("keyed.exr", 40, 24, 16, 16, 1.0f);
    const Measured m = Measure("keyed.exr", plate);
    EXPECT_GE(m.Keyed, 0.995);
    EXPECT_GE(m.Kept, 0.995);
}

INSTANTIATE_TEST_SUITE_P(Screens, FitScreens,
                         ::testing::Values(ScreenCase{"Green", {0.15f, 0.6f, 0.2f}, {0.8f, 0.5f, 0.4f}},
                                           ScreenCase{"Blue", {0.1f, 0.2f, 0.7f}, {0.8f, 0.5f, 0.2f}},
                                           ScreenCase{"Yellow", {0.8f, 0.75f, 0.1f}, {0.4f, 0.2f, 0.6f}}),
                         [](const ::testing::TestParamInfo<ScreenCase>& info) { return std::string(info.param.Name); });

TEST_F(FitCommand, AutoPicksTheOnlySpaceThatSeparatesThePlate)
{
    // One green at two saturations, the light falling from half to one and a half over both: the
    // subject's dark end lies near the screen's dark end in every space but HSV, where saturation
    // is a component of its own.
    const Plate plate = MakePlate({0.2f, 0.75f, 0.2f}, {0.49f, 0.75f, 0.49f}, 1.0f, true);
    WritePlate("plate.exr", plate);
    const RunResult fit = Run(With({"fit", "plate.exr", "-o", "fit.json", "--space", "auto"}, kBandRegions));
    ASSERT_EQ(fit.ExitCode, 0) << fit.Err;
    EXPECT_NE(fit.Out.find("  space HSV: the widest separation"), std::string::npos) << fit.Out;
    for (const char* space : {"RGB", "YXy", "YUV", "YCbCr"})
        EXPECT_TRUE(MarkedOverlapping(fit.Out, space)) << space << "\n" << fit.Out;
    EXPECT_FALSE(MarkedOverlapping(fit.Out, "HSV")) << fit.Out;
    EXPECT_NE(Slurp(P("fit.json")).find("\"Colorspace\": \"HSV\""), std::string::npos);

    ASSERT_EQ(Run({"key", "plate.exr", "-o", "keyed.exr", "--settings", "fit.json", "-q"}).ExitCode, 0);
    ExpectRectangle("keyed.exr", 0, 0, 16, 64, 0.0f);
    ExpectRectangle("keyed.exr", 43, 0, 10, 64, 1.0f);
    const Measured m = Measure("keyed.exr", plate);
    EXPECT_GE(m.Keyed, 0.995);
    EXPECT_GE(m.Kept, 0.995);

    // Made to fit in RGB, the samples overlap and the report says so.
    const RunResult rgb = Run(With({"fit", "plate.exr", "-o", "rgb.json", "--space", "RGB"}, kBandRegions));
    ASSERT_EQ(rgb.ExitCode, 0) << rgb.Err;
    EXPECT_NE(rgb.Out.find("  space RGB: the space asked for"), std::string::npos) << rgb.Out;
    EXPECT_NE(rgb.Out.find("warning: the screen's and the subject's samples overlap"), std::string::npos) << rgb.Out;
}

TEST_F(FitCommand, MasksGiveSamplesByAlphaOrGrey)
{
    const Plate plate = MakePlate({0.1f, 0.2f, 0.7f}, {0.8f, 0.5f, 0.2f}, 0.4f, false);
    WritePlate("plate.exr", plate);
    // Grey mask, no alpha: white at both sides. Alpha mask: opaque in the disc's middle, its
    // colour black so that only alpha can mark it.
    std::vector<float> grey, alpha;
    for (int y = 0; y < kFitHeight; ++y)
        for (int x = 0; x < kFitWidth; ++x) {
            grey.push_back(x < 16 || x >= 80 ? 1.0f : 0.2f);
            const bool middle = x >= 40 && x < 56 && y >= 24 && y < 40;
            alpha.insert(alpha.end(), {0.0f, 0.0f, 0.0f, middle ? 0.8f : 0.3f});
        }
    WriteImage(P("screen.png"), kFitWidth, kFitHeight, {"Y"}, TypeDesc::UINT8, grey);
    WriteImage(P("subject.png"), kFitWidth, kFitHeight, {"R", "G", "B", "A"}, TypeDesc::UINT8, alpha);
    const RunResult fit = Run({"fit", "plate.exr", "--screen-mask", "screen.png", "--subject-mask", "subject.png", "-o",
                               "fit.json"});
    ASSERT_EQ(fit.ExitCode, 0) << fit.Err;
    EXPECT_NE(fit.Out.find("2048 screen and 256 subject samples"), std::string::npos) << fit.Out;
    ASSERT_EQ(Run({"key", "plate.exr", "-o", "keyed.exr", "--settings", "fit.json", "-q"}).ExitCode, 0);
    const Measured m = Measure("keyed.exr", plate);
    EXPECT_GE(m.Keyed, 0.995);
    EXPECT_GE(m.Kept, 0.995);
}

TEST_F(FitCommand, TheScreenAloneIsFittedWithAMargin)
{
    const Plate plate = MakePlate({0.8f, 0.75f, 0.1f}, {0.4f, 0.2f, 0.6f}, 0.4f, false);
    WritePlate("plate.exr", plate);
    const RunResult fit =
        Run({"fit", "plate.exr", "--screen", "0,0,16,64", "--screen", "80,0,16,64", "-o", "fit.json"});
    ASSERT_EQ(fit.ExitCode, 0) << fit.Err;
    EXPECT_NE(fit.Out.find("2048 screen and 0 subject samples"), std::string::npos) << fit.Out;
    EXPECT_NE(fit.Out.find("(no subject samples: the screen alone, with a safety margin)"), std::string::npos)
        << fit.Out;
    ASSERT_EQ(Run({"key", "plate.exr", "-o", "keyed.exr", "--settings", "fit.json", "-q"}).ExitCode, 0);
    const Measured m = Measure("keyed.exr", plate);
    EXPECT_GE(m.Keyed, 0.995);
    EXPECT_GE(m.Kept, 0.995);
}

TEST_F(FitCommand, EveryFrameAskedForIsSampled)
{
    // The second frame is lit a fifth brighter: its screen is keyed only if it was sampled too.
    const Colour screen{0.15f, 0.6f, 0.2f}, subject{0.8f, 0.5f, 0.4f};
    const Plate first = MakePlate(screen, subject, 0.4f, false);
    const Plate second = MakePlate(screen, subject, 0.4f, false, 1.2f);
    WritePlate("plate.0001.exr", first);
    WritePlate("plate.0002.exr", second);
    const RunResult fit = Run(With({"fit", "plate.####.exr", "--frames", "1-2", "-o", "fit.json"}, kDiscRegions));
    ASSERT_EQ(fit.ExitCode, 0) << fit.Err;
    EXPECT_NE(fit.Out.find("4096 screen and 512 subject samples from 2 frames of plate.####.exr"), std::string::npos)
        << fit.Out;
    ASSERT_EQ(Run({"key", "plate.####.exr", "-o", "keyed.####.exr", "--settings", "fit.json", "-q"}).ExitCode, 0);
    for (const auto& [name, plate] : {std::pair{"keyed.0001.exr", &first}, std::pair{"keyed.0002.exr", &second}}) {
        const Measured m = Measure(name, *plate);
        EXPECT_GE(m.Keyed, 0.995) << name;
        EXPECT_GE(m.Kept, 0.995) << name;
    }

    const RunResult missing = Run(With({"fit", "plate.####.exr", "--frames", "1-3", "-o", "more.json"}, kDiscRegions));
    EXPECT_EQ(missing.ExitCode, 1);
    EXPECT_NE(missing.Err.find("source frames missing: 3"), std::string::npos) << missing.Err;
    EXPECT_FALSE(std::filesystem::exists(P("more.json")));
}

TEST_F(FitCommand, RegionsOnNamedFramesSampleThoseFramesAlone)
{
    // The exposure drifts from dark to bright over the clip, and the light falls across each frame:
    // the screen is sampled at both sides of the first frame and of the last, which keys the frame
    // between them too. The middle frame is no image at all while fitting: reading it would fail
    // the fit.
    const Colour screen{0.15f, 0.6f, 0.2f}, subject{0.8f, 0.5f, 0.4f};
    const Plate first = MakePlate(screen, subject, 0.4f, false, 0.75f);
    const Plate middle = MakePlate(screen, subject, 0.4f, false);
    const Plate last = MakePlate(screen, subject, 0.4f, false, 1.25f);
    WritePlate("plate.1001.exr", first);
    std::ofstream(P("plate.1002.exr")) << "not an image";
    WritePlate("plate.1003.exr", last);
    const std::vector<std::string> regions = {
        "--screen",  "1001:0,0,16,64",   "--screen",  "1001:80,0,16,64", "--screen", "1003:0,0,16,64", "--screen",
        "1003:80,0,16,64", "--subject", "1001:40,24,16,16", "--subject", "1003:40,24,16,16"};
    const RunResult fit = Run(With({"fit", "plate.####.exr", "-o", "fit.json"}, regions));
    ASSERT_EQ(fit.ExitCode, 0) << fit.Err;
    EXPECT_NE(fit.Out.find("4096 screen and 512 subject samples from 2 frames of plate.####.exr"), std::string::npos)
        << fit.Out;
    WritePlate("plate.1002.exr", middle);
    ASSERT_EQ(Run({"key", "plate.####.exr", "-o", "keyed.####.exr", "--settings", "fit.json", "-q"}).ExitCode, 0);
    for (const auto& [name, plate] : {std::pair{"keyed.1001.exr", &first}, std::pair{"keyed.1002.exr", &middle},
                                      std::pair{"keyed.1003.exr", &last}}) {
        const Measured m = Measure(name, *plate);
        EXPECT_GE(m.Keyed, 0.995) << name;
        EXPECT_GE(m.Kept, 0.995) << name;
    }

    // A frame the source does not hold, one outside --frames, or frames of a single image: each
    // refused by its region's name before anything is read.
    struct Refused {
        std::vector<std::string> Args;
        const char* Message;
    };
    for (const Refused& bad :
         {Refused{{"plate.####.exr", "--screen", "9:0,0,16,64"},
                  "qualvex: --screen 9:0,0,16,64: the source holds no frame 9 (it holds 1001-1003)\n"},
          Refused{{"plate.####.exr", "--frames", "1001-1002", "--screen", "1003:80,0,16,64"},
                  "qualvex: --screen 1003:80,0,16,64: frame 1003 lies outside --frames 1001-1002\n"},
          Refused{{"plate.1001.exr", "--screen", "0,0,16,64", "--subject", "1:40,24,16,16"},
                  "qualvex: --subject 1:40,24,16,16: \"plate.1001.exr\" is a single image; frame numbers apply to a "
                  "sequence or a movie\n"}}) {
        const RunResult run = Run(With({"fit", "-o", "bad.json"}, bad.Args));
        EXPECT_EQ(run.ExitCode, 2) << run.Err;
        EXPECT_EQ(run.Err, bad.Message);
        EXPECT_FALSE(std::filesystem::exists(P("bad.json")));
    }
}

TEST_F(FitCommand, AnExistingSettingsFileIsReplacedOnlyWhenAsked)
{
    WritePlate("plate.exr", MakePlate({0.15f, 0.6f, 0.2f}, {0.8f, 0.5f, 0.4f}, 0.4f, false));
    ASSERT_EQ(Run(With({"fit", "plate.exr", "-o", "fit.json"}, kDiscRegions)).ExitCode, 0);
    const std::string before = Slurp(P("fit.json"));
    const RunResult again = Run(With({"fit", "plate.exr", "-o", "fit.json", "--space", "RGB"}, kDiscRegions));
    EXPECT_EQ(again.ExitCode, 1);
    EXPECT_EQ(again.Err, "qualvex: fit.json: exists (use --overwrite to replace it)\n");
    EXPECT_EQ(Slurp(P("fit.json")), before);
    const RunResult replaced =
        Run(With({"fit", "plate.exr", "-o", "fit.json", "--space", "RGB", "--overwrite"}, kDiscRegions));
    EXPECT_EQ(replaced.ExitCode, 0) << replaced.Err;
    EXPECT_NE(Slurp(P("fit.json")).find("\"Colorspace\": \"RGB\""), std::string::npos);
}

struct BadCase {
    const char* Name;
    std::vector<std::string> Args;
    const char* Message;
};

class FitRefusals : public FitCommand, public ::testing::WithParamInterface<BadCase> {};

TEST_P(FitRefusals, BadRegionsAreUsageErrorsNamingTheRegion)
{
    WritePlate("plate.exr", MakePlate({0.15f, 0.6f, 0.2f}, {0.8f, 0.5f, 0.4f}, 0.4f, false));
    std::vector<float> everywhere(static_cast<std::size_t>(kFitWidth * kFitHeight), 1.0f);
    WriteImage(P("all.png"), kFitWidth, kFitHeight, {"Y"}, TypeDesc::UINT8, everywhere);
    WriteImage(P("small.png"), 8, 8, {"Y"}, TypeDesc::UINT8, std::vector<float>(64, 1.0f));
    WriteImage(P("none.png"), kFitWidth, kFitHeight, {"Y"}, TypeDesc::UINT8, std::vector<float>(everywhere.size(), 0.0f));
    const RunResult run = Run(With({"fit", "plate.exr", "-o", "fit.json"}, GetParam().Args));
    EXPECT_EQ(run.ExitCode, 2) << run.Err;
    EXPECT_NE(run.Err.find(GetParam().Message), std::string::npos) << run.Err;
    EXPECT_FALSE(std::filesystem::exists(P("fit.json")));
}

INSTANTIATE_TEST_SUITE_P(
    Regions, FitRefusals,
    ::testing::Values(
        BadCase{"PastTheRightEdge",
                {"--screen", "90,0,20,10"},
                "--screen 90,0,20,10: outside the 96 x 64 image of plate.exr"},
        BadCase{"AboveTheTop", {"--screen", "0,-1,5,5"}, "--screen 0,-1,5,5: outside the 96 x 64 image"},
        BadCase{"SubjectOutside", {"--screen", "0,0,5,5", "--subject", "50,60,4,5"}, "--subject 50,60,4,5: outside"},
        BadCase{"Empty", {"--screen", "0,0,5,5", "--subject", "5,5,0,4"}, "--subject 5,5,0,4: the region is empty"},
        BadCase{"EdgeOutside", {"--screen", "0,0,5,5", "--edge", "90,0,16,64"},
                "--edge 90,0,16,64: outside the 96 x 64 image"},
        BadCase{"Overlapping",
                {"--screen", "0,0,20,20", "--subject", "10,10,20,20"},
                "--screen 0,0,20,20 and --subject 10,10,20,20 overlap"},
        BadCase{"ThreeNumbers", {"--screen", "1,2,3"}, "--screen 1,2,3: expected X,Y,W,H"},
        BadCase{"NotNumbers", {"--screen", "a,0,4,4"}, "--screen a,0,4,4: \"a\" is not a whole number"},
        BadCase{"MaskOverlapsARegion",
                {"--screen-mask", "all.png", "--subject", "40,24,4,4"},
                "--screen-mask all.png and --subject 40,24,4,4 overlap"},
        BadCase{"MaskOfAnotherSize",
                {"--screen-mask", "small.png"},
                "--screen-mask small.png: the mask is 8 x 8, the source 96 x 64"},
        BadCase{"MaskMarksNothing", {"--screen-mask", "none.png"}, "--screen-mask none.png: the mask marks no pixel"},
        BadCase{"NoScreen", {"--subject", "40,24,4,4"}, "no screen samples"},
        BadCase{"UnknownSpace", {"--screen", "0,0,5,5", "--space", "Lab"}, "--space \"Lab\": expected auto, RGB"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.Name); });

// The value of a control in a settings record (JSON), as written.
double RecordedValue(const std::string& json, const std::string& id) { return NumberAfter(json, "\"" + id + "\":"); }

TEST_F(FitCommand, KeyColorFromTakesTheMedianOfTheRegion)
{
    const Plate plate = MakePlate({0.15f, 0.6f, 0.2f}, {0.8f, 0.5f, 0.4f}, 0.4f, false);
    WritePlate("plate.exr", plate);
    // The medians, worked out here from the pixels written: an odd count takes the middle value,
    // an even count the mean of the two middle values; the tool holds a key colour in single
    // precision.
    const auto median = [&](int x0, int y0, int w, int h, int channel) {
        std::vector<double> values;
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                values.push_back(plate.Rgba[static_cast<std::size_t>((y * kFitWidth + x) * 4 + channel)]);
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        const double middle = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
        return static_cast<double>(static_cast<float>(middle));
    };
    struct Case {
        const char* Region;
        int X, Y, W, H;
    };
    for (const Case& c : {Case{"3,5,3,3", 3, 5, 3, 3}, Case{"70,10,6,4", 70, 10, 6, 4}}) {
        const std::string output = std::string("keyed-") + std::to_string(c.X) + ".exr";
        const RunResult run = Run({"key", "plate.exr", "-o", output, "--key-color-from", c.Region, "-q"});
        ASSERT_EQ(run.ExitCode, 0) << run.Err;
        const std::string record = ReadImage(P(output)).Header.get_string_attribute("qualvex:settings");
        EXPECT_EQ(RecordedValue(record, "CRed"), median(c.X, c.Y, c.W, c.H, 0)) << c.Region;
        EXPECT_EQ(RecordedValue(record, "CGreen"), median(c.X, c.Y, c.W, c.H, 1)) << c.Region;
        EXPECT_EQ(RecordedValue(record, "CBlue"), median(c.X, c.Y, c.W, c.H, 2)) << c.Region;
    }

    const RunResult both = Run({"key", "plate.exr", "-o", "both.exr", "--key-color", "0.1,0.6,0.2", "--key-color-from",
                                "3,5,3,3"});
    EXPECT_EQ(both.ExitCode, 2);
    EXPECT_EQ(both.Err, "qualvex: --key-color and --key-color-from exclude each other: give one key colour\n");
    const RunResult outside = Run({"key", "plate.exr", "-o", "outside.exr", "--key-color-from", "95,0,2,2"});
    EXPECT_EQ(outside.ExitCode, 2);
    EXPECT_NE(outside.Err.find("--key-color-from 95,0,2,2: outside the 96 x 64 image of plate.exr"), std::string::npos)
        << outside.Err;
    EXPECT_FALSE(std::filesystem::exists(P("both.exr")));
    EXPECT_FALSE(std::filesystem::exists(P("outside.exr")));
}

// One run of the demo (it keys, fits and finishes its plate): the shipped settings' error, the
// fitted settings doing better, the finishing line, and the files it writes.
// A green screen lit three times as brightly on the right as on the left, and a solid olive box
// whose colour lies inside the screen's range from left to right: one key colour cannot key the
// whole screen without the box.
struct UnevenScreen {
    static constexpr int kBoxX = 36, kBoxY = 16, kBoxWidth = 24, kBoxHeight = 32;
    static Colour ScreenAt(int x)
    {
        const float t = (static_cast<float>(x) + 0.5f) / kFitWidth;
        return {0.05f + 0.1f * t, 0.3f + 0.55f * t, 0.08f + 0.14f * t};
    }
    static bool InBox(int x, int y)
    {
        return x >= kBoxX && x < kBoxX + kBoxWidth && y >= kBoxY && y < kBoxY + kBoxHeight;
    }
    static Plate Make()
    {
        Plate p;
        for (int y = 0; y < kFitHeight; ++y)
            for (int x = 0; x < kFitWidth; ++x) {
                const bool box = InBox(x, y);
                const Colour c = box ? Colour{0.14f, 0.4f, 0.09f} : ScreenAt(x);
                const float noise = box ? 0.0f : 0.008f;
                p.Rgba.insert(p.Rgba.end(), {c.R + noise * HashNoise(x, y, 1), c.G + noise * HashNoise(x, y, 2),
                                             c.B + noise * HashNoise(x, y, 3), 1.0f});
                p.Truth.push_back(box ? 1.0f : 0.0f);
            }
        return p;
    }
};

const std::vector<std::string> kUnevenRegions = {"--screen", "0,0,24,64", "--screen", "72,0,24,64",
                                                 "--subject", "36,16,24,32"};

TEST_F(FitCommand, ACleanPlateKeysAScreenLitUnevenlyWhereOneKeyColourFails)
{
    const Plate plate = UnevenScreen::Make();
    WritePlate("plate.exr", plate);
    // Fitted against the plate in RGB, the plate holds the screen's own colour: the drawn one,
    // under the box too, within the screen's noise. The report says what one key colour did.
    const RunResult rgb =
        Run(With({"fit", "plate.exr", "-o", "rgb.json", "--clean-plate", "rgb-plate.exr", "--space", "RGB"},
                 kUnevenRegions));
    ASSERT_EQ(rgb.ExitCode, 0) << rgb.Err;
    EXPECT_LT(NumberAfter(rgb.Out, "against one key colour: screen samples fully keyed 100.0%, subject samples fully kept "),
              50.0)
        << rgb.Out;
    EXPECT_NE(rgb.Out.find("  written: rgb-plate.exr (the clean plate, for --key-image) and rgb.json\n"),
              std::string::npos)
        << rgb.Out;
    const ReadBack clean = ReadImage(P("rgb-plate.exr"));
    ASSERT_EQ(clean.Header.width, kFitWidth);
    ASSERT_EQ(clean.Header.height, kFitHeight);
    EXPECT_EQ(clean.Header.get_string_attribute("qualvex:cleanplate"), "RGB");
    EXPECT_EQ(clean.Header.format, TypeDesc::FLOAT);
    const std::size_t channels = static_cast<std::size_t>(clean.Header.nchannels);
    double worst = 0.0;
    for (int y = 0; y < kFitHeight; ++y)
        for (int x = 0; x < kFitWidth; ++x) {
            const float* p = &clean.Pixels[(static_cast<std::size_t>(y) * kFitWidth + static_cast<std::size_t>(x)) * channels];
            const Colour drawn = UnevenScreen::ScreenAt(x);
            worst = std::max({worst, std::fabs(p[0] - static_cast<double>(drawn.R)),
                              std::fabs(p[1] - static_cast<double>(drawn.G)), std::fabs(p[2] - static_cast<double>(drawn.B))});
        }
    EXPECT_LT(worst, 0.004);

    // Keying with the plate keys every screen pixel and keeps the whole box, edges included.
    EXPECT_NE(rgb.Out.find("against the plate:      screen samples fully keyed 100.0%, subject samples fully kept "
                           "100.0%\n"),
              std::string::npos)
        << rgb.Out;
    const RunResult key =
        Run({"key", "plate.exr", "-o", "keyed.exr", "--settings", "rgb.json", "--key-image", "rgb-plate.exr", "-q"});
    ASSERT_EQ(key.ExitCode, 0) << key.Err;
    const Measured m = Measure("keyed.exr", plate);
    EXPECT_EQ(m.Keyed, 1.0);
    EXPECT_EQ(m.Kept, 1.0);

    // A plate keyed in another space than it was fitted for, or at another size, is refused by
    // name; so is a plate that cannot keep float values, or one that exists.
    const RunResult mismatch = Run({"key", "plate.exr", "-o", "other.exr", "--settings", "rgb.json", "--set",
                                    "Colorspace=1", "--key-image", "rgb-plate.exr", "-q"});
    EXPECT_EQ(mismatch.ExitCode, 2);
    EXPECT_NE(mismatch.Err.find("--key-image rgb-plate.exr: the clean plate holds RGB references, the settings key "
                                "in HSV: use the settings fitted with the plate (qualvex fit --clean-plate)"),
              std::string::npos)
        << mismatch.Err;
    ASSERT_EQ(std::system(("oiiotool '" + P("rgb-plate.exr").string() + "' --resize 48x32 -o '" +
                           P("small-plate.exr").string() + "'")
                              .c_str()),
              0);
    ASSERT_EQ(ReadImage(P("small-plate.exr")).Header.get_string_attribute("qualvex:cleanplate"), "RGB");
    const RunResult small = Run({"key", "plate.exr", "-o", "other.exr", "--settings", "rgb.json", "--key-image",
                                 "small-plate.exr", "-q"});
    EXPECT_EQ(small.ExitCode, 2);
    EXPECT_NE(small.Err.find("--key-image small-plate.exr: the clean plate is 48 x 32, the source 96 x 64"),
              std::string::npos)
        << small.Err;
    EXPECT_FALSE(std::filesystem::exists(P("other.exr")));
    const RunResult png = Run(With({"fit", "plate.exr", "-o", "png.json", "--clean-plate", "plate.png"}, kUnevenRegions));
    EXPECT_EQ(png.ExitCode, 2);
    EXPECT_EQ(png.Err, "qualvex: --clean-plate plate.png: the plate must keep float values; write it as .exr or .tif\n");
    const RunResult exists =
        Run(With({"fit", "plate.exr", "-o", "new.json", "--clean-plate", "rgb-plate.exr"}, kUnevenRegions));
    EXPECT_EQ(exists.ExitCode, 1);
    EXPECT_EQ(exists.Err, "qualvex: rgb-plate.exr: exists (use --overwrite to replace it)\n");
    for (const char* name : {"png.json", "plate.png", "new.json"})
        EXPECT_FALSE(std::filesystem::exists(P(name))) << name;
}

TEST_F(FitCommand, TheDemoKeysItsPlateAndTheFittedSettingsDoBetter)
{
    const RunResult run = Run({"demo", "-o", "demo", "-q"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    // Finishing removes the green spill on the subject and leaves the matte as it was.
    EXPECT_NE(run.Out.find("finished with despill (average): matte error mean absolute 0.0264; mean green spill on "
                           "the subject 0.0000, 0.0119 before\n"),
              std::string::npos)
        << run.Out;
    for (const char* name : {"plate.exr", "keyed.exr", "preview.png", "settings.json"})
        EXPECT_TRUE(std::filesystem::is_regular_file(P("demo") / name)) << name;
    const ReadBack keyed = ReadImage(P("demo") / "keyed.exr");
    EXPECT_EQ(keyed.Header.width, 960);
    EXPECT_EQ(keyed.Header.height, 540);
    EXPECT_FALSE(keyed.Header.get_string_attribute("qualvex:settings").empty());
    const std::string shipped =
        "matte error against the true alpha: mean absolute 0.0264, 86.0% of pixels within 0.05\n";
    ASSERT_EQ(run.Out.substr(0, shipped.size()), shipped);
    // The fitted settings' line comes second (the finishing line follows it).
    const std::string rest = run.Out.substr(shipped.size());
    const std::string fitted = rest.substr(0, rest.find('\n') + 1);
    const std::string prefix = "matte error of the fitted settings: mean absolute ";
    ASSERT_EQ(fitted.substr(0, prefix.size()), prefix) << run.Out;
    EXPECT_LE(NumberAfter(fitted, prefix), 0.02) << fitted;
    EXPECT_GE(NumberAfter(fitted, ", "), 86.0) << fitted;
    const std::string suffix = "% of pixels within 0.05\n";
    ASSERT_GE(fitted.size(), suffix.size());
    EXPECT_EQ(fitted.substr(fitted.size() - suffix.size()), suffix) << fitted;
    EXPECT_EQ(std::count(fitted.begin(), fitted.end(), '\n'), 1) << fitted;
    EXPECT_NE(Slurp(P("demo") / "fitted-settings.json").find("\"CRed\""), std::string::npos);
}

}  // namespace
}  // namespace qualvex::testing
