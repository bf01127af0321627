#include "media/settings_record.h"

#include "base/errors.h"
#include "base/safe_text.h"
#include "media/oiio_errors.h"

#include <nlohmann/json.hpp>

namespace qualvex {

void EmbedSettingsRecord(OIIO::ImageSpec& header, const SettingsRecord& record)
{
    if (record.Empty())
        return;
    header.attribute("qualvex:settings", record.Json);
    header.attribute("qualvex:version", record.Version);
    nlohmann::ordered_json description;
    description["qualvex:version"] = record.Version;
    description["qualvex:settings"] = nlohmann::ordered_json::parse(record.Json);
    header.attribute("ImageDescription", description.dump());
}

bool SameSettings(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    if (JsonNestingDepth(a) > kMaxJsonDepth || JsonNestingDepth(b) > kMaxJsonDepth)
        return false;
    const auto left = nlohmann::json::parse(a, nullptr, false);
    const auto right = nlohmann::json::parse(b, nullptr, false);
    return !left.is_discarded() && left == right;
}

SettingsRecord ReadSettingsRecord(const std::filesystem::path& file)
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
