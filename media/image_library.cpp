#include "media/image_library.h"

#include "base/errors.h"
#include "media/format_policy.h"
#include "media/module_loader.h"
#include "media/plain_exr.h"

#include <mutex>
#include <optional>

// Defined only where the calls are linked in: weak, so that a program without them links, and
// loads the module instead.
extern "C" [[gnu::weak]] const qualvex::image_library::Calls* QualvexImageLibrary();

namespace qualvex {
namespace image_library {

namespace {

// Where the image library codes files (CodeImagesInCallingThreads): asked for before the module is
// loaded, it is told when it is. Under one lock with the table, so that no wish falls between.
struct CodingThreads {
    std::mutex Lock;
    std::optional<bool> CallingThreadsOnly;
    const Calls* Loaded = nullptr;
};

CodingThreads& Coding()
{
    static CodingThreads coding;
    return coding;
}

// The module, checked and loaded once; a wish for the coding threads made before is handed over.
const Calls& LoadModule()
{
    const Calls* calls = &LoadModuleTable<Calls>("qualvex-images.so", kModuleEntry, "image module",
                                                 "reading and writing image files needs it");
    CodingThreads& coding = Coding();
    const std::lock_guard<std::mutex> hold(coding.Lock);
    if (coding.CallingThreadsOnly)
        calls->CallingThreadsOnly(*coding.CallingThreadsOnly);
    coding.Loaded = calls;
    return *calls;
}

}  // namespace

const Calls& Library()
{
    if (QualvexImageLibrary != nullptr)
        return *QualvexImageLibrary();
    // A failed load throws before the table is kept: the next call tries again and says why.
    static const Calls& loaded = LoadModule();
    return loaded;
}

}  // namespace image_library

void RequireImageFiles() { image_library::Library(); }

void CodeImagesInCallingThreads(bool callingThreadsOnly)
{
    if (QualvexImageLibrary != nullptr) {
        QualvexImageLibrary()->CallingThreadsOnly(callingThreadsOnly);
        return;
    }
    image_library::CodingThreads& coding = image_library::Coding();
    const std::lock_guard<std::mutex> hold(coding.Lock);
    coding.CallingThreadsOnly = callingThreadsOnly;
    if (coding.Loaded != nullptr)
        coding.Loaded->CallingThreadsOnly(callingThreadsOnly);
}

// Plain OpenEXR files go through OpenEXR alone, everything else through the image library: a run
// on plain frames never loads it (plain_exr.h).
ImageFacts InspectImage(const std::filesystem::path& file, const std::string& role)
{
    if (std::optional<ImageFacts> facts = plain_exr::Inspect(file, role))
        return *std::move(facts);
    return image_library::Library().Inspect(file, role);
}

ImageFile ReadImageFile(const std::filesystem::path& file, const std::string& role, std::uint64_t maxBytes)
{
    if (std::optional<ImageFile> image = plain_exr::Read(file, role, maxBytes))
        return *std::move(image);
    return image_library::Library().Read(file, role, maxBytes);
}

bool HasAlphaChannel(const std::filesystem::path& file) { return image_library::Library().HasAlpha(file); }

std::vector<std::string> WriteImageFile(const std::filesystem::path& file, const Image& image,
                                        const ImageLayout& layout, const WriteOptions& options)
{
    std::vector<std::string> notWritten;
    EncodeImageFile(file, image, layout, options, notWritten).PutInPlace();
    return notWritten;
}

EncodedFile EncodeImageFile(const std::filesystem::path& file, const Image& image, const ImageLayout& layout,
                            const WriteOptions& options, std::vector<std::string>& notWritten)
{
    if (std::optional<EncodedFile> encoded = plain_exr::Encode(file, image, layout, options)) {
        notWritten.clear();
        return *std::move(encoded);
    }
    return image_library::Library().Encode(file, image, layout, options, notWritten);
}

void WriteRgb8Png(const std::filesystem::path& file, int width, int height, const std::vector<std::uint8_t>& rgb,
                  ExistingFile existing)
{
    image_library::Library().WritePng(file, width, height, rgb, existing);
}

std::string EncodePng(int width, int height, int channels, const std::vector<unsigned char>& pixels)
{
    return image_library::Library().EncodePngBytes(width, height, channels, pixels);
}

image_library::OutputFormat image_library::OutputFormatOf(const std::filesystem::path& file)
{
    return plain_exr::IsExrName(file) ? OutputFormat{"openexr", true} : Library().LookUpFormat(file);
}

std::string FormatOf(const std::filesystem::path& file) { return image_library::OutputFormatOf(file).Name; }

SettingsRecord ReadSettingsRecord(const std::filesystem::path& file)
{
    if (std::optional<SettingsRecord> record = plain_exr::ReadRecord(file))
        return *std::move(record);
    return image_library::Library().ReadRecord(file);
}

}  // namespace qualvex
