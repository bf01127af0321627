#include "cli/format_policy.h"

#include "cli/cli_errors.h"
#include "cli/storage_kinds.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <initializer_list>
#include <string_view>

namespace qualvex::cli {
namespace {

// What a format holds, where it holds less than everything: the storage kinds it offers (none
// listed: any) and whether it keeps the settings record (in attributes of its own or in its
// image description).
struct FormatTraits {
    std::string_view Format;
    std::initializer_list<PixelStorage> Offered;
    bool KeepsRecord;
};

const FormatTraits kFormats[] = {
    {"openexr", {PixelStorage::Half, PixelStorage::Float}, true},
    {"png", {PixelStorage::UInt8, PixelStorage::UInt16}, true},
    {"tiff", {}, true},
    {"dpx", {PixelStorage::UInt8, PixelStorage::UInt16}, false},
    {"bmp", {PixelStorage::UInt8}, false},
    {"targa", {PixelStorage::UInt8}, false},
    {"sgi", {PixelStorage::UInt8, PixelStorage::UInt16}, false},
    {"webp", {PixelStorage::UInt8}, false},
    {"jpeg2000", {PixelStorage::UInt8, PixelStorage::UInt16}, false},
};

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

void CheckOutputFormat(const std::filesystem::path& file, PixelStorage storage, bool premultiplied)
{
    const std::string name = file.string();
    auto out = OIIO::ImageOutput::create(name);
    if (!out)
        throw UsageError(name + ": no image format is known for this file name's extension");
    const std::string format = out->format_name();
    if (!out->supports("alpha"))
        throw UsageError(name + ": the " + format + " format cannot hold the alpha channel that keying produces");
    if (!Offers(format, storage))
        throw UsageError(name + ": the " + format + " format cannot store " + KindOf(storage).Name +
                         " values; choose another --data-type");
    if (premultiplied && format == "png")
        throw UsageError(name + ": PNG holds straight alpha only; --premultiply cannot be written to it");
}

bool KeepsSettingsRecord(const std::string& format)
{
    const FormatTraits* traits = TraitsOf(format);
    return traits != nullptr && traits->KeepsRecord;
}

std::string FormatOf(const std::filesystem::path& file)
{
    auto out = OIIO::ImageOutput::create(file.string());
    return out ? out->format_name() : std::string();
}

}  // namespace qualvex::cli
