#include "jobs/job_plan.h"

#include "base/errors.h"

#include <algorithm>

namespace qualvex {
namespace {

// Names listed in a refusal before the rest are only counted.
constexpr std::size_t kListedNames = 10;

std::string ListNames(const std::vector<std::string>& names)
{
    std::string list;
    for (std::size_t i = 0; i < names.size() && i < kListedNames; ++i)
        list += "\n  " + names[i];
    if (names.size() > kListedNames)
        list += "\n  and " + std::to_string(names.size() - kListedNames) + " more";
    return list;
}

std::vector<int> FramesToKey(const FramePattern& source, const std::string& framesOption, bool allowGaps,
                             const DiskView& disk)
{
    if (!source.IsSequence()) {
        if (!framesOption.empty())
            throw UsageError("--frames applies to a sequence; \"" + source.Text() + "\" is a single file");
        return {0};
    }
    const std::vector<int> onDisk = disk.FramesOnDisk(source);
    FrameRange range{};
    if (!framesOption.empty()) {
        range = ParseFrameRange(framesOption);
    } else {
        if (onDisk.empty())
            throw Failure(source.Text() + ": no frames of the source sequence found");
        range = {onDisk.front(), onDisk.back()};
    }
    // Only the frames on disk are walked: the range itself may be far larger.
    if (!allowGaps && CountMissingFrames(range, onDisk) > 0)
        throw Failure(source.Text() + ": source frames missing: " + DescribeMissingFrames(range, onDisk) +
                      " (--allow-gaps keys the frames that exist)");
    std::vector<int> frames;
    for (int frame : onDisk)
        if (frame >= range.First && frame <= range.Last)
            frames.push_back(frame);
    if (frames.empty())
        throw Failure(source.Text() + ": no frames of the source sequence in " + std::to_string(range.First) + "-" +
                      std::to_string(range.Last));
    return frames;
}

// A sequence read beside the source must have every frame the source has.
void CheckCoverage(const KeyJob& job, const FramePattern& pattern, const std::string& role, const DiskView& disk)
{
    if (!pattern.IsSequence())
        return;
    if (!job.Source.IsSequence() && !job.SourceIsMovie)
        throw UsageError("a " + role + " sequence needs a source sequence");
    const std::vector<int> present = disk.FramesOnDisk(pattern);
    std::vector<int> missing;
    for (int frame : job.Frames)
        if (!std::binary_search(present.begin(), present.end(), frame))
            missing.push_back(frame);
    if (!missing.empty())
        throw Failure(pattern.Text() + ": " + role + " frames missing: " + DescribeFrames(missing));
}

// An output (or the preview) must not be another name of an input.
void CheckNotAnInput(const KeyJob& job, const std::filesystem::path& output, int frame, const DiskView& disk)
{
    const std::filesystem::path canonical = disk.Canonical(output);
    if (canonical == disk.Canonical(job.Source.PathFor(frame)))
        throw UsageError(output.string() + ": the output would replace the source");
    if (job.Key && canonical == disk.Canonical(job.Key->PathFor(frame)))
        throw UsageError(output.string() + ": the output would replace the key image");
    for (const auto& [mask, role] : job.Masks)
        if (canonical == disk.Canonical(mask.PathFor(frame)))
            throw UsageError(output.string() + ": the output would replace the " + role);
}

// What becomes of an existing output (or preview) under the run's policy.
struct ExistingDecision {
    bool Write = true;
    bool Replace = false;
};

ExistingDecision Decide(const std::filesystem::path& output, OutputState state, ExistingOutputs policy,
                        std::vector<std::string>& refused, std::vector<std::string>& foreign,
                        std::vector<std::string>& noFolder)
{
    if (state == OutputState::NoFolder) {
        const std::string folder = output.parent_path().string();
        if (std::find(noFolder.begin(), noFolder.end(), folder) == noFolder.end())
            noFolder.push_back(folder);
        return {};
    }
    if (state == OutputState::Missing)
        return {};
    if (state == OutputState::NotAFile) {
        refused.push_back(output.string() + " (not a plain file)");
        return {};
    }
    switch (policy) {
    case ExistingOutputs::Overwrite: return {true, true};
    case ExistingOutputs::Refuse: refused.push_back(output.string()); return {};
    case ExistingOutputs::Resume: break;
    }
    if (state == OutputState::Finished)
        return {false, false};
    if (state == OutputState::OtherSettings) {
        foreign.push_back(output.string());
        return {};
    }
    return {true, true};  // unfinished: keyed again
}

}  // namespace

KeyJob PlanKeyJob(const JobRequest& request, const DiskView& disk)
{
    KeyJob job{FramePattern(request.Source), FramePattern(request.Output), std::nullopt, {}, {}, {}, 0, 0, false, false, false, false, false};
    job.MovieOutput = request.MovieOutput;
    job.SourceIsMovie = request.MovieFrames > 0;
    if (job.MovieOutput) {
        if (job.Output.IsSequence())
            throw UsageError("\"" + request.Output + "\": a movie is one file; its name holds no frame number");
        if (request.Existing == ExistingOutputs::Resume)
            throw UsageError("--resume: a movie is written whole and put in place at the end; key it again with "
                             "--overwrite");
    } else if (job.SourceIsMovie && !job.Output.IsSequence()) {
        throw UsageError("a movie source needs an output sequence pattern (e.g. out.####.exr) or a movie (.mov, "
                         ".webm), not \"" + request.Output + "\"");
    } else if (!job.SourceIsMovie && job.Source.IsSequence() != job.Output.IsSequence())
        throw UsageError(job.Source.IsSequence()
                             ? "a source sequence needs an output sequence pattern (e.g. out.####.exr), not \"" +
                                   request.Output + "\""
                             : "a single source file needs a single output file, not the pattern \"" +
                                   request.Output + "\"");
    if (!request.KeyImage.empty())
        job.Key.emplace(request.KeyImage);
    for (const FrameInput& mask : request.Masks)
        job.Masks.emplace_back(FramePattern(mask.Pattern), mask.Role);

    job.Frames = job.SourceIsMovie ? MovieFrames(job.Source.Text(), request.Frames, request.MovieFrames)
                                   : FramesToKey(job.Source, request.Frames, request.AllowGaps, disk);
    job.PreviewFrame = job.Frames.front();
    if (request.PreviewFrame) {
        if (!std::binary_search(job.Frames.begin(), job.Frames.end(), *request.PreviewFrame))
            throw UsageError("--preview-frame " + std::to_string(*request.PreviewFrame) +
                             ": not one of the frames keyed (" + DescribeFrames(job.Frames) + ")");
        job.PreviewFrame = *request.PreviewFrame;
    }
    if (job.Key)
        CheckCoverage(job, *job.Key, "key image", disk);
    for (const auto& [mask, role] : job.Masks)
        CheckCoverage(job, mask, role, disk);

    std::vector<int> pending;
    std::vector<std::string> refused;
    std::vector<std::string> foreign;
    std::vector<std::string> noFolder;
    const auto outputState = [&](const std::filesystem::path& output, const std::string& settingsJson) {
        const OutputState state = disk.Inspect(output, settingsJson);
        return state == OutputState::NoFolder && request.OutputFolderMadeFirst ? OutputState::Missing : state;
    };
    const std::optional<std::filesystem::path> preview =
        request.Preview.empty() ? std::nullopt : std::optional<std::filesystem::path>(request.Preview);
    const std::filesystem::path previewCanonical = preview ? disk.Canonical(*preview) : std::filesystem::path();
    if (job.MovieOutput) {
        // One file for every frame: checked once, kept or replaced whole.
        const std::filesystem::path output = job.Output.PathFor(0);
        for (int frame : job.Frames)
            CheckNotAnInput(job, output, frame, disk);
        if (preview && previewCanonical == disk.Canonical(output))
            throw UsageError(preview->string() + ": the preview would replace an output of this run");
        job.ReplaceMovie = Decide(output, outputState(output, ""), request.Existing, refused, foreign, noFolder).Replace;
    }
    for (int frame : job.Frames) {
        if (job.MovieOutput) {
            if (preview)
                CheckNotAnInput(job, *preview, frame, disk);
            pending.push_back(frame);
            continue;
        }
        const std::filesystem::path output = job.Output.PathFor(frame);
        CheckNotAnInput(job, output, frame, disk);
        if (preview) {
            CheckNotAnInput(job, *preview, frame, disk);
            if (previewCanonical == disk.Canonical(output))
                throw UsageError(preview->string() + ": the preview would replace an output of this run");
        }
        const ExistingDecision decision =
            Decide(output, outputState(output, request.SettingsJson), request.Existing, refused, foreign, noFolder);
        if (!decision.Write) {
            ++job.Skipped;
            continue;
        }
        pending.push_back(frame);
        if (decision.Replace)
            job.Replacing.push_back(frame);
    }
    if (preview) {
        // The preview is an output like the others, but it carries no settings record: under
        // --resume an existing one is kept.
        const OutputState state = disk.Inspect(*preview, "");
        const ExistingOutputs policy = request.Existing;
        const ExistingDecision decision =
            state == OutputState::Missing || state == OutputState::NotAFile || state == OutputState::NoFolder ||
                    policy != ExistingOutputs::Resume
                ? Decide(*preview, state, policy, refused, foreign, noFolder)
                : ExistingDecision{false, false};
        job.WritePreview = decision.Write;
        job.ReplacePreview = decision.Replace;
    }
    if (!noFolder.empty())
        throw Failure("output folder missing (create it first):" + ListNames(noFolder));
    if (!refused.empty())
        throw Failure("output exists (use --overwrite to replace or --resume to skip):" + ListNames(refused));
    if (!foreign.empty())
        throw Failure("output keyed with other settings (use --overwrite to replace):" + ListNames(foreign));
    job.Frames = pending;
    return job;
}

}  // namespace qualvex
