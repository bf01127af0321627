// Image files in and out, checked against what the image library itself writes and reads: every
// value of a file (float, half, 8- or 16-bit) reaches the image bit for bit (special values too,
// across the strips the reader decodes in), and what the writer encodes strip by strip reads back
// as the image held it.
#include "host/image.h"
#include "media/image_library.h"
#include "media/image_reader.h"
#include "media/image_writer.h"
#include "support/float_compare.h"
#include "support/unusual_floats.h"
#include "support/temporary_folder.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace qualvex {
namespace {

using OIIO::TypeDesc;

// Wide enough that a frame is several of the reader's and the writer's strips (the reader's hold
// about a megabyte of float RGBA, the writer's half of that), with a last strip cut short.
constexpr int kWidth = 4096;
constexpr int kHeight = 37;

class ImageFiles : public testing::InTemporaryFolder {
protected:
    // Written by the image library: interleaved values of `channels`, in `type`.
    std::filesystem::path WriteWithLibrary(const std::string& name, const std::vector<std::string>& channels,
                                           TypeDesc type, const std::vector<float>& values) const
    {
        const auto file = m_Dir / name;
        OIIO::ImageSpec header(kWidth, kHeight, static_cast<int>(channels.size()), type);
        header.channelnames = channels;
        if (file.extension() != ".png")
            header.attribute("compression", "none");
        auto out = OIIO::ImageOutput::create(file.string());
        EXPECT_TRUE(out && out->open(file.string(), header) && out->write_image(TypeDesc::FLOAT, values.data()) &&
                    out->close());
        return file;
    }

    // Read by the image library, as floats, alpha as stored (a TIFF's straight colour is not
    // multiplied by it on the way in).
    static std::vector<float> ReadWithLibrary(const std::filesystem::path& file, int channels)
    {
        OIIO::ImageSpec config;
        config["oiio:UnassociatedAlpha"] = 1;
        auto in = OIIO::ImageInput::open(file.string(), &config);
        EXPECT_TRUE(in != nullptr) << file;
        if (!in)
            return {};
        EXPECT_EQ(in->spec().nchannels, channels);
        std::vector<float> values(static_cast<std::size_t>(kWidth) * kHeight * static_cast<std::size_t>(channels));
        EXPECT_TRUE(in->read_image(0, 0, 0, channels, TypeDesc::FLOAT, values.data()));
        return values;
    }
};

// The image's colour, as R, G, B, A per pixel.
std::vector<float> Rgba(const Image& image)
{
    std::vector<float> values;
    for (int y = 0; y < image.Height; ++y)
        for (int x = 0; x < image.Width; ++x) {
            const Pixel p = image.GetPixel(x, y);
            values.insert(values.end(), {p.R, p.G, p.B, p.A});
        }
    return values;
}

TEST_F(ImageFiles, AFilesValuesReachTheImageBitForBitWhateverItsChannelsAndType)
{
    const std::size_t pixels = static_cast<std::size_t>(kWidth) * kHeight;
    // Integers are held as stored and read as their step count over the largest step (an 8-bit
    // 51 reads as 51 / 255); half and float as they are.
    const struct {
        const char* Name;
        std::vector<std::string> Channels;
        TypeDesc Type;
        PixelStorage Storage;
    } cases[] = {
        {"rgba.exr", {"R", "G", "B", "A"}, TypeDesc::FLOAT, PixelStorage::Float},  // copied into the plane
        {"rgb.exr", {"R", "G", "B"}, TypeDesc::FLOAT, PixelStorage::Float},        // no alpha: it reads as 1
        {"rgbaz.exr", {"R", "G", "B", "A", "Z"}, TypeDesc::FLOAT, PixelStorage::Float},
        {"rgba.tif", {"R", "G", "B", "A"}, TypeDesc::FLOAT, PixelStorage::Float},
        {"half.exr", {"R", "G", "B", "A"}, TypeDesc::HALF, PixelStorage::Half},
        {"eight.png", {"R", "G", "B", "A"}, TypeDesc::UINT8, PixelStorage::UInt8},
        {"sixteen.tif", {"R", "G", "B"}, TypeDesc::UINT16, PixelStorage::UInt16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::size_t channels = c.Channels.size();
        const auto file = WriteWithLibrary(c.Name, c.Channels, c.Type, testing::UnusualFloats(pixels * channels));
        std::vector<float> stored = ReadWithLibrary(file, static_cast<int>(channels));
        if (c.Type == TypeDesc::UINT8 || c.Type == TypeDesc::UINT16) {
            const float steps = c.Type == TypeDesc::UINT8 ? 255.0f : 65535.0f;
            for (float& v : stored)
                v = std::round(v * steps) / steps;
        }
        const ImageFile read = ReadImageFile(file, "source");
        ASSERT_EQ(read.Pixels->Storage(), c.Storage);
        std::vector<float> expected;
        for (std::size_t i = 0; i < pixels; ++i) {
            const float* v = &stored[i * channels];
            expected.insert(expected.end(), {v[0], v[1], v[2], channels > 3 ? v[3] : 1.0f});
        }
        EXPECT_TRUE(testing::FloatBitsEqual(Rgba(*read.Pixels), expected));
    }
}

// A float frame holding `values` (R, G, B, A per pixel, row by row).
std::unique_ptr<Image> FloatFrame(const std::vector<float>& values)
{
    auto image = std::make_unique<Image>(kWidth, kHeight, PixelStorage::Float, false);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const float* v = &values[(static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)) * 4];
            image->SetPixel(x, y, Pixel{v[2], v[1], v[0], v[3]});
        }
    return image;
}

