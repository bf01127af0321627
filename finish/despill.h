// Spill suppression: takes the screen colour's excess over the other two channels out of one
// pixel's colour.
#pragma once

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
// colour as it is. Single precision: each operation is rounded to float.
Rgb Despill(const Rgb& colour, const DespillSettings& settings);

}  // namespace qualvex::finish
