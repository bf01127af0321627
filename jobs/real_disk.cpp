#include "jobs/real_disk.h"

#include "media/format_policy.h"
#include "media/settings_record.h"

#include <system_error>

namespace qualvex {
namespace {

OutputState InspectOutput(const std::filesystem::path& path, const std::string& settingsJson)
{
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (error || status.type() == std::filesystem::file_type::not_found) {
        const std::filesystem::path folder = path.parent_path();
        return folder.empty() || std::filesystem::is_directory(folder, error) ? OutputState::Missing
                                                                                : OutputState::NoFolder;
    }
    if (!std::filesystem::is_regular_file(path, error))
        return OutputState::NotAFile;
    if (settingsJson.empty())
        return OutputState::Unfinished;  // nothing to compare: the policy decides alone
    try {
        const SettingsRecord record = ReadSettingsRecord(path);  // throws when it is no image
        if (!record.Empty())
            return SameSettings(record.Json, settingsJson) ? OutputState::Finished : OutputState::OtherSettings;
        // A format that keeps no record cannot say whose it is: an image that opens is taken as done.
        return KeepsSettingsRecord(FormatOf(path)) ? OutputState::Unfinished : OutputState::Finished;
    } catch (const std::exception&) {
        return OutputState::Unfinished;
    }
}

}  // namespace

DiskView RealDisk()
{
    DiskView disk;
    disk.FramesOnDisk = [](const FramePattern& pattern) { return pattern.FramesOnDisk(); };
    disk.Canonical = [](const std::filesystem::path& path) {
        std::error_code error;
        // Absolute first: a name whose file does not exist yet resolves no further than its folder.
        const std::filesystem::path absolute = std::filesystem::absolute(path, error);
        const std::filesystem::path canonical = std::filesystem::weakly_canonical(error ? path : absolute, error);
        return error ? path.lexically_normal() : canonical;
    };
    disk.Inspect = InspectOutput;
    return disk;
}

}  // namespace qualvex
