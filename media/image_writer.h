// Keyed host images written to image files, through the atomic writer: colour in the chosen
// storage, straight or associated as the format stores it, the further channels the source had where the format can
// hold them, the source's data and display windows, and the settings record.
#pragma once

#include "host/image.h"
#include "media/atomic_writer.h"
#include "media/format_policy.h"
#include "media/image_reader.h"
#include "media/settings_record.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qualvex {

struct WriteOptions {
    PixelStorage Storage = PixelStorage::Float;
    AlphaReading Result = AlphaReading::Straight;  // how the image's colour reads; the format decides how it is stored
    std::string Compression;  // the format's own default when empty
    SettingsRecord Record;  // nothing embedded when empty
    ExistingFile Existing = ExistingFile::Keep;
    // Converts the colour from the layout's encoding to linear light on write, through
    // OpenImageIO's colour conversion (OpenColorIO where $OCIO names a configuration); alpha is
    // kept. The file then says "Linear" and what was converted.
    bool LinearColour = false;
    // Further header attributes, name and text ("qualvex:cleanplate" = "YCbCr").
    std::vector<std::pair<std::string, std::string>> Attributes{};
};

// Returns the names of further channels that the format could not hold.
std::vector<std::string> WriteImageFile(const std::filesystem::path& file, const Image& image,
                                        const ImageLayout& layout, const WriteOptions& options);

// The image encoded into its temporary file, to be put in place by the caller (on another thread,
// if it will); `notWritten` gets the further channels the format could not hold.
EncodedFile EncodeImageFile(const std::filesystem::path& file, const Image& image, const ImageLayout& layout,
                            const WriteOptions& options, std::vector<std::string>& notWritten);

// An 8-bit RGB picture for the eye (a preview).
void WriteRgb8Png(const std::filesystem::path& file, int width, int height, const std::vector<std::uint8_t>& rgb,
                  ExistingFile existing);

// Loads the image library now if it is not yet loaded (it is loaded when first needed: see
// image_library.h), so that a run that will write an image only at its end (a preview) fails
// before its first frame when it cannot. Throws Failure saying what is missing.
void RequireImageFiles();

// Whether image files are decoded and encoded entirely in the thread that reads or writes them
// (true), or with the image library's own threads working on a file's blocks as well (false, its
// default). A run whose frame workers already keep every core busy wants the first: the library's
// threads would only contend with them. Holds from the next file read or written; set while no
// file is. Does not load the image library: a run that never touches an image file never does.
void CodeImagesInCallingThreads(bool callingThreadsOnly);

// An 8-bit picture of 1 (grey) or 3 (RGB) channels, as the bytes of a PNG file, lightly
// compressed for speed. Throws Failure when no PNG can be made.
std::string EncodePng(int width, int height, int channels, const std::vector<unsigned char>& pixels);

}  // namespace qualvex
