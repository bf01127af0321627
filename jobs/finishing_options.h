// What finishing a key asks of the finishing tool: spill suppression, clipping, shrinking or
// growing, softening, garbage and core mattes, the matte alone. Given on the command line, or in
// a settings file's "finish" object under the tool's own control IDs.
#pragma once

#include "jobs/control_settings.h"

#include <optional>
#include <string>
#include <vector>

class Operator;

namespace qualvex {

struct FinishingOptions {
    std::string Despill;        // "auto", "average" or "max"; empty: as the settings say
    std::string ScreenChannel;  // average and max: "red", "green" or "blue"; empty: the key colour's strongest
    std::optional<double> DespillAmount;
    std::optional<double> ClipBlack;
    std::optional<double> ClipWhite;
    std::string Unmix;  // "auto" (the source's encoding), "linear", "srgb" or "rec709"; empty: as the settings say
    std::optional<double> UnmixReach;
    std::optional<double> Shrink;  // pixels; negative grows
    std::optional<double> Soften;  // Gaussian sigma in pixels
    bool OutputMatte = false;
    std::string Garbage;  // image (file or sequence) whose alpha keeps the key out
    std::string Core;     // image (file or sequence) whose alpha keeps the subject in

    // Whether anything on the command line asks for the finishing tool.
    bool Requested() const;
};

// The finishing tool's control values the options stand for, in the order they are applied.
// `keyer` holds the run's settings: auto despills against its key colour; average and max, without
// a chosen screen channel, work on the key colour's strongest channel. Throws UsageError naming
// the option for a value it does not take. `sourceEncoding` is how the source says its values encode
// light ("sRGB", "Rec709"; anything else reads as linear): unmixing the edges decodes by it when
// asked for auto.
std::vector<ControlValue> FinishingValues(const FinishingOptions& options, const Operator& keyer,
                                          const std::string& sourceEncoding = "");

}  // namespace qualvex
