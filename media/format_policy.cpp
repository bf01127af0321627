#include "media/format_policy.h"

#include "base/errors.h"
#include "media/image_library.h"
#include "media/storage_kinds.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

namespace qualvex {
namespace {

// What a format holds, where it holds less than everything: the storage kinds it offers (none
// listed: any) and whether it keeps the settings record (in attributes of its own or in its
// image description).
struct FormatTraits {
    std::string_view Format;
    std::initializer_list<PixelStorage> Offered;
    bool KeepsRecord;
    std::initializer_list<std::string_view> Compressions;  // none listed: no choice offered
};

const FormatTraits kFormats[] = {
    {"openexr",
     {PixelStorage::Half, PixelStorage::Float},
     true,
     {"none", "rle", "zip", "zips", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"}},
    {"png", {PixelStorage::UInt8, PixelStorage::UInt16}, true, {}},
    {"tiff", {}, true, {"none", "lzw", "zip", "packbits"}},
    {"dpx", {PixelStorage::UInt8, PixelStorage::UInt16}, false, {}},
    {"bmp", {PixelStorage::UInt8}, false, {}},
    {"targa", {PixelStorage::UInt8}, false, {}},
    {"sgi", {PixelStorage::UInt8, PixelStorage::UInt16}, false, {}},
    {"webp", {PixelStorage::UInt8}, false, {}},
    {"jpeg2000", {PixelStorage::UInt8, PixelStorage::UInt16}, false, {}},
};

// Compressions whose decoded values may differ from those written.
constexpr std::string_view kLossyCompressions[] = {"pxr24", "b44", "b44a", "dwaa", "dwab"};

bool OffersCompression(const FormatTraits* traits, std::string_view compression)
{
    return traits != nullptr &&
           std::find(traits->Compressions.begin(), traits->Compressions.end(), compression) != traits->Compressions.end();
}

std::string Listed(std::initializer_list<std::string_view> names)
{
    std::string text;
    for (std::string_view name : names) {
        if (!text.empty())
            text += ", ";
        text += name;
    }
    return text;
}

const FormatTraits* TraitsOf(std::string_view format)
{
    for (const FormatTraits& traits : kFormats)
        if (traits.Format == format)
            return &traits;
    return nullptr;
}

bool Offers(std::string_view format, PixelStorage storage)
{
    const FormatTraits* traits = TraitsOf(format);
    if (traits == nullptr || traits->Offered.size() == 0)
        return true;
    return std::find(traits->Offered.begin(), traits->Offered.end(), storage) != traits->Offered.end();
}

}  // namespace

void CheckOutputFormat(const std::filesystem::path& file, PixelStorage storage)
{
    const std::string name = file.string();
    const image_library::OutputFormat output = image_library::OutputFormatOf(file);
    if (output.Name.empty())
        throw UsageError(name + ": no image format is known for this file name's extension");
    const std::string& format = output.Name;
    if (!output.HoldsAlpha)
        throw UsageError(name + ": the " + format + " format cannot hold the alpha channel that keying produces");
    if (!Offers(format, storage))
        throw UsageError(name + ": the " + format + " format cannot store " + KindOf(storage).Name +
                         " values; choose another --data-type");
}

PixelStorage DefaultOutputStorage(const std::filesystem::path& file, PixelStorage source)
{
    const bool integer = source == PixelStorage::UInt8 || source == PixelStorage::UInt16;
    const std::string format = FormatOf(file);
    if (integer && !format.empty() && !Offers(format, source) && Offers(format, PixelStorage::Half))
        return PixelStorage::Half;
    return source;
}

const char* AlphaReadingName(AlphaReading reading)
{
    return reading == AlphaReading::Associated ? "associated" : "straight";
}

AlphaReading StoredAlpha(const std::string& format, AlphaReading result)
{
    if (format == "openexr")
        return AlphaReading::Associated;
    if (format == "tiff")
        return result;
    return AlphaReading::Straight;
}

std::string OutputCompression(const std::filesystem::path& output, const std::string& asked,
                              const std::string& sourceFormat, const std::string& sourceCompression)
{
    const std::string format = FormatOf(output);
    const FormatTraits* traits = TraitsOf(format);
    const bool offersChoice = traits != nullptr && traits->Compressions.size() != 0;
    if (!asked.empty()) {
        if (OffersCompression(traits, asked))
            return asked;
        if (!offersChoice)
            throw UsageError(output.string() + ": the " + (format.empty() ? std::string("unknown") : format) +
                             " format offers no choice of compression; --compression " + asked + " cannot apply");
        throw UsageError(output.string() + ": the " + format + " format offers no compression named \"" + asked +
                         "\"; choose one of " + Listed(traits->Compressions));
    }
    if (!offersChoice)
        return std::string();
    if (sourceFormat == format && OffersCompression(traits, sourceCompression))
        return sourceCompression;
    return "zip";
}

bool CompressionLosesPrecision(const std::string& compression)
{
    return std::find(std::begin(kLossyCompressions), std::end(kLossyCompressions), compression) !=
           std::end(kLossyCompressions);
}

bool KeepsSettingsRecord(const std::string& format)
{
    const FormatTraits* traits = TraitsOf(format);
    return traits != nullptr && traits->KeepsRecord;
}

}  // namespace qualvex
