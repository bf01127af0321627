// The settings record in image headers: embedded as a header is written, read back from a file.
#include "base/errors.h"
#include "base/safe_text.h"
#include "media/image_library.h"
#include "media/oiio_errors.h"
#include "media/settings_record.h"

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

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
    SettingsRecord record;
    auto in = OIIO::ImageInput::open(file.string());
    if (!in)
        throw Failure(file.string() + ": cannot read the settings file: " + ErrorText(OIIO::geterror(), "not an image"));
    const OIIO::ImageSpec& header = in->spec();
    record.Json = header.get_string_attribute("qualvex:settings");
    record.Version = header.get_string_attribute("qualvex:version");
    if (!record.Json.empty())
        return record;
    const std::string description = header.get_string_attribute("ImageDescription");
    // The description is anyone's text: a record nested deeper than any record is none of ours.
    if (JsonNestingDepth(description) > kMaxJsonDepth)
        return record;
    const auto parsed = nlohmann::ordered_json::parse(description, nullptr, false);
    if (parsed.is_object() && parsed.contains("qualvex:settings")) {
        record.Json = parsed["qualvex:settings"].dump();
        if (parsed.contains("qualvex:version") && parsed["qualvex:version"].is_string())
            record.Version = parsed["qualvex:version"].get<std::string>();
    }
    return record;
}

}  // namespace qualvex
