// Settings files: the JSON object read by --settings, and the settings record qualvex embeds in
// the description of an image it wrote. The first byte of the input chooses which one the rest
// of it is: even, JSON text handed to ParseSettingsJson; odd, the description of a one-pixel TIFF
// file read back with ReadSettingsFile. A usage error or a failure is a refusal, as the program
// reports it; any other exception escapes and ends the run as a fault.
#include "fuzz_check.h"
#include "tool_instance.h"

#include "base/errors.h"
#include "host/operator.h"
#include "jobs/control_settings.h"

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using qualvex::fuzz::Require;

constexpr const char* kOrigin = "fuzz input";

// Never destroyed, so that the removal at exit can still name it.
const std::filesystem::path& ScratchImage()
{
    static const std::filesystem::path* const file = [] {
        auto* path = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                               ("qualvex-fuzz-settings-" + std::to_string(::getpid()) + ".tif"));
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove(ScratchImage(), ignored);
        });
        return path;
    }();
    return *file;
}

void WriteImageWithDescription(const std::filesystem::path& file, const std::string& description)
{
    auto out = OIIO::ImageOutput::create(file.string());
    Require(out != nullptr, "a TIFF writer is available");
    OIIO::ImageSpec header(1, 1, 1, OIIO::TypeDesc::UINT8);
    header.attribute("ImageDescription", description);
    const unsigned char pixel = 0;
    Require(out->open(file.string(), header) && out->write_image(OIIO::TypeDesc::UINT8, &pixel) && out->close(),
            "the scratch image " + file.string() + " can be written");
}

// What a parsed settings file must be: known number controls, each once, with finite values, in
// the order of the control page.
void CheckValues(const Operator& op, const std::vector<qualvex::ControlValue>& values)
{
    std::set<std::string> seen;
    std::size_t lastPosition = 0;
    for (const qualvex::ControlValue& value : values) {
        Require(std::isfinite(value.Value), "control \"" + value.ID + "\" has a finite value");
        Require(seen.insert(value.ID).second, "control \"" + value.ID + "\" is set once");
        std::size_t position = 0;
        while (position < op.Inputs().size() && op.Inputs()[position]->ID() != value.ID)
            ++position;
        Require(position < op.Inputs().size(), "control \"" + value.ID + "\" is an input of the tool");
        Require(op.Inputs()[position]->Value() != nullptr, "control \"" + value.ID + "\" holds a value");
        Require(seen.size() == 1 || position > lastPosition, "values come in control-page order");
        lastPosition = position;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qualvex::fuzz::ToolInstance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const Operator& op = qualvex::fuzz::ToolInstance();
    const bool embedded = (data[0] & 1) != 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    if (!embedded) {
        try {
            CheckValues(op, qualvex::ParseSettingsJson(op, text, kOrigin));
        } catch (const qualvex::UsageError& refused) {
            Require(std::string(refused.what()).starts_with(std::string(kOrigin) + ": "), "a refusal names its origin");
        } catch (const qualvex::Failure& failed) {
            Require(std::string(failed.what()).starts_with(std::string(kOrigin) + ": "), "a failure names its origin");
        }
        return 0;
    }

    // A TIFF description is text up to its first NUL.
    text = text.substr(0, text.find('\0'));
    const std::filesystem::path& file = ScratchImage();
    WriteImageWithDescription(file, text);
    try {
        const qualvex::SettingsFile settings = qualvex::ReadSettingsFile(op, file);
        Require(settings.Embedded, "settings read from an image are an embedded record");
        CheckValues(op, settings.Values);
    } catch (const qualvex::UsageError& refused) {
        Require(std::string(refused.what()).starts_with(file.string() + ": "), "a refusal names the file");
    } catch (const qualvex::Failure& failed) {
        Require(std::string(failed.what()).starts_with(file.string() + ": "), "a failure names the file");
    }
    return 0;
}
