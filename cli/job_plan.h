// Plans a keying job before anything is read or rendered: which frames of the source to key,
// where each output goes, whether a key image covers them, and what happens to outputs that
// already exist. Pure: what it knows of the disk comes through a DiskView, so every rule can be
// tried on a described disk.
#pragma once

#include "cli/frame_sequence.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qualvex::cli {

// What the planner may ask of the disk.
struct DiskView {
    std::function<std::vector<int>(const FramePattern&)> FramesOnDisk;  // ascending
    std::function<bool(const std::filesystem::path&)> Exists;
    // The path a name resolves to, for telling whether two names are one file.
    std::function<std::filesystem::path(const std::filesystem::path&)> Canonical;
};

// The disk as it is.
DiskView RealDisk();

enum class ExistingOutputs { Refuse, Overwrite, Skip };

struct JobRequest {
    std::string Source;
    std::string Output;
    std::string KeyImage;  // empty: none
    std::string Frames;    // "A-B", "A" or empty for every frame on disk
    ExistingOutputs Existing = ExistingOutputs::Refuse;
};

struct KeyJob {
    FramePattern Source;
    FramePattern Output;
    std::optional<FramePattern> Key;
    std::vector<int> Frames;  // to render, ascending
    int Skipped = 0;          // asked for, but their outputs exist and are kept
    int PreviewFrame = 0;     // the first frame asked for, rendered or skipped
};

// Throws UsageError for what the user must change in the command (mismatched patterns, an
// output that would replace an input) and Failure for what is missing or in the way on disk.
KeyJob PlanKeyJob(const JobRequest& request, const DiskView& disk);

}  // namespace qualvex::cli
