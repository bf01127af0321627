#include "cli/key_command.h"

#include "cli/cli_errors.h"
#include "cli/contact_sheet.h"
#include "cli/control_settings.h"
#include "cli/frame_sequence.h"
#include "cli/image_files.h"
#include "cli/keyer_plugin.h"
#include "cli/progress_display.h"
#include "host/request.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace qualvex::cli {
namespace {

std::atomic<bool> g_StopRequested{false};

extern "C" void RequestStop(int) { g_StopRequested = true; }

// Ctrl-C or a termination request lets the frames in flight finish (each is renamed into place
// only when complete) and starts no new one.
class StopOnSignal {
public:
    StopOnSignal()
    {
        g_StopRequested = false;
        struct sigaction action {};
        action.sa_handler = RequestStop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_PreviousInterrupt);
        sigaction(SIGTERM, &action, &m_PreviousTerminate);
    }
    ~StopOnSignal()
    {
        sigaction(SIGINT, &m_PreviousInterrupt, nullptr);
        sigaction(SIGTERM, &m_PreviousTerminate, nullptr);
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

private:
    struct sigaction m_PreviousInterrupt {};
    struct sigaction m_PreviousTerminate {};
};

std::filesystem::path Canonical(const std::filesystem::path& path)
{
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
    return error ? path.lexically_normal() : canonical;
}

void Warn(const std::string& message) { std::fprintf(stderr, "qualvex: warning: %s\n", message.c_str()); }

struct Job {
    FramePattern Source;
    FramePattern Output;
    std::optional<FramePattern> Key;
    std::vector<int> Frames;  // to render, ascending
    int Skipped = 0;
    int PreviewFrame = 0;     // the first frame asked for, rendered or skipped
};

// One frame's source and, for a key sequence, its key image.
struct FrameInputs {
    ImageFile Source;
    std::optional<ImageFile> SequenceKey;
    Image* Key = nullptr;  // the key in force: this frame's, the single key image's, or none
};

FrameInputs ReadFrameInputs(const Job& job, const std::optional<ImageFile>& singleKey, int frame)
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

std::string JoinNames(const std::vector<std::string>& names)
{
    std::string list;
    for (const auto& name : names)
        list += (list.empty() ? "" : ", ") + name;
    return list;
}

std::vector<int> FramesToKey(const FramePattern& source, const std::string& framesOption)
{
    if (!source.IsSequence()) {
        if (!framesOption.empty())
            throw UsageError("--frames applies to a sequence; \"" + source.Text() + "\" is a single file");
        return {0};
    }
    const std::vector<int> onDisk = source.FramesOnDisk();
    FrameRange range{};
    if (!framesOption.empty()) {
        range = ParseFrameRange(framesOption);
    } else {
        if (onDisk.empty())
            throw Failure(source.Text() + ": no frames of the source sequence found");
        range = {onDisk.front(), onDisk.back()};
    }
    std::vector<int> frames;
    std::vector<int> missing;
    for (int frame = range.First; frame <= range.Last; ++frame) {
        if (std::binary_search(onDisk.begin(), onDisk.end(), frame))
            frames.push_back(frame);
        else
            missing.push_back(frame);
        if (frame == range.Last)
            break;  // no overflow past the largest frame number
    }
    if (!missing.empty())
        throw Failure(source.Text() + ": source frames missing: " + DescribeFrames(missing));
    return frames;
}

Job PlanJob(const KeyOptions& options)
{
    Job job{FramePattern(options.Source), FramePattern(options.Output), std::nullopt, {}, 0};
    if (job.Source.IsSequence() != job.Output.IsSequence())
        throw UsageError(job.Source.IsSequence()
                             ? "a source sequence needs an output sequence pattern (e.g. out.####.exr), not \"" +
                                   options.Output + "\""
                             : "a single source file needs a single output file, not the pattern \"" +
                                   options.Output + "\"");
    if (!options.KeyImage.empty())
        job.Key.emplace(options.KeyImage);
    if (options.Resume && options.Overwrite)
        throw UsageError("--resume and --overwrite exclude each other");

    job.Frames = FramesToKey(job.Source, options.Frames);
    job.PreviewFrame = job.Frames.front();

    if (job.Key && job.Key->IsSequence()) {
        if (!job.Source.IsSequence())
            throw UsageError("a key image sequence needs a source sequence");
        const std::vector<int> keyFrames = job.Key->FramesOnDisk();
        std::vector<int> missing;
        for (int frame : job.Frames)
            if (!std::binary_search(keyFrames.begin(), keyFrames.end(), frame))
                missing.push_back(frame);
        if (!missing.empty())
            throw Failure(job.Key->Text() + ": key image frames missing: " + DescribeFrames(missing));
    }

    std::vector<int> pending;
    std::vector<std::string> existing;
    for (int frame : job.Frames) {
        const std::filesystem::path output = job.Output.PathFor(frame);
        const std::filesystem::path canonical = Canonical(output);
        if (canonical == Canonical(job.Source.PathFor(frame)))
            throw UsageError(output.string() + ": the output would replace the source");
        if (job.Key && canonical == Canonical(job.Key->PathFor(frame)))
            throw UsageError(output.string() + ": the output would replace the key image");
        std::error_code error;
        if (std::filesystem::exists(output, error)) {
            if (options.Resume) {
                ++job.Skipped;
                continue;
            }
            if (!options.Overwrite)
                existing.push_back(output.string());
        }
        pending.push_back(frame);
    }
    if (!existing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < existing.size() && i < 10; ++i)
            list += "\n  " + existing[i];
        if (existing.size() > 10)
            list += "\n  and " + std::to_string(existing.size() - 10) + " more";
        throw Failure("output exists (use --overwrite to replace or --resume to skip):" + list);
    }
    job.Frames = pending;
    return job;
}

