// The installed program against what an attacker or an unlucky user hands it: full disks, file
// size limits, damaged and lying files, racing and resumed runs, hostile settings, odd files.
// Every case ends in a clear message and exit code, with no partial or foreign file under an
// output's name and nothing existing replaced.
#include "support/qualvex_program.h"

#include <OpenImageIO/deepdata.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <random>
#include <stdexcept>

namespace qualvex::testing {
namespace {

class HostileInputs : public QualvexCommand {
protected:
    void TearDown() override
    {
        if (m_Mounted)
            ::umount(P("full").c_str());
    }

    // A noisy plate: it compresses badly, so its outputs are as large as their pixels.
    void WriteNoisyPlate(const std::string& name, int width, int height)
    {
        std::mt19937 random(7);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        std::vector<float> pixels(static_cast<std::size_t>(width * height * 4));
        for (float& value : pixels)
            value = unit(random);
        WriteImage(P(name), width, height, {"R", "G", "B", "A"}, TypeDesc::FLOAT, pixels);
    }

    bool MountSmallDisk()
    {
        std::filesystem::create_directories(P("full"));
        m_Mounted = ::geteuid() == 0 && ::mount("tmpfs", P("full").c_str(), "tmpfs", 0, "size=64k") == 0;
        return m_Mounted;
    }

    // No temporary file anywhere in the test's folder tree.
    ::testing::AssertionResult NoTemporaryFiles() const
    {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_Dir))
            if (entry.path().filename().string().find(".qualvex-") != std::string::npos)
                return ::testing::AssertionFailure() << entry.path() << " left behind";
        return ::testing::AssertionSuccess();
    }

    bool m_Mounted = false;
};

TEST_F(HostileInputs, AFullDiskEndsInAClearErrorWithNothingUnderTheName)
{
    if (!MountSmallDisk())
        GTEST_SKIP() << "needs root to mount a 64 KiB file system";
    WriteNoisyPlate("plate.exr", 256, 128);
    const struct {
        std::vector<std::string> Args;
        const char* Written;
        const char* Reason;
    } cases[] = {
        {{"key", "plate.exr", "-o", "full/out.png", "--data-type", "uint8"}, "full/out.png", "No space left on device"},
        {{"key", "plate.exr", "-o", "full/out.exr"}, "full/out.exr", "No space left on device"},
        {{"key", "plate.exr", "-o", "full/out.tif", "--data-type", "float"}, "full/out.tif", "Write error"},
        {{"key", "plate.exr", "-o", "small.exr", "--preview", "full/sheet.png"}, "full/sheet.png",
         "No space left on device"},
    };
    for (const auto& c : cases) {
        // The plate's noise is kept where the matte is 0, so that no output can shrink to fit.
        const RunResult run = Run(With(c.Args, {"-q", "--keep-keyed-colour"}));
        EXPECT_EQ(run.ExitCode, 1) << c.Written << "\n" << run.Err;
        EXPECT_NE(run.Err.find(c.Reason), std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find(c.Written), std::string::npos) << run.Err;
        EXPECT_FALSE(std::filesystem::exists(P(c.Written))) << c.Written;
        EXPECT_TRUE(NoTemporaryFiles());
    }
    // --resume later finds nothing to skip: no frame passes for finished.
    const RunResult again =
        Run({"key", "plate.exr", "-o", "full/out.png", "--data-type", "uint8", "--resume", "-q", "--keep-keyed-colour"});
    EXPECT_EQ(again.ExitCode, 1);
}

TEST_F(HostileInputs, AFileSizeLimitEndsInAClearError)
{
    WriteNoisyPlate("plate.exr", 128, 64);
    const RunResult run = Run({"key", "plate.exr", "-o", "out.exr", "-q", "--keep-keyed-colour"}, "ulimit -f 16; ");
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_NE(run.Err.find("out.exr: cannot write the output: File too large"), std::string::npos) << run.Err;
    EXPECT_FALSE(std::filesystem::exists(P("out.exr")));
    EXPECT_TRUE(NoTemporaryFiles());
}

