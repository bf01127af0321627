#include "media/image_reader.h"
#include "media/image_library.h"

#include "base/errors.h"
#include "media/further_channels.h"
#include "media/memory_limit.h"
#include "media/movie_reader.h"
#include "media/oiio_errors.h"
#include "media/storage_kinds.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <fstream>
#include <cstdint>
#include <system_error>
#include <utility>

namespace qualvex {
namespace {

using OIIO::ImageInput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

int ChannelIndex(const ImageSpec& header, const char* name)
{
    for (int c = 0; c < header.nchannels; ++c)
        if (header.channel_name(c) == name)
            return c;
    return -1;
}

// Refuses what keying would read only in part, and anything that is not a plain file (a FIFO or
// a device would block or never end).
std::unique_ptr<ImageInput> OpenImage(const std::filesystem::path& file, const std::string& role)
{
    const std::string name = file.string();
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (error || !std::filesystem::exists(status))
        throw Failure(name + ": " + role + " not found");
    if (std::filesystem::is_directory(status))
        throw Failure(name + ": " + role + " is a folder, not an image file");
    if (!std::filesystem::is_regular_file(status))
        throw Failure(name + ": " + role + " is not a plain file (a device, pipe or socket cannot be keyed)");

    const auto movieRefusal = [&] {
        return Failure(name + ": the " + role + " is a movie file; movies are read only as the source of qualvex key, "
                                                "fit and tune, by their name (.mov, .mp4, .mkv, .webm, ...): "
                                                "extract the frames as images for this");
    };
    // Known by its name before the image library opens it as one (its movie reader keeps some of
    // the decoder's memory when the file is closed unread).
    if (IsMovieName(file))
        throw movieRefusal();

    // Alpha is read as stored: without this hint some readers would premultiply it.
    ImageSpec config;
    config["oiio:UnassociatedAlpha"] = 1;
    auto in = ImageInput::open(name, &config);
    if (!in)
        throw Failure(name + ": cannot read the " + role + ": " + ErrorText(OIIO::geterror(), "unknown image format"));
    const std::string format = in->format_name();
    if (format == "FFmpeg movie" || in->spec().get_int_attribute("oiio:Movie") != 0)
        throw movieRefusal();
    if (in->spec().deep)
        throw Failure(name + ": the " + role + " holds deep data, which is not keyed");
    if (in->seek_subimage(1, 0))
        throw Failure(name + ": the " + role + " holds several parts or subimages; only single-part images are keyed");
    in->geterror();  // looking for a second part that is not there is no error of the file
    if (!in->seek_subimage(0, 0))
        throw Failure(name + ": cannot read the " + role + ": " + ErrorText(in->geterror(), "damaged file"));
    return in;
}

std::uint64_t BytesToKey(const ImageSpec& header, PixelStorage storage, std::size_t idChannels, bool further)
{
    return qualvex::BytesToKey(static_cast<std::uint64_t>(header.width), static_cast<std::uint64_t>(header.height),
                               static_cast<std::uint64_t>(header.nchannels), KindOf(storage).Bytes, idChannels, further);
}

// Where a DPX file's pixels begin: the header's second word, in the byte order its magic number
// gives ("SDPX" big-endian, "XPDS" little-endian); 0 when the header cannot be read.
std::uint64_t DpxDataOffset(const std::filesystem::path& file)
{
    unsigned char start[8] = {};
    std::ifstream in(file, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(start), sizeof start))
        return 0;
    const bool bigEndian = start[0] == 'S' && start[1] == 'D' && start[2] == 'P' && start[3] == 'X';
    const bool littleEndian = start[0] == 'X' && start[1] == 'P' && start[2] == 'D' && start[3] == 'S';
    if (!bigEndian && !littleEndian)
        return 0;
    std::uint64_t offset = 0;
    for (int i = 0; i < 4; ++i)
        offset |= std::uint64_t{start[bigEndian ? 4 + i : 7 - i]} << (24 - 8 * i);
    return offset;
}

// What a header claims is weighed against the file before anything is allocated. Formats that
// store their pixels without compression say how long the file must be: one cut short reads as
// garbage in some readers without an error. A PNG's pixels are one deflate stream, which expands
// at most 1032 times: a file of N bytes cannot hold more than 1032 N bytes of pixels.
void CheckFileCanHold(const std::filesystem::path& file, const ImageInput& in, const std::string& role)
{
    const ImageSpec& header = in.spec();
    const std::string format = in.format_name();
    const bool uncompressed =
        format == "dpx" || (format == "tiff" && header.get_string_attribute("compression", "none") == "none");
    if (!uncompressed && format != "png")
        return;
    int bits = header.get_int_attribute("oiio:BitsPerSample", 0);
    if (bits <= 0)
        bits = static_cast<int>(header.format.size() * 8);
    const std::uint64_t pixels = static_cast<std::uint64_t>(header.width) * static_cast<std::uint64_t>(header.height);
    std::uint64_t least = pixels * static_cast<std::uint64_t>(header.nchannels) * static_cast<std::uint64_t>(bits) / 8;
    if (format == "dpx")
        least += DpxDataOffset(file);
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(file, error);
    if (error)
        return;
    if (format == "png") {
        constexpr std::uint64_t kDeflateMostExpansion = 1032;
        if (least / kDeflateMostExpansion > size)
            throw Failure(file.string() + ": the " + role + " claims " + std::to_string(header.width) + " x " +
                          std::to_string(header.height) + " pixels, " + std::to_string(least) +
                          " bytes, more than its " + std::to_string(size) +
                          " bytes can hold (a PNG's data expands at most 1032 times): the file is damaged");
        return;
    }
    if (size < least)
        throw Failure(file.string() + ": the " + role + " is cut short: its header promises at least " +
                      std::to_string(least) + " bytes of pixels, the file holds " + std::to_string(size) + " bytes");
}

int StripRows(const ImageSpec& header)
{
    const std::uint64_t rowBytes = static_cast<std::uint64_t>(header.width) *
                                   static_cast<std::uint64_t>(header.nchannels) * sizeof(float);
    int rows = static_cast<int>(std::clamp<std::uint64_t>((std::uint64_t{16} << 20) / std::max<std::uint64_t>(rowBytes, 1),
                                                          1, static_cast<std::uint64_t>(header.height)));
    if (header.tile_height > 0)
        rows = std::max(header.tile_height, rows / header.tile_height * header.tile_height);
    return rows;
}

// Rows top..bottom (counted from the data window's first row) of channels begin..end, packed.
// `native` is the caller's, kept from strip to strip.
void ReadStrip(ImageInput& in, const ImageSpec& header, int top, int bottom, int begin, int end, TypeDesc type,
               void* into, const std::string& name, const std::string& role, std::vector<unsigned char>& native)
{
    const int y0 = header.y + top;
    const int y1 = header.y + bottom;
    // Asked for another type, the image library decodes scanlines into a buffer of its own (64 MB,
    // taken and given back on every call) and converts from it. Values already stored as asked
    // for are asked for as stored, so that it decodes straight into `into`; values stored in one
    // other type are decoded into `native` and converted here by the library's same conversion.
    const TypeDesc stored = header.channelformat(begin);
    bool uniform = true;
    for (int c = begin; c < end; ++c)
        uniform = uniform && header.channelformat(c) == stored;
    bool read = false;
    if (header.tile_width > 0) {
        read = in.read_tiles(0, 0, header.x, header.x + header.width, y0, y1, header.z, header.z + 1, begin, end,
                             uniform && stored == type ? TypeDesc::UNKNOWN : type, into);
    } else if (uniform && stored == type) {
        read = in.read_scanlines(0, 0, y0, y1, header.z, begin, end, TypeDesc::UNKNOWN, into);
    } else if (uniform) {
        const std::size_t values = static_cast<std::size_t>(header.width) * static_cast<std::size_t>(end - begin) *
                                   static_cast<std::size_t>(bottom - top);
        native.resize(values * stored.size());
        read = in.read_scanlines(0, 0, y0, y1, header.z, begin, end, TypeDesc::UNKNOWN, native.data()) &&
               OIIO::convert_pixel_values(stored, native.data(), type, into, static_cast<int>(values));
    } else {
        read = in.read_scanlines(0, 0, y0, y1, header.z, begin, end, type, into);
    }
    if (!read || in.has_error()) {
        const std::string what = end - begin == 1 && begin > 0
                                     ? "channel " + std::string(header.channel_name(begin))
                                     : std::string("pixels");
        throw Failure(name + ": cannot read the " + role + "'s " + what + " (rows " + std::to_string(top) + "-" +
                      std::to_string(bottom - 1) + "): " + ErrorText(in.geterror(), "damaged file"));
    }
}

int ColourChannel(const ImageSpec& header)
{
    const int red = ChannelIndex(header, "R");
    return red >= 0 ? red : 0;
}

// Which file channel feeds each colour channel (R, G, B, A; -1 for none), which feed the
// further channels, and which are dropped.
struct ChannelMap {
    int Colour[4];
    std::vector<std::pair<int, FurtherChannel>> Further;
    std::vector<std::string> Dropped;
};

ChannelMap MapChannels(const ImageSpec& header, const std::string& name, const std::string& role)
{
    ChannelMap map{{ChannelIndex(header, "R"), ChannelIndex(header, "G"), ChannelIndex(header, "B"),
                    ChannelIndex(header, "A")},
                   {},
                   {}};
    int* colour = map.Colour;
    if (colour[0] < 0 && colour[1] < 0 && colour[2] < 0) {
        // One channel alone (or one channel and alpha) is grey.
        const int greys = header.nchannels - (colour[3] >= 0 ? 1 : 0);
        if (greys != 1)
            throw Failure(name + ": the " + role + " has no R, G and B channels and is not a one-channel image");
        for (int c = 0; c < header.nchannels; ++c)
            if (c != colour[3])
                colour[0] = colour[1] = colour[2] = c;
    } else if (colour[0] < 0 || colour[1] < 0 || colour[2] < 0) {
        throw Failure(name + ": the " + role + " lacks one of its R, G and B channels");
    }
    for (int c = 0; c < header.nchannels; ++c) {
        if (std::find(std::begin(map.Colour), std::end(map.Colour), c) != std::end(map.Colour))
            continue;
        if (const auto which = FurtherChannelNamed(header.channel_name(c)))
            map.Further.emplace_back(c, *which);
        else
            map.Dropped.push_back(header.channel_name(c));
    }
    return map;
}

// A float R, G, B, A file (those four channels, in that order, and no others) keyed in float
// storage: its values are the stored values, copied into the plane as they are, with only R and B
// trading places.
bool DecodesIntoPlane(const ImageSpec& header, const ChannelMap& map, const Image& image)
{
    if (image.PlaneRows[1] != nullptr || header.nchannels != 4 || header.height <= 0 ||
        FloatColourRow(image, 0) == nullptr)
        return false;
    for (int c = 0; c < 4; ++c)
        if (map.Colour[c] != c || header.channelformat(c) != TypeDesc::FLOAT)
            return false;
    return true;
}

void DecodeIntoPlane(ImageInput& in, const ImageSpec& header, Image& image, const std::string& name,
                     const std::string& role)
{
    // A strip of rows small enough to stay in the cache between its decoding and its copy into
    // the plane (the plane's rows run bottom-up, the file's top-down, so the decoder cannot fill
    // the plane in one call).
    const auto width = static_cast<std::size_t>(header.width);
    const int strip = static_cast<int>(
        std::clamp<std::size_t>((std::size_t{1} << 20) / (width * 4 * sizeof(float)), 1, static_cast<std::size_t>(header.height)));
    std::vector<float> values(width * 4 * static_cast<std::size_t>(strip));
    std::vector<unsigned char> native;
    for (int top = 0; top < header.height; top += strip) {
        const int bottom = std::min(header.height, top + strip);
        ReadStrip(in, header, top, bottom, 0, 4, TypeDesc::FLOAT, values.data(), name, role, native);
        for (int y = top; y < bottom; ++y) {
            TradeRedAndBlue(values.data() + static_cast<std::size_t>(y - top) * width * 4, FloatColourRow(image, y),
                            width);
        }
    }
}

}  // namespace