TEST_F(ImageFiles, WhatIsWrittenReadsBackAsTheImageHeldIt)
{
    const std::size_t pixels = static_cast<std::size_t>(kWidth) * kHeight;
    const std::vector<float> values = testing::UnusualFloats(pixels * 4);
    const std::unique_ptr<Image> frame = FloatFrame(values);
    Image& image = *frame;
    // OpenEXR holds colour associated: a straight image is multiplied by its alpha on the way.
    // TIFF holds either, marked as it is.
    const struct {
        const char* Name;
        AlphaReading Result;
        bool Multiplied;
    } cases[] = {
        {"associated.exr", AlphaReading::Associated, false},
        {"straight.exr", AlphaReading::Straight, true},
        {"straight.tif", AlphaReading::Straight, false},
        {"associated.tif", AlphaReading::Associated, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteOptions options;
        options.Result = c.Result;
        options.Compression = "none";
        WriteImageFile(m_Dir / c.Name, image, ImageLayout{}, options);
        std::vector<float> expected = values;
        for (std::size_t i = 0; i < pixels; ++i) {
            float* v = &expected[i * 4];
            for (int k = 0; k < 3 && c.Multiplied; ++k)
                v[k] = v[k] * v[3];
        }
        EXPECT_TRUE(testing::FloatBitsEqual(ReadWithLibrary(m_Dir / c.Name, 4), expected));
    }
    // An image offering no rows is written pixel by pixel, to the same values.
    image.ReadRow = nullptr;
    image.WriteRow = nullptr;
    WriteOptions options;
    options.Result = AlphaReading::Associated;
    WriteImageFile(m_Dir / "pixels.exr", image, ImageLayout{}, options);
    EXPECT_TRUE(testing::FloatBitsEqual(ReadWithLibrary(m_Dir / "pixels.exr", 4), values));
}

TEST_F(ImageFiles, FilesCodedInTheCallingThreadOrWithTheLibrarysThreadsHoldTheSameValues)
{
    const std::size_t pixels = static_cast<std::size_t>(kWidth) * kHeight;
    const std::vector<float> values = testing::UnusualFloats(pixels * 4);
    const std::unique_ptr<Image> image = FloatFrame(values);
    // OpenEXR's pool: -1 none (every block in the calling thread), 0 one thread per core. Blocks
    // of 1, 16 and 32 rows, so that a frame is many blocks, the last one cut short.
    for (const bool callingThreadsOnly : {true, false}) {
        CodeImagesInCallingThreads(callingThreadsOnly);
        int pool = 1;
        ASSERT_TRUE(OIIO::getattribute("exr_threads", pool));
        EXPECT_EQ(pool, callingThreadsOnly ? -1 : 0);
        for (const char* compression : {"none", "zip", "piz"}) {
            SCOPED_TRACE(std::string(compression) + (callingThreadsOnly ? ", calling thread" : ", pool"));
            const auto file = m_Dir / (std::string(compression) + ".exr");
            std::filesystem::remove(file);
            WriteOptions options;
            options.Result = AlphaReading::Associated;
            options.Compression = compression;
            // Through the image library's own calls: plain files like these would otherwise be
            // read and written by OpenEXR alone.
            image_library::WriteImageFile(file, *image, ImageLayout{}, options);
            EXPECT_TRUE(testing::FloatBitsEqual(ReadWithLibrary(file, 4), values));
            EXPECT_TRUE(testing::FloatBitsEqual(
                Rgba(*image_library::ReadImageFile(file, "source", kNoMemoryLimit).Pixels), values));
        }
    }
}

}  // namespace
}  // namespace qualvex