TEST_F(HostileInputs, ThePreviewIsAnOutputLikeAnyOther)
{
    WriteImage(P("plate.exr"), 8, 4, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(8, 4, 4));
    WriteImage(P("key.png"), 8, 4, {"R", "G", "B"}, TypeDesc::UINT8, PlatePixels(8, 4, 3));
    std::ofstream(P("sheet.png")) << "an earlier sheet";
    const struct {
        std::vector<std::string> Args;
        int Code;
        const char* Message;
    } refusals[] = {
        {{"--preview", "sheet.png"}, 1, "output exists (use --overwrite to replace or --resume to skip):\n  sheet.png"},
        {{"--preview", "plate.exr"}, 2, "the preview is a .png file"},
        {{"--preview", "key.png", "--key-image", "key.png"}, 2, "key.png: the output would replace the key image"},
        {{"--preview", "./keyed.png", "-o", "keyed.png", "--data-type", "uint8"}, 2,
         "./keyed.png: the preview would replace an output of this run"},
    };
    for (const auto& c : refusals) {
        std::vector<std::string> args = {"key", "plate.exr", "-q"};
        if (std::find(c.Args.begin(), c.Args.end(), "-o") == c.Args.end())
            args.insert(args.end(), {"-o", "keyed.exr"});
        const RunResult run = Run(With(args, c.Args));
        EXPECT_EQ(run.ExitCode, c.Code) << run.Err;
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
        EXPECT_EQ(Slurp(P("sheet.png")), "an earlier sheet");
        EXPECT_FALSE(std::filesystem::exists(P("keyed.exr")));
    }
    // --resume keeps the existing sheet; --overwrite renews it.
    ASSERT_EQ(Run({"key", "plate.exr", "-o", "keyed.exr", "-q", "--preview", "sheet.png", "--resume"}).ExitCode, 0);
    EXPECT_EQ(Slurp(P("sheet.png")), "an earlier sheet");
    ASSERT_EQ(Run({"key", "plate.exr", "-o", "keyed.exr", "-q", "--preview", "sheet.png", "--overwrite"}).ExitCode, 0);
    EXPECT_EQ(ReadImage(P("sheet.png")).Header.nchannels, 3);
}

// Writes `file` uncompressed, then keeps only `keep` of its bytes.
void CutShort(const std::filesystem::path& file, double keep)
{
    std::filesystem::resize_file(file, static_cast<std::uintmax_t>(
                                           static_cast<double>(std::filesystem::file_size(file)) * keep));
}

