// The one way qualvex writes an image file: to a temporary file beside it, renamed into place
// only once complete, so a name never holds a partial image and a failure leaves no file behind.
#pragma once

#include <OpenImageIO/imageio.h>

#include <filesystem>

namespace qualvex::cli {

// Writes `data` (pixels of `type`, or of the header's per-channel formats when `type` is
// UNKNOWN) through `out`, an output created for `file`'s format. Throws Failure naming `file`.
void WriteImageAtomically(const std::filesystem::path& file, OIIO::ImageOutput& out, const OIIO::ImageSpec& header,
                          OIIO::TypeDesc type, const void* data);

}  // namespace qualvex::cli
