#include "cli/image_files.h"

#include "cli/cli_errors.h"

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

namespace qualvex::cli {
namespace {

using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

// The host's further per-pixel channels and the channel names that files use for them.
enum class Further { Z, Coverage, ObjectID, MaterialID };

bool FurtherChannelOf(const std::string& name, Further& which)
{
    if (name == "Z" || name == "depth.Z" || name == "depth.z" || name == "z") {
        which = Further::Z;
    } else if (name == "Coverage" || name == "coverage") {
        which = Further::Coverage;
    } else if (name == "ObjectID" || name == "objectid" || name == "object_id") {
        which = Further::ObjectID;
    } else if (name == "MaterialID" || name == "materialid" || name == "material_id") {
        which = Further::MaterialID;
    } else {
        return false;
    }
    return true;
}

bool IsIdChannel(Further which) { return which == Further::ObjectID || which == Further::MaterialID; }

PixelStorage StorageOf(TypeDesc type)
{
    switch (type.basetype) {
    case TypeDesc::UINT8: return PixelStorage::UInt8;
    case TypeDesc::UINT16: return PixelStorage::UInt16;
    case TypeDesc::HALF: return PixelStorage::Half;
    default: return PixelStorage::Float;  // wider kinds are keyed in single precision
    }
}

TypeDesc TypeOf(PixelStorage storage)
{
    switch (storage) {
    case PixelStorage::UInt8: return TypeDesc::UINT8;
    case PixelStorage::UInt16: return TypeDesc::UINT16;
    case PixelStorage::Half: return TypeDesc::HALF;
    case PixelStorage::Float: return TypeDesc::FLOAT;
    }
    return TypeDesc::FLOAT;
}

const char* StorageOption(PixelStorage storage)
{
    switch (storage) {
    case PixelStorage::UInt8: return "uint8";
    case PixelStorage::UInt16: return "uint16";
    case PixelStorage::Half: return "half";
    case PixelStorage::Float: return "float";
    }
    return "?";
}

int ChannelIndex(const ImageSpec& header, const char* name)
{
    for (int c = 0; c < header.nchannels; ++c)
        if (header.channel_name(c) == name)
            return c;
    return -1;
}

std::string Reason(const std::string& error, const char* fallback)
{
    std::string text = error.empty() ? fallback : error;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Writes to a temporary file beside `file`, then renames it into place: the output name only ever
// holds a complete image. The temporary file is removed on failure.
void WriteAtomically(const std::filesystem::path& file, ImageOutput& out, const ImageSpec& header, TypeDesc type,
                     const void* data)
{
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path temporary =
        file.parent_path() / ("." + file.filename().string() + ".qualvex-" + std::to_string(::getpid()) + "-" +
                              std::to_string(counter++) + ".tmp");
    auto discard = [&temporary] {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
    };
    if (!out.open(temporary.string(), header) || !out.write_image(type, data) || !out.close()) {
        const std::string reason = Reason(out.geterror(), "write failed");
        out.close();
        discard();
        throw Failure(file.string() + ": cannot write the output: " + reason);
    }
    std::error_code error;
    std::filesystem::rename(temporary, file, error);
    if (error) {
        discard();
        throw Failure(file.string() + ": cannot move the finished output into place: " + error.message());
    }
}

}  // namespace

void WriteRgb8Png(const std::filesystem::path& file, int width, int height, const std::vector<std::uint8_t>& rgb)
{
    auto out = ImageOutput::create("png");
    if (!out)
        throw Failure(file.string() + ": PNG output is not available");
    WriteAtomically(file, *out, ImageSpec(width, height, 3, TypeDesc::UINT8), TypeDesc::UINT8, rgb.data());
}

PixelStorage ParseStorage(const std::string& name)
{
    for (PixelStorage storage : {PixelStorage::UInt8, PixelStorage::UInt16, PixelStorage::Half, PixelStorage::Float})
        if (name == StorageOption(storage))
            return storage;
    throw UsageError("--data-type \"" + name + "\": expected uint8, uint16, half or float");
}

namespace {

std::unique_ptr<ImageInput> OpenImage(const std::filesystem::path& file, const std::string& role)
{
    const std::string name = file.string();
    std::error_code error;
    if (!std::filesystem::exists(file, error))
        throw Failure(name + ": " + role + " not found");
    if (std::filesystem::is_directory(file, error))
        throw Failure(name + ": " + role + " is a folder, not an image file");

    // Alpha is read as stored: without this hint some readers would premultiply it.
    ImageSpec config;
    config["oiio:UnassociatedAlpha"] = 1;
    auto in = ImageInput::open(name, &config);
    if (!in)
        throw Failure(name + ": cannot read the " + role + ": " + Reason(OIIO::geterror(), "unknown image format"));
    return in;
}

int ColourChannel(const ImageSpec& header)
{
    const int red = ChannelIndex(header, "R");
    return red >= 0 ? red : 0;
}

}  // namespace

PixelStorage StoredPixelKind(const std::filesystem::path& file, const std::string& role)
{
    const auto in = OpenImage(file, role);
    return StorageOf(in->spec().channelformat(ColourChannel(in->spec())));
}

ImageFile ReadImageFile(const std::filesystem::path& file, const std::string& role)
{
    const std::string name = file.string();
    auto in = OpenImage(file, role);
    const ImageSpec& header = in->spec();
    if (header.width <= 0 || header.height <= 0 || header.depth > 1)
        throw Failure(name + ": the " + role + " has no pixels or is a volume");
    if (static_cast<std::int64_t>(header.width) * header.height > (std::int64_t{1} << 31))
        throw Failure(name + ": the " + role + " is too large (" + std::to_string(header.width) + " x " +
                      std::to_string(header.height) + ")");

    int colour[4] = {ChannelIndex(header, "R"), ChannelIndex(header, "G"), ChannelIndex(header, "B"), ChannelIndex(header, "A")};
    std::vector<std::pair<int, Further>> further;
    std::vector<std::string> dropped;
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
        if (std::find(std::begin(colour), std::end(colour), c) != std::end(colour))
            continue;
        Further which;
        if (FurtherChannelOf(header.channel_name(c), which))
            further.emplace_back(c, which);
        else
            dropped.push_back(header.channel_name(c));
    }

