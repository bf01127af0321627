// qualvex key with the finishing tool chained after the keyer: options and settings files ask for
// it, the record holds both tools' controls and restores them, frames come out the same on any
// number of threads, and spill and mattes come out as computed by hand.
#include "support/qualvex_program.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>

namespace qualvex::testing {
namespace {

class FinishingCommand : public QualvexCommand {
protected:
    // Left half green screen, right half a subject whose left quarter carries green spill.
    static std::vector<float> SpillPlate(int width, int height)
    {
        std::vector<float> pixels;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                if (x < width / 2)
                    pixels.insert(pixels.end(), {0.125f, 0.75f, 0.125f, 1.0f});
                else if (x < 3 * width / 4)
                    pixels.insert(pixels.end(), {0.625f, 0.75f, 0.375f, 1.0f});  // spill: green above (R+B)/2
                else
                    pixels.insert(pixels.end(), {0.75f, 0.25f, 0.5f, 1.0f});  // no spill
            }
        return pixels;
    }

    // Keys the green screen out and keeps the subject whole, without colour correction.
    static std::vector<std::string> Keying()
    {
        return {"--key-color", "0.125,0.75,0.125", "--set", "MiRedn=0.1", "--set", "MaxRed=0.1", "--set",
                "MinGreen=0.1", "--set", "MaxGreen=0.1", "--set", "MinBlue=0.1", "--set", "MaxBlue=0.1", "--set",
                "FadeRed=0.9", "--set", "InvAlpha=1", "--set", "OffAlpha=-0.5", "--set", "MultAlpha=2", "--set",
                "ColCor=0", "-q"};
    }

    static nlohmann::json Record(const ReadBack& image)
    {
        return nlohmann::json::parse(image.Header.get_string_attribute("qualvex:settings"));
    }
};

TEST_F(FinishingCommand, DespillLimitsTheScreenChannelAndLeavesOtherPixelsAlone)
{
    const int w = 16, h = 2;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, SpillPlate(w, h));
    const RunResult run = Run(With({"key", "plate.exr", "-o", "out.exr", "--despill", "average"}, Keying()));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const ReadBack out = ReadImage(P("out.exr"));
    for (int y = 0; y < h; ++y) {
        const float* screen = &out.Pixels[static_cast<std::size_t>((y * w + 0) * 4)];
        const float* spill = &out.Pixels[static_cast<std::size_t>((y * w + w / 2) * 4)];
        const float* clean = &out.Pixels[static_cast<std::size_t>((y * w + w - 1) * 4)];
        EXPECT_EQ(screen[3], 0.0f);
        // (0.625 + 0.375) / 2 = 0.5: green comes down to it; red, blue and alpha stay.
        EXPECT_EQ(spill[0], 0.625f);
        EXPECT_EQ(spill[1], 0.5f);
        EXPECT_EQ(spill[2], 0.375f);
        EXPECT_EQ(spill[3], 1.0f);
        EXPECT_EQ(clean[0], 0.75f);
        EXPECT_EQ(clean[1], 0.25f);
        EXPECT_EQ(clean[2], 0.5f);
        EXPECT_EQ(clean[3], 1.0f);
    }
    // The key colour's strongest channel is the screen channel; the record names both tools.
    const nlohmann::json record = Record(out);
    EXPECT_EQ(record["finish"]["Despill"], 1.0);
    EXPECT_EQ(record["finish"]["ScreenChannel"], 1.0);
    EXPECT_NE(out.Header.get_string_attribute("qualvex:version").find("QualvexFinish.plugin"), std::string::npos);
}

// A bare --despill written before the source does not take the source for its method: the plate
// is keyed and despilled against the key colour, as with --despill after it; a misspelt method is
// still refused by name.
TEST_F(FinishingCommand, ABareDespillBeforeTheSourceLeavesTheSourceToBeTheSource)
{
    const int w = 16, h = 2;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, SpillPlate(w, h));
    const RunResult before = Run(With({"key", "--despill", "plate.exr", "-o", "before.exr"}, Keying()));
    ASSERT_EQ(before.ExitCode, 0) << before.Err;
    const RunResult after = Run(With({"key", "plate.exr", "--despill", "-o", "after.exr"}, Keying()));
    ASSERT_EQ(after.ExitCode, 0) << after.Err;
    EXPECT_EQ(Record(ReadImage(P("before.exr")))["finish"]["Despill"], 3.0);
    EXPECT_EQ(ReadImage(P("before.exr")).Pixels, ReadImage(P("after.exr")).Pixels);

    const RunResult misspelt = Run(With({"key", "--despill", "averge", "plate.exr", "-o", "x.exr"}, Keying()));
    EXPECT_EQ(misspelt.ExitCode, 2);
    EXPECT_NE(misspelt.Err.find("--despill \"averge\": expected auto, average or max"), std::string::npos)
        << misspelt.Err;
}

