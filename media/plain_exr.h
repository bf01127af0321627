// Plain OpenEXR files read and written through OpenEXR itself, without the image library: one
// part of scanlines holding R, G, B and A, all float or all half, and nothing else, the frames a
// keying pipeline passes from step to step. Loading the image library takes some 0.3 s, most of a one-frame run
// and the part of a sequence that no second thread can share; OpenEXR alone loads in a few
// milliseconds. Every other file, and every plain one these calls turn down, goes to the image
// library, which reads and writes it as before: what a plain file reads as, and what is written
// for one, is what the image library reads and writes (the tests compare them).
#pragma once

#include "host/image.h"
#include "media/atomic_writer.h"
#include "media/image_reader.h"
#include "media/image_writer.h"
#include "media/settings_record.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace qualvex::plain_exr {

// Whether the name is an OpenEXR file's (".exr", in any case): the image library's "openexr".
bool IsExrName(const std::filesystem::path& file);

// The header's facts, as InspectImage gives them; nothing for a file that is not a plain OpenEXR
// file, or one compressed in B44 or DWA (or not a readable one: the image library then says why).
std::optional<ImageFacts> Inspect(const std::filesystem::path& file, const std::string& role);

// The image, as ReadImageFile reads it (float or half storage, no further channels); nothing for
// a file that is not a plain OpenEXR file, or one compressed in B44 or DWA. Throws Failure naming the file when keying it would take more
// than `maxBytes` or when its pixels are damaged.
std::optional<ImageFile> Read(const std::filesystem::path& file, const std::string& role, std::uint64_t maxBytes);

// The settings record the file holds, as ReadSettingsRecord reads it; nothing for a file that is
// not a plain OpenEXR file.
std::optional<SettingsRecord> ReadRecord(const std::filesystem::path& file);

// The image encoded into its temporary file, as EncodeImageFile does it; nothing unless `file` is
// an OpenEXR name and the image is float or half colour without further channels, its colour
// encoding kept, in any compression the format offers but DWA (whose level the image library
// chooses), from an image that offers rows.
// Throws Failure naming the file.
std::optional<EncodedFile> Encode(const std::filesystem::path& file, const Image& image, const ImageLayout& layout,
                                  const WriteOptions& options);

}  // namespace qualvex::plain_exr