TEST_F(HostileInputs, DamagedSourcesFailTheirFrameAndProduceNoOutput)
{
    const int w = 64, h = 32;
    {
        ImageSpec header(w, h, 4, TypeDesc::FLOAT);
        header.attribute("compression", "none");
        auto out = ImageOutput::create("tiff");
        ASSERT_TRUE(out->open(P("cut.tif").string(), header));
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, PlatePixels(w, h, 4).data()));
        out->close();
        ImageSpec dpx(w, h, 3, TypeDesc::UINT16);
        dpx.attribute("oiio:BitsPerSample", 10);
        auto ten = ImageOutput::create("dpx");
        ASSERT_TRUE(ten->open(P("cut.dpx").string(), dpx));
        ASSERT_TRUE(ten->write_image(TypeDesc::FLOAT, PlatePixels(w, h, 3).data()));
        ten->close();
    }
    CutShort(P("cut.tif"), 0.5);
    CutShort(P("cut.dpx"), 0.5);
    for (const char* source : {"cut.tif", "cut.dpx"}) {
        const std::string output = std::string("out.") + (std::string(source).ends_with("tif") ? "tif" : "dpx");
        const RunResult run = Run({"key", source, "-o", output, "-q"});
        EXPECT_EQ(run.ExitCode, 1) << source << "\n" << run.Err;
        EXPECT_NE(run.Err.find(source), std::string::npos) << run.Err;
        EXPECT_FALSE(std::filesystem::exists(P(output))) << output;
    }

    // In a sequence, the damaged frame fails and is named; no output stands for it.
    for (int frame = 1; frame <= 3; ++frame)
        WriteImage(P("seq." + std::to_string(frame) + ".exr"), w, h, {"R", "G", "B", "A"}, TypeDesc::FLOAT,
                   PlatePixels(w, h, 4));
    CutShort(P("seq.2.exr"), 0.4);
    const RunResult run = Run({"key", "seq.#.exr", "-o", "out.#.exr", "-q", "--threads", "1"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_NE(run.Err.find("seq.2.exr"), std::string::npos) << run.Err;
    EXPECT_TRUE(std::filesystem::exists(P("out.1.exr")));
    EXPECT_FALSE(std::filesystem::exists(P("out.2.exr")));
    EXPECT_TRUE(NoTemporaryFiles());
}

std::uint32_t Crc32(const unsigned char* data, std::size_t size)
{
    std::uint32_t crc = 0xffffffffu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void PutBigEndian(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

// A one-pixel PNG whose header is made to claim `side` x `side` pixels, its checksum made to
// match; returns its size in bytes.
std::size_t WriteClaimingPng(const std::filesystem::path& file, std::uint32_t side)
{
    const std::filesystem::path small = file.parent_path() / "small.png";
    WriteImage(small, 1, 1, {"R", "G", "B", "A"}, TypeDesc::UINT8, {0.5f, 0.5f, 0.5f, 1.0f});
    std::vector<unsigned char> png;
    {
        std::ifstream in(small, std::ios::binary);
        png.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (png.size() <= 33)
        throw std::runtime_error("the one-pixel PNG has no whole header");
    PutBigEndian(png, 16, side);
    PutBigEndian(png, 20, side);
    PutBigEndian(png, 29, Crc32(png.data() + 12, 17));
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(png.data()),
                                                static_cast<std::streamsize>(png.size()));
    return png.size();
}

TEST_F(HostileInputs, SizeClaimsAreWeighedBeforeAnythingIsAllocated)
{
    // A tiny PNG whose header claims 20000 x 20000 pixels.
    WriteClaimingPng(P("claims.png"), 20000);

    const RunResult run = Run({"key", "claims.png", "-o", "out.png", "-q", "--memory-limit", "1G"});
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_NE(run.Err.find("claims.png: the source claims 20000 x 20000 pixels in 4 channels"), std::string::npos)
        << run.Err;
    EXPECT_NE(run.Err.find("memory limit of 1024 MiB"), std::string::npos) << run.Err;
    EXPECT_FALSE(std::filesystem::exists(P("out.png")));

    WriteImage(P("plate.exr"), 64, 64, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(64, 64, 4));
    EXPECT_EQ(Run({"key", "plate.exr", "-o", "out.exr", "-q", "--memory-limit", "16K"}).ExitCode, 1);
    EXPECT_EQ(Run({"key", "plate.exr", "-o", "out.exr", "-q", "--memory-limit", "lots"}).ExitCode, 2);
    EXPECT_EQ(Run({"key", "plate.exr", "-o", "out.exr", "-q", "--memory-limit", "64M"}).ExitCode, 0);

    // A range of two billion frames over a three-frame sequence is described, not listed.
    for (int frame = 1; frame <= 3; ++frame)
        WriteImage(P("seq." + std::to_string(frame) + ".exr"), 4, 2, {"R", "G", "B"}, TypeDesc::FLOAT,
                   PlatePixels(4, 2, 3));
    const RunResult vast = Run({"key", "seq.#.exr", "-o", "o.#.exr", "-q", "--frames", "1-2000000000"});
    EXPECT_EQ(vast.ExitCode, 1);
    EXPECT_EQ(vast.Err, "qualvex: seq.#.exr: source frames missing: 4-2000000000 (--allow-gaps keys the frames that exist)\n");
}

// The largest resident size of any program the test has run and waited for so far.
long ChildrenPeakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

// Claims far beyond what a file holds cost no more memory than the data the file really holds:
// a PNG is weighed against its size before anything is allocated, and any other file is read
// strip by strip, failing at its first missing strip. Before, each took the whole claimed frame
// twice over (6.4 GB for the PNG) before the read failed.
TEST_F(HostileInputs, ClaimsBeyondTheFileCostNoMemoryBeforeTheyFail)
{
    // The claims below are 6.4 and 2.3 GB as floats; the program itself, with the sanitizers' shadow
    // of what it maps, stays well under 1 GiB.
    constexpr long kMostKiB = 1024 * 1024;
    ASSERT_LT(ChildrenPeakKiB(), kMostKiB);

    // The 20000 x 20000 PNG of the test above, here under a memory limit that allows its claim.
    const std::size_t pngSize = WriteClaimingPng(P("claims.png"), 20000);
    const RunResult weighed = Run({"key", "claims.png", "-o", "out.png", "-q", "--memory-limit", "64G"});
    EXPECT_EQ(weighed.ExitCode, 1) << weighed.Err;
    EXPECT_NE(weighed.Err.find("claims.png: the source claims 20000 x 20000 pixels, 1600000000 bytes, more than its " +
                               std::to_string(pngSize) + " bytes can hold"),
              std::string::npos)
        << weighed.Err;
    EXPECT_LT(ChildrenPeakKiB(), kMostKiB);

    // A 64 x 64 float EXR whose header is made to claim 12000 x 12000 pixels (2.3 GB as floats),
    // long enough for its table of row blocks: it opens, and its first strip is not there.
    WriteImage(P("small.exr"), 64, 64, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(64, 64, 4));
    std::string exr = Slurp(P("small.exr"));
    const std::string window("dataWindow\0box2i\0", 17);
    const std::size_t at = exr.find(window);
    ASSERT_NE(at, std::string::npos);
    const std::int32_t box[4] = {0, 0, 11999, 11999};  // little-endian, as the format stores it
    exr.replace(at + window.size() + 4, sizeof box, reinterpret_cast<const char*>(box), sizeof box);
    exr.append(8000, '\0');
    std::ofstream(P("claims.exr"), std::ios::binary) << exr;
    const RunResult stripped = Run({"key", "claims.exr", "-o", "out.exr", "-q", "--memory-limit", "64G"});
    EXPECT_EQ(stripped.ExitCode, 1) << stripped.Err;
    // Where the reading fails depends on the strips' height; that it fails, by name, does not.
    EXPECT_NE(stripped.Err.find("claims.exr: cannot read the source's pixels (rows "), std::string::npos)
        << stripped.Err;
    EXPECT_LT(ChildrenPeakKiB(), kMostKiB);
    EXPECT_FALSE(std::filesystem::exists(P("out.png")));
    EXPECT_FALSE(std::filesystem::exists(P("out.exr")));
}

TEST_F(HostileInputs, ResumeTakesOnlyThisRunsFinishedOutputs)
{
    for (int frame = 1; frame <= 3; ++frame)
        WriteImage(P("in." + std::to_string(frame) + ".exr"), 8, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT,
                   PlatePixels(8, 2, 4));
    ASSERT_EQ(Run(With({"key", "in.#.exr", "-o", "out.#.exr", "-q", "--frames", "1"}, kKey)).ExitCode, 0);
    std::ofstream(P("out.2.exr")) << "";  // an empty file left by something else
    const auto finished = std::filesystem::last_write_time(P("out.1.exr"));

    // Other settings: frame 1 was not keyed with them.
    const RunResult other = Run({"key", "in.#.exr", "-o", "out.#.exr", "-q", "--resume", "--set", "FadeRed=0.2"});
    EXPECT_EQ(other.ExitCode, 1);
    EXPECT_NE(other.Err.find("output keyed with other settings (use --overwrite to replace):\n  out.1.exr"),
              std::string::npos)
        << other.Err;

    // The same settings: frame 1 is kept, the empty frame 2 and the missing frame 3 are keyed.
    const RunResult same = Run(With({"key", "in.#.exr", "-o", "out.#.exr", "--resume"}, kKey));
    EXPECT_EQ(same.ExitCode, 0) << same.Err;
    EXPECT_EQ(std::filesystem::last_write_time(P("out.1.exr")), finished);
    EXPECT_EQ(ReadImage(P("out.2.exr")).Pixels.size(), 8u * 2u * 4u);
    EXPECT_TRUE(std::filesystem::exists(P("out.3.exr")));

    // A folder under an output's name is never taken for a frame.
    std::filesystem::create_directory(P("dir.1.exr"));
    const RunResult folder = Run(With({"key", "in.#.exr", "-o", "dir.#.exr", "-q", "--resume", "--frames", "1"}, kKey));
    EXPECT_EQ(folder.ExitCode, 1);
    EXPECT_NE(folder.Err.find("dir.1.exr (not a plain file)"), std::string::npos) << folder.Err;
}

TEST_F(HostileInputs, HostileSettingsAreRefusedAndNeverPrintedRaw)
{
    WriteImage(P("plate.exr"), 4, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(4, 2, 4));
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::ofstream(P("deep.json")) << "{\"FadeRed\": " << deep << "}";
    {
        ImageSpec header(4, 2, 4, TypeDesc::FLOAT);
        header.attribute("qualvex:settings", "{\"FadeRed\": " + deep + "}");
        header.attribute("qualvex:version", "qualvex \x1b[31mred\x1b[0m");
        auto out = ImageOutput::create(P("deep.exr").string());
        ASSERT_TRUE(out->open(P("deep.exr").string(), header));
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, PlatePixels(4, 2, 4).data()));
        out->close();
    }
    std::ofstream(P("long.json")) << "{\"Colorspace\": \"" << std::string(5000, 'x') << "\x1b[2J\"}";

    const RunResult file = Run({"key", "plate.exr", "-o", "out.exr", "--settings", "deep.json"});
    EXPECT_EQ(file.ExitCode, 2);
    EXPECT_NE(file.Err.find("deep.json: nested more than 32 levels deep"), std::string::npos) << file.Err;
    const RunResult record = Run({"key", "plate.exr", "-o", "out.exr", "--settings", "deep.exr"});
    EXPECT_EQ(record.ExitCode, 2);
    const RunResult info = Run({"info", "deep.exr"});
    EXPECT_EQ(info.ExitCode, 1);
    EXPECT_NE(info.Err.find("deep.exr: its settings record is damaged"), std::string::npos) << info.Err;
    const RunResult label = Run({"key", "plate.exr", "-o", "out.exr", "--settings", "long.json"});
    EXPECT_EQ(label.ExitCode, 2);
    EXPECT_LT(label.Err.size(), 1000u) << "a bad value is quoted in part";
    EXPECT_EQ(label.Err.find('\x1b'), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(P("out.exr")));

    // A tampered version string is shown with its escape sequences spelled out.
    {
        ImageSpec header(4, 2, 4, TypeDesc::FLOAT);
        header.attribute("qualvex:settings", "{\"FadeRed\": 0.5}");
        header.attribute("qualvex:version", "qualvex \x1b[31mred\x1b[0m");
        auto out = ImageOutput::create(P("tampered.exr").string());
        ASSERT_TRUE(out->open(P("tampered.exr").string(), header));
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, PlatePixels(4, 2, 4).data()));
        out->close();
    }
    const RunResult shown = Run({"info", "tampered.exr"});
    EXPECT_EQ(shown.ExitCode, 0) << shown.Err;
    EXPECT_EQ(shown.Out.find('\x1b'), std::string::npos);
    EXPECT_NE(shown.Out.find("qualvex \\x1b[31mred\\x1b[0m"), std::string::npos) << shown.Out;
}

