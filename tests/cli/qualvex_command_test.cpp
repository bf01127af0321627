// The installed qualvex program on small images these tests generate: results, provenance,
// sequences and every refusal, with its message, exit code and no file under the output name.
#include "host/image.h"
#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/registry.h"
#include "host/request.h"
#include "support/qualvex_program.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>
#include <fstream>
#include <sstream>

namespace qualvex::testing {
namespace {

TEST_F(QualvexCommand, FloatExrMatchesADirectRenderThroughTheHostBitForBit)
{
    const int w = 16, h = 6;
    const auto pixels = PlatePixels(w, h, 4);
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, pixels);
    // The tool's result as it is, fully keyed pixels' colour included.
    const RunResult run = Run(With({"key", "plate.exr", "-o", "keyed.exr", "-q", "--keep-keyed-colour"}, kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;

    // The same settings and pixels, rendered in this process through the host.
    auto plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/Sondrel.plugin");
    std::unique_ptr<Operator> op = host::CreateInstance(*host::FindClass("Tavelorn.Qualvex"));
    for (std::size_t i = 0; i + 1 < kKey.size(); i += 2) {
        const std::string& set = kKey[i + 1];
        const auto equals = set.find('=');
        AutoNumber value(std::stod(set.substr(equals + 1)));
        op->FindInput(set.substr(0, equals))->SetValueAt(value, 0.0);
    }
    Image source(w, h, PixelStorage::Float);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float* v = &pixels[static_cast<std::size_t>((y * w + x) * 4)];
            Pixel p;
            p.R = v[0], p.G = v[1], p.B = v[2], p.A = v[3];
            source.SetPixel(x, y, p);
        }
    op->FindInput("Image")->ConnectImage(&source);
    const std::unique_ptr<Image> direct = host::RenderFrame(*op, 0.0);
    op.reset();
    plugin->Unload();

    const ReadBack keyed = ReadImage(P("keyed.exr"));
    ASSERT_EQ(keyed.Header.nchannels, 4);
    EXPECT_EQ(keyed.Header.format, TypeDesc::FLOAT);
    // Colour correction is on by default: the result reads as associated, which EXR stores as it is.
    EXPECT_EQ(keyed.Header.get_string_attribute("qualvex:alpha"), "premultiplied");
    int differing = 0;
    bool softAlpha = false;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Pixel p = direct->GetPixel(x, y);
            const float expected[4] = {p.R, p.G, p.B, p.A};
            const float* got = &keyed.Pixels[static_cast<std::size_t>((y * w + x) * 4)];
            differing += std::memcmp(expected, got, sizeof expected) != 0;
            softAlpha |= p.A > 0.0f && p.A < 1.0f;
        }
    EXPECT_EQ(differing, 0);
    EXPECT_TRUE(softAlpha);  // the plate really was keyed, not copied
}

TEST_F(QualvexCommand, EightBitPngAndSixteenBitTiffKeepTheirStorage)
{
    const int w = 16, h = 4;
    WriteImage(P("plate.png"), w, h, {"R", "G", "B", "A"}, TypeDesc::UINT8, PlatePixels(w, h, 4));
    WriteImage(P("plate.tif"), w, h, {"R", "G", "B"}, TypeDesc::UINT16, PlatePixels(w, h, 3));
    const auto noCorrection = With(kKey, {"--set", "ColCor=0", "-q"});
    for (const char* name : {"png", "tif"}) {
        const std::string source = std::string("plate.") + name;
        const RunResult run = Run(With({"key", source, "-o", std::string("keyed.") + name}, noCorrection));
        ASSERT_EQ(run.ExitCode, 0) << name << ": " << run.Err;
        const ReadBack in = ReadImage(P(source));
        const ReadBack out = ReadImage(P(std::string("keyed.") + name));
        EXPECT_EQ(out.Header.format, in.Header.format) << name;
        ASSERT_EQ(out.Header.nchannels, 4) << name;
        EXPECT_EQ(out.Header.get_int_attribute("oiio:UnassociatedAlpha"), 1) << name;
        // Without colour correction the colour passes through exactly; only alpha is new.
        const int inChannels = in.Header.nchannels;
        float lowest = 1.0f, highest = 0.0f;
        for (int i = 0; i < w * h; ++i) {
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(out.Pixels[static_cast<std::size_t>(i * 4 + c)],
                          in.Pixels[static_cast<std::size_t>(i * inChannels + c)])
                    << name << " pixel " << i;
            lowest = std::min(lowest, out.Pixels[static_cast<std::size_t>(i * 4 + 3)]);
            highest = std::max(highest, out.Pixels[static_cast<std::size_t>(i * 4 + 3)]);
        }
        EXPECT_EQ(lowest, 0.0f) << name;  // the screen is keyed out
        EXPECT_EQ(highest, 1.0f) << name;
    }
}

TEST_F(QualvexCommand, CompressionIsAskedForKeptFromTheSourceOrRefused)
{
    const int w = 24, h = 6;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(w, h, 4), "piz");
    const auto quiet = With(kKey, {"-q"});
    struct Case {
        std::vector<std::string> Asked;
        const char* Output;
        const char* Expected;  // what the output's header says
    };
    const Case cases[] = {
        {{}, "same.exr", "piz"},  // the source's, as it shares the format
        {{"--compression", "none"}, "none.exr", "none"},
        {{"--compression", "zips"}, "zips.exr", "zips"},
        {{}, "keyed.tif", "zip"},  // the source is no TIFF
        {{"--compression", "lzw"}, "lzw.tif", "lzw"},
    };
    for (const Case& c : cases) {
        const RunResult run = Run(With(With({"key", "plate.exr", "-o", c.Output}, c.Asked), quiet));
        ASSERT_EQ(run.ExitCode, 0) << c.Output << ": " << run.Err;
        EXPECT_EQ(ReadImage(P(c.Output)).Header.get_string_attribute("compression"), c.Expected) << c.Output;
    }
    // Lossless compressions keep every bit.
    EXPECT_EQ(ReadImage(P("same.exr")).Pixels, ReadImage(P("none.exr")).Pixels);
    EXPECT_EQ(ReadImage(P("same.exr")).Pixels, ReadImage(P("zips.exr")).Pixels);

    // A lossy one is allowed, and said to be lossy.
    const RunResult lossy = Run(With({"key", "plate.exr", "-o", "dwaa.exr", "--compression", "dwaa"}, kKey));
    ASSERT_EQ(lossy.ExitCode, 0) << lossy.Err;
    EXPECT_NE(lossy.Err.find("dwaa.exr: dwaa compression may change the values written"), std::string::npos)
        << lossy.Err;

    // One the format does not offer, or a format without a choice: a usage error, nothing written.
    const RunResult wrong = Run(With({"key", "plate.exr", "-o", "bad.exr", "--compression", "lzw"}, quiet));
    EXPECT_EQ(wrong.ExitCode, 2);
    EXPECT_NE(wrong.Err.find("bad.exr: the openexr format offers no compression named \"lzw\"; choose one of none, "
                             "rle, zip, zips, piz, pxr24, b44, b44a, dwaa, dwab"),
              std::string::npos)
        << wrong.Err;
    EXPECT_FALSE(std::filesystem::exists(P("bad.exr")));
    const RunResult png = Run(With({"key", "plate.exr", "-o", "bad.png", "--data-type", "uint8", "--compression",
                                    "zip"},
                                   quiet));
    EXPECT_EQ(png.ExitCode, 2);
    EXPECT_NE(png.Err.find("bad.png: the png format offers no choice of compression"), std::string::npos) << png.Err;
    EXPECT_FALSE(std::filesystem::exists(P("bad.png")));
}

