// qualvex fit: keyer settings from sample regions of a plate instead of trial and error. Reads
// screen and subject samples from rectangles and masks in every frame asked for, hands them to
// the fitting library with a render callback through the loaded tool, prints what it chose and
// why, and writes a settings file that `qualvex key --settings` takes.
#pragma once

#include "fit/fit_settings.h"

#include <string>
#include <vector>

namespace qualvex {
class KeyerPlugin;
}  // namespace qualvex

namespace qualvex::cli {

struct FitCommandOptions {
    std::string Source;                // file or sequence pattern
    std::vector<std::string> Screens;  // X,Y,W,H each
    std::vector<std::string> Subjects;
    std::vector<std::string> Edges;
    std::string ScreenMask;   // image (or sequence) whose pixels above 0.5 are screen samples
    std::string SubjectMask;
    std::string Frames;       // "A-B", "A" or empty for every frame on disk
    std::string Space = "auto";
    std::string Output;
    std::string CleanPlate;  // empty: fit against one key colour
    bool Overwrite = false;
};

// Throws UsageError for a bad command (regions outside the image, empty, or screen and subject
// overlapping, each named) and Failure for what is missing or unreadable.
fit::FitResult RunFit(const KeyerPlugin& plugin, const FitCommandOptions& options);

}  // namespace qualvex::cli
