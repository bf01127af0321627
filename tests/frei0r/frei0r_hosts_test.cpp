// The frei0r filter in the video tools that load it: ffmpeg, GStreamer (gst-launch-1.0) and MLT
// (melt), each on an 8-bit plate with a settings file, compared with `qualvex key` on the same
// plate with the same file (a PNG, read back by OpenImageIO). A host that is not installed is
// skipped with a message; the README's test command installs all three.
#include "support/qualvex_program.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qualvex::testing {
namespace {

constexpr int kWidth = 48;
constexpr int kHeight = 16;

// The keyer's settings of the other end-to-end tests, as a settings file; with a "finish" object,
// the finishing tool despills too.
const char* const kSettings =
    R"({"ValueRed": 0.1, "ValueGreen": 0.8, "ValueBlue": 0.15, "MiRedn": 0.1, "MaxRed": 0.1, )"
    R"("MinGreen": 0.1, "MaxGreen": 0.1, "MinBlue": 0.1, "MaxBlue": 0.1, "FadeRed": 0.9, "InvAlpha": 1, )"
    R"("GammaAlpha": 1.4, "OffAlpha": -0.5, "MultAlpha": 2)";

class Frei0rHosts : public QualvexCommand {
protected:
    void SetUp() override
    {
        QualvexCommand::SetUp();
        m_Filters = std::filesystem::path(QUALVEX_INSTALLED_FREI0R_DIR);
        ASSERT_TRUE(std::filesystem::exists(m_Filters / "qualvex.so")) << m_Filters;
        WriteImage(P("plate.png"), kWidth, kHeight, {"R", "G", "B", "A"}, TypeDesc::UINT8,
                   PlatePixels(kWidth, kHeight, 4));
        std::ofstream(P("keyer.json")) << kSettings << "}";
        std::ofstream(P("finished.json")) << kSettings << R"(, "finish": {"Despill": "Average"}})";
        std::ofstream(P("broken.json")) << R"({"ValueRed": )";
    }

    static bool Installed(const std::string& program)
    {
        return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
    }

    // Runs a host's command line in the test's folder, the filter's folder on FREI0R_PATH and a
    // registry of GStreamer's own; standard error kept in `err`.
    int Host(const std::string& command, std::string& err) const
    {
        const std::string line = "cd '" + m_Dir.string() + "' && FREI0R_PATH='" + m_Filters.string() +
                                 "' GST_REGISTRY='" + P("gst-registry.bin").string() + "' " + command +
                                 " >/dev/null 2>'" + P("host-stderr.txt").string() + "' </dev/null";
        const int status = std::system(line.c_str());
        err = Slurp(P("host-stderr.txt"));
        return status;
    }

    std::string Ffmpeg(const std::string& settings, const std::string& out) const
    {
        return "ffmpeg -v error -y -i plate.png -vf 'format=rgba,frei0r=filter_name=qualvex:filter_params=" +
               P(settings).string() + "' -pix_fmt rgba " + out;
    }

    // The reference: qualvex key on the same plate with the same settings file, into a PNG.
    void Reference(const std::string& settings, const std::string& out)
    {
        const RunResult run = Run({"key", "plate.png", "-o", out, "-q", "--settings", settings});
        ASSERT_EQ(run.ExitCode, 0) << run.Err;
    }

    // Alpha identical; colour identical as well (both store straight colour rounded once from the
    // same values).
    void ExpectSame(const std::string& file, const std::string& reference, const std::string& what)
    {
        ASSERT_TRUE(std::filesystem::exists(P(file))) << what;
        const ReadBack got = ReadImage(P(file));
        const ReadBack want = ReadImage(P(reference));
        ASSERT_EQ(got.Header.width, kWidth) << what;
        ASSERT_EQ(got.Header.height, kHeight) << what;
        ASSERT_EQ(got.Header.nchannels, 4) << what;
        int differences = 0;
        for (std::size_t i = 0; i < want.Pixels.size() && differences < 8; ++i)
            if (got.Pixels[i] != want.Pixels[i]) {
                ADD_FAILURE() << what << ": value " << i << " (pixel " << i / 4 << ", channel " << i % 4 << ") is "
                              << got.Pixels[i] * 255.0f << "/255, qualvex key wrote " << want.Pixels[i] * 255.0f
                              << "/255";
                ++differences;
            }
    }

