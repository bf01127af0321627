#include "cli/farm_command.h"

#include "base/errors.h"
#include "base/safe_text.h"
#include "cli/key_command.h"
#include "farm/farm_scheduler.h"
#include "farm/farm_tasks.h"
#include "host/operator.h"
#include "jobs/control_settings.h"
#include "jobs/frame_sequence.h"
#include "jobs/keyer_plugin.h"
#include "media/atomic_writer.h"
#include "media/image_reader.h"
#include "media/movie_reader.h"
#include "media/settings_record.h"
#include "media/storage_kinds.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace qualvex::cli {
namespace {

using Json = nlohmann::ordered_json;

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

}  // namespace

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
    // Every value that goes into the job script (the paths as the tasks get them, with the current
    // folder's name): nothing in it may end a line.
    const std::pair<const char*, const std::string*> values[] = {
        {"SOURCE", &key.Source},           {"-o", &key.Output},
        {"--key-image", &key.KeyImage},    {"--settings", &key.SettingsFile},
        {"--garbage", &key.Finish.Garbage}, {"--core", &key.Finish.Core},
        {"--compression", &key.Compression}, {"--alpha", &key.Alpha},
        {"--output-colorspace", &key.OutputColourspace},
        {"--data-type", &options.DataTypeText}, {"--memory-limit", &options.MemoryLimitText},
        {"--partition", &options.Partition},
    };
    for (const auto& [option, value] : values)
        CheckScriptValue(option, *value);

    // Planned exactly as key plans it, touching nothing.
    KeyOptions plan = key;
    plan.PlanOnly = true;
    plan.Quiet = true;
    plan.OutputFolderMadeFirst = true;
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
    const TaskSettings task{plugin.Library().File().parent_path().lexically_normal(), frozen, planned.Version,
                            source.IsSequence(), options.DataTypeText, options.MemoryLimitText};
    CheckScriptValue("the plug-in folder", task.PluginFolder.string());
    for (const auto& chunk : chunks)
        job.Commands.push_back(TaskCommand(task, key, chunk));
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
    const std::filesystem::path outputFolder = FramePattern(key.Output).PathFor(asked.front()).parent_path();
    if (!outputFolder.empty() && !std::filesystem::is_directory(outputFolder, error)) {
        std::filesystem::create_directories(outputFolder, error);
        if (error)
            throw Failure(outputFolder.string() + ": cannot make the output folder: " + error.message());
        std::printf("qualvex farm: made the output folder %s\n", outputFolder.string().c_str());
    }
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

}  // namespace qualvex::cli
