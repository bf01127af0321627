// Image files read into host images, through OpenImageIO. Colour comes from the R, G, B and A
// channels by name (one channel alone is grey; no alpha reads as 1); channels that match the
// host's further per-pixel channels travel in the image's second plane; values are taken as
// stored, with no transfer curve applied or removed.
#pragma once

#include "host/image.h"

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

}  // namespace qualvex::cli
