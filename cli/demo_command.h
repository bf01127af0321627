// qualvex demo: keys a generated green-screen plate whose true alpha is known, with the settings
// the project ships, and reports how far the matte is from the truth.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qualvex {
class KeyerPlugin;
}  // namespace qualvex

namespace qualvex::cli {

struct DemoResult {
    double MeanAlphaError;
    double ShareWithin005;
    // The same for settings fitted from two rectangles of the plate (qualvex fit).
    double FittedMeanAlphaError = 0.0;
    double FittedShareWithin005 = 0.0;
    // Green spill on the pixels the subject covers, keyed and then finished with despill.
    double SubjectSpill = 0.0;
    double FinishedSubjectSpill = 0.0;
};

// Writes plate.exr, keyed.exr, preview.png, settings.json and fitted-settings.json into `folder`.
// `sets` ("ID=VALUE") override the shipped settings, to try other values on the same plate.
DemoResult RunDemo(const KeyerPlugin& plugin, const std::filesystem::path& folder, const std::vector<std::string>& sets,
                   bool quiet);

}  // namespace qualvex::cli
