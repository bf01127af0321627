#include "cli/farm_command.h"
#include "cli/movie_reader.h"

#include "cli/atomic_writer.h"
#include "cli/cli_errors.h"
#include "cli/control_settings.h"
#include "cli/farm_scheduler.h"
#include "cli/frame_sequence.h"
#include "cli/image_reader.h"
#include "cli/keyer_plugin.h"
#include "cli/safe_text.h"
#include "cli/settings_record.h"
#include "cli/storage_kinds.h"
#include "host/operator.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace qualvex::cli {
namespace {

using Json = nlohmann::ordered_json;

// The output pattern's name up to its frame-number marker or first dot: "keyed.####.exr" gives
// "keyed".
std::filesystem::path Beside(const std::string& outputPattern, const std::string& suffix)
{
    const std::filesystem::path output(outputPattern);
    std::string name = output.filename().string();
    name = name.substr(0, name.find_first_of(".#%"));
    if (name.empty())
        name = "frames";
    return output.parent_path() / (name + suffix);
}

std::string ReadText(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (!in)
        throw Failure(file.string() + ": cannot be read");
    return content.str();
}

std::string Absolute(const std::string& path)
{
    return path.empty() ? path : std::filesystem::absolute(path).lexically_normal().string();
}

// The frames of the source a run asks for: those on disk within --frames (a single file is
// frame 0). Key's planning has already refused gaps unless --allow-gaps.
std::vector<int> AskedFrames(const KeyOptions& key)
{
    const FramePattern source(key.Source);
    if (!source.IsSequence())
        return {0};
    std::vector<int> frames = source.FramesOnDisk();
    if (!key.Frames.empty()) {
        const FrameRange range = ParseFrameRange(key.Frames);
        std::erase_if(frames, [&](int f) { return f < range.First || f > range.Last; });
    }
    return frames;
}

std::string SafeJobName(const std::string& outputPattern)
{
    std::string name = "qualvex-" + Beside(outputPattern, "").filename().string();
    for (char& c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.'))
            c = '_';
    return name;
}

// The command one task runs: the installed qualvex key on its chunk, with the frozen settings.
std::string TaskCommand(const FarmSubmitOptions& options, const KeyOptions& key, const std::filesystem::path& plugin,
                        const std::filesystem::path& frozen, const std::string& version, std::pair<int, int> chunk,
                        bool sequence)
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    std::string line = ShellQuoted(program.string()) + " --plugin-path " + ShellQuoted(plugin.string()) + " key " +
                       ShellQuoted(key.Source) + " -o " + ShellQuoted(key.Output) + " --settings " +
                       ShellQuoted(frozen.string());
    if (sequence)
        line += " --frames " + std::to_string(chunk.first) + "-" + std::to_string(chunk.second);
    line += key.Overwrite ? " --overwrite" : " --resume";
    line += " -q --require-version " + ShellQuoted(version);
    const auto pass = [&line](const char* option, const std::string& value) {
        if (!value.empty())
            line += std::string(" ") + option + " " + ShellQuoted(value);
    };
    pass("--key-image", key.KeyImage);
    pass("--data-type", options.DataTypeText);
    pass("--compression", key.Compression);
    if (key.Premultiply || key.Alpha != "auto")
        pass("--alpha", key.Premultiply ? std::string("straight") : key.Alpha);
    pass("--garbage", key.Finish.Garbage);
    pass("--core", key.Finish.Core);
    pass("--memory-limit", options.MemoryLimitText);
    if (key.Threads != 0)
        pass("--threads", std::to_string(key.Threads));
    if (key.AllowGaps)
        line += " --allow-gaps";
    return line;
}

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
    ApplyControlValues(*finisher, ParseSettingsJson(*finisher, settings.File.FinishJson, file.string() + " (finish)"));
    return SettingsRecordJson(*keyer, finisher.get());
}

