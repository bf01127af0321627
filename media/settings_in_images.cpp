// The settings record in image headers: embedded as a header is written, read back from a file.
#include "base/errors.h"
#include "media/image_library.h"
#include "media/oiio_errors.h"
#include "media/settings_record.h"

#include <OpenImageIO/imageio.h>

namespace qualvex {

void EmbedSettingsRecord(OIIO::ImageSpec& header, const SettingsRecord& record)
{
    if (record.Empty())
        return;
    header.attribute("qualvex:settings", record.Json);
    header.attribute("qualvex:version", record.Version);
    header.attribute("ImageDescription", SettingsDescription(record));
}

SettingsRecord image_library::ReadSettingsRecord(const std::filesystem::path& file)
{
    auto in = OIIO::ImageInput::open(file.string());
    if (!in)
        throw Failure(file.string() + ": cannot read the settings file: " + ErrorText(OIIO::geterror(), "not an image"));
    const OIIO::ImageSpec& header = in->spec();
    return SettingsRecordFrom(header.get_string_attribute("qualvex:settings"),
                              header.get_string_attribute("qualvex:version"),
                              header.get_string_attribute("ImageDescription"));
}

}  // namespace qualvex
