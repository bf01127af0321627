// The settings record qualvex embeds in every output: every control value (JSON) and the
// versions of the program and the tool that made it. Formats with attributes of their own carry
// it as "qualvex:settings" and "qualvex:version"; the same record also travels in the image
// description, which formats without custom attributes (TIFF) keep.
#pragma once

#include <filesystem>
#include <string>

// Declared only: the image library's full header costs every file that includes this one.
#include <OpenImageIO/oiioversion.h>
OIIO_NAMESPACE_BEGIN
class ImageOutput;
class ImageSpec;
struct TypeDesc;
OIIO_NAMESPACE_END

namespace qualvex {

struct SettingsRecord {
    std::string Json;     // control ID to value, in control-page order
    std::string Version;  // "qualvex 1.0.0; Sondrel.plugin 1.0.0.0"

    bool Empty() const { return Json.empty(); }
};

// Adds the record to a header about to be written; an empty record adds nothing.
void EmbedSettingsRecord(OIIO::ImageSpec& header, const SettingsRecord& record);

// The image description that carries a non-empty record: {"qualvex:version": ..., "qualvex:settings":
// {...}}.
std::string SettingsDescription(const SettingsRecord& record);

// The record an image's header holds: its own attributes ("qualvex:settings", "qualvex:version"),
// or else the one its description carries; empty when neither holds one.
SettingsRecord SettingsRecordFrom(std::string settings, std::string version, const std::string& description);

// Whether two records hold the same control values (compared as values, not as text).
bool SameSettings(const std::string& a, const std::string& b);

// Whether the file's first bytes are the signature of an image format that can carry a record
// (OpenEXR, PNG, TIFF, DPX, JPEG, JPEG 2000, WebP, SGI, BMP): a quick look that never asks the image
// library to guess.
bool StartsLikeAnImage(const std::filesystem::path& file);

// The record embedded in an image written by qualvex; empty when it has none. Throws Failure
// naming the file when it is not a readable image.
SettingsRecord ReadSettingsRecord(const std::filesystem::path& file);

}  // namespace qualvex
