// Image files in and out of host images, through OpenImageIO. Colour comes from the R, G, B and A
// channels by name (one channel alone is grey; no alpha reads as 1); channels that match the
// host's further per-pixel channels travel in the image's second plane; values are taken as
// stored, with no transfer curve applied or removed.
#pragma once

#include "host/image.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qualvex::cli {

// Where the pixels sit: the data window inside the display window, as in the file.
struct ImageLayout {
    int X = 0, Y = 0;
    int FullX = 0, FullY = 0, FullWidth = 0, FullHeight = 0;
    // Which further channels the file had, by the names it used for them.
    std::vector<std::string> FurtherChannels;
};

struct ImageFile {
    std::unique_ptr<Image> Pixels;
    ImageLayout Layout;
    std::vector<std::string> DroppedChannels;  // channels neither colour nor further channels
};

// Reads the first subimage. `role` ("source", "key image") goes into messages; a file that is
// missing, unreadable or damaged throws Failure naming it and the reason.
ImageFile ReadImageFile(const std::filesystem::path& file, const std::string& role);

// The storage kind a file's colour would be keyed in, from its header alone.
PixelStorage StoredPixelKind(const std::filesystem::path& file, const std::string& role);

struct WriteOptions {
    PixelStorage Storage = PixelStorage::Float;
    bool Premultiply = false;
    std::string SettingsJson;  // embedded as "qualvex:settings"; nothing embedded when empty
    std::string Version;       // embedded as "qualvex:version"
};

// Refuses, before any rendering, an output that cannot hold what would be written: a format
// without alpha, a storage kind the format does not offer, premultiplied colour in PNG.
void CheckOutputFormat(const std::filesystem::path& file, const WriteOptions& options);

// Writes to a temporary file beside `file` and renames it into place once complete, so the
// output name never holds a partial image. Returns the names of further channels that the
// format could not hold.
std::vector<std::string> WriteImageFile(const std::filesystem::path& file, const Image& image,
                                        const ImageLayout& layout, const WriteOptions& options);

// An 8-bit RGB picture for the eye (a preview), written the same safe way.
void WriteRgb8Png(const std::filesystem::path& file, int width, int height, const std::vector<std::uint8_t>& rgb);

struct EmbeddedSettings {
    std::string Json;
    std::string Version;
};

// The settings embedded in an image written by qualvex; empty when it has none.
EmbeddedSettings ReadEmbeddedSettings(const std::filesystem::path& file);

PixelStorage ParseStorage(const std::string& name);  // uint8, uint16, half, float

}  // namespace qualvex::cli
