#include "media/settings_record.h"

#include "base/safe_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <fstream>
#include <initializer_list>
#include <utility>

namespace qualvex {

std::string SettingsDescription(const SettingsRecord& record)
{
    nlohmann::ordered_json description;
    description["qualvex:version"] = record.Version;
    description["qualvex:settings"] = nlohmann::ordered_json::parse(record.Json);
    return description.dump();
}

SettingsRecord SettingsRecordFrom(std::string settings, std::string version, const std::string& description)
{
    SettingsRecord record{std::move(settings), std::move(version)};
    if (!record.Json.empty())
        return record;
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

bool StartsLikeAnImage(const std::filesystem::path& file)
{
    std::array<unsigned char, 12> head{};
    {
        std::ifstream in(file, std::ios::binary);
        in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
        if (in.gcount() < static_cast<std::streamsize>(head.size()))
            return false;
    }
    const auto starts = [&head](std::initializer_list<unsigned char> bytes, std::size_t at = 0) {
        return std::equal(bytes.begin(), bytes.end(), head.begin() + static_cast<std::ptrdiff_t>(at));
    };
    return starts({0x76, 0x2F, 0x31, 0x01}) ||                                  // OpenEXR
           starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}) ||             // PNG
           starts({'I', 'I', 0x2A, 0x00}) || starts({'M', 'M', 0x00, 0x2A}) ||  // TIFF
           starts({'I', 'I', 0x2B, 0x00}) || starts({'M', 'M', 0x00, 0x2B}) ||  // BigTIFF
           starts({'S', 'D', 'P', 'X'}) || starts({'X', 'P', 'D', 'S'}) ||      // DPX
           starts({0xFF, 0xD8, 0xFF}) ||                                        // JPEG
           starts({0x00, 0x00, 0x00, 0x0C, 'j', 'P', ' ', ' '}) || starts({0xFF, 0x4F, 0xFF, 0x51}) ||  // JPEG 2000
           (starts({'R', 'I', 'F', 'F'}) && starts({'W', 'E', 'B', 'P'}, 8)) ||  // WebP
           starts({0x01, 0xDA}) ||                                              // SGI
           starts({'B', 'M'});                                                  // BMP
}

}  // namespace qualvex
