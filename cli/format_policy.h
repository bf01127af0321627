// What each output format can hold, decided before any frame is rendered: alpha, the storage
// kinds it offers, and whether it may carry premultiplied colour.
#pragma once

#include "host/image.h"

#include <filesystem>

namespace qualvex::cli {

// Throws UsageError naming the file when its format (from the extension) has no alpha, does
// not offer `storage`, or cannot hold premultiplied colour when `premultiplied` is asked for.
void CheckOutputFormat(const std::filesystem::path& file, PixelStorage storage, bool premultiplied);

}  // namespace qualvex::cli