TEST_F(HostileInputs, WhatWouldBeReadOrWrittenOnlyInPartIsRefusedByName)
{
    // Two parts in one EXR: keying the first alone would drop the second without a word.
    {
        ImageSpec parts[2] = {ImageSpec(4, 2, 4, TypeDesc::FLOAT), ImageSpec(4, 2, 4, TypeDesc::FLOAT)};
        parts[0].attribute("name", "beauty");
        parts[1].attribute("name", "other");
        auto out = ImageOutput::create(P("parts.exr").string());
        ASSERT_TRUE(out->open(P("parts.exr").string(), 2, parts));
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, PlatePixels(4, 2, 4).data()));
        ASSERT_TRUE(out->open(P("parts.exr").string(), parts[1], ImageOutput::AppendSubimage));
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, PlatePixels(4, 2, 4).data()));
        out->close();
    }
    const RunResult parts = Run({"key", "parts.exr", "-o", "out.exr", "-q"});
    EXPECT_EQ(parts.ExitCode, 1);
    EXPECT_NE(parts.Err.find("parts.exr: the source holds several parts or subimages"), std::string::npos) << parts.Err;

    // Deep data: samples per pixel, not a colour per pixel.
    {
        ImageSpec header(2, 1, 4, TypeDesc::FLOAT);
        header.deep = true;
        OIIO::DeepData deep(header);
        for (int pixel = 0; pixel < 2; ++pixel)
            deep.set_samples(pixel, 2);
        auto out = ImageOutput::create(P("deep.exr").string());
        ASSERT_TRUE(out->open(P("deep.exr").string(), header));
        ASSERT_TRUE(out->write_deep_image(deep));
        out->close();
    }
    const RunResult deep = Run({"key", "deep.exr", "-o", "out.exr", "-q"});
    EXPECT_EQ(deep.ExitCode, 1);
    EXPECT_NE(deep.Err.find("deep.exr: the source holds deep data, which is not keyed"), std::string::npos) << deep.Err;
    EXPECT_FALSE(std::filesystem::exists(P("out.exr")));

    WriteImage(P("plate.exr"), 4, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(4, 2, 4));

    // A movie where only an image is read: the refusal names the commands that do read movies.
    if (std::system(("ffmpeg -v error -f lavfi -i testsrc=size=32x16:rate=5 -frames:v 3 -y " + P("clip.mp4").string())
                        .c_str()) == 0) {
        const std::string refusal = "clip.mp4: the %s is a movie file; movies are read only as the source of qualvex "
                                    "key, fit and tune, by their name (.mov, .mp4, .mkv, .webm, ...): extract the "
                                    "frames as images for this";
        const RunResult tune = Run({"tune", "plate.exr", "--background", "clip.mp4", "--port", "0"});
        EXPECT_EQ(tune.ExitCode, 1);
        EXPECT_NE(tune.Err.find(std::string(refusal).replace(refusal.find("%s"), 2, "background")), std::string::npos)
            << tune.Err;
        const RunResult keyImage = Run({"key", "plate.exr", "-o", "out.exr", "-q", "--key-image", "clip.mp4"});
        EXPECT_EQ(keyImage.ExitCode, 1);
        EXPECT_NE(keyImage.Err.find(std::string(refusal).replace(refusal.find("%s"), 2, "key image")), std::string::npos)
            << keyImage.Err;
        EXPECT_FALSE(std::filesystem::exists(P("out.exr")));
    } else {
        ADD_FAILURE() << "ffmpeg is needed to make the movie refused where an image is read";
    }
    const struct {
        const char* Output;
        const char* Type;
    } unstorable[] = {{"out.bmp", "uint16"}, {"out.tga", "float"}, {"out.webp", "half"}, {"out.sgi", "float"}};
    for (const auto& c : unstorable) {
        const RunResult run = Run({"key", "plate.exr", "-o", c.Output, "--data-type", c.Type, "-q"});
        EXPECT_EQ(run.ExitCode, 2) << c.Output;
        EXPECT_NE(run.Err.find(std::string("cannot store ") + c.Type), std::string::npos) << run.Err;
        EXPECT_FALSE(std::filesystem::exists(P(c.Output)));
    }
    // A format that keeps no settings record says so.
    const RunResult dpx = Run({"key", "plate.exr", "-o", "out.dpx", "--data-type", "uint16"});
    EXPECT_EQ(dpx.ExitCode, 0) << dpx.Err;
    EXPECT_NE(dpx.Err.find("out.dpx: the dpx format keeps no settings record"), std::string::npos) << dpx.Err;
}

