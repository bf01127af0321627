#include "cli/key_command.h"

#include "cli/cli_errors.h"
#include "cli/contact_sheet.h"
#include "cli/control_settings.h"
#include "cli/format_policy.h"
#include "cli/frame_render.h"
#include "cli/frame_runner.h"
#include "cli/image_reader.h"
#include "cli/image_writer.h"
#include "cli/job_plan.h"
#include "cli/keyer_plugin.h"
#include "cli/progress_display.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace qualvex::cli {
namespace {

void Warn(const std::string& message) { std::fprintf(stderr, "qualvex: warning: %s\n", message.c_str()); }

std::string JoinNames(const std::vector<std::string>& names)
{
    std::string list;
    for (const auto& name : names)
        list += (list.empty() ? "" : ", ") + name;
    return list;
}

JobRequest RequestOf(const KeyOptions& options)
{
    if (options.Resume && options.Overwrite)
        throw UsageError("--resume and --overwrite exclude each other");
    JobRequest request{options.Source, options.Output, options.KeyImage, options.Frames, ExistingOutputs::Refuse};
    if (options.Resume)
        request.Existing = ExistingOutputs::Skip;
    else if (options.Overwrite)
        request.Existing = ExistingOutputs::Overwrite;
    return request;
}

// One frame's source and, for a key sequence, its key image.
struct FrameInputs {
    ImageFile Source;
    std::optional<ImageFile> SequenceKey;
    Image* Key = nullptr;  // the key in force: this frame's, the single key image's, or none
};

FrameInputs ReadFrameInputs(const KeyJob& job, const std::optional<ImageFile>& singleKey, int frame)
{
    FrameInputs inputs{ReadImageFile(job.Source.PathFor(frame), "source"), std::nullopt, nullptr};
    if (job.Key && job.Key->IsSequence()) {
        inputs.SequenceKey = ReadImageFile(job.Key->PathFor(frame), "key image");
        inputs.Key = inputs.SequenceKey->Pixels.get();
    } else if (singleKey) {
        inputs.Key = singleKey->Pixels.get();
    }
    return inputs;
}

// Warnings that would repeat on every frame are given once per run.
struct OnceWarnings {
    std::once_flag DroppedSource, DroppedKey, NotWritten;

    void Dropped(std::once_flag& once, const ImageFile& file, const std::filesystem::path& path)
    {
        if (file.DroppedChannels.empty())
            return;
        std::call_once(once, [&] {
            Warn(path.string() + ": channels not carried through the keyer are dropped: " +
                 JoinNames(file.DroppedChannels));
        });
    }
};

}  // namespace

KeyResult RunKey(const KeyerPlugin& plugin, const KeyOptions& options)
{
    const KeyJob job = PlanKeyJob(RequestOf(options), RealDisk());

    // Settings are checked on one instance before anything is read or rendered.
    std::unique_ptr<Operator> prototype = plugin.NewInstance();
    const RunSettings settings = CollectRunSettings(*prototype, options.SettingsFile, options.KeyColor, options.Sets);
    settings.ApplyTo(*prototype);

    WriteOptions write;
    write.Premultiply = options.Premultiply;
    write.Record = {ControlValuesJson(*prototype), std::string("qualvex ") + QUALVEX_VERSION + "; " + plugin.Version()};
    if (!job.Frames.empty()) {
        // Checked against the first frame; the others are checked as they are written.
        write.Storage = options.DataType ? *options.DataType
                                         : StoredPixelKind(job.Source.PathFor(job.Frames.front()), "source");
        CheckOutputFormat(job.Output.PathFor(job.Frames.front()), write.Storage, write.Premultiply);
    }
    if (!options.Preview.empty() && std::filesystem::path(options.Preview).extension() != ".png")
        throw UsageError("--preview \"" + options.Preview + "\": the preview is a .png file");

    std::optional<ImageFile> singleKey;
    if (job.Key && !job.Key->IsSequence())
        singleKey = ReadImageFile(job.Key->PathFor(0), "key image");

    // One tool instance per worker, each with the same settings.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned wanted = options.Threads == 0 ? cores : options.Threads;
    const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(wanted, job.Frames.size()));
    std::vector<std::unique_ptr<Operator>> keyers;
    keyers.push_back(std::move(prototype));
    while (keyers.size() < workers) {
        keyers.push_back(plugin.NewInstance());
        settings.ApplyTo(*keyers.back());
    }

    ProgressDisplay progress(static_cast<int>(job.Frames.size()), options.Quiet);
    OnceWarnings warnings;
    auto keyFrame = [&](std::size_t worker, std::size_t index) {
        const int frame = job.Frames[index];
        const FrameInputs inputs = ReadFrameInputs(job, singleKey, frame);
        warnings.Dropped(warnings.DroppedSource, inputs.Source, job.Source.PathFor(frame));
        if (inputs.SequenceKey)
            warnings.Dropped(warnings.DroppedKey, *inputs.SequenceKey, job.Key->PathFor(frame));
        const std::unique_ptr<Image> keyed = KeyOneFrame(*keyers[worker], *inputs.Source.Pixels, inputs.Key, frame);
        WriteOptions frameWrite = write;
        const std::filesystem::path output = job.Output.PathFor(frame);
        if (!options.DataType) {
            frameWrite.Storage = inputs.Source.Pixels->Storage();
            CheckOutputFormat(output, frameWrite.Storage, frameWrite.Premultiply);
        }
        const auto notWritten = WriteImageFile(output, *keyed, inputs.Source.Layout, frameWrite);
        if (!notWritten.empty())
            std::call_once(warnings.NotWritten, [&] {
                Warn(output.string() + ": the format cannot hold the channels " + JoinNames(notWritten) +
                     "; they are not written");
            });
        progress.FrameDone();
    };
    FrameRunnerOptions runner;
    runner.Workers = keyers.size();
    FrameRunnerResult run;
    try {
        run = RunFrames(job.Frames.size(), keyFrame, runner);
    } catch (...) {
        progress.Finish();
        throw;
    }
    progress.Finish();

    KeyResult result;
    result.FramesWritten = static_cast<int>(run.FramesDone);
    result.FramesSkipped = job.Skipped;
    result.Interrupted = run.Stopped;
    if (result.Interrupted)
        return result;

    if (!options.Preview.empty()) {
        const FrameInputs inputs = ReadFrameInputs(job, singleKey, job.PreviewFrame);
        const std::unique_ptr<Image> keyed =
            KeyOneFrame(*keyers[0], *inputs.Source.Pixels, inputs.Key, job.PreviewFrame);
        WriteContactSheet(options.Preview, *inputs.Source.Pixels, *keyed);
    }
    return result;
}

}  // namespace qualvex::cli