bool SameRecord(const std::string& a, const std::string& b)
{
    if (a.empty() || b.empty())
        return false;
    const Json x = Json::parse(a, nullptr, false);
    const Json y = Json::parse(b, nullptr, false);
    return !x.is_discarded() && x == y;
}

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

std::filesystem::path FrozenSettingsFile(const std::string& outputPattern)
{
    return Beside(outputPattern, ".qualvex-farm.json");
}

std::filesystem::path JobDescriptionFile(const std::string& outputPattern)
{
    return Beside(outputPattern, ".qualvex-farm-job.json");
}

std::filesystem::path TaskLogFolder(const std::string& outputPattern)
{
    return Beside(outputPattern, ".qualvex-farm-logs");
}

std::vector<std::pair<int, int>> ChunksOf(const std::vector<int>& frames, std::size_t chunk)
{
    std::vector<std::pair<int, int>> chunks;
    for (std::size_t i = 0; i < frames.size(); i += chunk)  // chunk >= 1
        chunks.emplace_back(frames[i], frames[std::min(frames.size(), i + chunk) - 1]);
    return chunks;
}

FarmSubmission RunFarmSubmit(const KeyerPlugin& plugin, const FarmSubmitOptions& options, FarmScheduler& scheduler)
{
    if (options.Chunk == 0)
        throw UsageError("--chunk N: how many frames each farm task keys (1 or more)");
    if (!options.Key.Preview.empty())
        throw UsageError("--preview: the farm makes no preview; make one with qualvex key --frames on one frame");
    if (IsMovieName(options.Key.Output))
        throw UsageError("-o " + options.Key.Output + ": farm tasks write frames side by side, not one movie; "
                                                      "write an image sequence (out.####.exr)");
    if (!std::filesystem::path(options.Key.Output).is_absolute())
        throw UsageError("-o " + options.Key.Output + ": give the output as an absolute path on storage every farm "
                                                      "node sees (the tasks run on other machines)");
    // Inputs as absolute paths, so that a task finds them wherever it starts.
    KeyOptions key = options.Key;
    key.Source = Absolute(key.Source);
    key.KeyImage = Absolute(key.KeyImage);
    key.SettingsFile = Absolute(key.SettingsFile);
    key.Finish.Garbage = Absolute(key.Finish.Garbage);
    key.Finish.Core = Absolute(key.Finish.Core);

    // Planned exactly as key plans it, touching nothing.
    KeyOptions plan = key;
    plan.PlanOnly = true;
    plan.Quiet = true;
    const KeyResult planned = RunKey(plugin, plan);

    const std::vector<int> asked = AskedFrames(key);
    std::vector<int> due = planned.Planned;
    if (key.Resume && !asked.empty() && !options.DryRun) {
        // An output cut short may still show a good header, which --resume takes as finished: such
        // frames are moved aside and keyed again.
        const FrameCheck check = VerifyFrames(
            plugin, {key.Output, std::to_string(asked.front()) + "-" + std::to_string(asked.back()), ""});
        const FramePattern output(key.Output);
        for (int frame : check.Damaged) {
            if (!std::binary_search(asked.begin(), asked.end(), frame))
                continue;
            const std::filesystem::path file = output.PathFor(frame);
            std::error_code error;
            std::filesystem::rename(file, file.string() + ".damaged", error);
            if (error)
                throw Failure(file.string() + ": damaged, and cannot be moved aside: " + error.message());
            std::fprintf(stderr, "qualvex: %s is damaged: moved aside to %s.damaged and keyed again\n",
                         file.string().c_str(), file.filename().string().c_str());
            due.push_back(frame);
        }
    }
    const std::vector<std::pair<int, int>> chunks = ChunksOf(asked, options.Chunk);
    FarmSubmission submission;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        const bool left = std::any_of(due.begin(), due.end(),
                                      [&](int f) { return f >= chunks[c].first && f <= chunks[c].second; });
        if (left)
            submission.Chunks.push_back(c);
    }
    if (submission.Chunks.empty()) {
        std::printf("qualvex farm: nothing to submit: every frame of %s is keyed with these settings\n",
                    key.Output.c_str());
        return submission;
    }

    const std::filesystem::path frozen = FrozenSettingsFile(key.Output);
    const std::string record = Json::parse(planned.SettingsRecord).dump(2) + "\n";
    const FramePattern source(key.Source);
    ArrayJobRequest job;
    job.Name = SafeJobName(key.Output);
    for (const auto& chunk : chunks)
        job.Commands.push_back(TaskCommand(options, key, plugin.Library().File().parent_path().lexically_normal(), frozen,
                                           planned.Version, chunk, source.IsSequence()));
    job.Tasks = submission.Chunks;
    job.LogFolder = TaskLogFolder(key.Output);
    job.Description = JobDescriptionFile(key.Output).string();
    job.Queue = options.Partition;
    job.Extra = options.SchedulerArgs;
    submission.Script = scheduler.Script(job);
    if (options.DryRun) {
        std::printf("%s", submission.Script.c_str());
        return submission;
    }

    // The settings every task restores, frozen once: a later submission of other settings to the
    // same outputs is refused rather than mixing two keys in one sequence.
    std::error_code error;
    if (std::filesystem::exists(frozen, error)) {
        if (!SameRecord(ReadText(frozen), record))
            throw Failure(frozen.string() + ": holds the settings of another submission to these outputs; key "
                                            "them to another output, or remove it and the outputs it keyed");
    } else {
        WriteTextAtomically(frozen, record, ExistingFile::Keep);
    }
    Json description = Json::object();
    description["output"] = key.Output;
    description["source"] = key.Source;
    description["settings"] = frozen.string();
    description["frames"] = asked;
    Json chunkList = Json::array();
    for (const auto& [first, last] : chunks)
        chunkList.push_back({first, last});
    description["chunks"] = chunkList;
    description["version"] = planned.Version;
    WriteTextAtomically(JobDescriptionFile(key.Output), description.dump(2) + "\n", ExistingFile::Replace);
    std::filesystem::create_directories(job.LogFolder, error);
    if (error)
        throw Failure(job.LogFolder.string() + ": cannot make the folder for the tasks' logs: " + error.message());

    submission.Job = scheduler.Submit(job);
    std::printf("qualvex farm: job %s: %zu of %zu chunks of up to %zu frames (%s), %zu frames to key; settings "
                "frozen in %s\n",
                submission.Job.c_str(), submission.Chunks.size(), chunks.size(), options.Chunk,
                DescribeFrames(asked).c_str(), due.size(), frozen.string().c_str());
    return submission;
}