    ImageFile result;
    result.Layout = {header.x, header.y, header.full_x, header.full_y, header.full_width, header.full_height, {}};
    for (const auto& [channel, which] : further)
        result.Layout.FurtherChannels.push_back(header.channel_name(channel));
    result.DroppedChannels = dropped;

    const std::size_t pixels = static_cast<std::size_t>(header.width) * static_cast<std::size_t>(header.height);
    const std::size_t channels = static_cast<std::size_t>(header.nchannels);
    std::vector<float> values(pixels * channels);
    if (!in->read_image(0, 0, 0, header.nchannels, TypeDesc::FLOAT, values.data()))
        throw Failure(name + ": cannot read the " + role + "'s pixels: " + Reason(in->geterror(), "damaged file"));
    // Identifiers are 32-bit integers: read them as such, not through float.
    std::vector<std::vector<std::uint32_t>> ids;
    for (const auto& [channel, which] : further) {
        if (!IsIdChannel(which))
            continue;
        ids.emplace_back(pixels);
        if (!in->read_image(0, 0, channel, channel + 1, TypeDesc::UINT32, ids.back().data()))
            throw Failure(name + ": cannot read the " + role + "'s channel " + std::string(header.channel_name(channel)) + ": " +
                          Reason(in->geterror(), "damaged file"));
    }

