// A contact sheet of one keyed frame, each panel named in a strip above it: the source, the matte
// as grey, and the result composited over a checkerboard (straight colour: C a + B (1 - a); associated: C + B (1 - a)), side by side
// in one 8-bit PNG.
#pragma once

#include "host/image.h"
#include "media/atomic_writer.h"
#include "media/format_policy.h"

#include <filesystem>

namespace qualvex {

void WriteContactSheet(const std::filesystem::path& file, const Image& source, const Image& keyed,
                       AlphaReading keyedColour, ExistingFile existing);

}  // namespace qualvex
