#include "farm/frame_check.h"

#include "base/errors.h"
#include "farm/farm_tasks.h"
#include "host/operator.h"
#include "jobs/control_settings.h"
#include "jobs/frame_sequence.h"
#include "jobs/keyer_plugin.h"
#include "media/image_reader.h"
#include "media/settings_record.h"

#include <nlohmann/json.hpp>

#include <system_error>

namespace qualvex {
namespace {

using Json = nlohmann::ordered_json;

// The settings record a frame must carry: the keyer's controls and, where the settings finish
// the key, the finishing tool's, as key --settings `file` would set them.
std::string ExpectedRecord(const KeyerPlugin& plugin, const std::filesystem::path& file)
{
    const std::unique_ptr<Operator> keyer = plugin.NewInstance();
    RunSettings settings;
    settings.File = ReadSettingsFile(*keyer, file);
    settings.ApplyTo(*keyer);
    if (settings.File.FinishJson.empty())
        return SettingsRecordJson(*keyer, nullptr);
    const std::unique_ptr<KeyerPlugin> finishing = plugin.LoadSibling(kFinishingToolFile, kFinishingToolClassID);
    const std::unique_ptr<Operator> finisher = finishing->NewInstance();
    ApplyControlValues(*finisher, ParseFinishSectionJson(*finisher, settings.File.FinishJson, file.string() + " (finish)"));
    return SettingsRecordJson(*keyer, finisher.get());
}

}  // namespace

bool SameRecord(const std::string& a, const std::string& b)
{
    if (a.empty() || b.empty())
        return false;
    const Json x = Json::parse(a, nullptr, false);
    const Json y = Json::parse(b, nullptr, false);
    return !x.is_discarded() && x == y;
}

namespace {

std::string Few(const FramePattern& output, const std::vector<int>& frames)
{
    // A few names, then the rest as frame ranges.
    constexpr std::size_t kNamed = 3;
    std::string text;
    for (std::size_t i = 0; i < frames.size() && i < kNamed; ++i)
        text += (i ? ", " : "") + output.PathFor(frames[i]).filename().string();
    if (frames.size() > kNamed)
        text += " and " + std::to_string(frames.size() - kNamed) + " more (frames " + DescribeFrames(frames) + ")";
    return text;
}

}  // namespace

FrameCheck VerifyFrames(const KeyerPlugin& plugin, const FarmVerifyOptions& options)
{
    if (options.Frames.empty())
        throw UsageError("--frames A-B: the frames the outputs should hold");
    const FramePattern output(options.Output);
    const FrameRange range = ParseFrameRange(options.Frames);
    if (!output.IsSequence() && range.First != range.Last)
        throw UsageError(options.Output + " is a single file: --frames takes one frame");
    std::filesystem::path settings = options.Settings;
    std::error_code error;
    if (settings.empty() && std::filesystem::exists(FrozenSettingsFile(options.Output), error))
        settings = FrozenSettingsFile(options.Output);
    // Without a settings file, every frame must carry the same record as the first readable one.
    std::string expected = settings.empty() ? std::string() : ExpectedRecord(plugin, settings);

    FrameCheck check;
    for (int frame = range.First;; ++frame) {
        const std::filesystem::path file = output.PathFor(frame);
        if (!std::filesystem::exists(std::filesystem::symlink_status(file, error))) {
            check.Missing.push_back(frame);
        } else {
            bool readable = true;
            try {
                ReadImageFile(file, "output");
            } catch (const std::exception&) {
                readable = false;
            }
            if (!readable) {
                check.Damaged.push_back(frame);
            } else {
                const std::string record = ReadSettingsRecord(file).Json;
                if (expected.empty() && !record.empty())
                    expected = record;
                (SameRecord(record, expected) ? check.Complete : check.Foreign).push_back(frame);
            }
        }
        if (frame == range.Last)
            break;
    }
    return check;
}

std::string VerifyReport(const FarmVerifyOptions& options, const FrameCheck& check)
{
    const FramePattern output(options.Output);
    const std::size_t total = check.Complete.size() + check.Missing.size() + check.Damaged.size() + check.Foreign.size();
    std::string text = "qualvex farm verify: " + output.Text() + ", " + std::to_string(total) + " frames: " +
                       std::to_string(check.Complete.size()) + " complete, " + std::to_string(check.Missing.size()) +
                       " missing, " + std::to_string(check.Damaged.size()) + " damaged, " +
                       std::to_string(check.Foreign.size()) + " foreign\n";
    const std::pair<const char*, const std::vector<int>*> kinds[] = {
        {"missing", &check.Missing},
        {"damaged (unreadable or cut short)", &check.Damaged},
        {"foreign (keyed with other settings, or none)", &check.Foreign}};
    for (const auto& [name, frames] : kinds)
        if (!frames->empty())
            text += std::string("  ") + name + ": " + Few(output, *frames) + "\n";
    return text;
}

}  // namespace qualvex
