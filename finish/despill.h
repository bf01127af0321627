// Spill suppression: takes the screen colour's excess over the other two channels out of one
// pixel's colour.
#pragma once

#include <algorithm>

namespace qualvex::finish {

enum class DespillMethod { Off, Average, Maximum };
enum class ScreenChannel { Red, Green, Blue };

struct Rgb {
    float R = 0.0f;
    float G = 0.0f;
    float B = 0.0f;
};

struct DespillSettings {
    DespillMethod Method = DespillMethod::Off;
    ScreenChannel Screen = ScreenChannel::Green;
    float Amount = 1.0f;       // share of the spill taken out, used as given (outside 0..1 too)
    bool SpillToGrey = false;  // give the removed light back, a third to each channel
};

// The limit is the average of the other two channels (Average) or the larger of them (Maximum);
// the spill is how far the screen channel exceeds it, never negative. The screen channel loses
// Amount x spill; with SpillToGrey each of R, G, B then gains Amount x spill / 3, so the sum of
// the channels is kept. Off, or a spill that is not a positive number (NaN included), leaves the
// colour as it is. Single precision: each operation is rounded to float. Inline: it runs once a
// pixel.
inline Rgb Despill(const Rgb& colour, const DespillSettings& settings)
{
    if (settings.Method == DespillMethod::Off)
        return colour;
    float screen = colour.G;
    float first = colour.R;
    float second = colour.B;
    if (settings.Screen == ScreenChannel::Red) {
        screen = colour.R;
        first = colour.G;
        second = colour.B;
    } else if (settings.Screen == ScreenChannel::Blue) {
        screen = colour.B;
        first = colour.R;
        second = colour.G;
    }
    // Halving by a constant: no guard needed.
    const float limit =
        settings.Method == DespillMethod::Average ? (first + second) / 2.0f : std::max(first, second);
    const float spill = screen - limit;
    if (!(spill > 0.0f))
        return colour;  // no spill, or a NaN somewhere in the colour
    const float removed = settings.Amount * spill;
    Rgb result = colour;
    const float kept = screen - removed;
    if (settings.Screen == ScreenChannel::Red)
        result.R = kept;
    else if (settings.Screen == ScreenChannel::Blue)
        result.B = kept;
    else
        result.G = kept;
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
