#include "media/image_writer.h"
#include "media/image_library.h"

#include "base/errors.h"
#include "media/atomic_writer.h"
#include "media/further_channels.h"
#include "media/oiio_errors.h"
#include "media/storage_kinds.h"

#include <OpenImageIO/color.h>
#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace qualvex {
namespace {

using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

std::unique_ptr<ImageOutput> CreateOutput(const std::filesystem::path& file)
{
    auto out = ImageOutput::create(file.string());
    if (!out)
        throw Failure(file.string() + ": no image format is known for this file name's extension");
    return out;
}

// The conversion from `encoding` to linear: $OCIO's configuration, else the library's own, read
// once and shared by the frames written at once.
OIIO::ColorProcessorHandle LinearProcessor(const std::string& encoding, std::string& error)
{
    static std::mutex lock;
    static OIIO::ColorConfig config;
    const std::lock_guard<std::mutex> guard(lock);
    OIIO::ColorProcessorHandle processor = config.createColorProcessor(encoding, "Linear");
    if (!processor)
        error = config.geterror();
    return processor;
}

// Converts a row of RGBA colour; colour stored associated is converted straight (divided by alpha
// where alpha > 0, then multiplied again), as the curves apply to colour, not to colour times
// alpha. Alpha passes through.
void ToLinear(const OIIO::ColorProcessor& processor, std::vector<float>& rgba, bool associated)
{
    const std::size_t pixels = rgba.size() / 4;
    if (associated)
        for (std::size_t x = 0; x < pixels; ++x)
            if (const float a = rgba[4 * x + 3]; a > 0.0f)
                for (int c = 0; c < 3; ++c)
                    rgba[4 * x + static_cast<std::size_t>(c)] /= a;
    processor.apply(rgba.data(), static_cast<int>(pixels), 1, 4, sizeof(float), 4 * sizeof(float),
                    static_cast<OIIO::stride_t>(rgba.size() * sizeof(float)));
    if (associated)
        for (std::size_t x = 0; x < pixels; ++x)
            if (const float a = rgba[4 * x + 3]; a > 0.0f)
                for (int c = 0; c < 3; ++c)
                    rgba[4 * x + static_cast<std::size_t>(c)] *= a;
}

ImageSpec Header(const Image& image, const ImageLayout& layout, TypeDesc colourType,
                 const std::vector<std::pair<std::string, FurtherChannel>>& further, const WriteOptions& options,
                 AlphaReading stored)
{
    ImageSpec header(image.Width, image.Height, 4 + static_cast<int>(further.size()), colourType);
    header.x = layout.X;
    header.y = layout.Y;
    header.full_x = layout.FullX;
    header.full_y = layout.FullY;
    header.full_width = layout.FullWidth > 0 ? layout.FullWidth : image.Width;
    header.full_height = layout.FullHeight > 0 ? layout.FullHeight : image.Height;
    header.channelnames = {"R", "G", "B", "A"};
    header.alpha_channel = 3;
    for (const auto& [channel, which] : further) {
        header.channelnames.push_back(channel);
        if (which == FurtherChannel::Z)
            header.z_channel = static_cast<int>(header.channelnames.size()) - 1;
    }
    if (!further.empty()) {
        header.channelformats.assign(4, colourType);
        for (const auto& [channel, which] : further)
            header.channelformats.push_back(IsIdChannel(which) ? TypeDesc::UINT32 : TypeDesc::FLOAT);
    }
    // "premultiplied" is the name earlier files used for associated colour: kept for their readers.
    header.attribute("qualvex:alpha", stored == AlphaReading::Associated ? "premultiplied" : "straight");
    EmbedSettingsRecord(header, options.Record);
    for (const auto& [name, text] : options.Attributes)
        header.attribute(name, text);
    if (!options.Compression.empty())
        header.attribute("compression", options.Compression);
    // TIFF marks its extra sample by this; the other formats take their own convention.
    if (stored == AlphaReading::Straight)
        header.attribute("oiio:UnassociatedAlpha", 1);
    // How the colour is encoded: PNG and TIFF keep the image library's own tag; OpenEXR's writer
    // drops it (its readers take every file as linear), so it is said there in a tag of ours too.
    const std::string encoding = options.LinearColour ? "Linear" : layout.ColourEncoding;
    if (!encoding.empty()) {
        header.attribute("oiio:ColorSpace", encoding);
        header.attribute("qualvex:colorspace", encoding);
    }
    if (options.LinearColour && layout.ColourEncoding != "Linear")
        header.attribute("qualvex:colourconversion", layout.ColourEncoding + " to Linear");
    return header;
}

}  // namespace