TEST_F(HostileInputs, OddFilesGetAClearMessageAtOnce)
{
    WriteImage(P("plate.exr"), 4, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(4, 2, 4));
    std::ofstream(P("empty.json")) << "";
    std::ofstream(P("blank.json")) << " \n\t\n";
    std::ofstream(P("bom.json")) << "\xEF\xBB\xBF{\"FadeRed\": 0.25}";
    ASSERT_EQ(::mkfifo(P("pipe.json").c_str(), 0600), 0);
    // 64 MiB of zeros: neither JSON nor an image, told from its first bytes (guessing its format
    // took the image library 38 s).
    std::ofstream(P("zeros.json")).close();
    std::filesystem::resize_file(P("zeros.json"), std::uintmax_t{64} << 20);
    const struct {
        std::vector<std::string> Args;
        int Code;
        const char* Message;
    } cases[] = {
        {{"--settings", "empty.json"}, 2, "empty.json: the settings file is empty"},
        {{"--settings", "blank.json"}, 2, "blank.json: the settings file is empty"},
        {{"--settings", "pipe.json"}, 1, "pipe.json: the settings file is not a plain file"},
        {{"--settings", "/dev/zero"}, 1, "/dev/zero: the settings file is not a plain file"},
        {{"--settings", "zeros.json"}, 2, "zeros.json: neither a JSON settings file nor an image with settings "
                                          "embedded by qualvex (64 MiB, and its first bytes name no image format)"},
    };
    for (const auto& c : cases) {
        const auto started = std::chrono::steady_clock::now();
        const RunResult run = Run(With({"key", "plate.exr", "-o", "out.exr", "-q"}, c.Args));
        EXPECT_EQ(run.ExitCode, c.Code) << c.Message << "\n" << run.Err;
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << c.Message;
    }
    const RunResult zero = Run({"key", "/dev/zero", "-o", "out.exr", "-q"});
    EXPECT_EQ(zero.ExitCode, 1);
    EXPECT_NE(zero.Err.find("/dev/zero: source is not a plain file"), std::string::npos) << zero.Err;
    EXPECT_FALSE(std::filesystem::exists(P("out.exr")));

    ASSERT_EQ(Run({"key", "plate.exr", "-o", "bom.exr", "-q", "--settings", "bom.json"}).ExitCode, 0);
    EXPECT_NE(ReadImage(P("bom.exr")).Header.get_string_attribute("qualvex:settings").find("\"FadeRed\":0.25"),
              std::string::npos);
}

TEST_F(HostileInputs, AKilledRunsTemporaryFileIsRemovedByTheNextRun)
{
    WriteImage(P("plate.exr"), 4, 2, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(4, 2, 4));
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_GT(gone, 0);
    ::waitpid(gone, nullptr, 0);
    const std::string stale = ".out.exr.qualvex-" + std::to_string(gone) + "-0.tmp";
    const std::string live = ".out.exr.qualvex-" + std::to_string(::getpid()) + "-0.tmp";
    const std::string unrelated = ".other.exr.qualvex-" + std::to_string(gone) + "-0.tmp";
    for (const std::string& name : {stale, live, unrelated})
        std::ofstream(P(name)) << "partial";
    ASSERT_EQ(Run({"key", "plate.exr", "-o", "out.exr", "-q"}).ExitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(P(stale)));
    EXPECT_TRUE(std::filesystem::exists(P(live))) << "a running process's file is its own";
    EXPECT_TRUE(std::filesystem::exists(P(unrelated))) << "only the run's own outputs are cleaned";
}

}  // namespace
}  // namespace qualvex::testing