// Despill against the key colour on real screens: the photo's green, the same photo with its hue
// turned 75 degrees round the grey axis (its screen (0.0, 0.82, 0.41) becomes the blue (0.08,
// 0.29, 0.87)), and the clip's yellow. `--despill` alone despills against the key colour. Expected colours are oiiotool's:
// the spill is the excess of the screen's channels (G; B; the lesser of R and G) over the others
// (the greater of R and B; of R and G; B), never negative, taken out of each screen channel.
// Compared where the matte is 1, where the stored colour is the despilled colour itself.
TEST_F(FinishingCommand, DespillAgainstTheKeyColourTakesOutGreenBlueOrYellowSpillOnRealPlates)
{
    if (std::system("oiiotool --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "oiiotool makes the plates and the expected colours";
    const std::string photo = QUALVEX_SAMPLES_DIR "/skimage-tutorials/greenscreen.jpg";
    const std::string clip = QUALVEX_SAMPLES_DIR "/mdn-dom-examples/video_frame0240.png";
    const struct {
        const char* Name;
        std::string Make;      // oiiotool's arguments from the sample to the plate
        const char* Screen;    // the plate's screen channels, for oiiotool: "min,A,B" or one name
        const char* Others;    // the other channels: "max,A,B" or one name
        const char* Spilled;   // "R=0.0,G=S,B=0.0": the spill in the screen channels
    } cases[] = {
        {"green", photo + " --cut 64x64+150+60", "G", "max,R,B", "R=0.0,G=S,B=0.0"},
        {"blue",
         photo + " --cut 64x64+150+60 --ccmatrix 0.505879,0.804738,-0.310617,-0.310617,0.505879,0.804738,0.804738,"
                 "-0.310617,0.505879 --clamp:min=0",
         "B", "max,R,G", "R=0.0,G=0.0,B=S"},
        {"yellow", clip + " --cut 48x48+85+40", "min,R,G", "B", "R=S,G=S,B=0.0"},
    };
    // A channel, or the least or greatest of two, named S.
    const auto pick = [](const std::string& plate, const std::string& which) {
        if (which.find(',') == std::string::npos)
            return plate + " --ch S=" + which;
        const std::string a = which.substr(4, 1), b = which.substr(6, 1);
        return plate + " --ch S=" + a + " " + plate + " --ch S=" + b + " --" + which.substr(0, 3);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string plate = P(std::string(c.Name) + ".exr").string();
        const std::string spill = P(std::string(c.Name) + ".spill.exr").string();
        const std::string expected = P(std::string(c.Name) + ".expected.exr").string();
        ASSERT_EQ(std::system(("oiiotool " + c.Make + " -d float -o " + plate).c_str()), 0);
        ASSERT_EQ(std::system(("oiiotool " + pick(plate, c.Screen) + " " + pick(plate, c.Others) +
                               " --sub --clamp:min=0 -o " + spill)
                                  .c_str()),
                  0);
        ASSERT_EQ(std::system(("oiiotool " + plate + " " + spill + " --ch " + c.Spilled + " --sub -o " + expected)
                                  .c_str()),
                  0);
        // The key colour from the plate's top-left corner, all screen; a subject far from it is
        // kept whole.
        std::vector<std::string> args = {"key", plate, "-o", P(std::string(c.Name) + ".out.exr").string(),
                                         "--despill", "--key-color-from", "0,0,12,12"};
        for (const std::string& control : Keying())
            if (control.rfind("--key-color", 0) != 0 && control.find(',') == std::string::npos)
                args.push_back(control);
        const RunResult run = Run(args);
        ASSERT_EQ(run.ExitCode, 0) << run.Err;
        const ReadBack out = ReadImage(P(std::string(c.Name) + ".out.exr"));
        const ReadBack want = ReadImage(expected);
        const ReadBack removed = ReadImage(spill);
        ASSERT_EQ(out.Header.nchannels, 4);
        ASSERT_EQ(want.Header.nchannels, 3);
        const std::size_t pixels = out.Pixels.size() / 4;
        std::size_t opaque = 0, spilled = 0;
        for (std::size_t i = 0; i < pixels; ++i) {
            if (out.Pixels[i * 4 + 3] != 1.0f)
                continue;
            ++opaque;
            spilled += removed.Pixels[i] > 0.02f ? 1 : 0;
            for (std::size_t ch = 0; ch < 3; ++ch)
                EXPECT_EQ(out.Pixels[i * 4 + ch], want.Pixels[i * 3 + ch]) << "pixel " << i << " channel " << ch;
        }
        // Not a vacuous comparison: much of the subject is kept, and its edge carried spill.
        EXPECT_GT(opaque, pixels / 8);
        EXPECT_GE(spilled, 8u) << spilled << " of " << opaque;
        // The record says the method and the screen colour: the key colour.
        const nlohmann::json record = Record(out);
        EXPECT_EQ(record["finish"]["Despill"], 3.0);
        EXPECT_EQ(record["finish"]["ScreenRed"], record["CRed"]);
        EXPECT_EQ(record["finish"]["ScreenGreen"], record["CGreen"]);
        EXPECT_EQ(record["finish"]["ScreenBlue"], record["CBlue"]);
    }
}

TEST_F(FinishingCommand, TheChainGivesTheSameBitsOnAnyNumberOfThreadsAndItsRecordRestoresBothTools)
{
    const int w = 32, h = 24;
    for (int frame = 1; frame <= 4; ++frame)
        WriteImage(P("in." + std::to_string(frame) + ".exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT,
                   PlatePixels(w, h, 4, frame));
    const std::vector<std::string> finishing = {"--despill", "max", "--clip-black", "0.1", "--clip-white", "0.9",
                                                "--shrink", "1.5", "--soften", "0.75"};
    ASSERT_EQ(Run(With(With({"key", "in.#.exr", "-o", "one.#.exr", "--threads", "1"}, kKey), With(finishing, {"-q"})))
                  .ExitCode,
              0);
    ASSERT_EQ(Run(With(With({"key", "in.#.exr", "-o", "two.#.exr", "--threads", "2"}, kKey), With(finishing, {"-q"})))
                  .ExitCode,
              0);
    ASSERT_EQ(Run({"key", "in.#.exr", "-o", "again.#.exr", "--settings", "one.1.exr", "-q"}).ExitCode, 0);
    for (int frame = 1; frame <= 4; ++frame) {
        const ReadBack one = ReadImage(P("one." + std::to_string(frame) + ".exr"));
        const ReadBack two = ReadImage(P("two." + std::to_string(frame) + ".exr"));
        const ReadBack again = ReadImage(P("again." + std::to_string(frame) + ".exr"));
        EXPECT_EQ(std::memcmp(one.Pixels.data(), two.Pixels.data(), one.Pixels.size() * sizeof(float)), 0) << frame;
        EXPECT_EQ(std::memcmp(one.Pixels.data(), again.Pixels.data(), one.Pixels.size() * sizeof(float)), 0) << frame;
        EXPECT_EQ(Record(one), Record(again));
    }
    const nlohmann::json record = Record(ReadImage(P("one.1.exr")));
    EXPECT_EQ(record["finish"]["Despill"], 2.0);
    EXPECT_EQ(record["finish"]["ClipBlack"], 0.1);
    EXPECT_EQ(record["finish"]["ClipWhite"], 0.9);
    EXPECT_EQ(record["finish"]["Shrink"], 1.5);
    EXPECT_EQ(record["finish"]["Soften"], 0.75);
}

TEST_F(FinishingCommand, GarbageAndCoreMattesOverruleTheKey)
{
    const int w = 16, h = 4;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, SpillPlate(w, h));
    // The garbage matte covers the first quarter of the subject; the core matte the whole screen.
    std::vector<float> garbage, core;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            garbage.insert(garbage.end(), {0.0f, 0.0f, 0.0f, x >= w / 2 && x < 3 * w / 4 ? 1.0f : 0.0f});
            core.insert(core.end(), {0.0f, 0.0f, 0.0f, x < w / 4 ? 1.0f : 0.0f});
        }
    WriteImage(P("garbage.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, garbage);
    WriteImage(P("core.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, core);
    const RunResult run =
        Run(With({"key", "plate.exr", "-o", "out.exr", "--garbage", "garbage.exr", "--core", "core.exr", "--output-matte"},
                 Keying()));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const ReadBack out = ReadImage(P("out.exr"));
    for (int x = 0; x < w; ++x) {
        const float* p = &out.Pixels[static_cast<std::size_t>((w + x) * 4)];
        const float expected = x < w / 4 ? 1.0f : x < w / 2 ? 0.0f : x < 3 * w / 4 ? 0.0f : 1.0f;
        EXPECT_EQ(p[3], expected) << x;
        // The matte alone: grey equal to alpha.
        EXPECT_EQ(p[0], p[3]) << x;
        EXPECT_EQ(p[1], p[3]) << x;
        EXPECT_EQ(p[2], p[3]) << x;
    }
    // A mask is an input like the key image: an output may not replace it.
    const RunResult alias = Run(With({"key", "plate.exr", "-o", "core.exr", "--core", "core.exr", "--overwrite"}, Keying()));
    EXPECT_EQ(alias.ExitCode, 2);
    EXPECT_NE(alias.Err.find("core.exr: the output would replace the core matte"), std::string::npos) << alias.Err;
}

TEST_F(FinishingCommand, SettingsFilesCarryAFinishObjectAndBadValuesAreUsageErrors)
{
    const int w = 16, h = 2;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, SpillPlate(w, h));
    std::ofstream(P("shot.json")) << R"({"ColCor": 0, "finish": {"Despill": "Average", "OutputMode": "Matte"}})";
    std::ofstream(P("bad.json")) << R"({"finish": {"Despill": "Sometimes"}})";
    const RunResult run = Run(With({"key", "plate.exr", "-o", "out.exr", "--settings", "shot.json"}, Keying()));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const nlohmann::json record = Record(ReadImage(P("out.exr")));
    EXPECT_EQ(record["finish"]["Despill"], 1.0);
    EXPECT_EQ(record["finish"]["OutputMode"], 1.0);

    const struct {
        std::vector<std::string> Args;
        const char* Message;
    } refusals[] = {
        {{"--despill", "sometimes"}, "--despill \"sometimes\": expected auto, average or max"},
        {{"--despill", "auto", "--screen-channel", "red"}, "--screen-channel \"red\": only for --despill average or max"},
        {{"--screen-channel", "purple"}, "--screen-channel \"purple\": expected red, green or blue"},
        {{"--settings", "bad.json"}, "bad.json (finish): control \"Despill\" = \"Sometimes\" is not accepted"},
        {{"--shrink", "wide"}, "--shrink"},
    };
    for (const auto& c : refusals) {
        const RunResult refused = Run(With({"key", "plate.exr", "-o", "refused.exr", "-q"}, c.Args));
        EXPECT_EQ(refused.ExitCode, 2) << c.Message;
        EXPECT_NE(refused.Err.find(c.Message), std::string::npos) << refused.Err;
        EXPECT_FALSE(std::filesystem::exists(P("refused.exr")));
    }
}

// Finishing values out of reach: a matte of another size is refused naming both sizes (it would
// be stretched over the frame); a number the tool cannot hold in single precision is refused; a
// "finish" object inside "finish" is an unknown control, named; values outside a control's range
// are applied with a warning, as the keyer's are.
TEST_F(FinishingCommand, FinishingValuesOutOfReachAreRefusedOrWarnedOf)
{
    const int w = 64, h = 48;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, SpillPlate(w, h));
    WriteImage(P("small.exr"), 8, 8, {"R", "G", "B", "A"}, TypeDesc::FLOAT, std::vector<float>(8 * 8 * 4, 1.0f));
    std::ofstream(P("nested.json")) << R"({"finish": {"finish": {"Despill": "Average"}}})";
    std::ofstream(P("huge.json")) << R"({"finish": {"DespillAmount": 1e39}})";
    const struct {
        std::vector<std::string> Args;
        const char* Message;
    } refusals[] = {
        {{"--garbage", "small.exr"}, "--garbage small.exr: the matte is 8 x 8, the source 64 x 48"},
        {{"--core", "small.exr"}, "--core small.exr: the matte is 8 x 8, the source 64 x 48"},
        {{"--despill", "average", "--despill-amount", "1e39"}, "--despill-amount 1e+39: beyond what the finishing tool"},
        {{"--soften", "-3.5e38"}, "--soften -3.5e+38: beyond what the finishing tool"},
        {{"--settings", "nested.json"}, "nested.json (finish): unknown control \"finish\""},
        {{"--settings", "huge.json"}, "huge.json (finish): control \"DespillAmount\" = 1e+39 is beyond"},
    };
    for (const auto& c : refusals) {
        const RunResult refused = Run(With(With({"key", "plate.exr", "-o", "refused.exr"}, Keying()), c.Args));
        EXPECT_EQ(refused.ExitCode, 2) << c.Message << ": " << refused.Err;
        EXPECT_NE(refused.Err.find(c.Message), std::string::npos) << refused.Err;
        EXPECT_FALSE(std::filesystem::exists(P("refused.exr")));
    }

    const struct {
        std::vector<std::string> Args;
        const char* Warning;
    } warned[] = {
        {{"--soften", "-1e9"}, "finishing control \"Soften\" = -1e+09 is outside its range 0 .. 50"},
        {{"--despill", "average", "--despill-amount", "-5"}, "finishing control \"DespillAmount\" = -5 is outside its range"},
    };
    for (const auto& c : warned) {
        const RunResult run = Run(With(With({"key", "plate.exr", "-o", "warned.exr", "--overwrite"}, Keying()), c.Args));
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
        EXPECT_NE(run.Err.find(c.Warning), std::string::npos) << run.Err;
    }

    // A key colour a hair below 0 in one channel, as a colour space's round trip leaves it: the
    // keyer's control is warned of as typed, the despill's screen colour takes that channel's 0.
    std::vector<std::string> below = Keying();
    below[1] = "-0.0003,0.75,0.125";
    const RunResult hair = Run(With({"key", "plate.exr", "-o", "hair.exr", "--despill"}, below));
    ASSERT_EQ(hair.ExitCode, 0) << hair.Err;
    EXPECT_NE(hair.Err.find("control \"CRed\" = -0.0003 is outside its range 0 .. 1"), std::string::npos) << hair.Err;
    EXPECT_EQ(hair.Err.find("ScreenRed"), std::string::npos) << hair.Err;
    const nlohmann::json record = Record(ReadImage(P("hair.exr")));
    EXPECT_EQ(record["finish"]["ScreenRed"], 0.0) << record.dump();
    EXPECT_EQ(record["finish"]["ScreenGreen"], 0.75) << record.dump();
}

// A veil of 30 % subject over a green screen, mixed in linear light: screen (0.05, 0.6, 0.02),
// excess G - R 0.55; subject (0.4, 0.15, 0.1), -0.25; the veil 0.3 x subject + 0.7 x screen =
// (0.155, 0.465, 0.044), 0.31, which is (0.55 - 0.31) / 0.8 = 0.3 of the way.
// Written as linear float EXR and as 8-bit sRGB PNG; keyed by a window around the screen, the veil
// comes out far from 0.3; unmixed, its matte is 0.3 within the PNG's rounding, decoded by the
// curve each file says (the record holds which) or named on the command line.
TEST_F(FinishingCommand, UnmixingGivesAVeilItsOpacityInTheLightTheSourceEncodes)
{
    const int w = 48, h = 4;
    const auto srgb = [](float v) { return v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f; };
    const float screen[3] = {0.05f, 0.6f, 0.02f};
    const float subject[3] = {0.4f, 0.15f, 0.1f};
    std::vector<float> linear, encoded;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float t = x < 12 ? 0.0f : (x < 28 ? 0.3f : 1.0f);
            for (int c = 0; c < 3; ++c) {
                const float v = t * subject[c] + (1.0f - t) * screen[c];
                linear.push_back(v);
                encoded.push_back(srgb(v));
            }
        }
    WriteImage(P("veil.exr"), w, h, {"R", "G", "B"}, TypeDesc::FLOAT, linear);
    WriteImage(P("veil.png"), w, h, {"R", "G", "B"}, TypeDesc::UINT8, encoded);
    // The key colour is the screen as each file holds it (sRGB 0.05 is 0.2478, 0.6 is 0.7977,
    // 0.02 is 0.1517); a window of 0.05, a fade of 0.5, Offset -0.1 and Mult 2.2 key the screen
    // to 0, the subject to 1 and the veil part way.
    const auto keying = [](const std::string& colour) {
        return std::vector<std::string>{"--key-color", colour, "--set", "MiRedn=0.05", "--set", "MaxRed=0.05",
                                        "--set", "MinGreen=0.05", "--set", "MaxGreen=0.05", "--set", "MinBlue=0.05",
                                        "--set", "MaxBlue=0.05", "--set", "FadeRed=0.5", "--set", "InvAlpha=1",
                                        "--set", "OffAlpha=-0.1", "--set", "MultAlpha=2.2", "--set", "ColCor=0",
                                        "-q"};
    };
    const struct {
        const char* Source;
        const char* Colour;
        std::vector<std::string> Unmix;
        double Entry;  // Unmix Edges in the record: 1 as given, 2 sRGB
    } runs[] = {
        {"veil.exr", "0.05,0.6,0.02", {"--unmix"}, 1.0},
        {"veil.png", "0.2478,0.7977,0.1517", {"--unmix"}, 2.0},
        {"veil.png", "0.2478,0.7977,0.1517", {"--unmix", "srgb"}, 2.0},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(std::string(run.Source) + " " + run.Unmix.back());
        const RunResult plain = Run(With({"key", run.Source, "-o", "plain.exr", "--overwrite"}, keying(run.Colour)));
        ASSERT_EQ(plain.ExitCode, 0) << plain.Err;
        const RunResult unmixed =
            Run(With(With({"key", run.Source, "-o", "unmixed.exr", "--overwrite"}, keying(run.Colour)), run.Unmix));
        ASSERT_EQ(unmixed.ExitCode, 0) << unmixed.Err;
        EXPECT_EQ(unmixed.Err.find("unmixing the edges measures"), std::string::npos) << unmixed.Err;
        const ReadBack before = ReadImage(P("plain.exr"));
        const ReadBack after = ReadImage(P("unmixed.exr"));
        EXPECT_EQ(Record(after)["finish"]["UnmixEdges"], run.Entry);
        for (int x = 12; x < 28; ++x) {
            const std::size_t i = static_cast<std::size_t>((w + x) * 4 + 3);
            EXPECT_GT(std::fabs(before.Pixels[i] - 0.3f), 0.1f) << "keyed, pixel " << x;
            EXPECT_NEAR(after.Pixels[i], 0.3f, 0.01f) << "unmixed, pixel " << x;
        }
        EXPECT_EQ(after.Pixels[static_cast<std::size_t>(w * 4 + 3)], 0.0f);
        EXPECT_EQ(after.Pixels[static_cast<std::size_t>((2 * w - 1) * 4 + 3)], 1.0f);
    }
    // Read as given, the PNG's veil is unmixed in the curve's values, 8-bit: screen (63, 203, 39),
    // subject (170, 108, 89), veil (110, 182, 59) of 255: (140 - 72) / (140 + 62) = 0.3366, not 0.3.
    const RunResult given = Run(With({"key", "--unmix", "linear", "veil.png", "-o", "given.exr"},
                                     keying("0.2478,0.7977,0.1517")));
    ASSERT_EQ(given.ExitCode, 0) << given.Err;
    EXPECT_NEAR(ReadImage(P("given.exr")).Pixels[static_cast<std::size_t>((w + 20) * 4 + 3)], 0.3366f,
                2.5e-4f);  // the output is half, an 8-bit source's: steps of 2^-12 there
    // A bare --unmix before the source leaves the source to be the source.
    const RunResult bare = Run(With({"key", "--unmix", "veil.png", "-o", "bare.exr"}, keying("0.2478,0.7977,0.1517")));
    ASSERT_EQ(bare.ExitCode, 0) << bare.Err;
    EXPECT_EQ(Record(ReadImage(P("bare.exr")))["finish"]["UnmixEdges"], 2.0);
    // Colour correction takes the key colour out of the edges before the finishing tool sees them:
    // unmixing after it is warned of (and still run, as asked).
    const RunResult corrected =
        Run(With(With({"key", "veil.exr", "-o", "corrected.exr", "--unmix"}, keying("0.05,0.6,0.02")),
                 {"--set", "ColCor=1", "--set", "CCAmount=0.5"}));
    ASSERT_EQ(corrected.ExitCode, 0) << corrected.Err;
    EXPECT_NE(corrected.Err.find("unmixing the edges measures the keyed colour, which colour correction has changed "
                                 "(CC Amount 0.5)"),
              std::string::npos)
        << corrected.Err;
    const RunResult bad = Run(With({"key", "veil.png", "-o", "bad.exr", "--unmix", "gamma"}, keying("0,1,0")));
    EXPECT_EQ(bad.ExitCode, 2);
    EXPECT_NE(bad.Err.find("--unmix \"gamma\": expected auto, linear, srgb or rec709"), std::string::npos) << bad.Err;
    EXPECT_FALSE(std::filesystem::exists(P("bad.exr")));
}

}  // namespace
}  // namespace qualvex::testing
