// A contact sheet of one keyed frame: the source, the matte as grey, and the result composited
// over a checkerboard, side by side in one 8-bit PNG.
#pragma once

#include "cli/atomic_writer.h"
#include "host/image.h"

#include <filesystem>

namespace qualvex::cli {

void WriteContactSheet(const std::filesystem::path& file, const Image& source, const Image& keyed,
                       ExistingFile existing);

}  // namespace qualvex::cli
