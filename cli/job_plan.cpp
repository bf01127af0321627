#include "cli/job_plan.h"

#include "cli/cli_errors.h"

#include <algorithm>
#include <system_error>

namespace qualvex::cli {
namespace {

// Names listed in a refusal before the rest are only counted.
constexpr std::size_t kListedOutputs = 10;

std::vector<int> FramesToKey(const FramePattern& source, const std::string& framesOption, const DiskView& disk)
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

void CheckKeyCoverage(const KeyJob& job, const DiskView& disk)
{
    if (!job.Key || !job.Key->IsSequence())
        return;
    if (!job.Source.IsSequence())
        throw UsageError("a key image sequence needs a source sequence");
    const std::vector<int> keyFrames = disk.FramesOnDisk(*job.Key);
    std::vector<int> missing;
    for (int frame : job.Frames)
        if (!std::binary_search(keyFrames.begin(), keyFrames.end(), frame))
            missing.push_back(frame);
    if (!missing.empty())
        throw Failure(job.Key->Text() + ": key image frames missing: " + DescribeFrames(missing));
}

}  // namespace

DiskView RealDisk()
{
    DiskView disk;
    disk.FramesOnDisk = [](const FramePattern& pattern) { return pattern.FramesOnDisk(); };
    disk.Exists = [](const std::filesystem::path& path) {
        std::error_code error;
        return std::filesystem::exists(path, error);
    };
    disk.Canonical = [](const std::filesystem::path& path) {
        std::error_code error;
        const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
        return error ? path.lexically_normal() : canonical;
    };
    return disk;
}

KeyJob PlanKeyJob(const JobRequest& request, const DiskView& disk)
{
    KeyJob job{FramePattern(request.Source), FramePattern(request.Output), std::nullopt, {}, 0, 0};
    if (job.Source.IsSequence() != job.Output.IsSequence())
        throw UsageError(job.Source.IsSequence()
                             ? "a source sequence needs an output sequence pattern (e.g. out.####.exr), not \"" +
                                   request.Output + "\""
                             : "a single source file needs a single output file, not the pattern \"" +
                                   request.Output + "\"");
    if (!request.KeyImage.empty())
        job.Key.emplace(request.KeyImage);

    job.Frames = FramesToKey(job.Source, request.Frames, disk);
    job.PreviewFrame = job.Frames.front();
    CheckKeyCoverage(job, disk);

    std::vector<int> pending;
    std::vector<std::string> existing;
    for (int frame : job.Frames) {
        const std::filesystem::path output = job.Output.PathFor(frame);
        const std::filesystem::path canonical = disk.Canonical(output);
        if (canonical == disk.Canonical(job.Source.PathFor(frame)))
            throw UsageError(output.string() + ": the output would replace the source");
        if (job.Key && canonical == disk.Canonical(job.Key->PathFor(frame)))
            throw UsageError(output.string() + ": the output would replace the key image");
        if (disk.Exists(output)) {
            if (request.Existing == ExistingOutputs::Skip) {
                ++job.Skipped;
                continue;
            }
            if (request.Existing == ExistingOutputs::Refuse)
                existing.push_back(output.string());
        }
        pending.push_back(frame);
    }
    if (!existing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < existing.size() && i < kListedOutputs; ++i)
            list += "\n  " + existing[i];
        if (existing.size() > kListedOutputs)
            list += "\n  and " + std::to_string(existing.size() - kListedOutputs) + " more";
        throw Failure("output exists (use --overwrite to replace or --resume to skip):" + list);
    }
    job.Frames = pending;
    return job;
}

}  // namespace qualvex::cli
