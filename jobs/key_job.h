// A keying job: a file, a frame sequence or a movie keyed through the loaded tools and written as
// images or a movie, in three steps: the tools set up and checked, the plan (which frames, where
// they go, what one frame costs), and the frames keyed into an image sequence or a movie. What
// `qualvex key` runs, what a farm task runs on its chunk, and what `qualvex farm submit` plans.
#pragma once

#include "host/image.h"
#include "jobs/control_settings.h"
#include "jobs/job_plan.h"
#include "jobs/key_options.h"
#include "jobs/keyer_plugin.h"
#include "media/image_writer.h"
#include "media/movie_reader.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qualvex {

// How the tool's result reads under --alpha auto: associated where colour correction subtracts
// the key colour by 1 - alpha (what is left is close to colour multiplied by alpha) or where the
// finishing tool (when given) writes the matte alone (white, times the matte); straight otherwise.
// `reason`, when given, says which.
AlphaReading AutoResultReading(const Operator& keyer, const Operator* finisher, std::string* reason = nullptr);

// The tools of a run, each set up with the run's settings on one instance and checked before
// anything is read or rendered: the keyer, and the finishing tool when the run finishes the key.
struct KeyTools {
    const KeyerPlugin* Plugin = nullptr;
    RunSettings Settings;
    std::unique_ptr<Operator> Keyer;
    std::unique_ptr<KeyerPlugin> Finishing;  // null when the run does not finish the key
    std::unique_ptr<Operator> Finisher;
    std::vector<ControlValue> FinishValues;
    // How the result reads (and why) and the settings record every output carries; the storage and
    // compression are the plan's.
    WriteOptions Write;
    std::string Reason;
    // This program's and the plug-ins' versions ("qualvex 1.0.0; Sondrel.plugin 1.0.0.0").
    std::string Version;
};

// Reads the settings (file, --key-color, --set, --key-color-from), warns of values outside a
// control's range, loads the finishing tool when asked for, and checks --require-version. Throws
// UsageError or Failure.
KeyTools PrepareKeyTools(const KeyerPlugin& plugin, const KeyOptions& options);

// A frame rate as a fraction; 0 / 1 when none was given.
struct FrameRate {
    int Numerator = 0;
    int Denominator = 1;
};

// An image read beside the source for every frame (a key image, a garbage or core matte), and
// where it goes in the flow of tools: a step and one of its image inputs.
struct BesideImage {
    FramePattern Pattern;
    std::string Role;
    std::size_t Step;
    const char* Input;
};

// What a run does, checked against the disk and the first frame's headers before any frame is read.
struct KeyPlan {
    KeyJob Job;
    std::optional<MovieFacts> Movie;  // the source movie's facts, when the source is one
    FrameRate AskedRate;              // --frame-rate
    std::vector<BesideImage> Beside;
    std::uint64_t MemoryLimit = 0;
    std::uint64_t FrameBytes = 0;  // what keying one frame holds at once; 0 with no frame to key
    int FirstWidth = 0;
    int FirstHeight = 0;
    std::string FirstEncoding{};  // how the first frame's colour is encoded (ImageLayout's)
    // What the outputs store: --data-type, or half float for an 8- or 16-bit source going into a
    // format that holds only half and float (OpenEXR); unset: each frame's source storage.
    std::optional<PixelStorage> DataType{};
};

// Plans the run (frames, outputs, what exists), checks the outputs' formats, compression and the
// memory one frame takes, says how the result is stored, and (unless only planning) removes the
// temporary files an interrupted run left. Sets the storage and compression in `tools.Write`.
KeyPlan PlanKey(KeyTools& tools, const KeyOptions& options);

// What a plan would do, without keying: its frames, settings record and versions.
KeyResult PlannedResult(const KeyTools& tools, const KeyPlan& plan);

// Keys the planned frames on as many workers as the threads and the memory limit allow, each with
// its own instances of the tools, into the image sequence or the movie the plan names; then the
// preview. A movie is put in place only once its last frame is written.
KeyResult KeyFrames(KeyTools& tools, const KeyPlan& plan, const KeyOptions& options);

}  // namespace qualvex