TEST_F(QualvexCommand, EmbeddedSettingsReproduceTheOutput)
{
    const int w = 12, h = 4;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::HALF, PlatePixels(w, h, 4));
    ASSERT_EQ(Run(With({"key", "plate.exr", "-o", "first.exr", "-q", "--set", "Colorspace=YCbCr", "--key-color",
                        "0.1,0.8,0.15", "--set", "Colorspace=2.5"},
                       kKey))
                  .ExitCode,
              0);
    const RunResult again = Run({"key", "plate.exr", "-o", "second.exr", "-q", "--settings", "first.exr"});
    ASSERT_EQ(again.ExitCode, 0) << again.Err;
    const ReadBack first = ReadImage(P("first.exr"));
    const ReadBack second = ReadImage(P("second.exr"));
    EXPECT_EQ(first.Header.format, TypeDesc::HALF);
    EXPECT_EQ(first.Pixels, second.Pixels);
    const std::string settings = first.Header.get_string_attribute("qualvex:settings");
    EXPECT_NE(settings.find("\"Colorspace\":2.5"), std::string::npos) << settings;
    EXPECT_EQ(settings, second.Header.get_string_attribute("qualvex:settings"));
    EXPECT_NE(first.Header.get_string_attribute("qualvex:version").find("Sondrel.plugin"), std::string::npos);

    // TIFF keeps no attributes of its own: the record travels in its description.
    ASSERT_EQ(Run(With({"key", "plate.exr", "-o", "third.tif", "-q", "--data-type", "uint16"}, kKey)).ExitCode, 0);
    const RunResult info = Run({"info", "third.tif"});
    ASSERT_EQ(info.ExitCode, 0) << info.Err;
    EXPECT_NE(info.Out.find("Tavelorn.Qualvex"), std::string::npos);
    EXPECT_NE(info.Out.find("FadeRed"), std::string::npos);
    EXPECT_NE(info.Out.find("0.9"), std::string::npos) << info.Out;
}

TEST_F(QualvexCommand, SequenceWithKeySequenceFramesResumeAndOverwrite)
{
    const int w = 8, h = 3;
    for (int frame = 1; frame <= 4; ++frame) {
        char name[32];
        std::snprintf(name, sizeof name, "plate.%04d.exr", frame);
        WriteImage(P(name), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(w, h, 4, frame));
        std::snprintf(name, sizeof name, "key.%04d.exr", frame);
        std::vector<float> key(static_cast<std::size_t>(w * h * 4), 0.0f);
        for (int i = 0; i < w * h; ++i) {
            key[static_cast<std::size_t>(i * 4 + 0)] = 0.1f;
            key[static_cast<std::size_t>(i * 4 + 1)] = 0.8f - 0.01f * frame;
            key[static_cast<std::size_t>(i * 4 + 2)] = 0.15f;
            key[static_cast<std::size_t>(i * 4 + 3)] = 1.0f;
        }
        WriteImage(P(name), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, key);
    }
    const auto base = With({"key", "plate.####.exr", "--key-image", "key.%04d.exr", "-o", "out.####.exr", "-q"}, kKey);
    RunResult run = Run(With(base, {"--frames", "2-3", "--threads", "2"}));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_FALSE(std::filesystem::exists(P("out.0001.exr")));
    EXPECT_TRUE(std::filesystem::exists(P("out.0002.exr")));
    EXPECT_TRUE(std::filesystem::exists(P("out.0003.exr")));
    EXPECT_FALSE(std::filesystem::exists(P("out.0004.exr")));
    const auto frame2 = ReadImage(P("out.0002.exr")).Pixels;

    run = Run(base);  // outputs exist: refused, nothing rendered
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_NE(run.Err.find("out.0002.exr"), std::string::npos) << run.Err;
    EXPECT_FALSE(std::filesystem::exists(P("out.0001.exr")));

    const auto written = std::filesystem::last_write_time(P("out.0002.exr"));
    run = Run(With(base, {"--resume"}));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_TRUE(std::filesystem::exists(P("out.0001.exr")));
    EXPECT_TRUE(std::filesystem::exists(P("out.0004.exr")));
    EXPECT_EQ(std::filesystem::last_write_time(P("out.0002.exr")), written);

    run = Run(With(base, {"--overwrite", "--threads", "3"}));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(ReadImage(P("out.0002.exr")).Pixels, frame2);  // the same frame keys the same, whatever the thread
    EXPECT_NE(ReadImage(P("out.0001.exr")).Pixels, frame2);

    // The key sequence must cover every source frame, checked before rendering.
    std::filesystem::remove(P("key.0003.exr"));
    run = Run(With(base, {"--overwrite"}));
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_NE(run.Err.find("key image frames missing: 3"), std::string::npos) << run.Err;
}