void image_library::WriteRgb8Png(const std::filesystem::path& file, int width, int height, const std::vector<std::uint8_t>& rgb,
                  ExistingFile existing)
{
    auto out = ImageOutput::create("png");
    if (!out)
        throw Failure(file.string() + ": PNG output is not available");
    WriteImageAtomically(file, *out, ImageSpec(width, height, 3, TypeDesc::UINT8), TypeDesc::UINT8, rgb.data(), existing);
}

std::vector<std::string> image_library::WriteImageFile(const std::filesystem::path& file, const Image& image,
                                        const ImageLayout& layout, const WriteOptions& options)
{
    std::vector<std::string> notWritten;
    image_library::EncodeImageFile(file, image, layout, options, notWritten).PutInPlace();
    return notWritten;
}

EncodedFile image_library::EncodeImageFile(const std::filesystem::path& file, const Image& image, const ImageLayout& layout,
                            const WriteOptions& options, std::vector<std::string>& notWritten)
{
    auto out = CreateOutput(file);

    std::vector<std::pair<std::string, FurtherChannel>> further;
    notWritten.clear();
    for (const std::string& channel : layout.FurtherChannels) {
        const auto which = FurtherChannelNamed(channel);
        if (!which)
            continue;
        if (out->supports("channelformats") && out->supports("nchannels"))
            further.emplace_back(channel, *which);
        else
            notWritten.push_back(channel);
    }

    const StorageKind& kind = KindOf(options.Storage);
    const TypeDesc colourType(static_cast<TypeDesc::BASETYPE>(kind.FileType));
    const AlphaReading stored = StoredAlpha(out->format_name(), options.Result);
    const bool associate = options.Result == AlphaReading::Straight && stored == AlphaReading::Associated;
    const bool dissociate = options.Result == AlphaReading::Associated && stored == AlphaReading::Straight;
    const ImageSpec header = Header(image, layout, colourType, further, options, stored);
    OIIO::ColorProcessorHandle toLinear;
    if (options.LinearColour && layout.ColourEncoding != "Linear") {
        if (layout.ColourEncoding.empty())
            throw Failure(file.string() + ": the source does not say how its colour is encoded: it cannot be "
                                          "converted to linear (--output-colorspace)");
        std::string error;
        toLinear = LinearProcessor(layout.ColourEncoding, error);
        if (!toLinear)
            throw Failure(file.string() + ": no conversion from " + layout.ColourEncoding + " to linear: " +
                          ErrorText(error, "unknown colour space"));
    }

    // One native pixel record per pixel: colour in the chosen type, then the further channels.
    const std::size_t colourBytes = 4 * kind.Bytes;
    std::size_t pixelBytes = colourBytes;
    for (const auto& [channel, which] : further)
        pixelBytes += IsIdChannel(which) ? sizeof(std::uint32_t) : sizeof(float);
    const auto width = static_cast<std::size_t>(image.Width);
    // Row by row: each pixel through the image's own reader, then the row's colour converted to
    // the file's type in one call where nothing else sits between the pixels.
    // Without further channels to write, an image that offers rows gives its colour a row at a
    // time, converted exactly as its pixel reader converts it.
    const bool rows = further.empty() && image.ReadRow != nullptr;
    std::vector<Pixel> records(width);
    std::vector<float> rgba(4 * width);
    std::vector<float> planes(rows ? 4 * width : 0);
    // Float colour to a float file as it is: the plane's values, only R and B trading places.
    const bool asStored = further.empty() && !associate && !dissociate && !toLinear &&
                          options.Storage == PixelStorage::Float && image.Height > 0 &&
                          FloatColourRow(image, 0) != nullptr;
    const auto fillRow = [&](int y, unsigned char* row) {
        if (asStored) {
            TradeRedAndBlue(FloatColourRow(image, y), reinterpret_cast<float*>(row), width);
            return;
        }
        const unsigned char* colourRow = image.PlaneRows[0] != nullptr ? image.PlaneRows[0][y] : nullptr;
        const unsigned char* furtherRow = image.PlaneRows[1] != nullptr ? image.PlaneRows[1][y] : nullptr;
        if (rows)
            image.ReadRow(&image, y, 0, image.Width, planes.data(), planes.data() + width, planes.data() + 2 * width,
                          planes.data() + 3 * width);
        for (std::size_t x = 0; x < width; ++x) {
            Pixel& p = records[x];
            if (rows) {
                p.B = planes[x];
                p.G = planes[width + x];
                p.R = planes[2 * width + x];
                p.A = planes[3 * width + x];
            } else {
                image.ReadPixel(&p, colourRow + x * static_cast<std::size_t>(image.PixelStep[0]),
                                furtherRow != nullptr ? furtherRow + x * static_cast<std::size_t>(image.PixelStep[1])
                                                      : nullptr,
                                &image);
            }
            float* value = &rgba[4 * x];
            value[0] = p.R;
            value[1] = p.G;
            value[2] = p.B;
            value[3] = p.A;
            if (associate) {
                for (int c = 0; c < 3; ++c)
                    value[c] *= p.A;
            } else if (dissociate && p.A > 0.0f) {
                // Only where alpha > 0: a colour at alpha 0 (or NaN) has no straight colour to
                // recover and is kept as it is.
                for (int c = 0; c < 3; ++c)
                    value[c] /= p.A;
            }
        }
        if (toLinear)
            ToLinear(*toLinear, rgba, stored == AlphaReading::Associated);
        if (further.empty()) {
            OIIO::convert_pixel_values(TypeDesc::FLOAT, rgba.data(), colourType, row, static_cast<int>(4 * width));
            return;
        }
        for (std::size_t x = 0; x < width; ++x) {
            unsigned char* at = row + x * pixelBytes;
            OIIO::convert_pixel_values(TypeDesc::FLOAT, &rgba[4 * x], colourType, at, 4);
            unsigned char* next = at + colourBytes;
            const Pixel& p = records[x];
            for (const auto& [channel, which] : further) {
                float value = 0.0f;
                std::uint32_t id = 0;
                switch (which) {
                case FurtherChannel::Z: value = p.Z; break;
                case FurtherChannel::Coverage: value = p.Coverage; break;
                case FurtherChannel::ObjectID: id = p.ObjectID; break;
                case FurtherChannel::MaterialID: id = p.MaterialID; break;
                }
                if (IsIdChannel(which)) {
                    std::memcpy(next, &id, sizeof id);
                    next += sizeof id;
                } else {
                    std::memcpy(next, &value, sizeof value);
                    next += sizeof value;
                }
            }
        }
    };

    // The encoder asks for a strip at a time; each row is converted just before it is encoded.
    return EncodeImage(
        file, *out, header, further.empty() ? colourType : TypeDesc::UNKNOWN,
        [&](int top, int bottom, void* into) {
            for (int y = top; y < bottom; ++y)
                fillRow(y, static_cast<unsigned char*>(into) + static_cast<std::size_t>(y - top) * width * pixelBytes);
        },
        options.Existing);
}

std::string image_library::EncodePng(int width, int height, int channels, const std::vector<unsigned char>& pixels)
{
    std::vector<unsigned char> file;
    OIIO::Filesystem::IOVecOutput proxy(file);
    auto out = ImageOutput::create("view.png", &proxy);
    if (!out)
        throw Failure("cannot make a PNG: " + OIIO::geterror());
    ImageSpec header(width, height, channels, TypeDesc::UINT8);
    // Fast, light compression: a page that asks again on every edit waits on it.
    header.attribute("png:compressionLevel", 0);
    header.attribute("compression", "zip:0");
    if (!out->open("view.png", header) || !out->write_image(TypeDesc::UINT8, pixels.data()) || !out->close())
        throw Failure("cannot make a PNG: " + out->geterror());
    return std::string(file.begin(), file.end());
}

image_library::OutputFormat image_library::LookUpOutputFormat(const std::filesystem::path& file)
{
    auto out = ImageOutput::create(file.string());
    if (!out)
        return {};
    return {out->format_name(), out->supports("alpha") != 0};
}

}  // namespace qualvex