ImageFacts image_library::InspectImage(const std::filesystem::path& file, const std::string& role)
{
    const auto in = OpenImage(file, role);
    const ImageSpec& header = in->spec();
    ImageFacts facts{StorageForFileType(header.channelformat(ColourChannel(header))),
                     header.width,
                     header.height,
                     header.nchannels,
                     0,
                     in->format_name(),
                     header.get_string_attribute("compression"),
                     header.get_string_attribute("oiio:ColorSpace"),
                     header.get_string_attribute("qualvex:cleanplate")};
    std::size_t ids = 0;
    bool further = false;
    for (int c = 0; c < header.nchannels; ++c)
        if (const auto which = FurtherChannelNamed(header.channel_name(c))) {
            further = true;
            ids += IsIdChannel(*which) ? 1 : 0;
        }
    facts.BytesToKey = BytesToKey(header, facts.Storage, ids, further);
    return facts;
}

ImageFile image_library::ReadImageFile(const std::filesystem::path& file, const std::string& role, std::uint64_t maxBytes)
{
    const std::string name = file.string();
    auto in = OpenImage(file, role);
    const ImageSpec& header = in->spec();
    if (header.width <= 0 || header.height <= 0 || header.depth > 1)
        throw Failure(name + ": the " + role + " has no pixels or is a volume");
    if (static_cast<std::int64_t>(header.width) * header.height > (std::int64_t{1} << 31))
        throw Failure(name + ": the " + role + " is too large (" + std::to_string(header.width) + " x " +
                      std::to_string(header.height) + ")");

    const ChannelMap map = MapChannels(header, name, role);
    const int* colour = map.Colour;
    const PixelStorage storage = StorageForFileType(header.channelformat(colour[0]));
    std::size_t idChannels = 0;
    for (const auto& [channel, which] : map.Further)
        idChannels += IsIdChannel(which) ? 1 : 0;
    const std::uint64_t needed = BytesToKey(header, storage, idChannels, !map.Further.empty());
    if (needed > maxBytes)
        throw Failure(name + ": the " + role + " claims " + std::to_string(header.width) + " x " +
                      std::to_string(header.height) + " pixels in " + std::to_string(header.nchannels) +
                      " channels; keying it takes about " + Mebibytes(needed) + ", more than the " +
                      Mebibytes(maxBytes) + " this frame may use (--memory-limit)");
    CheckFileCanHold(file, *in, role);

    ImageFile result;
    result.Layout = {header.x,          header.y,           header.full_x, header.full_y,
                     header.full_width, header.full_height, {},            header.get_string_attribute("oiio:ColorSpace")};
    for (const auto& [channel, which] : map.Further)
        result.Layout.FurtherChannels.push_back(header.channel_name(channel));
    result.DroppedChannels = map.Dropped;

    // Strip by strip into the frame, whose memory is taken only as its rows are written: a file
    // that claims more than it holds fails at its first missing strip, having cost that much.
    auto image = std::make_unique<Image>(header.width, header.height, storage, !map.Further.empty(), false);
    if (DecodesIntoPlane(header, map, *image)) {
        DecodeIntoPlane(*in, header, *image, name, role);
        result.Pixels = std::move(image);
        return result;
    }
    const std::size_t width = static_cast<std::size_t>(header.width);
    const std::size_t channels = static_cast<std::size_t>(header.nchannels);
    const int strip = StripRows(header);
    const std::size_t stripPixels = width * static_cast<std::size_t>(strip);
    std::vector<float> values(stripPixels * channels);
    std::vector<std::vector<std::uint32_t>> ids(idChannels, std::vector<std::uint32_t>(stripPixels));
    std::vector<float> rowValues(map.Further.empty() ? 4 * width : 0);  // one row's B, G, R, A
    std::vector<unsigned char> native;
    for (int top = 0; top < header.height; top += strip) {
        const int bottom = std::min(header.height, top + strip);
        ReadStrip(*in, header, top, bottom, 0, header.nchannels, TypeDesc::FLOAT, values.data(), name, role, native);
        std::size_t id = 0;
        for (const auto& [channel, which] : map.Further)
            if (IsIdChannel(which))
                ReadStrip(*in, header, top, bottom, channel, channel + 1, TypeDesc::UINT32, ids[id++].data(), name,
                          role, native);
        // Row by row: without further channels a row at a time through the image's row writer
        // (the same conversion), otherwise each pixel through its own writer.
        if (map.Further.empty() && image->WriteRow != nullptr) {
            for (int y = top; y < bottom; ++y) {
                const float* v = values.data() + static_cast<std::size_t>(y - top) * width * channels;
                for (std::size_t x = 0; x < width; ++x, v += channels) {
                    rowValues[x] = v[colour[2]];
                    rowValues[width + x] = v[colour[1]];
                    rowValues[2 * width + x] = v[colour[0]];
                    rowValues[3 * width + x] = colour[3] >= 0 ? v[colour[3]] : 1.0f;
                }
                image->WriteRow(image.get(), y, 0, header.width, rowValues.data(), rowValues.data() + width,
                                rowValues.data() + 2 * width, rowValues.data() + 3 * width);
            }
            continue;
        }
        for (int y = top; y < bottom; ++y) {
            unsigned char* colourRow = image->PlaneRows[0] != nullptr ? image->PlaneRows[0][y] : nullptr;
            unsigned char* furtherRow = image->PlaneRows[1] != nullptr ? image->PlaneRows[1][y] : nullptr;
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t index = static_cast<std::size_t>(y - top) * width + x;
                const float* v = values.data() + index * channels;
                Pixel p;
                p.R = v[colour[0]];
                p.G = v[colour[1]];
                p.B = v[colour[2]];
                p.A = colour[3] >= 0 ? v[colour[3]] : 1.0f;
                std::size_t idAt = 0;
                for (const auto& [channel, which] : map.Further) {
                    switch (which) {
                    case FurtherChannel::Z: p.Z = v[channel]; break;
                    case FurtherChannel::Coverage: p.Coverage = v[channel]; break;
                    case FurtherChannel::ObjectID: p.ObjectID = ids[idAt++][index]; break;
                    case FurtherChannel::MaterialID: p.MaterialID = ids[idAt++][index]; break;
                    }
                }
                image->WritePixel(&p, colourRow + x * static_cast<std::size_t>(image->PixelStep[0]),
                                  furtherRow != nullptr ? furtherRow + x * static_cast<std::size_t>(image->PixelStep[1])
                                                        : nullptr,
                                  image.get());
            }
        }
    }
    result.Pixels = std::move(image);
    return result;
}

bool image_library::HasAlphaChannel(const std::filesystem::path& file)
{
    const auto in = ImageInput::open(file.string());
    if (!in)
        return false;
    for (int c = 0; c < in->spec().nchannels; ++c)
        if (in->spec().channel_name(c) == "A")
            return true;
    return false;
}

}  // namespace qualvex