// What a keying run sets: the settings file (restored exactly when it is a record embedded in an
// image), then the key colour, then each --set in order.
struct RunSettings {
    SettingsFile File;
    std::vector<ControlValue> Typed;

    void ApplyTo(Operator& keyer) const
    {
        if (File.Embedded)
            RestoreControlValues(keyer, File.Values);
        else
            ApplyControlValues(keyer, File.Values);
        ApplyControlValues(keyer, Typed);
    }
};

RunSettings CollectSettings(const Operator& prototype, const KeyOptions& options)
{
    RunSettings settings;
    if (!options.SettingsFile.empty())
        settings.File = ReadSettingsFile(prototype, options.SettingsFile);
    if (!options.KeyColor.empty())
        settings.Typed = ParseKeyColor(options.KeyColor);
    for (const std::string& set : options.Sets)
        settings.Typed.push_back(ParseSetOption(prototype, set));
    return settings;
}

}  // namespace

std::unique_ptr<Image> KeyOneFrame(Operator& keyer, Image& source, Image* key, int frame)
{
    Input* image = keyer.FindInput("Image");
    Input* keyImage = keyer.FindInput("KeyImage");
    image->ConnectImage(&source);
    keyImage->ConnectImage(key);
    struct Disconnect {
        Input* a;
        Input* b;
        ~Disconnect()
        {
            a->ConnectImage(nullptr);
            b->ConnectImage(nullptr);
        }
    } disconnect{image, keyImage};
    std::unique_ptr<Image> keyed = host::RenderFrame(keyer, static_cast<double>(frame));
    if (!keyed)
        throw Failure("frame " + std::to_string(frame) + ": the keyer produced no image");
    return keyed;
}

namespace {

void ReportDropped(const ImageFile& file, const std::filesystem::path& path, std::once_flag& once)
{
    if (file.DroppedChannels.empty())
        return;
    std::call_once(once, [&] {
        Warn(path.string() + ": channels not carried through the keyer are dropped: " + JoinNames(file.DroppedChannels));
    });
}

}  // namespace

KeyResult RunKey(const KeyerPlugin& plugin, const KeyOptions& options)
{
    Job job = PlanJob(options);

    // Settings are checked on one instance before anything is read or rendered.
    std::unique_ptr<Operator> prototype = plugin.NewInstance();
    const RunSettings settings = CollectSettings(*prototype, options);
    settings.ApplyTo(*prototype);

    WriteOptions write;
    write.Premultiply = options.Premultiply;
    write.SettingsJson = ControlValuesJson(*prototype);
    write.Version = std::string("qualvex ") + QUALVEX_VERSION + "; " + plugin.Version();
    if (!job.Frames.empty()) {
        // Checked against the first frame; the others are checked as they are written.
        write.Storage = options.DataType ? *options.DataType
                                         : StoredPixelKind(job.Source.PathFor(job.Frames.front()), "source");
        CheckOutputFormat(job.Output.PathFor(job.Frames.front()), write);
    }
    if (!options.Preview.empty()) {
        const std::filesystem::path preview(options.Preview);
        if (preview.extension() != ".png")
            throw UsageError("--preview \"" + options.Preview + "\": the preview is a .png file");
    }

    std::optional<ImageFile> singleKey;
    if (job.Key && !job.Key->IsSequence())
        singleKey = ReadImageFile(job.Key->PathFor(0), "key image");

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
    StopOnSignal stopOnSignal;
    std::atomic<std::size_t> next{0};
    std::atomic<int> written{0};
    std::mutex failureMutex;
    std::exception_ptr failure;
    std::once_flag droppedSource, droppedKey, droppedOutput;

    auto work = [&](Operator& keyer) {
        while (!g_StopRequested) {
            const std::size_t index = next++;
            if (index >= job.Frames.size())
                return;
            const int frame = job.Frames[index];
            try {
                const FrameInputs inputs = ReadFrameInputs(job, singleKey, frame);
                const ImageFile& source = inputs.Source;
                ReportDropped(source, job.Source.PathFor(frame), droppedSource);
                if (inputs.SequenceKey)
                    ReportDropped(*inputs.SequenceKey, job.Key->PathFor(frame), droppedKey);
                std::unique_ptr<Image> keyed = KeyOneFrame(keyer, *source.Pixels, inputs.Key, frame);
                WriteOptions frameWrite = write;
                if (!options.DataType) {
                    frameWrite.Storage = source.Pixels->Storage();
                    CheckOutputFormat(job.Output.PathFor(frame), frameWrite);
                }
                const auto notWritten = WriteImageFile(job.Output.PathFor(frame), *keyed, source.Layout, frameWrite);
                if (!notWritten.empty()) {
                    std::call_once(droppedOutput, [&] {
                        Warn(job.Output.PathFor(frame).string() + ": the format cannot hold the channels " +
                             JoinNames(notWritten) + "; they are not written");
                    });
                }
                ++written;
                progress.FrameDone();
            } catch (...) {
                std::lock_guard lock(failureMutex);
                if (!failure)
                    failure = std::current_exception();
                g_StopRequested = true;
                return;
            }
        }
    };

    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < keyers.size(); ++i)
        threads.emplace_back(work, std::ref(*keyers[i]));
    work(*keyers[0]);
    for (auto& thread : threads)
        thread.join();
    progress.Finish();
    if (failure)
        std::rethrow_exception(failure);

    KeyResult result;
    result.FramesWritten = written;
    result.FramesSkipped = job.Skipped;
    result.Interrupted = written < static_cast<int>(job.Frames.size());
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