void RunFarmStatus(FarmScheduler& scheduler, const std::string& jobId)
{
    const JobStatus status = scheduler.Query(jobId);
    std::size_t counts[5] = {0, 0, 0, 0, 0};
    for (const TaskStatus& task : status.Tasks)
        ++counts[static_cast<int>(task.State)];
    std::printf("qualvex farm: job %s: %zu chunks: %zu pending, %zu running, %zu done, %zu failed, %zu cancelled\n",
                jobId.c_str(), status.Tasks.size(), counts[0], counts[1], counts[2], counts[3], counts[4]);
    if (status.Description.empty())
        return;
    Json description;
    try {
        description = Json::parse(ReadText(status.Description));
    } catch (const std::exception&) {
        std::printf("  (%s, the job's description, cannot be read: frames not counted)\n", status.Description.c_str());
        return;
    }
    const FramePattern output(description["output"].get<std::string>());
    std::size_t written = 0, asked = 0;
    for (const Json& frame : description["frames"]) {
        ++asked;
        std::error_code error;
        written += std::filesystem::is_regular_file(output.PathFor(frame.get<int>()), error) ? 1 : 0;
    }
    std::printf("  frames written: %zu of %zu (%s)\n", written, asked, output.Text().c_str());
}

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

}  // namespace qualvex::cli
