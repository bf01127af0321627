#include "cli/format_policy.h"

#include "cli/cli_errors.h"
#include "cli/storage_kinds.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <initializer_list>
#include <string_view>

namespace qualvex::cli {
namespace {

// Formats that hold only some storage kinds; any other format is taken at its word.
struct FormatStorage {
    std::string_view Format;
    std::initializer_list<PixelStorage> Offered;
};

const FormatStorage kRestrictedFormats[] = {
    {"png", {PixelStorage::UInt8, PixelStorage::UInt16}},
    {"dpx", {PixelStorage::UInt8, PixelStorage::UInt16}},
    {"openexr", {PixelStorage::Half, PixelStorage::Float}},
};

bool Offers(std::string_view format, PixelStorage storage)
{
    for (const FormatStorage& restricted : kRestrictedFormats)
        if (restricted.Format == format)
            return std::find(restricted.Offered.begin(), restricted.Offered.end(), storage) != restricted.Offered.end();
    return true;
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

}  // namespace qualvex::cli