    const PixelStorage storage = StorageOf(header.channelformat(colour[0]));
    auto image = std::make_unique<Image>(header.width, header.height, storage, !further.empty());
    for (int y = 0; y < header.height; ++y) {
        for (int x = 0; x < header.width; ++x) {
            const std::size_t index = static_cast<std::size_t>(y) * static_cast<std::size_t>(header.width) +
                                      static_cast<std::size_t>(x);
            const float* v = values.data() + index * channels;
            Pixel p;
            p.R = v[colour[0]];
            p.G = v[colour[1]];
            p.B = v[colour[2]];
            p.A = colour[3] >= 0 ? v[colour[3]] : 1.0f;
            std::size_t id = 0;
            for (const auto& [channel, which] : further) {
                switch (which) {
                case Further::Z: p.Z = v[channel]; break;
                case Further::Coverage: p.Coverage = v[channel]; break;
                case Further::ObjectID: p.ObjectID = ids[id++][index]; break;
                case Further::MaterialID: p.MaterialID = ids[id++][index]; break;
                }
            }
            image->SetPixel(x, y, p);
        }
    }
    result.Pixels = std::move(image);
    return result;
}

void CheckOutputFormat(const std::filesystem::path& file, const WriteOptions& options)
{
    const std::string name = file.string();
    auto out = ImageOutput::create(name);
    if (!out)
        throw UsageError(name + ": no image format is known for this file name's extension");
    const std::string format = out->format_name();
    if (!out->supports("alpha"))
        throw UsageError(name + ": the " + format + " format cannot hold the alpha channel that keying produces");
    bool offered = true;
    if (format == "png" || format == "dpx")
        offered = options.Storage == PixelStorage::UInt8 || options.Storage == PixelStorage::UInt16;
    else if (format == "openexr")
        offered = options.Storage == PixelStorage::Half || options.Storage == PixelStorage::Float;
    if (!offered)
        throw UsageError(name + ": the " + format + " format cannot store " + StorageOption(options.Storage) +
                         " values; choose another --data-type");
    if (options.Premultiply && format == "png")
        throw UsageError(name + ": PNG holds straight alpha only; --premultiply cannot be written to it");
}

std::vector<std::string> WriteImageFile(const std::filesystem::path& file, const Image& image,
                                        const ImageLayout& layout, const WriteOptions& options)
{
    const std::string name = file.string();
    auto out = ImageOutput::create(name);
    if (!out)
        throw Failure(name + ": no image format is known for this file name's extension");

    std::vector<std::pair<std::string, Further>> further;
    std::vector<std::string> notWritten;
    for (const std::string& channel : layout.FurtherChannels) {
        Further which;
        if (!FurtherChannelOf(channel, which))
            continue;
        if (out->supports("channelformats") && out->supports("nchannels"))
            further.emplace_back(channel, which);
        else
            notWritten.push_back(channel);
    }

    const TypeDesc colourType = TypeOf(options.Storage);
    const int channels = 4 + static_cast<int>(further.size());
    ImageSpec header(image.Width, image.Height, channels, colourType);
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
        if (which == Further::Z)
            header.z_channel = static_cast<int>(header.channelnames.size()) - 1;
    }
    if (!further.empty()) {
        header.channelformats.assign(4, colourType);
        for (const auto& [channel, which] : further)
            header.channelformats.push_back(IsIdChannel(which) ? TypeDesc::UINT32 : TypeDesc::FLOAT);
    }
    header.attribute("qualvex:alpha", options.Premultiply ? "premultiplied" : "straight");
    if (!options.SettingsJson.empty()) {
        header.attribute("qualvex:settings", options.SettingsJson);
        header.attribute("qualvex:version", options.Version);
        // Formats without attributes of their own keep the same record in their description.
        nlohmann::ordered_json description;
        description["qualvex:version"] = options.Version;
        description["qualvex:settings"] = nlohmann::ordered_json::parse(options.SettingsJson);
        header.attribute("ImageDescription", description.dump());
    }
    if (!options.Premultiply)
        header.attribute("oiio:UnassociatedAlpha", 1);

    // One native pixel record per pixel: colour in the chosen type, then the further channels.
    const std::size_t colourBytes = 4 * colourType.size();
    std::size_t pixelBytes = colourBytes;
    for (const auto& [channel, which] : further)
        pixelBytes += IsIdChannel(which) ? sizeof(std::uint32_t) : sizeof(float);
    std::vector<unsigned char> buffer(pixelBytes * static_cast<std::size_t>(image.Width) *
                                      static_cast<std::size_t>(image.Height));
    unsigned char* at = buffer.data();
    for (int y = 0; y < image.Height; ++y) {
        for (int x = 0; x < image.Width; ++x, at += pixelBytes) {
            const Pixel p = image.GetPixel(x, y);
            float rgba[4] = {p.R, p.G, p.B, p.A};
            if (options.Premultiply)
                for (int c = 0; c < 3; ++c)
                    rgba[c] *= p.A;
            OIIO::convert_pixel_values(TypeDesc::FLOAT, rgba, colourType, at, 4);
            unsigned char* next = at + colourBytes;
            for (const auto& [channel, which] : further) {
                float value = 0.0f;
                std::uint32_t id = 0;
                switch (which) {
                case Further::Z: value = p.Z; break;
                case Further::Coverage: value = p.Coverage; break;
                case Further::ObjectID: id = p.ObjectID; break;
                case Further::MaterialID: id = p.MaterialID; break;
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
    }

    WriteAtomically(file, *out, header, further.empty() ? colourType : TypeDesc::UNKNOWN, buffer.data());
    return notWritten;
}

EmbeddedSettings ReadEmbeddedSettings(const std::filesystem::path& file)
{
    EmbeddedSettings settings;
    auto in = ImageInput::open(file.string());
    if (!in)
        throw Failure(file.string() + ": cannot read the settings file: " + Reason(OIIO::geterror(), "not an image"));
    const ImageSpec& header = in->spec();
    settings.Json = header.get_string_attribute("qualvex:settings");
    settings.Version = header.get_string_attribute("qualvex:version");
    if (!settings.Json.empty())
        return settings;
    const std::string description = header.get_string_attribute("ImageDescription");
    const auto parsed = nlohmann::ordered_json::parse(description, nullptr, false);
    if (parsed.is_object() && parsed.contains("qualvex:settings")) {
        settings.Json = parsed["qualvex:settings"].dump();
        if (parsed.contains("qualvex:version") && parsed["qualvex:version"].is_string())
            settings.Version = parsed["qualvex:version"].get<std::string>();
    }
    return settings;
}

}  // namespace qualvex::cli
