// The calls that need the image library, as one table. The image library brings some 120 shared
// libraries that nothing else needs, which take 0.2 s and about 100 MB to load; a run that touches
// no image file (a movie keyed into a movie) need not pay that. So the program reaches these calls
// through a module of their own (qualvex-images.so, beside the commands module), loaded the first
// time one is made; a program linked with the calls themselves (qualvex_media_images) uses them
// directly. The public functions (ReadImageFile, WriteImageFile, ...) are the way in; this table is
// the file layer's own.
#pragma once

#include "host/image.h"
#include "media/atomic_writer.h"
#include "media/image_reader.h"
#include "media/image_writer.h"
#include "media/settings_record.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qualvex::image_library {

// What the image library makes of an output file's name.
struct OutputFormat {
    std::string Name;         // its name for the format ("openexr", "png"); empty when none is known
    bool HoldsAlpha = false;  // whether the format can hold an alpha channel
};

// The calls, as image_reader.h, image_writer.h, format_policy.h and settings_record.h describe
// them.
ImageFacts InspectImage(const std::filesystem::path& file, const std::string& role);
ImageFile ReadImageFile(const std::filesystem::path& file, const std::string& role, std::uint64_t maxBytes);
bool HasAlphaChannel(const std::filesystem::path& file);
std::vector<std::string> WriteImageFile(const std::filesystem::path& file, const Image& image,
                                        const ImageLayout& layout, const WriteOptions& options);
EncodedFile EncodeImageFile(const std::filesystem::path& file, const Image& image, const ImageLayout& layout,
                            const WriteOptions& options, std::vector<std::string>& notWritten);
void WriteRgb8Png(const std::filesystem::path& file, int width, int height, const std::vector<std::uint8_t>& rgb,
                  ExistingFile existing);
std::string EncodePng(int width, int height, int channels, const std::vector<unsigned char>& pixels);
OutputFormat LookUpOutputFormat(const std::filesystem::path& file);
SettingsRecord ReadSettingsRecord(const std::filesystem::path& file);
void CodeImagesInCallingThreads(bool callingThreadsOnly);

struct Calls {
    // sizeof(Calls) and the program's version: a module from another build is refused.
    std::size_t Size;
    const char* Version;
    decltype(&InspectImage) Inspect;
    decltype(&ReadImageFile) Read;
    decltype(&HasAlphaChannel) HasAlpha;
    decltype(&WriteImageFile) Write;
    decltype(&EncodeImageFile) Encode;
    decltype(&WriteRgb8Png) WritePng;
    decltype(&EncodePng) EncodePngBytes;
    decltype(&LookUpOutputFormat) LookUpFormat;
    decltype(&ReadSettingsRecord) ReadRecord;
    decltype(&CodeImagesInCallingThreads) CallingThreadsOnly;
};

// What an output file's name stands for: an OpenEXR name is known without the image library
// (plain_exr.h), any other is looked up in it.
OutputFormat OutputFormatOf(const std::filesystem::path& file);

// The calls in use: the ones linked into this program, or else the module's, loaded on first use.
// Throws Failure when the module is missing or from another build.
const Calls& Library();

// The module's one entry point: the table, QualvexImageLibrary() (image_library_table.cpp).
inline constexpr const char* kModuleEntry = "QualvexImageLibrary";

}  // namespace qualvex::image_library
