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

// The index of the largest of the key colour's components (red first on ties).
double StrongestKeyChannel(const Operator& keyer)
{
    const char* ids[3] = {"CRed", "CGreen", "CBlue"};
    int strongest = 0;
    double largest = -INFINITY;
    for (int c = 0; c < 3; ++c) {
        const Input* input = keyer.FindInput(ids[c]);
        const double value = input != nullptr ? input->NumberValue() : 0.0;
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
    return !Despill.empty() || !ScreenChannel.empty() || DespillAmount || ClipBlack || ClipWhite || Shrink || Soften ||
           OutputMatte || !Garbage.empty() || !Core.empty();
}

std::vector<ControlValue> FinishingValues(const FinishingOptions& options, const Operator& keyer)
{
    CheckFinite(options.DespillAmount, "--despill-amount");
    CheckFinite(options.ClipBlack, "--clip-black");
    CheckFinite(options.ClipWhite, "--clip-white");
    CheckFinite(options.Shrink, "--shrink");
    CheckFinite(options.Soften, "--soften");

    std::vector<ControlValue> values;
    if (!options.Despill.empty()) {
        if (options.Despill == "average")
            values.push_back({"Despill", 1.0});
        else if (options.Despill == "max")
            values.push_back({"Despill", 2.0});
        else
            throw UsageError("--despill " + Quoted(options.Despill) + ": expected average or max");
    }
    if (!options.ScreenChannel.empty()) {
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
    if (options.Shrink)
        values.push_back({"Shrink", *options.Shrink});
    if (options.Soften)
        values.push_back({"Soften", *options.Soften});
    if (options.OutputMatte)
        values.push_back({"OutputMode", 1.0});
    return values;
}

}  // namespace qualvex
