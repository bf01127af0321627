// Plans a keying job before anything is read or rendered: which frames of the source to key,
// where each output and the preview go, whether a key image covers the frames, and what happens
// to outputs that already exist. Pure: what it knows of the disk comes through a DiskView, so
// every rule can be tried on a described disk.
#pragma once

#include "jobs/frame_sequence.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qualvex {

// What is under an output's name before a run writes it.
enum class OutputState {
    Missing,
    Finished,       // an image carrying this run's settings record
    Unfinished,     // empty, unreadable, or an image without a settings record
    OtherSettings,  // an image keyed with other settings
    NotAFile,       // a folder or anything else that is not a plain file
    NoFolder,       // the folder it would go in does not exist (or is not a folder)
};

// What the planner may ask of the disk.
struct DiskView {
    std::function<std::vector<int>(const FramePattern&)> FramesOnDisk;  // ascending
    // The path a name resolves to, for telling whether two names are one file.
    std::function<std::filesystem::path(const std::filesystem::path&)> Canonical;
    // `settingsJson` is the run's settings record, compared with the one the file carries.
    std::function<OutputState(const std::filesystem::path&, const std::string& settingsJson)> Inspect;
};

enum class ExistingOutputs { Refuse, Overwrite, Resume };

// A further image a frame reads besides the source, such as a garbage matte: a file or a sequence.
struct FrameInput {
    std::string Pattern;
    std::string Role;  // for messages: "garbage matte"
};

struct JobRequest {
    std::string Source;
    std::string Output;
    std::string KeyImage;  // empty: none
    std::string Frames;    // "A-B", "A" or empty for every frame on disk
    std::string Preview;   // empty: none
    ExistingOutputs Existing = ExistingOutputs::Refuse;
    std::string SettingsJson;  // the run's settings record, for --resume
    std::vector<FrameInput> Masks = {};
    bool AllowGaps = false;                // key the frames of the range that exist
    std::optional<int> PreviewFrame = {};  // the frame the preview shows; default: the first
    int MovieFrames = 0;                   // the source is a movie of this many frames (from 1); 0: not
    bool MovieOutput = false;              // every frame goes into one movie file
    bool OutputFolderMadeFirst = false;    // the caller makes the outputs' folder (farm submit)
};

struct KeyJob {
    FramePattern Source;
    FramePattern Output;
    std::optional<FramePattern> Key;
    std::vector<std::pair<FramePattern, std::string>> Masks;  // with their roles
    std::vector<int> Frames;     // to render, ascending
    std::vector<int> Replacing;  // of those, frames whose unfinished or old output is replaced
    int Skipped = 0;             // asked for, but finished outputs exist and are kept
    int PreviewFrame = 0;        // the first frame asked for, rendered or skipped
    bool WritePreview = false;   // a preview was asked for and is not kept as it is
    bool ReplacePreview = false;
    bool SourceIsMovie = false;
    bool MovieOutput = false;  // the frames go, in order, into the one output file
    bool ReplaceMovie = false;  // an existing movie under the output's name is replaced
};

// Throws UsageError for what the user must change in the command (mismatched patterns, an
// output that would replace an input) and Failure for what is missing or in the way on disk.
KeyJob PlanKeyJob(const JobRequest& request, const DiskView& disk);

}  // namespace qualvex
