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
#include "cli/memory_limit.h"
#include "cli/progress_display.h"
#include "cli/real_disk.h"
#include "cli/safe_text.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <mutex>
#include <thread>

namespace qualvex::cli {
namespace {

void Warn(const std::string& message) { std::fprintf(stderr, "qualvex: warning: %s\n", message.c_str()); }

std::string JoinNames(const std::vector<std::string>& names)
{
    std::string list;
    for (const auto& name : names)
        list += (list.empty() ? "" : ", ") + Printable(name, 40);
    return list;
}

JobRequest RequestOf(const KeyOptions& options, const std::string& settingsJson)
{
    if (options.Resume && options.Overwrite)
        throw UsageError("--resume and --overwrite exclude each other");
    if (!options.Preview.empty() && std::filesystem::path(options.Preview).extension() != ".png")
        throw UsageError("--preview \"" + options.Preview + "\": the preview is a .png file");
    JobRequest request{options.Source, options.Output,          options.KeyImage, options.Frames,
                       options.Preview, ExistingOutputs::Refuse, settingsJson};
    if (options.Resume)
        request.Existing = ExistingOutputs::Resume;
    else if (options.Overwrite)
        request.Existing = ExistingOutputs::Overwrite;
    return request;
}

std::string Mebibytes(std::uint64_t bytes) { return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB"; }

// One frame's source and, for a key sequence, its key image.
struct FrameInputs {
    ImageFile Source;
    std::optional<ImageFile> SequenceKey;
    Image* Key = nullptr;  // the key in force: this frame's, the single key image's, or none
};

FrameInputs ReadFrameInputs(const KeyJob& job, const std::optional<ImageFile>& singleKey, int frame,
                            std::uint64_t maxBytes)
{
    FrameInputs inputs{ReadImageFile(job.Source.PathFor(frame), "source", maxBytes), std::nullopt, nullptr};
    if (job.Key && job.Key->IsSequence()) {
        inputs.SequenceKey = ReadImageFile(job.Key->PathFor(frame), "key image", maxBytes);
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
    // Settings are checked on one instance before anything is read or rendered; the record they
    // make tells a finished output of this run from another run's under --resume.
    std::unique_ptr<Operator> prototype = plugin.NewInstance();
    const RunSettings settings = CollectRunSettings(*prototype, options.SettingsFile, options.KeyColor, options.Sets);
    settings.ApplyTo(*prototype);
    WriteOptions write;
    write.Premultiply = options.Premultiply;
    write.Record = {ControlValuesJson(*prototype), std::string("qualvex ") + QUALVEX_VERSION + "; " + plugin.Version()};

    const KeyJob job = PlanKeyJob(RequestOf(options, write.Record.Json), RealDisk());
    std::vector<std::filesystem::path> outputs;
    for (int frame : job.Frames)
        outputs.push_back(job.Output.PathFor(frame));
    if (job.WritePreview)
        outputs.emplace_back(options.Preview);
    RemoveStaleTemporaries(outputs);

    // What one frame holds at once, from the first frame's headers, against the memory limit.
    const std::uint64_t limit = options.MemoryLimit != 0 ? options.MemoryLimit : DefaultMemoryLimit();
    std::uint64_t frameBytes = 0;
    if (!job.Frames.empty()) {
        const std::filesystem::path first = job.Source.PathFor(job.Frames.front());
        const ImageFacts source = InspectImage(first, "source");
        frameBytes = source.BytesToKey;
        if (job.Key)
            frameBytes += InspectImage(job.Key->PathFor(job.Frames.front()), "key image").BytesToKey;
        if (frameBytes > limit)
            throw Failure(first.string() + ": the source claims " + std::to_string(source.Width) + " x " +
                          std::to_string(source.Height) + " pixels in " + std::to_string(source.Channels) +
                          " channels; keying one frame takes about " + Mebibytes(frameBytes) + ", more than the " +
                          "memory limit of " + Mebibytes(limit) + " (--memory-limit)");
        // Checked against the first frame; the others are checked as they are written.
        write.Storage = options.DataType ? *options.DataType : source.Storage;
        const std::filesystem::path output = job.Output.PathFor(job.Frames.front());
        CheckOutputFormat(output, write.Storage, write.Premultiply);
        if (!KeepsSettingsRecord(FormatOf(output)) && !options.Quiet)
            Warn(output.string() + ": the " + FormatOf(output) + " format keeps no settings record: --settings "
                 "cannot restore from these outputs, and --resume takes any readable one as finished");
    }

    std::optional<ImageFile> singleKey;
    if (job.Key && !job.Key->IsSequence())
        singleKey = ReadImageFile(job.Key->PathFor(0), "key image", limit);

    // One tool instance per worker, each with the same settings; no more workers than the memory
    // limit holds frames.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned wanted = options.Threads == 0 ? cores : options.Threads;
    std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(wanted, job.Frames.size()));
    if (frameBytes > 0 && workers > limit / frameBytes) {
        workers = std::max<std::uint64_t>(1, limit / frameBytes);
        if (!options.Quiet)
            Warn("keying " + std::to_string(workers) + " frames at once to stay within the memory limit of " +
                 Mebibytes(limit));
    }
    const std::uint64_t frameLimit = limit / workers;
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
        const std::filesystem::path output = job.Output.PathFor(frame);
        try {
            const FrameInputs inputs = ReadFrameInputs(job, singleKey, frame, frameLimit);
            warnings.Dropped(warnings.DroppedSource, inputs.Source, job.Source.PathFor(frame));
            if (inputs.SequenceKey)
                warnings.Dropped(warnings.DroppedKey, *inputs.SequenceKey, job.Key->PathFor(frame));
            const std::unique_ptr<Image> keyed =
                KeyOneFrame(*keyers[worker], *inputs.Source.Pixels, inputs.Key, frame);
            WriteOptions frameWrite = write;
            if (!options.DataType) {
                frameWrite.Storage = inputs.Source.Pixels->Storage();
                CheckOutputFormat(output, frameWrite.Storage, frameWrite.Premultiply);
            }
            frameWrite.Existing = std::binary_search(job.Replacing.begin(), job.Replacing.end(), frame)
                                      ? ExistingFile::Replace
                                      : ExistingFile::Keep;
            const auto notWritten = WriteImageFile(output, *keyed, inputs.Source.Layout, frameWrite);
            if (!notWritten.empty())
                std::call_once(warnings.NotWritten, [&] {
                    Warn(output.string() + ": the format cannot hold the channels " + JoinNames(notWritten) +
                         "; they are not written");
                });
        } catch (const std::bad_alloc&) {
            throw Failure(job.Source.PathFor(frame).string() + ": not enough memory to key this frame (" +
                          output.string() + " not written)");
        }
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

    if (job.WritePreview) {
        const FrameInputs inputs = ReadFrameInputs(job, singleKey, job.PreviewFrame, limit);
        const std::unique_ptr<Image> keyed =
            KeyOneFrame(*keyers[0], *inputs.Source.Pixels, inputs.Key, job.PreviewFrame);
        WriteContactSheet(options.Preview, *inputs.Source.Pixels, *keyed,
                          job.ReplacePreview ? ExistingFile::Replace : ExistingFile::Keep);
    }
    return result;
}

}  // namespace qualvex::cli