TEST_F(QualvexCommand, DepthPassesThroughAndForeignChannelsAreDroppedWithAWarning)
{
    const int w = 6, h = 3;
    const auto pixels = PlatePixels(w, h, 6);
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A", "Z", "N.x"}, TypeDesc::FLOAT, pixels);
    const RunResult run = Run(With({"key", "plate.exr", "-o", "keyed.exr", "-q"}, kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find("N.x"), std::string::npos) << run.Err;
    const ReadBack keyed = ReadImage(P("keyed.exr"));
    ASSERT_EQ(keyed.Header.nchannels, 5);
    EXPECT_EQ(keyed.Header.channel_name(4), "Z");
    for (int i = 0; i < w * h; ++i)
        EXPECT_EQ(keyed.Pixels[static_cast<std::size_t>(i * 5 + 4)], pixels[static_cast<std::size_t>(i * 6 + 4)]);
}

TEST_F(QualvexCommand, DataAndDisplayWindowsAreKept)
{
    const int w = 6, h = 3;
    ImageSpec header(w, h, 4, TypeDesc::FLOAT);
    header.x = 5;
    header.y = 2;
    header.full_x = 0;
    header.full_y = 0;
    header.full_width = 20;
    header.full_height = 10;
    const auto pixels = PlatePixels(w, h, 4);
    auto out = ImageOutput::create(P("plate.exr").string());
    ASSERT_TRUE(out->open(P("plate.exr").string(), header));
    ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, pixels.data()));
    out->close();
    const RunResult run = Run(With({"key", "plate.exr", "-o", "keyed.exr", "-q"}, kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const ImageSpec keyed = ReadImage(P("keyed.exr")).Header;
    EXPECT_EQ(keyed.x, 5);
    EXPECT_EQ(keyed.y, 2);
    EXPECT_EQ(keyed.width, w);
    EXPECT_EQ(keyed.height, h);
    EXPECT_EQ(keyed.full_width, 20);
    EXPECT_EQ(keyed.full_height, 10);
}

// A plate of three colours keyed around grey 0.5 with windows 0.4 .. 0.6 (Fade 1): 0.1 gets alpha
// 0.384900182, 0.5 alpha 1, 0.9 is fully keyed (alpha 0: colour 0 where the result reads as
// associated, else kept). With colour correction at
// CC Amount 0.1 the 0.1 grey loses 0.1 x (1 - a) x 0.5 and stays grey: 0.1 - 0.0307549894.
const std::vector<std::string> kGreyWindows = {
    "--set", "ValueRed=0.5", "--set", "ValueGreen=0.5", "--set", "ValueBlue=0.5", "--set", "MiRedn=0.1",
    "--set", "MaxRed=0.1",   "--set", "MinGreen=0.1",   "--set", "MaxGreen=0.1",  "--set", "MinBlue=0.1",
    "--set", "MaxBlue=0.1",  "--set", "FadeRed=1",      "--set", "CCAmount=0.1",  "-q"};
// Two rows of the three greys, opaque.
const std::vector<float> kThreeGreys = {0.1f, 0.1f, 0.1f, 1, 0.5f, 0.5f, 0.5f, 1, 0.9f, 0.9f, 0.9f, 1,
                                        0.1f, 0.1f, 0.1f, 1, 0.5f, 0.5f, 0.5f, 1, 0.9f, 0.9f, 0.9f, 1};
constexpr float kSoftAlpha = 0.384900182f;
constexpr float kCorrected = static_cast<float>(0.1 - 0.1 * static_cast<double>((1.0f - kSoftAlpha) * 0.5f));

TEST_F(QualvexCommand, AlphaIsStoredByEachFormatsConventionConvertingWhereNeeded)
{
    WriteImage(P("plate.exr"), 3, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT, kThreeGreys);
    const struct {
        const char* Output;
        std::vector<std::string> Options;
        float Colour[3];   // the stored colour of the three pixels, computed by hand
        float Tolerance;   // the storage's step where it is not float
        const char* Says;  // how the file marks it
    } cases[] = {
        // Colour correction off: the result reads as straight.
        {"off.exr", {"--set", "ColCor=0"}, {0.1f * kSoftAlpha, 0.5f, 0.0f}, 0, "premultiplied"},
        {"off.tif", {"--set", "ColCor=0", "--data-type", "float"}, {0.1f, 0.5f, 0.9f}, 0, "straight"},
        {"off.png", {"--set", "ColCor=0", "--data-type", "uint16"}, {0.1f, 0.5f, 0.9f}, 1 / 65535.0f, "straight"},
        {"off-assoc.tif", {"--set", "ColCor=0", "--alpha", "associated", "--data-type", "float"},
         {0.1f, 0.5f, 0.0f}, 0, "premultiplied"},
        {"off-assoc.png", {"--set", "ColCor=0", "--alpha", "associated", "--data-type", "uint16"},
         {0.1f / kSoftAlpha, 0.5f, 0.0f}, 1 / 65535.0f, "straight"},
        // Colour correction on: the result reads as associated.
        {"on.exr", {"--set", "ColCor=1"}, {kCorrected, 0.5f, 0.0f}, 0, "premultiplied"},
        {"on.tif", {"--set", "ColCor=1", "--data-type", "float"}, {kCorrected, 0.5f, 0.0f}, 0, "premultiplied"},
        {"on.png", {"--set", "ColCor=1", "--data-type", "uint16"}, {kCorrected / kSoftAlpha, 0.5f, 0.0f}, 1 / 65535.0f,
         "straight"},
        // Asked to, the fully keyed pixels keep their colour.
        {"on-kept.exr", {"--set", "ColCor=1", "--keep-keyed-colour"}, {kCorrected, 0.5f, 0.9f}, 0, "premultiplied"},
        {"on-kept.png", {"--set", "ColCor=1", "--keep-keyed-colour", "--data-type", "uint16"},
         {kCorrected / kSoftAlpha, 0.5f, 0.9f}, 1 / 65535.0f, "straight"},
        {"on-straight.exr", {"--set", "ColCor=1", "--alpha", "straight"}, {kCorrected * kSoftAlpha, 0.5f, 0.0f}, 0,
         "premultiplied"},
        // The old name of --alpha straight.
        {"on-premultiply.exr", {"--set", "ColCor=1", "--premultiply"}, {kCorrected * kSoftAlpha, 0.5f, 0.0f}, 0,
         "premultiplied"},
    };
    for (const auto& c : cases) {
        const RunResult run = Run(With(With({"key", "plate.exr", "-o", c.Output}, kGreyWindows), c.Options));
        ASSERT_EQ(run.ExitCode, 0) << c.Output << ": " << run.Err;
        const ReadBack out = ReadImage(P(c.Output));
        // TIFF marks its extra sample (read back as oiio:UnassociatedAlpha), the others say it in
        // an attribute of their own.
        const bool straight = std::string(c.Says) == "straight";
        if (std::string(c.Output).find(".tif") != std::string::npos) {
            EXPECT_EQ(out.Header.get_int_attribute("oiio:UnassociatedAlpha"), straight ? 1 : 0) << c.Output;
        } else {
            EXPECT_EQ(out.Header.get_string_attribute("qualvex:alpha"), c.Says) << c.Output;
        }
        for (int i = 0; i < 6; ++i) {
            for (int ch = 0; ch < 3; ++ch)
                EXPECT_NEAR(out.Pixels[static_cast<std::size_t>(i * 4 + ch)], c.Colour[i % 3], c.Tolerance + 1e-7f)
                    << c.Output << " pixel " << i << " channel " << ch;
            EXPECT_NEAR(out.Pixels[static_cast<std::size_t>(i * 4 + 3)], (i % 3 == 0 ? kSoftAlpha : i % 3 == 1 ? 1 : 0),
                        c.Tolerance)
                << c.Output << " alpha of pixel " << i;
        }
    }
}

// Composited by another program, an EXR (associated) and a PNG (straight) of one run agree: the
// fully keyed pixels add nothing to the background. The run counts the pixels it set to 0.
TEST_F(QualvexCommand, FullyKeyedPixelsAddNothingToTheBackgroundInAnyFormat)
{
    if (std::system("oiiotool --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "oiiotool is needed to composite the outputs";
    WriteImage(P("plate.exr"), 3, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT, kThreeGreys);
    const struct {
        const char* Output;
        std::vector<std::string> Options;
        const char* Says;  // "" where the run says nothing of it
        float Over;        // the fully keyed pixels over grey 0.25, by hand
    } cases[] = {
        {"on.exr", {"--set", "ColCor=1"}, "qualvex: colour set to 0 where the matte is 0: 2 pixels", 0.25f},
        {"on.png", {"--set", "ColCor=1", "--data-type", "uint16"}, "qualvex: colour set to 0 where the matte is 0: 2 pixels",
         0.25f},
        {"kept.exr", {"--set", "ColCor=1", "--keep-keyed-colour"}, "", 0.25f + 0.9f},
        {"kept.png", {"--set", "ColCor=1", "--keep-keyed-colour", "--data-type", "uint16"}, "", 0.25f},
        {"straight.exr", {"--set", "ColCor=0"}, "", 0.25f},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = With({"key", "plate.exr", "-o", c.Output}, kGreyWindows);
        args.erase(std::find(args.begin(), args.end(), "-q"));  // the run's statements are what is tested
        const RunResult run = Run(With(args, c.Options));
        ASSERT_EQ(run.ExitCode, 0) << c.Output << ": " << run.Err;
        if (*c.Says != '\0')
            EXPECT_NE(run.Err.find(c.Says), std::string::npos) << c.Output << ": " << run.Err;
        else
            EXPECT_EQ(run.Err.find("colour set to 0"), std::string::npos) << c.Output << ": " << run.Err;
        const std::string over = P(std::string(c.Output) + ".over.exr").string();
        ASSERT_EQ(std::system(("oiiotool " + P(c.Output).string() +
                               " --pattern constant:color=0.25,0.25,0.25,1 3x2 4 --over -d float -o " + over)
                                  .c_str()),
                  0)
            << c.Output;
        const ReadBack composite = ReadImage(over);
        for (int pixel : {2, 5})
            for (int ch = 0; ch < 3; ++ch)
                EXPECT_NEAR(composite.Pixels[static_cast<std::size_t>(pixel * 4 + ch)], c.Over, 1e-6f)
                    << c.Output << " over grey, pixel " << pixel << " channel " << ch;
    }
}

TEST_F(QualvexCommand, TheRunSaysHowItReadsAndStoresAlpha)
{
    WriteImage(P("plate.exr"), 3, 1, {"R", "G", "B", "A"}, TypeDesc::FLOAT,
               {0.1f, 0.1f, 0.1f, 1, 0.5f, 0.5f, 0.5f, 1, 0.9f, 0.9f, 0.9f, 1});
    const struct {
        const char* Output;
        std::vector<std::string> Options;
        const char* Says;
    } cases[] = {
        {"a.exr", {"--set", "ColCor=0"},
         "reads as straight (colour correction off); a.exr (openexr) stores it associated: colour multiplied by alpha"},
        {"b.exr", {"--set", "ColCor=1"}, "reads as associated (colour correction on); b.exr (openexr) stores it "
                                         "associated, as it is"},
        {"c.png", {"--alpha", "associated", "--data-type", "uint16"}, "reads as associated (--alpha associated); c.png (png) stores it "
                                             "straight: colour divided by alpha where alpha > 0"},
        {"d.exr", {"--premultiply"}, "reads as straight (--premultiply, the old name for --alpha straight)"},
        {"e.exr", {"--output-matte"}, "reads as associated (the matte alone)"},
    };
    std::vector<std::string> loud = kGreyWindows;
    loud.pop_back();  // without -q
    for (const auto& c : cases) {
        const RunResult run = Run(With(With({"key", "plate.exr", "-o", c.Output}, loud), c.Options));
        ASSERT_EQ(run.ExitCode, 0) << c.Output << ": " << run.Err;
        EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
    }
}

TEST_F(QualvexCommand, ThePreviewCompositesTheResultOverTheBoardAsItReads)
{
    WriteImage(P("plate.exr"), 3, 1, {"R", "G", "B", "A"}, TypeDesc::FLOAT,
               {0.1f, 0.1f, 0.1f, 1, 0.5f, 0.5f, 0.5f, 1, 0.9f, 0.9f, 0.9f, 1});
    // The first pixel over the light square (0.8) of the result panel, at x = 2 x (3 + 4):
    // straight, 0.1 a + 0.8 (1 - a) = 0.530569848: 135.3 of 255; associated, 0.1 + 0.8 (1 - a) =
    // 0.592079830: 151.0 of 255.
    const struct {
        const char* Alpha;
        int Expected;
    } cases[] = {{"straight", 135}, {"associated", 151}};
    for (const auto& c : cases) {
        const std::string preview = std::string("preview-") + c.Alpha + ".png";
        const RunResult run = Run(With({"key", "plate.exr", "-o", std::string("keyed-") + c.Alpha + ".exr", "--set",
                                        "ColCor=0", "--alpha", c.Alpha, "--preview", preview},
                                       kGreyWindows));
        ASSERT_EQ(run.ExitCode, 0) << run.Err;
        const ReadBack sheet = ReadImage(P(preview));
        ASSERT_EQ(sheet.Header.width, 3 * 3 + 2 * 4);
        ASSERT_EQ(sheet.Header.height, 11 + 1);  // the label strip, then the panels
        const int channels = sheet.Header.nchannels;
        EXPECT_EQ(std::lround(sheet.Pixels[static_cast<std::size_t>((11 * 17 + 14) * channels)] * 255.0f), c.Expected)
            << c.Alpha;
    }
}

TEST_F(QualvexCommand, ThePreviewNamesItsPanelsAboveThem)
{
    const int w = 200, h = 20;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(w, h, 4));
    const RunResult run = Run(With({"key", "plate.exr", "-o", "keyed.exr", "-q", "--preview", "sheet.png"}, kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const ReadBack sheet = ReadImage(P("sheet.png"));
    // Panels 200 wide: letters at twice their 5 x 7 size, in a strip 22 high, 4 pixels in.
    ASSERT_EQ(sheet.Header.height, 22 + h);
    ASSERT_EQ(sheet.Header.width, 3 * w + 2 * 4);
    const auto grey = [&](int x, int y) {
        return std::lround(sheet.Pixels[static_cast<std::size_t>((y * sheet.Header.width + x) * 3)] * 255.0f);
    };
    // The top row of each label's first letter: S is .XXXX, M is X...X; ink 200 on 32.
    const struct {
        int Left;
        int Ink[5];
    } firstLetters[] = {{0, {32, 200, 200, 200, 200}}, {w + 4, {200, 32, 32, 32, 200}}};
    for (const auto& letter : firstLetters)
        for (int column = 0; column < 5; ++column)
            for (int dx = 0; dx < 2; ++dx)
                for (int dy = 0; dy < 2; ++dy)
                    EXPECT_EQ(grey(letter.Left + 4 + 2 * column + dx, 4 + dy), letter.Ink[column])
                        << "panel at " << letter.Left << ", column " << column;
    // Nothing is drawn over the panels themselves: the strip ends above them.
    EXPECT_EQ(grey(2 * (w + 4) + 4, 0), 32);
}

TEST_F(QualvexCommand, RefusalsNameTheProblemAndLeaveNoOutput)
{
    const int w = 6, h = 2;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(w, h, 4));
    WriteImage(P("plate.0001.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(w, h, 4));
    WriteImage(P("plate.0003.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(w, h, 4));
    std::ofstream(P("broken.exr")) << "not an image at all";
    std::ofstream(P("bad.json")) << R"({"FadeRed": "lots"})";
    std::ofstream(P("unknown.json")) << R"({"Fade": 0.5})";
    const auto before = Files();

    const struct {
        std::vector<std::string> args;
        int code;
        const char* message;
    } cases[] = {
        {{"key", "missing.exr", "-o", "out.exr"}, 1, "missing.exr: source not found"},
        {{"key", "broken.exr", "-o", "out.exr"}, 1, "broken.exr"},
        {{"key", "plate.####.exr", "-o", "out.####.exr"}, 1, "source frames missing: 2"},
        {{"key", "plate.exr", "-o", "plate.exr"}, 2, "would replace the source"},
        {{"key", "plate.exr", "-o", "gone/out.exr"}, 1, "output folder missing (create it first):\n  gone\n"},
        {{"key", "plate.exr", "-o", "plate.exr/out.exr"}, 1, "output folder missing (create it first):\n  plate.exr\n"},
        {{"key", "plate.exr", "-o", "out.exr", "--preview", "gone/sheet.png"}, 1, "output folder missing"},
        {{"key", "plate.exr", "-o", "out.jpg"}, 2, "cannot hold the alpha"},
        {{"key", "plate.exr", "-o", "out.exr", "--set", "Fade=1"}, 2, "unknown control \"Fade\""},
        {{"key", "plate.exr", "-o", "out.exr", "--set", "Colorspace=Lab"}, 2, "\"HSV\""},
        {{"key", "plate.exr", "-o", "out.exr", "--settings", "bad.json"}, 2, "bad.json: control \"FadeRed\""},
        {{"key", "plate.exr", "-o", "out.exr", "--settings", "unknown.json"}, 2, "unknown.json: unknown control"},
        {{"key", "plate.exr", "-o", "out.exr", "--settings", "nowhere.json"}, 1, "nowhere.json"},
        {{"key", "plate.exr", "-o", "out.exr", "--key-color", "1,2"}, 2, "--key-color"},
        {{"key", "plate.exr", "-o", "out.exr", "--key-color", ""}, 2, "--key-color \"\": expected three numbers"},
        {{"key", "plate.exr", "-o", "out.png", "--data-type", "float"}, 2, "cannot store float"},
        {{"key", "plate.exr", "-o", "out.exr", "--alpha", "premultiplied"}, 2, "expected auto, straight or associated"},
        {{"key", "plate.exr", "-o", "out.exr", "--premultiply", "--alpha", "associated"}, 2, "contradict"},
        {{"key", "plate.exr", "-o", "out.exr", "--data-type", "double"}, 2, "--data-type"},
        {{"key", "plate.exr", "-o", "out.####.exr"}, 2, "single output file"},
        {{"key", "plate.exr", "-o", "out.exr", "--frames", "1-2"}, 2, "--frames applies to a sequence"},
        {{"key", "plate.exr", "-o", "out.exr", "--resume", "--overwrite"}, 2, "exclude each other"},
        {{"key", "plate.exr", "-o", "out.exr", "--key-image", "nokey.exr"}, 1, "nokey.exr: key image not found"},
        {{"key", "plate.0001.exr", "-o", "plate.exr", "--key-image", "plate.exr"}, 2, "would replace the key image"},
        {{"key", "plate.exr"}, 2, "--output"},
        {{"key", "plate.exr", "-o", "out.exr", "--bogus"}, 2, "--bogus"},
        {{"--plugin-path", "nowhere", "key", "plate.exr", "-o", "out.exr"}, 1, "cannot find Sondrel.plugin"},
        {{}, 2, "subcommand"},
    };
    for (const auto& c : cases) {
        const RunResult run = Run(c.args);
        std::string line;
        for (const auto& arg : c.args)
            line += arg + " ";
        EXPECT_EQ(run.ExitCode, c.code) << line << "\n" << run.Err;
        EXPECT_NE(run.Err.find(c.message), std::string::npos) << line << "\n" << run.Err;
        EXPECT_TRUE(run.Out.empty()) << line;
        EXPECT_EQ(Files(), before) << line;
    }
}

// The tuning page answers only requests naming its address: every spelling of "every interface"
// is refused before anything listens (it would also print an address no browser can open).
TEST_F(QualvexCommand, TuneRefusesEverySpellingOfEveryInterface)
{
    WriteImage(P("plate.exr"), 8, 4, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(8, 4, 4));
    for (const char* address : {"0.0.0.0", "0", "::", "::0", "[::]", "0:0:0:0:0:0:0:0", "0.0"}) {
        const RunResult run = Run({"tune", "plate.exr", "--listen", address});
        EXPECT_EQ(run.ExitCode, 2) << address << ": " << run.Err;
        EXPECT_NE(run.Err.find("--listen " + std::string(address) + ": give the address the page will be opened at"),
                  std::string::npos)
            << run.Err;
        EXPECT_EQ(run.Out.find("http://"), std::string::npos) << run.Out;
    }
}

TEST_F(QualvexCommand, InfoShowsTheRegistrationAndControlPage)
{
    const RunResult run = Run({"info"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    for (const char* text : {"Tavelorn.Qualvex", "APIVersion", "\"Color Space\"", "\"YCbCr\"", "MiRedn",
                             "2016byTavelorn", "KeyImage", "combo", "slider"})
        EXPECT_NE(run.Out.find(text), std::string::npos) << text << "\n" << run.Out;
}

TEST_F(QualvexCommand, TheProgramLoadsEachLibraryOnlyWithTheModuleThatNeedsIt)
{
    // --help and info answer without them; every other command loads lib/qualvex/qualvex-commands.so
    // (HTTP, OpenEXR), the first image file read or written that OpenEXR alone does not handle
    // lib/qualvex/qualvex-images.so, and the first movie lib/qualvex/qualvex-movies.so.
    const std::filesystem::path bin = std::filesystem::path(QUALVEX_INSTALLED_PROGRAM).parent_path();
    const auto libraries = [&](const std::filesystem::path& file) {
        const std::filesystem::path listed = P("ldd.txt");
        EXPECT_EQ(std::system(("ldd '" + file.string() + "' > '" + listed.string() + "' 2>&1").c_str()), 0) << file;
        return Slurp(listed);
    };
    struct Holds {
        std::filesystem::path File;
        std::vector<const char*> Has;
        std::vector<const char*> HasNot;
    };
    const Holds files[] = {
        {bin / "qualvex", {}, {"OpenImageIO", "httplib", "libssl", "avcodec"}},
        {bin / ".." / "lib" / "qualvex" / "qualvex-commands.so", {"httplib", "OpenEXRCore"}, {"OpenImageIO", "avcodec"}},
        {bin / ".." / "lib" / "qualvex" / "qualvex-images.so", {"OpenImageIO"}, {"httplib"}},
        {bin / ".." / "lib" / "qualvex" / "qualvex-movies.so", {"avcodec", "avformat"}, {"OpenImageIO", "httplib"}},
    };
    for (const Holds& file : files) {
        const std::string listed = libraries(file.File);
        for (const char* library : file.Has)
            EXPECT_NE(listed.find(library), std::string::npos) << library << " not in " << file.File << "\n" << listed;
        for (const char* library : file.HasNot)
            EXPECT_EQ(listed.find(library), std::string::npos) << library << " in " << file.File << "\n" << listed;
    }
    const RunResult help = Run({"--help"});
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_NE(help.Out.find("farm"), std::string::npos);
    // A command that needs the module finds it beside the installed program.
    EXPECT_EQ(Run({"farm", "verify", "none.####.exr", "--frames", "1-2"}).ExitCode, 1);
}

TEST_F(QualvexCommand, InfoSaysWhatP1P2AndP3MeanInTheColourSpaceInForce)
{
    EXPECT_NE(Run({"info"}).Out.find("components in RGB (the default): p1 red, p2 green, p3 blue"), std::string::npos);
    WriteImage(P("plate.exr"), 4, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(4, 2, 4));
    const struct {
        const char* Space;
        const char* Says;
    } cases[] = {
        {"HSV", "components in HSV (the image's): p1 hue (degrees / 360), p2 saturation, p3 value"},
        {"YCbCr", "components in YCbCr (the image's): p1 luma Y, p2 Cb (grey at 128/255), p3 Cr (grey at 128/255)"},
    };
    for (const auto& c : cases) {
        const std::string output = std::string("keyed-") + c.Space + ".exr";
        ASSERT_EQ(Run(With({"key", "plate.exr", "-o", output, "-q", "--set", std::string("Colorspace=") + c.Space}, kKey))
                      .ExitCode,
                  0);
        const RunResult info = Run({"info", output});
        EXPECT_NE(info.Out.find(c.Says), std::string::npos) << info.Out;
    }
}

TEST_F(QualvexCommand, PreviewIsAThreePanelPicture)
{
    const int w = 16, h = 8;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(w, h, 4));
    const RunResult run = Run(With({"key", "plate.exr", "-o", "keyed.exr", "-q", "--preview", "sheet.png"}, kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const ReadBack sheet = ReadImage(P("sheet.png"));
    EXPECT_EQ(sheet.Header.width, 3 * w + 8);
    EXPECT_EQ(sheet.Header.height, 11 + h);  // the panels' names in a strip above them
    EXPECT_EQ(sheet.Header.nchannels, 3);
}

TEST_F(QualvexCommand, PreviewGoesThroughATemporaryFileAndRoundsToEightBits)
{
    // Source colours whose 8-bit values differ between rounding and truncation.
    const int w = 4, h = 2;
    std::vector<float> pixels;
    for (int i = 0; i < w * h; ++i)
        pixels.insert(pixels.end(), {0.5f, 0.7f, 0.002f, 1.0f});  // 127.5, 178.5, 0.51
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, pixels);
    // The preview name is a second name of another file: written in place, that file would change.
    std::ofstream(P("other.png")) << "another file's bytes";
    ASSERT_EQ(::link(P("other.png").c_str(), P("sheet.png").c_str()), 0);

    const RunResult run =
        Run(With({"key", "plate.exr", "-o", "keyed.exr", "-q", "--preview", "sheet.png", "--overwrite"}, kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(Slurp(P("other.png")), "another file's bytes");
    EXPECT_EQ(Files(), (std::vector<std::string>{"keyed.exr", "other.png", "plate.exr", "sheet.png"}));

    ImageSpec config;
    auto in = ImageInput::open(P("sheet.png").string(), &config);
    ASSERT_TRUE(in);
    std::vector<std::uint8_t> sheet(static_cast<std::size_t>(in->spec().width * in->spec().height * 3));
    ASSERT_TRUE(in->read_image(0, 0, 0, 3, TypeDesc::UINT8, sheet.data()));
    // The source panel's first pixel, below the 11-row label strip: 0.5 -> 128, 0.7 -> 179, 0.002 -> 1.
    const std::size_t first = static_cast<std::size_t>(11 * in->spec().width * 3);
    EXPECT_EQ(sheet[first], 128);
    EXPECT_EQ(sheet[first + 1], 179);
    EXPECT_EQ(sheet[first + 2], 1);
}

TEST_F(QualvexCommand, InterruptedRunExits130WithEveryWrittenFrameComplete)
{
    // Many frames that are one file under many names: quick to make, slow enough to interrupt.
    const int w = 512, h = 256, frames = 120;
    WriteImage(P("plate.exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(w, h, 4));
    for (int frame = 1; frame <= frames; ++frame) {
        char name[32];
        std::snprintf(name, sizeof name, "in.%04d.exr", frame);
        std::filesystem::create_symlink("plate.exr", P(name));
    }
    const std::vector<std::string> args = With({"key", "in.####.exr", "-o", "out.####.exr", "-q", "--threads", "1"}, kKey);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(QUALVEX_INSTALLED_PROGRAM));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::chdir(m_Dir.c_str()) != 0)
            ::_exit(127);
        std::freopen("/dev/null", "w", stdout);
        std::freopen((m_Dir / "stderr.txt").c_str(), "w", stderr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    // Interrupt as soon as the first frame is in place.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(P("out.0001.exr")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(::kill(child, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const std::string err = Slurp(P("stderr.txt"));
    EXPECT_EQ(WEXITSTATUS(status), 130) << err;
    EXPECT_NE(err.find("interrupted after"), std::string::npos) << err;

    int written = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_Dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name << " left behind";
        if (name.rfind("out.", 0) == 0) {
            ++written;
            EXPECT_EQ(ReadImage(entry.path()).Pixels.size(), static_cast<std::size_t>(w * h * 4)) << name;
        }
    }
    EXPECT_GE(written, 1);
    EXPECT_LT(written, frames) << "the run ended before it could be interrupted";
}

TEST_F(QualvexCommand, PluginIsFoundThroughTheSearchPath)
{
    const std::string folder = QUALVEX_PLUGIN_DIR;
    // The variable replaces the folder beside the program: looked through in order.
    const RunResult found = Run({"info"}, "QUALVEX_PLUGIN_PATH='/no/such/folder::" + folder + "' ");
    EXPECT_EQ(found.ExitCode, 0) << found.Err;
    EXPECT_NE(found.Out.find(folder + "/Sondrel.plugin"), std::string::npos) << found.Out;

    const RunResult missing = Run({"info"}, "QUALVEX_PLUGIN_PATH='/no/such/folder' ");
    EXPECT_EQ(missing.ExitCode, 1);
    EXPECT_EQ(missing.Err, "qualvex: cannot find Sondrel.plugin; looked in:\n  /no/such/folder/Sondrel.plugin: not found\n"
                           "  (give --plugin-path or set QUALVEX_PLUGIN_PATH)\n");

    // --plugin-path wins over the variable.
    const RunResult given = Run({"--plugin-path", folder, "info"}, "QUALVEX_PLUGIN_PATH='/no/such/folder' ");
    EXPECT_EQ(given.ExitCode, 0) << given.Err;
}

TEST_F(QualvexCommand, OneChannelSourceKeysAsGrey)
{
    const int w = 8, h = 1;
    const float greys[w] = {0.0f, 0.1f, 0.35f, 0.45f, 0.5f, 0.55f, 0.65f, 0.9f};
    std::vector<float> grey(greys, greys + w);
    std::vector<float> rgb;
    for (float v : greys)
        rgb.insert(rgb.end(), {v, v, v});
    WriteImage(P("grey.exr"), w, h, {"Y"}, TypeDesc::FLOAT, grey);
    WriteImage(P("rgb.exr"), w, h, {"R", "G", "B"}, TypeDesc::FLOAT, rgb);
    // The colour is compared everywhere: fully keyed pixels keep theirs.
    const std::vector<std::string> window = {"--set", "ValueRed=0.5", "--set", "ValueGreen=0.5", "--set",
                                             "ValueBlue=0.5", "--set", "FadeRed=1", "-q", "--keep-keyed-colour"};
    ASSERT_EQ(Run(With({"key", "grey.exr", "-o", "keyed-grey.exr"}, With(kKey, window))).ExitCode, 0);
    ASSERT_EQ(Run(With({"key", "rgb.exr", "-o", "keyed-rgb.exr"}, With(kKey, window))).ExitCode, 0);
    const ReadBack fromGrey = ReadImage(P("keyed-grey.exr"));
    const ReadBack fromRgb = ReadImage(P("keyed-rgb.exr"));
    ASSERT_EQ(fromGrey.Header.nchannels, 4);
    ASSERT_EQ(fromGrey.Pixels.size(), fromRgb.Pixels.size());
    EXPECT_EQ(std::memcmp(fromGrey.Pixels.data(), fromRgb.Pixels.data(), fromGrey.Pixels.size() * sizeof(float)), 0);
    for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(fromGrey.Pixels[static_cast<std::size_t>(x * 4 + c)], greys[x]) << x;
    // Above the upper end of every window (0.6): fully keyed; kKey inverts, so alpha 1.
    EXPECT_EQ(fromGrey.Pixels[7 * 4 + 3], 1.0f);
}

TEST_F(QualvexCommand, IdChannelsTravelAsIntegersFromFileToFile)
{
    const int w = 3, h = 2;
    // Identifiers above 2^24 are not floats: they must never pass through one.
    const std::uint32_t objects[w * h] = {16777217u, 4000000001u, 7u, 0u, 4294967295u, 123456789u};
    ImageSpec header(w, h, 6, TypeDesc::FLOAT);
    header.channelnames = {"R", "G", "B", "A", "ObjectID", "MaterialID"};
    header.alpha_channel = 3;
    header.channelformats = {TypeDesc::FLOAT, TypeDesc::FLOAT, TypeDesc::FLOAT, TypeDesc::FLOAT, TypeDesc::UINT32,
                             TypeDesc::UINT32};
    struct Record {
        float Rgba[4];
        std::uint32_t Object, Material;
    };
    std::vector<Record> records;
    for (int i = 0; i < w * h; ++i)
        records.push_back({{0.1f, 0.8f, 0.15f, 1.0f}, objects[i], objects[i] ^ 0x80000000u});
    auto out = ImageOutput::create(P("plate.exr").string());
    ASSERT_TRUE(out->open(P("plate.exr").string(), header));
    ASSERT_TRUE(out->write_image(TypeDesc::UNKNOWN, records.data()));
    out->close();

    const RunResult run = Run(With({"key", "plate.exr", "-o", "keyed.exr", "-q"}, kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    auto in = ImageInput::open(P("keyed.exr").string());
    ASSERT_TRUE(in);
    const ImageSpec& keyed = in->spec();
    ASSERT_EQ(keyed.nchannels, 6);
    // EXR keeps its channels in name order: find each by name.
    const int object = keyed.channelindex("ObjectID");
    const int material = keyed.channelindex("MaterialID");
    ASSERT_GE(object, 4);
    ASSERT_GE(material, 4);
    EXPECT_EQ(keyed.channelformat(object), TypeDesc::UINT32);
    EXPECT_EQ(keyed.channelformat(material), TypeDesc::UINT32);
    std::vector<std::uint32_t> objectIds(static_cast<std::size_t>(w * h)), materialIds(objectIds.size());
    ASSERT_TRUE(in->read_image(0, 0, object, object + 1, TypeDesc::UINT32, objectIds.data()));
    ASSERT_TRUE(in->read_image(0, 0, material, material + 1, TypeDesc::UINT32, materialIds.data()));
    for (int i = 0; i < w * h; ++i) {
        EXPECT_EQ(objectIds[static_cast<std::size_t>(i)], objects[i]) << i;
        EXPECT_EQ(materialIds[static_cast<std::size_t>(i)], objects[i] ^ 0x80000000u) << i;
    }
}

TEST_F(QualvexCommand, TheReadmeExampleKeysInTheColourSpaceItNames)
{
    WriteImage(P("plate.exr"), 8, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(8, 2, 4));
    // HSV of (0.1, 0.6, 0.2), by hand: hue 132 / 360, saturation 0.5 / 0.6, value 0.6.
    const double hsv[3] = {132.0 / 360.0, 0.5 / 0.6, 0.6};
    const auto sliders = [this](const std::string& file) {
        const auto record = nlohmann::json::parse(ReadImage(P(file)).Header.get_string_attribute("qualvex:settings"));
        return std::array<double, 3>{record["ValueRed"].get<double>(), record["ValueGreen"].get<double>(),
                                     record["ValueBlue"].get<double>()};
    };
    ASSERT_EQ(Run({"key", "plate.exr", "-o", "readme.exr", "--key-color", "0.1,0.6,0.2", "--set", "Colorspace=HSV",
                   "--set", "FadeRed=0.7", "-q"})
                  .ExitCode,
              0);
    // A record made in RGB, opened in HSV: its key colour follows into the new space.
    ASSERT_EQ(Run({"key", "plate.exr", "-o", "rgb.exr", "--key-color", "0.1,0.6,0.2", "-q"}).ExitCode, 0);
    ASSERT_EQ(Run({"key", "plate.exr", "-o", "hsv.exr", "--settings", "rgb.exr", "--set", "Colorspace=HSV", "-q"}).ExitCode,
              0);
    for (const char* file : {"readme.exr", "hsv.exr"}) {
        const auto held = sliders(file);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(held[static_cast<std::size_t>(i)], hsv[i], 1e-6) << file << " slider " << i;
    }
}

TEST_F(QualvexCommand, AWiderOutputTypeKeysInThatType)
{
    // An 8-bit plate with a soft edge, keyed into float: the matte is the float matte, not one
    // quantised to 1/255 by keying at the plate's storage.
    const int w = 64, h = 2;
    WriteImage(P("plate.png"), w, h, {"R", "G", "B", "A"}, TypeDesc::UINT8, PlatePixels(w, h, 4));
    ASSERT_EQ(Run(With({"key", "plate.png", "-o", "wide.exr", "--data-type", "float"}, kKey)).ExitCode, 0);
    ASSERT_EQ(Run(With({"key", "plate.png", "-o", "narrow.png"}, kKey)).ExitCode, 0);
    const ReadBack wide = ReadImage(P("wide.exr"));
    const ReadBack narrow = ReadImage(P("narrow.png"));
    EXPECT_EQ(wide.Header.format, TypeDesc::FLOAT);
    int between = 0;
    for (int i = 0; i < w * h; ++i) {
        const float alpha = wide.Pixels[static_cast<std::size_t>(i * 4 + 3)];
        const float steps = alpha * 255.0f;
        between += steps != std::floor(steps) ? 1 : 0;
        // The same matte, to the 8-bit file's precision.
        EXPECT_NEAR(alpha, narrow.Pixels[static_cast<std::size_t>(i * 4 + 3)], 0.5f / 255.0f + 1e-6f) << i;
    }
    EXPECT_GT(between, 0) << "every alpha is a multiple of 1/255";
}

// OpenEXR holds half and float values only: an 8- or 16-bit source written to it without a
// --data-type is written as half float, saying so, exactly as with --data-type half; a type asked
// for is kept, and a format that stores the source's own type still gets it.
TEST_F(QualvexCommand, AnEightOrSixteenBitSourceGoesIntoExrAsHalfFloat)
{
    const int w = 16, h = 4;
    WriteImage(P("plate.png"), w, h, {"R", "G", "B", "A"}, TypeDesc::UINT8, PlatePixels(w, h, 4));
    WriteImage(P("plate.tif"), w, h, {"R", "G", "B"}, TypeDesc::UINT16, PlatePixels(w, h, 3));
    const struct {
        const char* Source;
        const char* Kind;
    } sources[] = {{"plate.png", "uint8"}, {"plate.tif", "uint16"}};
    for (const auto& source : sources) {
        const RunResult run = Run(With({"key", source.Source, "-o", "default.exr"}, kKey));
        ASSERT_EQ(run.ExitCode, 0) << run.Err;
        EXPECT_NE(run.Err.find("default.exr: the openexr format holds half and float values only: the " +
                               std::string(source.Kind) + " source is written as half (--data-type chooses)"),
                  std::string::npos)
            << run.Err;
        ASSERT_EQ(Run(With({"key", source.Source, "-o", "asked.exr", "-q", "--data-type", "half"}, kKey)).ExitCode, 0);
        ASSERT_EQ(Run(With({"key", source.Source, "-o", "float.exr", "-q", "--data-type", "float"}, kKey)).ExitCode, 0);
        const ReadBack byDefault = ReadImage(P("default.exr"));
        EXPECT_EQ(byDefault.Header.format, TypeDesc::HALF) << source.Source;
        EXPECT_EQ(byDefault.Pixels, ReadImage(P("asked.exr")).Pixels) << source.Source;
        EXPECT_EQ(ReadImage(P("float.exr")).Header.format, TypeDesc::FLOAT) << source.Source;
        for (const char* name : {"default.exr", "asked.exr", "float.exr"})
            std::filesystem::remove(P(name));
    }
    const RunResult quiet = Run(With({"key", "plate.png", "-o", "quiet.exr", "-q"}, kKey));
    EXPECT_EQ(quiet.ExitCode, 0);
    EXPECT_EQ(quiet.Err, "");
}

// Outputs say how their colour is encoded, as the source says it; --output-colorspace linear
// converts on write. Read back by oiiotool and ffprobe; the linear values are oiiotool's own
// conversion of the source.
TEST_F(QualvexCommand, OutputsSayHowTheirColourIsEncodedAndConvertToLinearWhenAsked)
{
    if (std::system("oiiotool --version >/dev/null 2>&1") != 0 || std::system("ffprobe -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "oiiotool and ffprobe are needed to read the outputs";
    const int w = 16, h = 4;
    WriteImage(P("plate.png"), w, h, {"R", "G", "B"}, TypeDesc::UINT8, PlatePixels(w, h, 3));
    for (int frame : {1, 2})
        WriteImage(P("plate." + std::to_string(frame) + ".png"), w, h, {"R", "G", "B"}, TypeDesc::UINT8,
                   PlatePixels(w, h, 3, frame));
    const std::vector<std::string> straight = With(kKey, {"--set", "ColCor=0", "-q"});
    const auto info = [this](const std::string& file) {
        std::system(("oiiotool --info -v '" + P(file).string() + "' >'" + P("info.txt").string() + "' 2>&1").c_str());
        return Slurp(P("info.txt"));
    };
    ASSERT_EQ(Run(With({"key", "plate.png", "-o", "out.png"}, straight)).ExitCode, 0);
    ASSERT_EQ(Run(With({"key", "plate.png", "-o", "out.exr", "--data-type", "float"}, straight)).ExitCode, 0);
    const RunResult linear =
        Run(With({"key", "plate.png", "-o", "linear.exr", "--data-type", "float", "--output-colorspace", "linear"},
                 With(kKey, {"--set", "ColCor=0"})));
    ASSERT_EQ(linear.ExitCode, 0) << linear.Err;
    EXPECT_NE(linear.Err.find("linear.exr: colour converted from sRGB to linear on write (--output-colorspace linear)"),
              std::string::npos)
        << linear.Err;
    EXPECT_NE(info("out.png").find("oiio:ColorSpace: \"sRGB\""), std::string::npos) << info("out.png");
    EXPECT_NE(info("out.exr").find("qualvex:colorspace: \"sRGB\""), std::string::npos) << info("out.exr");
    const std::string linearInfo = info("linear.exr");
    EXPECT_NE(linearInfo.find("qualvex:colorspace: \"Linear\""), std::string::npos) << linearInfo;
    EXPECT_NE(linearInfo.find("qualvex:colourconversion: \"sRGB to Linear\""), std::string::npos) << linearInfo;

    // The converted colour (stored associated: divided by alpha again) is oiiotool's conversion of
    // the source; alpha is the matte of the unconverted run.
    ASSERT_EQ(std::system(("oiiotool '" + P("plate.png").string() + "' --colorconvert sRGB linear -d float -o '" +
                           P("reference.exr").string() + "'")
                              .c_str()),
              0);
    const ReadBack converted = ReadImage(P("linear.exr"));
    const ReadBack unconverted = ReadImage(P("out.exr"));
    const ReadBack reference = ReadImage(P("reference.exr"));
    int compared = 0;
    for (int i = 0; i < w * h; ++i) {
        const float a = converted.Pixels[static_cast<std::size_t>(4 * i + 3)];
        EXPECT_EQ(a, unconverted.Pixels[static_cast<std::size_t>(4 * i + 3)]) << "alpha of pixel " << i;
        if (a <= 0.0f)
            continue;
        ++compared;
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(converted.Pixels[static_cast<std::size_t>(4 * i + c)] / a,
                        reference.Pixels[static_cast<std::size_t>(3 * i + c)], 2e-6f)
                << "pixel " << i << " channel " << c;
    }
    EXPECT_GT(compared, w * h / 4);

    // A movie says it on its video stream.
    ASSERT_EQ(Run(With({"key", "plate.#.png", "-o", "keyed.mov"}, straight)).ExitCode, 0);
    std::system(("ffprobe -v error -select_streams v:0 -show_entries stream=color_transfer,color_primaries -of "
                 "default=noprint_wrappers=1 '" + P("keyed.mov").string() + "' >'" + P("probe.txt").string() + "'")
                    .c_str());
    const std::string probe = Slurp(P("probe.txt"));
    EXPECT_NE(probe.find("color_transfer=iec61966-2-1"), std::string::npos) << probe;
    EXPECT_NE(probe.find("color_primaries=bt709"), std::string::npos) << probe;

    const struct {
        std::vector<std::string> Args;
        const char* Says;
    } refusals[] = {
        {{"key", "plate.#.png", "-o", "linear.mov", "--output-colorspace", "linear"},
         "--output-colorspace linear applies to image outputs"},
        {{"key", "plate.png", "-o", "odd.exr", "--output-colorspace", "rec709"},
         "--output-colorspace \"rec709\": expected source or linear"},
    };
    for (const auto& c : refusals) {
        const RunResult run = Run(With(c.Args, straight));
        EXPECT_EQ(run.ExitCode, 2) << c.Says;
        EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
        EXPECT_FALSE(std::filesystem::exists(P("linear.mov")));
        EXPECT_FALSE(std::filesystem::exists(P("odd.exr")));
    }
}

TEST_F(QualvexCommand, AFlatMatteAndOutOfRangeValuesAreWarnedAbout)
{
    WriteImage(P("plate.exr"), 8, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(8, 2, 4));
    // Defaults only: every window is empty around black, and the whole frame is keyed out.
    const RunResult defaults = Run({"key", "plate.exr", "-o", "defaults.exr", "-q"});
    EXPECT_EQ(defaults.ExitCode, 0) << defaults.Err;
    EXPECT_NE(defaults.Err.find("defaults.exr: the matte is 0 everywhere (the whole frame is keyed out); set the key "
                                "colour (--key-color)"),
              std::string::npos)
        << defaults.Err;
    // Nothing keyed: inverted, the same settings keep everything.
    const RunResult kept = Run({"key", "plate.exr", "-o", "kept.exr", "-q", "--set", "InvAlpha=1"});
    EXPECT_NE(kept.Err.find("kept.exr: the matte is 1 everywhere (nothing is keyed)"), std::string::npos) << kept.Err;
    // A working key says nothing; values outside a control's range are applied, with a warning.
    const RunResult keyed = Run(With({"key", "plate.exr", "-o", "keyed.exr", "-q"}, kKey));
    EXPECT_EQ(keyed.Err, "");
    const RunResult outside = Run(With(With({"key", "plate.exr", "-o", "outside.exr", "-q"}, kKey), {"--set", "FadeRed=7"}));
    EXPECT_EQ(outside.ExitCode, 0);
    EXPECT_EQ(outside.Err.rfind("qualvex: warning: control \"FadeRed\" = 7 is outside its range 0 .. 1; applied as given\n",
                                0),
              0u)
        << outside.Err;
    EXPECT_EQ(nlohmann::json::parse(ReadImage(P("outside.exr")).Header.get_string_attribute("qualvex:settings"))["FadeRed"],
              7.0);
}

TEST_F(QualvexCommand, GapsAreKeyedWhenAllowedAndThePreviewShowsTheFrameAsked)
{
    const int w = 8, h = 2;
    for (int frame : {1, 2, 4})
        WriteImage(P("in." + std::to_string(frame) + ".exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT,
                   PlatePixels(w, h, 4, 2 * frame));
    const RunResult refused = Run(With({"key", "in.#.exr", "-o", "out.#.exr", "-q"}, kKey));
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_NE(refused.Err.find("source frames missing: 3 (--allow-gaps keys the frames that exist)"), std::string::npos)
        << refused.Err;
    const RunResult run = Run(With({"key", "in.#.exr", "-o", "out.#.exr", "-q", "--allow-gaps", "--preview", "sheet.png",
                                    "--preview-frame", "4"},
                                   kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(Files(), (std::vector<std::string>{"in.1.exr", "in.2.exr", "in.4.exr", "out.1.exr", "out.2.exr",
                                                 "out.4.exr", "sheet.png"}));
    // The source panel shows frame 4: its first pixel (below the 11-row label strip), rounded to 8 bits.
    const ReadBack sheet = ReadImage(P("sheet.png"));
    const std::vector<float> four = PlatePixels(w, h, 4, 8);
    const std::size_t first = static_cast<std::size_t>(11 * sheet.Header.width * sheet.Header.nchannels);
    EXPECT_NEAR(sheet.Pixels[first], four[0], 0.5f / 255.0f + 1e-6f);
    EXPECT_NEAR(sheet.Pixels[first + 1], four[1], 0.5f / 255.0f + 1e-6f);
    const RunResult gap = Run(With({"key", "in.#.exr", "-o", "again.#.exr", "-q", "--allow-gaps", "--preview", "gap.png",
                                    "--preview-frame", "3"},
                                   kKey));
    EXPECT_EQ(gap.ExitCode, 2);
    EXPECT_NE(gap.Err.find("--preview-frame 3: not one of the frames keyed (1-2, 4)"), std::string::npos) << gap.Err;
}

}  // namespace
}  // namespace qualvex::testing