    std::filesystem::path m_Filters;
};

TEST_F(Frei0rHosts, FfmpegKeysAsQualvexKeyDoes)
{
    if (!Installed("ffmpeg"))
        GTEST_SKIP() << "ffmpeg is not installed";
    std::string err;
    for (const char* settings : {"keyer.json", "finished.json"}) {
        const std::string name = std::string("ffmpeg-") + settings + ".png";
        ASSERT_EQ(Host(Ffmpeg(settings, name), err), 0) << err;
        Reference(settings, std::string("ref-") + settings + ".png");
        ExpectSame(name, std::string("ref-") + settings + ".png", std::string("ffmpeg with ") + settings);
    }
}

TEST_F(Frei0rHosts, AMissingOrBrokenSettingsFileLeavesTheFramesAndSaysWhyOnce)
{
    if (!Installed("ffmpeg"))
        GTEST_SKIP() << "ffmpeg is not installed";
    // Three frames of the plate, so that "once" is seen.
    for (const char* settings : {"broken.json", "missing.json"}) {
        std::string err;
        const std::string command = "ffmpeg -v error -y -loop 1 -i plate.png -frames:v 3 -vf "
                                    "'format=rgba,frei0r=filter_name=qualvex:filter_params=" +
                                    P(settings).string() + "' -pix_fmt rgba unchanged.%d.png";
        ASSERT_EQ(Host(command, err), 0) << err;
        std::size_t said = 0;
        for (std::size_t at = err.find("qualvex frei0r filter: "); at != std::string::npos;
             at = err.find("qualvex frei0r filter: ", at + 1))
            ++said;
        EXPECT_EQ(said, 1u) << err;
        EXPECT_NE(err.find(settings), std::string::npos) << err;
        EXPECT_NE(err.find("frames pass through unchanged"), std::string::npos) << err;
        for (int frame = 1; frame <= 3; ++frame)
            ExpectSame("unchanged." + std::to_string(frame) + ".png", "plate.png", settings);
    }
}

TEST_F(Frei0rHosts, GStreamerKeysAsQualvexKeyDoes)
{
    if (!Installed("gst-launch-1.0") || !Installed("gst-inspect-1.0"))
        GTEST_SKIP() << "GStreamer's gst-launch-1.0 is not installed";
    std::string err;
    if (Host("gst-inspect-1.0 frei0r-filter-qualvex", err) != 0)
        GTEST_SKIP() << "GStreamer has no frei0r bridge (gstreamer1.0-plugins-bad): " << err;
    const std::string command = "gst-launch-1.0 -q filesrc location=plate.png ! pngdec ! videoconvert ! "
                                "video/x-raw,format=RGBA ! frei0r-filter-qualvex settings=" +
                                P("keyer.json").string() +
                                " ! videoconvert ! video/x-raw,format=RGBA ! pngenc ! filesink location=gst.png";
    ASSERT_EQ(Host(command, err), 0) << err;
    Reference("keyer.json", "ref.png");
    ExpectSame("gst.png", "ref.png", "gst-launch-1.0");
}

// Two instances of the filter in one process: in ffmpeg, two branches of one filter graph; in
// GStreamer, two branches of a tee, each behind a queue and so on a thread of its own, keying
// their frames at the same time. Every frame of both is the frame qualvex key writes.
TEST_F(Frei0rHosts, TwoInstancesAtOnceKeyAsOneDoes)
{
    if (!Installed("ffmpeg"))
        GTEST_SKIP() << "ffmpeg is not installed";
    Reference("finished.json", "ref.png");
    const std::string settings = P("finished.json").string();
    std::string err;
    ASSERT_EQ(Host("ffmpeg -v error -y -loop 1 -i plate.png -filter_complex "
                   "'[0:v]format=rgba,split[a][b];[a]frei0r=filter_name=qualvex:filter_params=" + settings +
                       "[ka];[b]frei0r=filter_name=qualvex:filter_params=" + settings +
                       "[kb]' -map '[ka]' -frames:v 4 -pix_fmt rgba ffmpeg-a.%d.png -map '[kb]' -frames:v 4 -pix_fmt rgba "
                       "ffmpeg-b.%d.png",
                   err),
              0)
        << err;
    for (int frame = 1; frame <= 4; ++frame)
        for (const char* branch : {"a", "b"})
            ExpectSame("ffmpeg-" + std::string(branch) + "." + std::to_string(frame) + ".png", "ref.png",
                       std::string("ffmpeg branch ") + branch + ", frame " + std::to_string(frame));

    if (!Installed("gst-launch-1.0") || Host("gst-inspect-1.0 frei0r-filter-qualvex", err) != 0)
        GTEST_SKIP() << "GStreamer with its frei0r bridge is not installed";
    std::string branches;
    for (const char* branch : {"a", "b"})
        branches += std::string(" t. ! queue ! frei0r-filter-qualvex settings=") + settings +
                    " ! videoconvert ! video/x-raw,format=RGBA ! pngenc snapshot=false ! multifilesink location=gst-" +
                    branch + ".%d.png";
    ASSERT_EQ(Host("gst-launch-1.0 -q filesrc location=plate.png ! pngdec ! imagefreeze num-buffers=8 ! videoconvert ! "
                   "video/x-raw,format=RGBA ! tee name=t" + branches,
                   err),
              0)
        << err;
    for (int frame = 0; frame < 8; ++frame)
        for (const char* branch : {"a", "b"})
            ExpectSame("gst-" + std::string(branch) + "." + std::to_string(frame) + ".png", "ref.png",
                       std::string("GStreamer branch ") + branch + ", frame " + std::to_string(frame));
}

// MLT's melt, with the filter attached to the plate's producer and a profile of the plate's size
// (with its default profile melt scales the frame, and a filter on the track sees it after that).
TEST_F(Frei0rHosts, MeltKeysAsQualvexKeyDoes)
{
    if (!Installed("melt"))
        GTEST_SKIP() << "MLT's melt is not installed";
    std::ofstream(P("plate.profile")) << "description=plate\nwidth=" << kWidth << "\nheight=" << kHeight
                                      << "\nprogressive=1\nsample_aspect_num=1\nsample_aspect_den=1\n"
                                         "display_aspect_num=3\ndisplay_aspect_den=1\nframe_rate_num=25\n"
                                         "frame_rate_den=1\ncolorspace=709\n";
    std::string err;
    const std::string command = "melt -quiet -profile " + P("plate.profile").string() +
                                " plate.png in=0 out=0 -attach frei0r.qualvex 0=" + P("keyer.json").string() +
                                " -consumer avformat:melt.png vcodec=png pix_fmt=rgba mlt_image_format=rgba update=1";
    ASSERT_EQ(Host(command, err), 0) << err;
    Reference("keyer.json", "ref.png");
    ExpectSame("melt.png", "ref.png", "melt");
}

}  // namespace
}  // namespace qualvex::testing
