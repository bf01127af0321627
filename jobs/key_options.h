// What a keying run is asked to do, as `qualvex key` takes it, and what it did. Plain values only:
// the program holds these while it parses its arguments, without the libraries that read files.
#pragma once

#include "host/image.h"
#include "jobs/finishing_options.h"
#include "media/format_policy.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qualvex {

struct KeyOptions {
    std::string Source;
    std::string Output;
    std::string KeyImage;
    std::string SettingsFile;
    std::string KeyColor;
    std::string KeyColorFrom;  // X,Y,W,H: the key colour is the region's median in the first frame
    std::vector<std::string> Sets;
    std::string Frames;
    unsigned Threads = 0;  // 0: one per core the process may run on
    bool Resume = false;
    bool Overwrite = false;
    std::string Alpha = "auto";  // how the tool's result reads: auto, straight or associated
    bool Premultiply = false;    // the old name for --alpha straight
    std::optional<PixelStorage> DataType;
    std::string Compression;  // EXR and TIFF outputs; empty: the source's when it shares the format, else zip
    std::string Preview;
    std::optional<int> PreviewFrame;  // the frame the preview shows; default: the first keyed
    bool AllowGaps = false;           // key the frames of a sequence that exist
    std::string FrameRate;            // a movie output's, as N or N/D; default: the source movie's, else 24
    bool Quiet = false;
    std::uint64_t MemoryLimit = 0;  // 0: the default share of physical memory
    FinishingOptions Finish;        // asks for the finishing tool after the keyer
    // Plans and checks everything as a run would, then stops before reading or writing a frame.
    bool PlanOnly = false;
    // Keeps the colour a result that reads as associated has where the matte is 0 (else 0).
    bool KeepKeyedColour = false;
    // Leaves a movie source's sound out of a movie output (else copied along with the frames).
    bool NoAudio = false;
    // "source": the colour as the source encodes it (and the outputs say so); "linear": converted
    // to linear light on write.
    std::string OutputColourspace = "source";
    // The caller makes the outputs' folder before any frame is written (farm submit does): a
    // missing one is not refused.
    bool OutputFolderMadeFirst = false;
    // Refuses to run unless this program and its plug-ins have exactly this version (a farm task
    // checks it is the build its submitter planned with).
    std::string RequireVersion;
};

struct KeyResult {
    int FramesWritten = 0;
    int FramesSkipped = 0;
    bool Interrupted = false;
    // What the run planned: the frames it keys (or, with PlanOnly, would key), its settings record
    // and the versions of this program and the plug-ins it ran.
    std::vector<int> Planned;
    std::string SettingsRecord;
    std::string Version;
};

}  // namespace qualvex
