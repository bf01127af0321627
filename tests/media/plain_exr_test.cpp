// Plain OpenEXR files through OpenEXR alone, checked against the image library doing the same
// work: the facts, layout and pixels it reads from the files it writes, and the bytes it writes for
// the same image and options. Every other file and option is left to it.
#include "base/errors.h"
#include "host/image.h"
#include "media/image_library.h"
#include "media/plain_exr.h"
#include "support/float_compare.h"
#include "support/unusual_floats.h"
#include "support/temporary_folder.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace qualvex {
namespace {

using OIIO::TypeDesc;
using testing::Slurp;

// Several chunks of every compression (1, 16 and 32 rows), the last one cut short.
constexpr int kPlainWidth = 301;
constexpr int kPlainHeight = 71;

// The image's colour as its pixel reader gives it, row by row (B, G, R, A per pixel).
std::vector<float> Colour(const Image& image)
{
    std::vector<float> values;
    for (int y = 0; y < image.Height; ++y)
        for (int x = 0; x < image.Width; ++x) {
            const Pixel p = image.GetPixel(x, y);
            values.insert(values.end(), {p.B, p.G, p.R, p.A});
        }
    return values;
}

class PlainExr : public testing::InTemporaryFolder {
protected:
    // Written by the image library: R, G, B, A (or `channels`) floats, with these extras.
    std::filesystem::path WriteWithLibrary(const std::string& name, const std::string& compression,
                                           std::vector<std::string> channels = {"R", "G", "B", "A"},
                                           TypeDesc type = TypeDesc::FLOAT, int tile = 0,
                                           const char* attribute = nullptr, const char* text = nullptr) const
    {
        const auto file = m_Dir / name;
        OIIO::ImageSpec header(kPlainWidth, kPlainHeight, static_cast<int>(channels.size()), type);
        header.channelnames = channels;
        header.x = -3;
        header.y = 5;
        header.full_x = -10;
        header.full_y = 0;
        header.full_width = kPlainWidth + 20;
        header.full_height = kPlainHeight + 9;
        header.tile_width = header.tile_height = tile;
        header.attribute("compression", compression);
        if (attribute != nullptr)
            header.attribute(attribute, text);
        const std::vector<float> values = testing::UnusualFloats(static_cast<std::size_t>(kPlainWidth) * kPlainHeight * channels.size());
        auto out = OIIO::ImageOutput::create(file.string());
        EXPECT_TRUE(out && out->open(file.string(), header) && out->write_image(TypeDesc::FLOAT, values.data()) &&
                    out->close())
            << name;
        return file;
    }
};

TEST_F(PlainExr, ReadsWhatTheImageLibraryReads)
{
    // Half values reach a half image through its row writer, as the image library's do.
    const struct {
        const char* Name;
        const char* Compression;
        TypeDesc Type;
        const char* Attribute;
        const char* Text;
    } cases[] = {
        {"none", "none", TypeDesc::FLOAT, nullptr, nullptr},
        {"rle", "rle", TypeDesc::FLOAT, nullptr, nullptr},
        {"zips", "zips", TypeDesc::FLOAT, "qualvex:colorspace", "sRGB"},
        {"zip", "zip", TypeDesc::FLOAT, "qualvex:cleanplate", "YCbCr"},
        {"piz", "piz", TypeDesc::FLOAT, nullptr, nullptr},
        {"pxr24", "pxr24", TypeDesc::FLOAT, nullptr, nullptr},
        {"half none", "none", TypeDesc::HALF, nullptr, nullptr},
        {"half zip", "zip", TypeDesc::HALF, "qualvex:cleanplate", "RGB"},
        {"half piz", "piz", TypeDesc::HALF, nullptr, nullptr},
        {"half pxr24", "pxr24", TypeDesc::HALF, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto file = WriteWithLibrary(std::string(c.Name) + ".exr", c.Compression, {"R", "G", "B", "A"}, c.Type, 0,
                                           c.Attribute, c.Text);
        // Taken here, not handed on: otherwise the library would be compared with itself.
        ASSERT_TRUE(plain_exr::Inspect(file, "source").has_value());
        const ImageFacts plain = InspectImage(file, "source");
        const ImageFacts library = image_library::InspectImage(file, "source");
        EXPECT_EQ(plain.Storage, library.Storage);
        EXPECT_EQ(plain.Width, library.Width);
        EXPECT_EQ(plain.Height, library.Height);
        EXPECT_EQ(plain.Channels, library.Channels);
        EXPECT_EQ(plain.BytesToKey, library.BytesToKey);
        EXPECT_EQ(plain.Format, library.Format);
        EXPECT_EQ(plain.Compression, library.Compression);
        EXPECT_EQ(plain.ColourEncoding, library.ColourEncoding);
        EXPECT_EQ(plain.CleanPlateSpace, library.CleanPlateSpace);

        const ImageFile read = ReadImageFile(file, "source");
        const ImageFile expected = image_library::ReadImageFile(file, "source", kNoMemoryLimit);
        EXPECT_EQ(read.Layout.X, expected.Layout.X);
        EXPECT_EQ(read.Layout.Y, expected.Layout.Y);
        EXPECT_EQ(read.Layout.FullX, expected.Layout.FullX);
        EXPECT_EQ(read.Layout.FullY, expected.Layout.FullY);
        EXPECT_EQ(read.Layout.FullWidth, expected.Layout.FullWidth);
        EXPECT_EQ(read.Layout.FullHeight, expected.Layout.FullHeight);
        EXPECT_EQ(read.Layout.FurtherChannels, expected.Layout.FurtherChannels);
        EXPECT_EQ(read.Layout.ColourEncoding, expected.Layout.ColourEncoding);
        EXPECT_EQ(read.DroppedChannels, expected.DroppedChannels);
        ASSERT_EQ(read.Pixels->Storage(), expected.Pixels->Storage());
        ASSERT_FALSE(read.Pixels->HasFurtherChannels());
        EXPECT_TRUE(testing::FloatBitsEqual(Colour(*read.Pixels), Colour(*expected.Pixels)));
    }
}

// The bytes of an OpenEXR file with its time of writing blanked: two files written a second apart
// differ only there.
std::string WithoutWritingTime(std::string bytes)
{
    const std::string name("capDate\0string\0", 15);
    const std::size_t at = bytes.find(name);
    EXPECT_NE(at, std::string::npos) << "no time of writing";
    if (at == std::string::npos || at + name.size() + 4 > bytes.size())
        return bytes;
    std::int32_t length = 0;
    std::memcpy(&length, bytes.data() + at + name.size(), sizeof length);
    const std::size_t value = at + name.size() + 4;
    if (length > 0 && value + static_cast<std::size_t>(length) <= bytes.size())
        bytes.replace(value, static_cast<std::size_t>(length), static_cast<std::size_t>(length), '#');
    return bytes;
}

TEST_F(PlainExr, WritesTheBytesTheImageLibraryWrites)
{
    const std::size_t pixels = static_cast<std::size_t>(kPlainWidth) * kPlainHeight;
    const std::vector<float> values = testing::UnusualFloats(pixels * 4);
    Image image(kPlainWidth, kPlainHeight, PixelStorage::Float, false);
    for (int y = 0; y < kPlainHeight; ++y)
        std::memcpy(FloatColourRow(image, y), values.data() + static_cast<std::size_t>(y) * kPlainWidth * 4,
                    static_cast<std::size_t>(kPlainWidth) * 4 * sizeof(float));
    // The same values in a half image (narrowed by its pixel writer), and in an 8-bit one.
    Image half(kPlainWidth, kPlainHeight, PixelStorage::Half, false);
    Image eight(kPlainWidth, kPlainHeight, PixelStorage::UInt8, false);
    for (int y = 0; y < kPlainHeight; ++y)
        for (int x = 0; x < kPlainWidth; ++x) {
            const float* v = &values[(static_cast<std::size_t>(y) * kPlainWidth + static_cast<std::size_t>(x)) * 4];
            half.SetPixel(x, y, Pixel{v[0], v[1], v[2], v[3]});
            eight.SetPixel(x, y, Pixel{v[0], v[1], v[2], v[3]});
        }
    ImageLayout moved;
    moved.X = 7;
    moved.Y = -2;
    moved.FullX = 0;
    moved.FullY = -4;
    moved.FullWidth = kPlainWidth + 9;
    moved.FullHeight = kPlainHeight + 3;
    moved.ColourEncoding = "sRGB";
    ImageLayout linear;
    linear.ColourEncoding = "Linear";
    const SettingsRecord record{R"({"Colorspace":1.0,"CRed":0.25})", "qualvex 1.0.0; Sondrel.plugin 1.0.0.0"};
    const struct {
        const char* Name;
        const char* Compression;
        ImageLayout Layout;
        bool Record;
        bool Linear;
        AlphaReading Result;  // straight colour is multiplied by alpha on the way
        const Image& Frame;
        PixelStorage Storage;  // what the file holds
    } cases[] = {
        {"default", "", ImageLayout{}, false, false, AlphaReading::Associated, image, PixelStorage::Float},
        {"none", "none", moved, true, false, AlphaReading::Straight, image, PixelStorage::Float},
        {"rle", "rle", linear, false, false, AlphaReading::Associated, image, PixelStorage::Float},
        {"zips", "zips", linear, false, true, AlphaReading::Straight, image, PixelStorage::Float},
        {"zip", "zip", linear, true, true, AlphaReading::Associated, image, PixelStorage::Float},
        {"zip-straight", "zip", moved, true, false, AlphaReading::Straight, image, PixelStorage::Float},
        {"piz", "piz", moved, true, false, AlphaReading::Associated, image, PixelStorage::Float},
        {"pxr24", "pxr24", ImageLayout{}, false, false, AlphaReading::Straight, image, PixelStorage::Float},
        {"b44", "b44", moved, false, false, AlphaReading::Associated, image, PixelStorage::Float},
        {"b44a", "b44a", linear, true, false, AlphaReading::Straight, image, PixelStorage::Float},
        // Floats narrowed to half on the way, and half and 8-bit images written as half or float.
        {"float to half", "zip", moved, true, false, AlphaReading::Associated, image, PixelStorage::Half},
        {"float to half, straight", "piz", linear, false, false, AlphaReading::Straight, image, PixelStorage::Half},
        {"half", "zip", moved, true, false, AlphaReading::Associated, half, PixelStorage::Half},
        {"half, straight", "none", ImageLayout{}, false, false, AlphaReading::Straight, half, PixelStorage::Half},
        {"half b44", "b44", linear, false, false, AlphaReading::Associated, half, PixelStorage::Half},
        {"half to float", "rle", moved, false, false, AlphaReading::Straight, half, PixelStorage::Float},
        {"8-bit to half", "zip", ImageLayout{}, true, false, AlphaReading::Straight, eight, PixelStorage::Half},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteOptions options;
        options.Storage = c.Storage;
        options.Result = c.Result;
        options.Compression = c.Compression;
        if (c.Record)
            options.Record = record;
        options.LinearColour = c.Linear;
        options.Attributes = {{"qualvex:cleanplate", "RGB"}};
        const auto plain = m_Dir / (std::string(c.Name) + ".plain.exr");
        const auto library = m_Dir / (std::string(c.Name) + ".library.exr");
        std::optional<EncodedFile> encoded = plain_exr::Encode(plain, c.Frame, c.Layout, options);
        ASSERT_TRUE(encoded.has_value());
        encoded->PutInPlace();
        image_library::WriteImageFile(library, c.Frame, c.Layout, options);
        EXPECT_EQ(WithoutWritingTime(Slurp(plain)), WithoutWritingTime(Slurp(library)));
    }
    // The public call takes the same way, and what it wrote reads back bit for bit.
    WriteOptions options;
    options.Result = AlphaReading::Associated;
    options.Attributes = {{"qualvex:cleanplate", "RGB"}};
    EXPECT_TRUE(WriteImageFile(m_Dir / "public.exr", image, ImageLayout{}, options).empty());
    EXPECT_EQ(WithoutWritingTime(Slurp(m_Dir / "public.exr")), WithoutWritingTime(Slurp(m_Dir / "default.library.exr")));
    const ImageFile back = image_library::ReadImageFile(m_Dir / "public.exr", "output", kNoMemoryLimit);
    EXPECT_TRUE(testing::FloatBitsEqual(Colour(*back.Pixels), values));
}

TEST_F(PlainExr, ReadsTheSettingsRecordTheImageLibraryReads)
{
    // The record as qualvex writes it (its own attributes and the description), in the description
    // alone, and descriptions that hold none: plain text, and JSON nested deeper than any record.
    Image image(4, 3, PixelStorage::Float, false);
    WriteOptions options;
    options.Result = AlphaReading::Associated;
    options.Record = {R"({"Colorspace":2.0,"CRed":0.5})", "qualvex 1.0.0; Sondrel.plugin 1.0.0.0"};
    WriteImageFile(m_Dir / "written.exr", image, ImageLayout{}, options);
    const std::string deep = std::string(300, '[') + std::string(300, ']');
    const std::filesystem::path files[] = {
        m_Dir / "written.exr",
        WriteWithLibrary("described.exr", "zip", {"R", "G", "B", "A"}, TypeDesc::HALF, 0, "ImageDescription",
                         R"({"qualvex:version":"qualvex 0.9","qualvex:settings":{"Colorspace":1.0}})"),
        WriteWithLibrary("text.exr", "zip", {"R", "G", "B", "A"}, TypeDesc::FLOAT, 0, "ImageDescription",
                         "a plate from the shoot"),
        WriteWithLibrary("deep.exr", "none", {"R", "G", "B", "A"}, TypeDesc::FLOAT, 0, "ImageDescription", deep.c_str()),
        WriteWithLibrary("none.exr", "piz"),
    };
    const char* expected[] = {R"({"Colorspace":2.0,"CRed":0.5})", R"({"Colorspace":1.0})", "", "", ""};
    for (std::size_t i = 0; i < std::size(files); ++i) {
        SCOPED_TRACE(files[i].filename().string());
        ASSERT_TRUE(plain_exr::ReadRecord(files[i]).has_value());
        const SettingsRecord plain = ReadSettingsRecord(files[i]);
        const SettingsRecord library = image_library::ReadSettingsRecord(files[i]);
        EXPECT_EQ(plain.Json, library.Json);
        EXPECT_EQ(plain.Version, library.Version);
        EXPECT_EQ(plain.Json, expected[i]);
    }
    EXPECT_EQ(ReadSettingsRecord(files[1]).Version, "qualvex 0.9");
}

TEST_F(PlainExr, LeavesEveryOtherFileToTheImageLibrary)
{
    // Each differs from a plain file in one way.
    const std::filesystem::path files[] = {
        WriteWithLibrary("lower.exr", "zip", {"r", "g", "b", "a"}),
        WriteWithLibrary("rgb.exr", "zip", {"R", "G", "B"}),
        WriteWithLibrary("depth.exr", "zip", {"R", "G", "B", "A", "Z"}),
        WriteWithLibrary("grey.exr", "zip", {"Y", "A"}),
        WriteWithLibrary("tiled.exr", "zip", {"R", "G", "B", "A"}, TypeDesc::FLOAT, 32),
        WriteWithLibrary("dwaa.exr", "dwaa"),
        WriteWithLibrary("b44.exr", "b44"),
        WriteWithLibrary("uint.exr", "zip", {"R", "G", "B", "A"}, TypeDesc::UINT32),
    };
    // A PNG under an OpenEXR name, and an OpenEXR file under a movie's name.
    std::filesystem::rename(WriteWithLibrary("real.png", "zip", {"R", "G", "B", "A"}, TypeDesc::UINT8),
                            m_Dir / "disguised.exr");
    std::filesystem::copy_file(WriteWithLibrary("float.exr", "zip"), m_Dir / "movie.mov");
    std::filesystem::create_directory(m_Dir / "folder.exr");
    for (const auto& file : {files[0], files[1], files[2], files[3], files[4], files[5], files[6], files[7], m_Dir / "disguised.exr",
                             m_Dir / "movie.mov", m_Dir / "folder.exr", m_Dir / "missing.exr"}) {
        SCOPED_TRACE(file.filename().string());
        EXPECT_FALSE(plain_exr::Inspect(file, "source").has_value());
        EXPECT_FALSE(plain_exr::Read(file, "source", kNoMemoryLimit).has_value());
    }
    // Options that change what is written.
    Image image(4, 3, PixelStorage::Float, false);
    Image sixteen(4, 3, PixelStorage::UInt16, false);
    ImageLayout further;
    further.FurtherChannels = {"Z"};
    ImageLayout srgb;
    srgb.ColourEncoding = "sRGB";
    WriteOptions associated;
    associated.Result = AlphaReading::Associated;
    WriteOptions dwa = associated;
    dwa.Compression = "dwab";
    WriteOptions integers = associated;
    integers.Storage = PixelStorage::UInt16;
    WriteOptions toLinear = associated;
    toLinear.LinearColour = true;
    Image rowless(4, 3, PixelStorage::Float, false);
    rowless.ReadRow = nullptr;
    const struct {
        const char* What;
        const char* Name;
        const Image& Frame;
        ImageLayout Layout;
        WriteOptions Options;
    } writes[] = {
        {"a TIFF name", "out.tif", image, ImageLayout{}, associated},
        {"DWA", "out.exr", image, ImageLayout{}, dwa},
        {"16-bit storage", "out.exr", sixteen, ImageLayout{}, integers},
        {"further channels", "out.exr", image, further, associated},
        {"a conversion to linear", "out.exr", image, srgb, toLinear},
        {"an image without rows", "out.exr", rowless, ImageLayout{}, associated},
    };
    for (const auto& w : writes) {
        EXPECT_FALSE(plain_exr::Encode(m_Dir / w.Name, w.Frame, w.Layout, w.Options).has_value()) << w.What;
        EXPECT_FALSE(std::filesystem::exists(m_Dir / w.Name)) << w.What;
    }
}

TEST_F(PlainExr, DamagedFilesAndFramesOverTheLimitAreRefusedByName)
{
    const auto whole = WriteWithLibrary("whole.exr", "zip");
    const std::string bytes = Slurp(whole);
    // Cut short, and with its compressed data overwritten after the header.
    const auto cut = m_Dir / "cut.exr";
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    std::string scrambled = bytes;
    for (std::size_t i = bytes.size() / 3; i < bytes.size() / 3 + 64; ++i)
        scrambled[i] = static_cast<char>(scrambled[i] ^ 0x5a);
    const auto garbled = m_Dir / "garbled.exr";
    std::ofstream(garbled, std::ios::binary) << scrambled;
    for (const auto& file : {cut, garbled}) {
        SCOPED_TRACE(file.filename().string());
        ASSERT_TRUE(plain_exr::Inspect(file, "source").has_value());
        try {
            ReadImageFile(file, "source");
            ADD_FAILURE() << "read without an error";
        } catch (const Failure& error) {
            EXPECT_NE(std::string(error.what()).find(file.string() + ": cannot read the source's pixels (rows "),
                      std::string::npos)
                << error.what();
        }
        // The image library refuses it too.
        EXPECT_THROW(image_library::ReadImageFile(file, "source", kNoMemoryLimit), Failure);
    }
    try {
        ReadImageFile(whole, "key image", 1000);
        ADD_FAILURE() << "read over the limit";
    } catch (const Failure& error) {
        EXPECT_NE(std::string(error.what()).find(whole.string() + ": the key image claims 301 x 71 pixels in 4 "
                                                                  "channels; keying it takes about 1 MiB, more than "
                                                                  "the 1 MiB this frame may use (--memory-limit)"),
                  std::string::npos)
            << error.what();
    }
}

}  // namespace
}  // namespace qualvex
