#include "finish/despill.h"

#include <algorithm>

namespace qualvex::finish {

namespace {

struct Channels {
    float* Screen;
    float Other[2];
};

Channels Split(Rgb& colour, ScreenChannel screen)
{
    switch (screen) {
    case ScreenChannel::Red: return {&colour.R, {colour.G, colour.B}};
    case ScreenChannel::Blue: return {&colour.B, {colour.R, colour.G}};
    case ScreenChannel::Green: break;
    }
    return {&colour.G, {colour.R, colour.B}};
}

}  // namespace

Rgb Despill(const Rgb& colour, const DespillSettings& settings)
{
    if (settings.Method == DespillMethod::Off)
        return colour;
    Rgb result = colour;
    const Channels channels = Split(result, settings.Screen);
    // Halving by a constant: no guard needed.
    const float limit = settings.Method == DespillMethod::Average ? (channels.Other[0] + channels.Other[1]) / 2.0f
                                                                  : std::max(channels.Other[0], channels.Other[1]);
    const float spill = *channels.Screen - limit;
    if (!(spill > 0.0f))
        return colour;  // no spill, or a NaN somewhere in the colour
    const float removed = settings.Amount * spill;
    *channels.Screen = *channels.Screen - removed;
    if (settings.SpillToGrey) {
        // A third of the removed light to each channel; dividing by a constant needs no guard.
        const float grey = removed / 3.0f;
        result.R = result.R + grey;
        result.G = result.G + grey;
        result.B = result.B + grey;
    }
    return result;
}

}  // namespace qualvex::finish
