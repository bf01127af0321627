#include "jobs/finishing_options.h"

#include "base/errors.h"
#include "base/safe_text.h"
#include "host/operator.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace qualvex {
namespace {

// A number the finishing tool can hold: finite, and within single precision, where it keeps its
// values (a larger one would become infinite there, and its arithmetic not a number).
void CheckFinite(const std::optional<double>& value, const char* option)
{
    if (value && !std::isfinite(*value))
        throw UsageError(std::string(option) + ": expected a finite number");
    if (value && std::fabs(*value) > std::numeric_limits<float>::max())
    {
        char text[32];
        std::snprintf(text, sizeof text, "%g", *value);
        throw UsageError(std::string(option) + " " + text +
                         ": beyond what the finishing tool can hold (single precision, about 3.4e38)");
    }
}

const char* const kKeyColourIDs[3] = {"CRed", "CGreen", "CBlue"};

double KeyColour(const Operator& keyer, int channel)
{
    const Input* input = keyer.FindInput(kKeyColourIDs[channel]);
    return input != nullptr ? input->NumberValue() : 0.0;
}

// The index of the largest of the key colour's components (red first on ties).
double StrongestKeyChannel(const Operator& keyer)
{
    int strongest = 0;
    double largest = -INFINITY;
    for (int c = 0; c < 3; ++c) {
        const double value = KeyColour(keyer, c);
        if (value > largest) {
            largest = value;
            strongest = c;
        }
    }
    return strongest;
}

}  // namespace

bool FinishingOptions::Requested() const
{
    return !Despill.empty() || !ScreenChannel.empty() || DespillAmount || ClipBlack || ClipWhite || !Unmix.empty() ||
           UnmixReach || Shrink || Soften || OutputMatte || !Garbage.empty() || !Core.empty();
}

std::vector<ControlValue> FinishingValues(const FinishingOptions& options, const Operator& keyer,
                                          const std::string& sourceEncoding)
{
    CheckFinite(options.DespillAmount, "--despill-amount");
    CheckFinite(options.ClipBlack, "--clip-black");
    CheckFinite(options.ClipWhite, "--clip-white");
    CheckFinite(options.UnmixReach, "--unmix-reach");
    CheckFinite(options.Shrink, "--shrink");
    CheckFinite(options.Soften, "--soften");

    std::vector<ControlValue> values;
    const bool automatic = options.Despill == "auto";
    if (automatic) {
        if (!options.ScreenChannel.empty())
            throw UsageError("--screen-channel " + Quoted(options.ScreenChannel) +
                             ": only for --despill average or max (auto works against the whole key colour)");
        values.push_back({"Despill", 3.0});
    } else if (!options.Despill.empty()) {
        if (options.Despill == "average")
            values.push_back({"Despill", 1.0});
        else if (options.Despill == "max")
            values.push_back({"Despill", 2.0});
        else
            throw UsageError("--despill " + Quoted(options.Despill) + ": expected auto, average or max");
    }
    if (automatic) {
        // The screen colour above stands for the channel.
    } else if (!options.ScreenChannel.empty()) {
        const char* channels[3] = {"red", "green", "blue"};
        int chosen = -1;
        for (int c = 0; c < 3; ++c)
            if (options.ScreenChannel == channels[c])
                chosen = c;
        if (chosen < 0)
            throw UsageError("--screen-channel " + Quoted(options.ScreenChannel) + ": expected red, green or blue");
        values.push_back({"ScreenChannel", static_cast<double>(chosen)});
    } else if (!options.Despill.empty()) {
        values.push_back({"ScreenChannel", StrongestKeyChannel(keyer)});
    }
    if (options.DespillAmount)
        values.push_back({"DespillAmount", *options.DespillAmount});
    if (options.ClipBlack)
        values.push_back({"ClipBlack", *options.ClipBlack});
    if (options.ClipWhite)
        values.push_back({"ClipWhite", *options.ClipWhite});
    if (!options.Unmix.empty()) {
        // The Unmix Edges entry: As Given 1, sRGB 2, Rec. 709 3; auto takes the source's curve.
        const std::string sourceCurve =
            sourceEncoding == "sRGB" ? "srgb" : (sourceEncoding == "Rec709" ? "rec709" : "linear");
        const std::string& curve = options.Unmix == "auto" ? sourceCurve : options.Unmix;
        const int entry = curve == "linear" ? 1 : (curve == "srgb" ? 2 : (curve == "rec709" ? 3 : 0));
        if (entry == 0)
            throw UsageError("--unmix " + Quoted(options.Unmix) + ": expected auto, linear, srgb or rec709");
        values.push_back({"UnmixEdges", static_cast<double>(entry)});
    }
    if (options.UnmixReach)
        values.push_back({"UnmixReach", *options.UnmixReach});
    // Despill against the key colour and unmixing the edges both measure the screen's colour.
    if (automatic || !options.Unmix.empty()) {
        const char* const screen[3] = {"ScreenRed", "ScreenGreen", "ScreenBlue"};
        // A key colour that came back through another colour space may hold a channel a hair
        // below 0 (-0.0003): it is that channel's 0, the screen's weakest either way, and not
        // worth a warning about the slider's range.
        for (int c = 0; c < 3; ++c) {
            const double value = KeyColour(keyer, c);
            values.push_back({screen[c], value < 0.0 ? 0.0 : value});
        }
    }
    if (options.Shrink)
        values.push_back({"Shrink", *options.Shrink});
    if (options.Soften)
        values.push_back({"Soften", *options.Soften});
    if (options.OutputMatte)
        values.push_back({"OutputMode", 1.0});
    return values;
}

}  // namespace qualvex
