// Movies in and out of the installed qualvex key. The source movie is made losslessly by ffmpeg
// from the test's own frames; the keyed movies are decoded by ffmpeg, not by qualvex, and
// compared with the same frames keyed as an image sequence.
#include "support/float_compare.h"
#include "support/qualvex_program.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>

namespace qualvex::testing {
namespace {

constexpr int kMovieWidth = 64;
constexpr int kMovieHeight = 48;
constexpr int kFrames = 6;

std::string FrameName(const std::string& stem, int frame, const std::string& extension)
{
    char number[16];
    std::snprintf(number, sizeof number, "%04d", frame);
    return stem + "." + number + extension;
}

class MovieCommand : public QualvexCommand {
protected:
    void SetUp() override
    {
        QualvexCommand::SetUp();
        if (std::system("ffmpeg -version >/dev/null 2>&1") != 0 || std::system("ffprobe -version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "ffmpeg and ffprobe are needed to make and decode the test's movies";
        // Frames 1-6 of the plate, its soft edge one pixel further right each frame, as 8-bit PNGs.
        for (int frame = 1; frame <= kFrames; ++frame)
            WriteImage(P(FrameName("plate", frame, ".png")), kMovieWidth, kMovieHeight, {"R", "G", "B"}, TypeDesc::UINT8,
                       PlatePixels(kMovieWidth, kMovieHeight, 3, frame));
        // The image sequence keyed: the reference every movie is compared with.
        const RunResult reference = Run(With({"key", "plate.####.png", "-o", "ref.####.png", "-q"}, kKey));
        ASSERT_EQ(reference.ExitCode, 0) << reference.Err;
    }

    struct Refusal {
        const char* What;
        std::vector<std::string> Args;
    };

    // Each run of `program` (with the key's settings) fails with exit code 1 and says `expected`.
    void ExpectEachRefused(const std::filesystem::path& program, const std::vector<Refusal>& runs,
                           const std::string& expected) const
    {
        for (const Refusal& run : runs) {
            const RunResult refused = RunProgram(program, With(run.Args, kKey));
            EXPECT_EQ(refused.ExitCode, 1) << run.What << ": " << refused.Err;
            EXPECT_NE(refused.Err.find(expected), std::string::npos) << run.What << ": " << refused.Err;
        }
    }

    int Shell(const std::string& command) const
    {
        return std::system(("cd '" + m_Dir.string() + "' && " + command + " >/dev/null 2>&1 </dev/null").c_str());
    }

    // The same frames as a lossless RGB movie (FFV1), frame 1 first.
    void MakeSourceMovie(const std::string& name, const std::string& rate) const
    {
        ASSERT_EQ(Shell("ffmpeg -v error -framerate " + rate + " -start_number 1 -i plate.%04d.png -c:v ffv1 "
                        "-pix_fmt bgr0 " + name),
                  0);
    }

    // One value of the movie's video stream as ffprobe reports it.
    std::string Probe(const std::string& movie, const std::string& entry) const
    {
        const std::string out = P("probe.txt").string();
        std::system(("cd '" + m_Dir.string() + "' && ffprobe -v error -count_frames -select_streams v:0 -show_entries " +
                     entry + " -of default=noprint_wrappers=1:nokey=1 " + movie + " >'" + out + "' 2>/dev/null")
                        .c_str());
        std::string text = Slurp(out);
        std::filesystem::remove(out);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    }

    // ffmpeg's decode of the movie, frame after frame, as 16-bit values scaled to 0..1: the alpha
    // plane alone (`filter` alphaextract, format gray16le) or RGB (format rgb48le).
    std::vector<float> Decode(const std::string& movie, const std::string& filter, const std::string& format) const
    {
        const bool vp9 = movie.size() > 5 && movie.compare(movie.size() - 5, 5, ".webm") == 0;
        // Only libvpx's decoder reads VP9's alpha.
        EXPECT_EQ(Shell(std::string("ffmpeg -v error ") + (vp9 ? "-c:v libvpx-vp9 " : "") + "-i " + movie +
                        (filter.empty() ? "" : " -vf " + filter) + " -f rawvideo -pix_fmt " + format + " decoded.raw"),
                  0);
        std::ifstream in(P("decoded.raw"), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::filesystem::remove(P("decoded.raw"));
        std::vector<float> values(bytes.size() / 2);
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = static_cast<float>(static_cast<unsigned char>(bytes[2 * i]) |
                                           static_cast<unsigned char>(bytes[2 * i + 1]) << 8) /
                        65535.0f;
        return values;
    }

    // The reference's channel `c` of every frame, in frame order.
    std::vector<float> Reference(int channel, int first = 1, int last = kFrames) const
    {
        std::vector<float> values;
        for (int frame = first; frame <= last; ++frame) {
            const ReadBack image = ReadImage(P(FrameName("ref", frame, ".png")));
            for (std::size_t i = static_cast<std::size_t>(channel); i < image.Pixels.size(); i += 4)
                values.push_back(image.Pixels[i]);
        }
        return values;
    }
};

TEST_F(MovieCommand, AMovieSourceIsKeyedFrameByFrameFromFrameOne)
{
    MakeSourceMovie("source.mkv", "25");
    // Every frame, on as many threads as there are cores, and a range of frames.
    const RunResult all = Run(With({"key", "source.mkv", "-o", "keyed.####.png", "-q"}, kKey));
    ASSERT_EQ(all.ExitCode, 0) << all.Err;
    const RunResult part = Run(With({"key", "source.mkv", "--frames", "3-5", "-o", "part.####.png", "-q"}, kKey));
    ASSERT_EQ(part.ExitCode, 0) << part.Err;
    for (int frame = 1; frame <= kFrames; ++frame) {
        const ReadBack reference = ReadImage(P(FrameName("ref", frame, ".png")));
        EXPECT_EQ(ReadImage(P(FrameName("keyed", frame, ".png"))).Pixels, reference.Pixels) << "frame " << frame;
        const bool inRange = frame >= 3 && frame <= 5;
        ASSERT_EQ(std::filesystem::exists(P(FrameName("part", frame, ".png"))), inRange) << "frame " << frame;
        if (inRange) {
            EXPECT_EQ(ReadImage(P(FrameName("part", frame, ".png"))).Pixels, reference.Pixels) << "frame " << frame;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(P(FrameName("keyed", 0, ".png"))));
    EXPECT_FALSE(std::filesystem::exists(P(FrameName("keyed", 7, ".png"))));
}

struct MovieOutputCase {
    const char* Name;
    const char* Codec;
    const char* PixelFormat;
    // How far ffmpeg's decode of the alpha may be from the keyed sequence's: ProRes stores 10-bit
    // alpha without loss (a 10-bit step and a half at most, with the conversions to and from its
    // 10 and 12 bits); VP9 codes 8-bit alpha with loss, worst at the soft edge (measured here: 2/255
    // at most, 0.65/255 on average).
    float MaxAlphaError;
    float MeanAlphaError;
};

TEST_F(MovieCommand, MovieOutputsCarryTheMatteAndTheFrameRate)
{
    const MovieOutputCase cases[] = {
        {"keyed.mov", "prores", "yuva444p12le", 1.5f / 1023.0f, 0.5f / 1023.0f},
        {"keyed.webm", "vp9", "yuv420p", 6.0f / 255.0f, 1.5f / 255.0f},
    };
    const std::vector<float> alpha = Reference(3);
    for (const MovieOutputCase& c : cases) {
        const RunResult run =
            Run(With({"key", "plate.####.png", "-o", c.Name, "--frame-rate", "30000/1001", "-q"}, kKey));
        ASSERT_EQ(run.ExitCode, 0) << c.Name << ": " << run.Err;
        EXPECT_EQ(Probe(c.Name, "stream=codec_name"), c.Codec) << c.Name;
        EXPECT_EQ(Probe(c.Name, "stream=pix_fmt"), c.PixelFormat) << c.Name;
        EXPECT_EQ(Probe(c.Name, "stream=nb_read_frames"), std::to_string(kFrames)) << c.Name;
        const std::vector<float> decoded = Decode(c.Name, "alphaextract", "gray16le");
        ASSERT_EQ(decoded.size(), alpha.size()) << c.Name;
        float worst = 0.0f;
        double sum = 0.0;
        std::size_t worstAt = 0;
        for (std::size_t i = 0; i < alpha.size(); ++i) {
            const float error = std::fabs(decoded[i] - alpha[i]);
            sum += error;
            if (error > worst) {
                worst = error;
                worstAt = i;
            }
        }
        EXPECT_LE(worst, c.MaxAlphaError) << c.Name << ": at value " << worstAt << ", " << decoded[worstAt]
                                          << " decoded, " << alpha[worstAt] << " keyed";
        EXPECT_LE(sum / static_cast<double>(alpha.size()), c.MeanAlphaError) << c.Name;
    }
    // QuickTime keeps the rate exactly; WebM times frames in milliseconds.
    EXPECT_EQ(Probe("keyed.mov", "stream=r_frame_rate"), "30000/1001");
    const std::string webmRate = Probe("keyed.webm", "stream=avg_frame_rate");
    const std::size_t slash = webmRate.find('/');
    ASSERT_NE(slash, std::string::npos) << webmRate;
    EXPECT_NEAR(std::stod(webmRate.substr(0, slash)) / std::stod(webmRate.substr(slash + 1)), 30000.0 / 1001.0, 0.02);
    EXPECT_EQ(Probe("keyed.webm", "stream_tags=alpha_mode"), "1");

    // Colour where the subject is opaque survives ProRes, which codes colour with a little loss, to
    // within two steps of the 8-bit source.
    const std::vector<float> rgb = Decode("keyed.mov", "", "rgb48le");
    ASSERT_EQ(rgb.size(), alpha.size() * 3);
    const std::vector<float> channels[3] = {Reference(0), Reference(1), Reference(2)};
    int opaque = 0;
    for (std::size_t i = 0; i < alpha.size(); ++i) {
        if (alpha[i] != 1.0f)
            continue;
        ++opaque;
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(rgb[i * 3 + static_cast<std::size_t>(c)], channels[c][i], 2.0f / 255.0f)
                << "value " << i << " channel " << c;
    }
    EXPECT_GT(opaque, kMovieWidth * kMovieHeight);
}

// A result read as associated goes into a movie as straight colour, as its readers expect: the
// colour divided by alpha where alpha is above 0. The same run into float EXR (which stores the
// result as it is) gives the associated values; ffmpeg's decode of the movie must match them
// divided by alpha, where that division changes them, to within ProRes's loss.
TEST_F(MovieCommand, AssociatedColourIsDividedByAlphaInAMovie)
{
    ASSERT_EQ(Run(With({"key", "plate.####.png", "-o", "assoc.####.exr", "--alpha", "associated", "--data-type", "float",
                        "-q"},
                       kKey))
                  .ExitCode,
              0);
    const RunResult run = Run(With({"key", "plate.####.png", "-o", "assoc.mov", "--alpha", "associated", "-q"}, kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    std::vector<float> associated;  // R, G, B, A per pixel, frame after frame
    for (int frame = 1; frame <= kFrames; ++frame) {
        const ReadBack image = ReadImage(P(FrameName("assoc", frame, ".exr")));
        associated.insert(associated.end(), image.Pixels.begin(), image.Pixels.end());
    }
    const std::vector<float> rgb = Decode("assoc.mov", "", "rgb48le");
    ASSERT_EQ(rgb.size() / 3, associated.size() / 4);
    int divided = 0;
    for (std::size_t i = 0; i < rgb.size() / 3; ++i) {
        const float alpha = associated[i * 4 + 3];
        if (alpha < 0.2f)
            continue;  // a small alpha magnifies the codec's loss past any useful bound
        for (std::size_t c = 0; c < 3; ++c) {
            const float straight = associated[i * 4 + c] / alpha;  // alpha >= 0.2
            if (straight > 1.0f)
                continue;  // clamped to the video's range, with a warning
            EXPECT_NEAR(rgb[i * 3 + c], straight, 3.0f / 255.0f) << "pixel " << i << " channel " << c;
            if (std::fabs(straight - associated[i * 4 + c]) > 0.05f)
                ++divided;
        }
    }
    EXPECT_GT(divided, 20);  // the division mattered on the soft edge
}

TEST_F(MovieCommand, AMovieIntoAMovieKeepsItsRateAndShowsAPreview)
{
    MakeSourceMovie("source.mkv", "25");
    const RunResult run = Run(With({"key", "source.mkv", "--frames", "2-4", "-o", "keyed.mov", "--preview", "sheet.png",
                                    "--preview-frame", "3"},
                                   kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find("3/3 frames"), std::string::npos) << run.Err;
    EXPECT_EQ(Probe("keyed.mov", "stream=r_frame_rate"), "25/1");
    EXPECT_EQ(Probe("keyed.mov", "stream=nb_read_frames"), "3");
    const std::vector<float> decoded = Decode("keyed.mov", "alphaextract", "gray16le");
    const std::vector<float> alpha = Reference(3, 2, 4);
    ASSERT_EQ(decoded.size(), alpha.size());
    for (std::size_t i = 0; i < alpha.size(); ++i)
        ASSERT_NEAR(decoded[i], alpha[i], 1.5f / 1023.0f) << "value " << i;
    // The preview: three panels of the frame asked for.
    const ReadBack sheet = ReadImage(P("sheet.png"));
    EXPECT_GE(sheet.Header.width, 3 * kMovieWidth);
}

// A copy of the installation in the test's folder, and where its image and movie modules lie.
struct InstallationCopy {
    std::filesystem::path Program;
    std::filesystem::path ImageModule;
    std::filesystem::path MovieModule;
};

InstallationCopy CopyInstallation(const std::filesystem::path& to)
{
    const std::filesystem::path program = QUALVEX_INSTALLED_PROGRAM;
    std::filesystem::copy(program.parent_path().parent_path(), to, std::filesystem::copy_options::recursive);
    InstallationCopy copy{to / "bin" / "qualvex", {}, {}};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(to)) {
        if (entry.path().filename() == "qualvex-images.so")
            copy.ImageModule = entry.path();
        if (entry.path().filename() == "qualvex-movies.so")
            copy.MovieModule = entry.path();
    }
    return copy;
}

// The image library is a module the program loads when a run reads or writes an image file other
// than a plain OpenEXR one: a copy of the installation without it keys movies into movies and
// into OpenEXR frames, and refuses other images by saying what is missing, leaving nothing behind.
TEST_F(MovieCommand, MoviesNeedNoImageModule)
{
    const InstallationCopy copy = CopyInstallation(P("install"));
    const std::filesystem::path& module = copy.ImageModule;
    ASSERT_FALSE(module.empty()) << "the installation has no qualvex-images.so";
    std::filesystem::remove(module);
    const std::filesystem::path& program = copy.Program;

    MakeSourceMovie("source.mkv", "24");
    // The dynamic loader names each library it loads (LD_DEBUG=libs): the image library is not
    // among them, though it lies where the loader would find it (as an image run shows).
    const RunResult movie =
        RunProgram(program, With({"key", "source.mkv", "-o", "keyed.mov", "-q"}, kKey), "LD_DEBUG=libs ");
    ASSERT_EQ(movie.ExitCode, 0) << movie.Err;
    EXPECT_NE(movie.Err.find("libavcodec"), std::string::npos);
    EXPECT_EQ(movie.Err.find("libOpenImageIO"), std::string::npos);
    const RunResult image = Run(With({"key", "plate.0001.png", "-o", "one.png", "-q"}, kKey), "LD_DEBUG=libs ");
    ASSERT_EQ(image.ExitCode, 0);
    EXPECT_NE(image.Err.find("libOpenImageIO"), std::string::npos);
    const std::vector<float> decoded = Decode("keyed.mov", "alphaextract", "gray16le");
    const std::vector<float> alpha = Reference(3);
    ASSERT_EQ(decoded.size(), alpha.size());
    for (std::size_t i = 0; i < alpha.size(); ++i)
        ASSERT_NEAR(decoded[i], alpha[i], 1.5f / 1023.0f) << "value " << i;

    struct ImageRun {
        const char* What;
        std::vector<std::string> Args;
    };
    const ImageRun images[] = {
        {"images to images", {"key", "plate.####.png", "-o", "out.####.png"}},
        {"a movie to images", {"key", "source.mkv", "-o", "out.####.png"}},
        {"a movie with a preview", {"key", "source.mkv", "-o", "preview.webm", "--preview", "sheet.png"}},
    };
    for (const ImageRun& run : images) {
        const RunResult refused = RunProgram(program, With(run.Args, kKey));
        EXPECT_EQ(refused.ExitCode, 1) << run.What << ": " << refused.Err;
        EXPECT_NE(refused.Err.find("cannot load qualvex's image module " + module.string()), std::string::npos)
            << run.What << ": " << refused.Err;
    }
    // Half OpenEXR frames are written by OpenEXR alone (plain frames, below).
    const RunResult frames = RunProgram(program, With({"key", "source.mkv", "-o", "frames.####.exr", "-q"}, kKey));
    EXPECT_EQ(frames.ExitCode, 0) << frames.Err;
    EXPECT_TRUE(std::filesystem::exists(P("frames.0006.exr")));
    for (const std::string& name : Files())
        EXPECT_TRUE(name.rfind("plate.", 0) == 0 || name.rfind("ref.", 0) == 0 || name.rfind("frames.", 0) == 0 ||
                    name == "source.mkv" || name == "keyed.mov" || name == "one.png" || name == "install")
            << name;
}

// Plain OpenEXR frames (R, G, B and A, float or half) are read and written by OpenEXR alone: a
// copy of the installation without the image module keys them, and the loader never names the
// image library. The frames match the same runs keyed into TIFFs, which the image library writes;
// frames that are not plain still need the module, and say so.
TEST_F(MovieCommand, PlainOpenExrFramesNeedNoImageModule)
{
    const InstallationCopy copy = CopyInstallation(P("install"));
    ASSERT_FALSE(copy.ImageModule.empty()) << "the installation has no qualvex-images.so";
    std::filesystem::remove(copy.ImageModule);
    for (int frame = 1; frame <= 3; ++frame) {
        WriteImage(P(FrameName("float", frame, ".exr")), kMovieWidth, kMovieHeight, {"R", "G", "B", "A"},
                   TypeDesc::FLOAT, PlatePixels(kMovieWidth, kMovieHeight, 4, frame), "zip");
        WriteImage(P(FrameName("half", frame, ".exr")), kMovieWidth, kMovieHeight, {"R", "G", "B", "A"},
                   TypeDesc::HALF, PlatePixels(kMovieWidth, kMovieHeight, 4, frame), "zip");
        WriteImage(P(FrameName("depth", frame, ".exr")), kMovieWidth, kMovieHeight, {"R", "G", "B", "A", "Z"},
                   TypeDesc::FLOAT, PlatePixels(kMovieWidth, kMovieHeight, 5, frame), "zip");
    }
    for (const char* stem : {"float", "half"}) {
        SCOPED_TRACE(stem);
        const std::string frames = std::string(stem) + ".####";
        const RunResult plain =
            RunProgram(copy.Program, With({"key", frames + ".exr", "-o", "plain." + frames + ".exr", "-q"}, kKey),
                       "LD_DEBUG=libs ");
        ASSERT_EQ(plain.ExitCode, 0) << plain.Err;
        EXPECT_NE(plain.Err.find("libOpenEXRCore"), std::string::npos);
        EXPECT_EQ(plain.Err.find("libOpenImageIO"), std::string::npos);
        const RunResult tiff = Run(With({"key", frames + ".exr", "-o", "tiff." + frames + ".tif", "-q"}, kKey));
        ASSERT_EQ(tiff.ExitCode, 0) << tiff.Err;
        for (int frame = 1; frame <= 3; ++frame) {
            SCOPED_TRACE(frame);
            const ReadBack exr = ReadImage(P(FrameName("plain." + std::string(stem), frame, ".exr")));
            const ReadBack reference = ReadImage(P(FrameName("tiff." + std::string(stem), frame, ".tif")));
            // Half frames are keyed into half, which the TIFF holds as float.
            EXPECT_EQ(exr.Header.format, std::string(stem) == "half" ? TypeDesc::HALF : TypeDesc::FLOAT);
            // The settings record, in the image description both formats keep.
            EXPECT_FALSE(exr.Header.get_string_attribute("ImageDescription").empty());
            EXPECT_EQ(exr.Header.get_string_attribute("ImageDescription"),
                      reference.Header.get_string_attribute("ImageDescription"));
            EXPECT_TRUE(FloatBitsEqual(exr.Pixels, reference.Pixels));
        }
    }

    ExpectEachRefused(copy.Program,
                      {
                          {"frames with depth", {"key", "depth.####.exr", "-o", "out.####.exr"}},
                          {"float frames into PNG", {"key", "float.####.exr", "-o", "out.####.png"}},
                          {"float frames into DWA",
                           {"key", "float.####.exr", "-o", "out.####.exr", "--compression", "dwaa"}},
                      },
                      "cannot load qualvex's image module " + copy.ImageModule.string());
    for (const std::string& name : Files())
        EXPECT_EQ(name.rfind("out.", 0), std::string::npos) << name;
}

// FFmpeg's libraries come with a module of their own too: a copy of the installation without
// qualvex-movies.so keys plain OpenEXR frames as the whole installation does, and the loader never
// names those libraries (the image library, which other image files load, brings them itself);
// movies are refused by saying what is missing, leaving nothing behind.
TEST_F(MovieCommand, ImagesNeedNoMovieModule)
{
    const InstallationCopy copy = CopyInstallation(P("install"));
    const std::filesystem::path& module = copy.MovieModule;
    ASSERT_FALSE(module.empty()) << "the installation has no qualvex-movies.so";
    std::filesystem::remove(module);
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(module);
    for (int frame = 1; frame <= 3; ++frame)
        WriteImage(P(FrameName("float", frame, ".exr")), kMovieWidth, kMovieHeight, {"R", "G", "B", "A"},
                   TypeDesc::FLOAT, PlatePixels(kMovieWidth, kMovieHeight, 4, frame), "zip");
    const RunResult images =
        RunProgram(copy.Program, With({"key", "float.####.exr", "-o", "one.####.exr", "-q"}, kKey), "LD_DEBUG=libs ");
    ASSERT_EQ(images.ExitCode, 0) << images.Err;
    EXPECT_NE(images.Err.find("libOpenEXRCore"), std::string::npos);
    EXPECT_EQ(images.Err.find("libavcodec"), std::string::npos);
    EXPECT_EQ(images.Err.find("libavformat"), std::string::npos);
    ASSERT_EQ(Run(With({"key", "float.####.exr", "-o", "whole.####.exr", "-q"}, kKey)).ExitCode, 0);
    for (int frame = 1; frame <= 3; ++frame)
        EXPECT_TRUE(FloatBitsEqual(ReadImage(P(FrameName("one", frame, ".exr"))).Pixels,
                                   ReadImage(P(FrameName("whole", frame, ".exr"))).Pixels))
            << frame;

    MakeSourceMovie("source.mkv", "24");
    ExpectEachRefused(copy.Program,
                      {
                          {"a movie to images", {"key", "source.mkv", "-o", "out.####.png"}},
                          {"images to a movie", {"key", "plate.####.png", "-o", "out.mov"}},
                      },
                      "cannot load qualvex's movie module " + canonical.string());
    for (const std::string& name : Files())
        EXPECT_EQ(name.rfind("out", 0), std::string::npos) << name;
}

// An image module from another build is refused before anything in it is called; movies still
// key.
TEST_F(MovieCommand, AnImageModuleFromAnotherBuildIsRefused)
{
    const InstallationCopy copy = CopyInstallation(P("install"));
    ASSERT_FALSE(copy.ImageModule.empty()) << "the installation has no qualvex-images.so";
    std::filesystem::copy_file(QUALVEX_FOREIGN_IMAGE_MODULE, copy.ImageModule,
                               std::filesystem::copy_options::overwrite_existing);
    const RunResult refused = RunProgram(copy.Program, With({"key", "plate.####.png", "-o", "out.####.png"}, kKey));
    EXPECT_EQ(refused.ExitCode, 1) << refused.Err;
    EXPECT_NE(refused.Err.find(copy.ImageModule.string() + " is not this qualvex's image module (version "),
              std::string::npos)
        << refused.Err;
    MakeSourceMovie("source.mkv", "24");
    EXPECT_EQ(RunProgram(copy.Program, With({"key", "source.mkv", "-o", "keyed.mov", "-q"}, kKey)).ExitCode, 0);
    for (const std::string& name : Files())
        EXPECT_TRUE(name.rfind("plate.", 0) == 0 || name.rfind("ref.", 0) == 0 || name == "source.mkv" ||
                    name == "keyed.mov" || name == "install")
            << name;
}

// A movie module from another build is refused before anything in it is called, naming it, and
// nothing is left behind; image files still key.
TEST_F(MovieCommand, AMovieModuleFromAnotherBuildIsRefused)
{
    const InstallationCopy copy = CopyInstallation(P("install"));
    const std::filesystem::path& module = copy.MovieModule;
    ASSERT_FALSE(module.empty()) << "the installation has no qualvex-movies.so";
    std::filesystem::copy_file(QUALVEX_FOREIGN_MOVIE_MODULE, module, std::filesystem::copy_options::overwrite_existing);
    MakeSourceMovie("source.mkv", "24");
    ExpectEachRefused(copy.Program,
                      {
                          {"a movie source", {"key", "source.mkv", "-o", "out.####.exr"}},
                          {"a movie output", {"key", "plate.####.png", "-o", "out.mov"}},
                      },
                      std::filesystem::weakly_canonical(module).string() +
                          " is not this qualvex's movie module (version ");
    EXPECT_EQ(RunProgram(copy.Program, With({"key", "plate.####.png", "-o", "keyed.####.png", "-q"}, kKey)).ExitCode, 0);
    for (const std::string& name : Files())
        EXPECT_EQ(name.rfind("out", 0), std::string::npos) << name;
}

TEST_F(MovieCommand, RefusalsLeaveNoPartialMovie)
{
    struct Refusal {
        const char* What;
        std::vector<std::string> Args;
        int ExitCode;
        const char* Message;
    };
    ASSERT_EQ(std::filesystem::copy_file(P("plate.0001.png"), P("old.mov")), true);  // any file under the name
    const std::string old = Slurp(P("old.mov"));
    const Refusal refusals[] = {
        {"a movie without alpha", {"key", "plate.####.png", "-o", "keyed.mp4"}, 2,
         "keyed.mp4: keyed movies are written as .mov (ProRes 4444) or .webm (VP9 with alpha)"},
        {"resume into a movie", {"key", "plate.####.png", "-o", "keyed.mov", "--resume"}, 2,
         "--resume: a movie is written whole"},
        {"EXR compression for a movie", {"key", "plate.####.png", "-o", "keyed.mov", "--compression", "zip"}, 2,
         "--compression applies to EXR and TIFF outputs"},
        {"a frame rate that is no number", {"key", "plate.####.png", "-o", "keyed.mov", "--frame-rate", "fast"}, 2,
         "--frame-rate \"fast\": expected frames per second"},
        {"a frame rate for images", {"key", "plate.####.png", "-o", "keyed.####.png", "--frame-rate", "25"}, 2,
         "--frame-rate applies to a movie output"},
        {"an existing movie", {"key", "plate.####.png", "-o", "old.mov"}, 1, "output exists"},
    };
    for (const Refusal& r : refusals) {
        const RunResult run = Run(With(r.Args, kKey));
        EXPECT_EQ(run.ExitCode, r.ExitCode) << r.What << ": " << run.Err;
        EXPECT_NE(run.Err.find(r.Message), std::string::npos) << r.What << ": " << run.Err;
    }
    EXPECT_EQ(Slurp(P("old.mov")), old);

    // A frame that cannot be read ends the run: no movie, and no temporary file, is left.
    std::filesystem::resize_file(P("plate.0004.png"), 40);
    const RunResult damaged = Run(With({"key", "plate.####.png", "-o", "keyed.mov", "-q"}, kKey));
    EXPECT_EQ(damaged.ExitCode, 1) << damaged.Err;
    EXPECT_NE(damaged.Err.find("plate.0004.png"), std::string::npos) << damaged.Err;
    for (const std::string& name : Files())
        EXPECT_TRUE(name.rfind("plate.", 0) == 0 || name.rfind("ref.", 0) == 0 || name == "old.mov") << name;
}

// A movie the demuxer cannot read to its end fails before any frame is keyed, naming the file and
// the frame; only a clean end of the file ends a movie. The damage is made to the bytes of a VP9
// WebM written by ffmpeg: cut to a third, or a stretch zeroed in the middle (the demuxer skips
// both and answers "end of file" as it does at a clean end).
TEST_F(MovieCommand, ADamagedMovieFailsNamingTheFileAndTheFrame)
{
    ASSERT_EQ(Shell("ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=24 -frames:v 48 -c:v libvpx-vp9 -crf 30 "
                    "-b:v 0 clip.webm"),
              0);
    const std::string whole = Slurp(P("clip.webm"));
    ASSERT_GT(whole.size(), 2000u);
    const RunResult intact = Run(With({"key", "clip.webm", "-o", "intact.####.png", "-q"}, kKey));
    ASSERT_EQ(intact.ExitCode, 0) << intact.Err;
    EXPECT_TRUE(std::filesystem::exists(P("intact.0048.png")));

    std::string zeroed = whole;
    std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2),
              zeroed.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2 + whole.size() / 8), '\0');
    const struct {
        const char* Name;
        std::string Bytes;
    } damaged[] = {{"cut.webm", whole.substr(0, whole.size() / 3)}, {"zeroed.webm", zeroed}};
    for (const auto& movie : damaged) {
        std::ofstream(P(movie.Name), std::ios::binary) << movie.Bytes;
        const RunResult run = Run(With({"key", movie.Name, "-o", "keyed.####.png", "-q"}, kKey));
        EXPECT_EQ(run.ExitCode, 1) << movie.Name << ": " << run.Err;
        EXPECT_NE(run.Err.find(std::string(movie.Name) + ": frame "), std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find("the file is damaged or cut short"), std::string::npos) << run.Err;
        EXPECT_FALSE(std::filesystem::exists(P("keyed.0001.png"))) << movie.Name;
    }
}

// The source's sound goes into the keyed movie as it is, trimmed to the frames keyed, where the
// container holds its codec; --no-audio leaves it out. ffprobe reads what was written.
TEST_F(MovieCommand, TheSourcesSoundGoesAlongTrimmedToTheFramesKeyed)
{
    // 6 frames at 5 per second (1.2 s) with a tone: AAC in one source, Opus in another.
    for (const auto& [name, codec] : {std::pair{"aac.mkv", "aac"}, std::pair{"opus.mkv", "libopus"}})
        ASSERT_EQ(Shell("ffmpeg -v error -framerate 5 -start_number 1 -i plate.%04d.png -f lavfi -i "
                        "sine=frequency=440:sample_rate=48000:duration=1.2 -c:v ffv1 -pix_fmt bgr0 -c:a " +
                        std::string(codec) + " -shortest " + name),
                  0)
            << name;
    // One value of the first sound stream as ffprobe reports it; "" when there is none.
    const auto sound = [this](const std::string& movie, const std::string& entry) {
        const std::string out = P("sound.txt").string();
        std::system(("cd '" + m_Dir.string() + "' && ffprobe -v error -select_streams a:0 -show_entries stream=" +
                     entry + " -of default=noprint_wrappers=1:nokey=1 " + movie + " >'" + out + "' 2>/dev/null")
                        .c_str());
        std::string text = Slurp(out);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    };
    const struct {
        const char* What;
        const char* Source;
        const char* Movie;
        std::vector<std::string> Options;
        const char* Codec;     // "" where the movie has no sound
        double Start, Length;  // seconds, by hand: the frames keyed at 5 per second
        const char* Says;
    } cases[] = {
        {"every frame into .mov", "aac.mkv", "all.mov", {}, "aac", 0.0, 1.2,
         "all.mov: sound stream 1 (aac, 1 channels): copied, frames 1 to 6 of the source"},
        {"frames 3-5 into .mov", "aac.mkv", "part.mov", {"--frames", "3-5"}, "aac", 0.0, 0.6,
         "part.mov: sound stream 1 (aac, 1 channels): copied, frames 3 to 5 of the source"},
        {"Opus into .webm", "opus.mkv", "all.webm", {}, "opus", 0.0, 1.2, "all.webm: sound stream 1 (opus"},
        {"AAC re-encoded for .webm", "aac.mkv", "again.webm", {"--frames", "2-6"}, "opus", 0.0, 1.0,
         "again.webm: sound stream 1 (aac, 1 channels): re-encoded as opus (a .webm file cannot hold aac as it "
         "is), frames 2 to 6 of the source"},
        {"another frame rate", "aac.mkv", "fast.mov", {"--frame-rate", "10"}, "", 0, 0,
         "fast.mov: the source's sound is left out: the frames play at another rate"},
        {"--no-audio", "aac.mkv", "silent.mov", {"--no-audio"}, "", 0, 0, ""},
    };
    for (const auto& c : cases) {
        const RunResult run = Run(With(With({"key", c.Source, "-o", c.Movie}, c.Options), kKey));
        ASSERT_EQ(run.ExitCode, 0) << c.What << ": " << run.Err;
        if (*c.Says != '\0')
            EXPECT_NE(run.Err.find(c.Says), std::string::npos) << c.What << ": " << run.Err;
        else
            EXPECT_EQ(run.Err.find("sound"), std::string::npos) << c.What << ": " << run.Err;
        const std::string movie = c.Movie;
        EXPECT_EQ(sound(movie, "codec_name"), c.Codec) << c.What;
        if (*c.Codec == '\0')
            continue;
        // The sound's packets, "pts_time,duration_time" a line: where it starts and ends. Whole
        // packets: up to one packet (1024 samples of AAC, 20 ms of Opus) short at either end.
        const std::string out = P("packets.txt").string();
        std::system(("cd '" + m_Dir.string() + "' && ffprobe -v error -select_streams a:0 -show_entries "
                     "packet=pts_time,duration_time -of csv=p=0 " + movie + " >'" + out + "' 2>/dev/null")
                        .c_str());
        std::ifstream packets(out);
        double start = -1, end = -1;
        for (std::string line; std::getline(packets, line);) {
            const std::size_t comma = line.find(',');
            if (comma == std::string::npos)
                continue;  // not a packet's line
            const double at = std::atof(line.c_str());
            const double duration = std::atof(line.c_str() + comma + 1);
            if (start < 0)
                start = at;
            end = std::max(end, at + duration);
        }
        EXPECT_NEAR(start, c.Start, 0.03) << c.What;
        EXPECT_NEAR(end - start, c.Length, 0.05) << c.What;
    }
}

}  // namespace
}  // namespace qualvex::testing
