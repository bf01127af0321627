// Image files read into host images, through OpenImageIO. Colour comes from the R, G, B and A
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

namespace qualvex {

// Where the pixels sit: the data window inside the display window, as in the file.
struct ImageLayout {
    int X = 0, Y = 0;
    int FullX = 0, FullY = 0, FullWidth = 0, FullHeight = 0;
    // Which further channels the file had, by the names it used for them.
    std::vector<std::string> FurtherChannels;
    // How the colour is encoded, as the file says or its format implies (OpenImageIO's colour
    // space names: "sRGB", "Rec709", "Linear"); empty when nothing says.
    std::string ColourEncoding{};
};

struct ImageFile {
    std::unique_ptr<Image> Pixels;
    ImageLayout Layout;
    std::vector<std::string> DroppedChannels;  // channels neither colour nor further channels
};

// What a file's header says, read without its pixels.
struct ImageFacts {
    PixelStorage Storage;  // the storage kind its colour is keyed in
    int Width = 0;
    int Height = 0;
    int Channels = 0;
    std::uint64_t BytesToKey = 0;  // memory that reading and keying it takes, at most
    std::string Format;            // OpenImageIO's name for its format ("openexr", "tiff", ...)
    std::string Compression;       // as its header names it; empty when it names none
    std::string ColourEncoding{};  // as ImageLayout's
    // The colour space whose references a clean plate written by qualvex fit holds ("RGB",
    // "YCbCr"); empty for any other image.
    std::string CleanPlateSpace{};
};

inline constexpr std::uint64_t kNoMemoryLimit = ~std::uint64_t{0};

// `role` ("source", "key image") goes into messages. Throws Failure naming the file and the
// reason for a file that is missing, not a plain file, unreadable, or holds what is not keyed
// (a movie, several parts or subimages, deep data).
ImageFacts InspectImage(const std::filesystem::path& file, const std::string& role);

// Reads the image. Throws Failure naming the file when it is damaged (the reader reported an
// error, or the file is shorter than the data its header promises, where the format says how
// long that is), or when keying it would take more than `maxBytes`.
ImageFile ReadImageFile(const std::filesystem::path& file, const std::string& role,
                        std::uint64_t maxBytes = kNoMemoryLimit);

// Whether the file is an image with a channel named A; false for anything that is not a readable
// image.
bool HasAlphaChannel(const std::filesystem::path& file);

}  // namespace qualvex
