// What each output format can hold, decided before any frame is rendered: alpha, the storage
// kinds it offers, and whether it may carry premultiplied colour.
#pragma once

#include "host/image.h"

#include <filesystem>
#include <string>

namespace qualvex::cli {

// Throws UsageError naming the file when its format (from the extension) has no alpha, does
// not offer `storage`, or cannot hold premultiplied colour when `premultiplied` is asked for.
void CheckOutputFormat(const std::filesystem::path& file, PixelStorage storage, bool premultiplied);

// Whether files of `format` (OpenImageIO's name for it) keep the settings record qualvex embeds,
// so that --settings can restore from them and --resume can tell whose they are.
bool KeepsSettingsRecord(const std::string& format);

// The format a file of this name is written in ("openexr", "png", ...), or empty when none is.
std::string FormatOf(const std::filesystem::path& file);

}  // namespace qualvex::cli
