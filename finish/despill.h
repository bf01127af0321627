// Spill suppression: takes the screen colour's excess over the other channels out of one pixel's
// colour, for a screen of one primary (a screen channel) or of any colour (the screen colour).
#pragma once

#include <algorithm>
#include <limits>

namespace qualvex::finish {

// The order is the finishing tool's Despill entries: saved settings hold the index.
enum class DespillMethod { Off, Average, Maximum, ScreenColour };
enum class ScreenChannel { Red, Green, Blue };

struct Rgb {
    float R = 0.0f;
    float G = 0.0f;
    float B = 0.0f;
};

struct DespillSettings {
    DespillMethod Method = DespillMethod::Off;
    ScreenChannel Screen = ScreenChannel::Green;  // Average and Maximum
    float Amount = 1.0f;       // share of the spill taken out, used as given (outside 0..1 too)
    bool SpillToGrey = false;  // give the removed light back, a third to each channel
    Rgb ScreenColour{0.0f, 1.0f, 0.0f};  // ScreenColour: the screen's colour, the key colour
};

// The channels that make a screen's colour: the one with the largest excess over the screen's
// weakest channel, and any other whose excess is at least three quarters of that. Green (0.1, 0.8,
// 0.15) is G alone, and so is a green whose blue is well up (0.0, 0.82, 0.41): its spill on skin is
// still G over R; yellow (0.62, 0.64, 0.02) is R and G, cyan G and B. A grey screen, one with a
// NaN, or an infinite one has no screen channel: there is no hue to take out.
struct ScreenChannels {
    bool Red = false;
    bool Green = false;
    bool Blue = false;
};

inline ScreenChannels ChannelsOfScreen(const Rgb& screen)
{
    const float weakest = std::min(screen.R, std::min(screen.G, screen.B));
    const float r = screen.R - weakest;
    const float g = screen.G - weakest;
    const float b = screen.B - weakest;
    const float strongest = std::max(r, std::max(g, b));
    // Not a positive finite excess (grey, NaN, infinite): no channel.
    if (!(strongest > 0.0f) || !(strongest < std::numeric_limits<float>::infinity()))
        return {};
    const float threshold = strongest * 0.75f;
    return {r >= threshold, g >= threshold, b >= threshold};
}

// The screen's excess of a colour: its weakest screen channel over its strongest other channel
// (green: G - max(R, B); yellow: min(R, G) - B), in the colour's own precision. The weakest channel
// of a screen is never one of its channels, so there is always another. std::min and std::max pass
// a NaN through only in some positions: a caller with NaN in reach checks the channels itself.
template <typename T>
inline T ScreenExcess(const T (&values)[3], const ScreenChannels& screen)
{
    const bool inScreen[3] = {screen.Red, screen.Green, screen.Blue};
    T weakestScreen = std::numeric_limits<T>::infinity();
    T strongestOther = -std::numeric_limits<T>::infinity();
    for (int c = 0; c < 3; ++c) {
        if (inScreen[c])
            weakestScreen = std::min(weakestScreen, values[c]);
        else
            strongestOther = std::max(strongestOther, values[c]);
    }
    return weakestScreen - strongestOther;
}

// Despill against a screen whose channels (ChannelsOfScreen, at least one) are fixed where it is
// compiled, so that a loop over a row holds no branch. The spill is how far the pixel's weakest
// screen channel exceeds its strongest other channel: green's G over max(R, B), yellow's min(R, G)
// over B. Each screen channel loses Amount x spill, so a pixel of pure screen light ends grey at
// Amount 1 and the pixel's own tint (R over G in a warm skin under yellow spill) is kept; with
// SpillToGrey the light taken out goes back a third to each channel. A spill that is not positive,
// or a NaN in any channel, leaves the colour as it is. For a one-channel screen this is Maximum.
template <bool Red, bool Green, bool Blue>
inline Rgb DespillScreenChannels(const Rgb& colour, float amount, bool spillToGrey)
{
    static_assert((Red || Green || Blue) && !(Red && Green && Blue), "a screen has one or two channels");
    const float values[3] = {colour.R, colour.G, colour.B};
    const float spill = ScreenExcess(values, ScreenChannels{Red, Green, Blue});
    // A NaN in the colour may not reach the spill: every channel is checked.
    const bool spilled = spill > 0.0f && values[0] == values[0] && values[1] == values[1] && values[2] == values[2];
    const float removed = amount * spill;
    Rgb result{Red ? colour.R - removed : colour.R, Green ? colour.G - removed : colour.G,
               Blue ? colour.B - removed : colour.B};
    if (spillToGrey) {
        // The light taken out, a third to each channel; dividing by a constant needs no guard.
        constexpr float count = static_cast<float>((Red ? 1 : 0) + (Green ? 1 : 0) + (Blue ? 1 : 0));
        const float grey = (count * removed) / 3.0f;
        result.R = result.R + grey;
        result.G = result.G + grey;
        result.B = result.B + grey;
    }
    return {spilled ? result.R : colour.R, spilled ? result.G : colour.G, spilled ? result.B : colour.B};
}

// The limit is the average of the other two channels (Average) or the larger of them (Maximum);
// the spill is how far the screen channel exceeds it, never negative. The screen channel loses
// Amount x spill; with SpillToGrey each of R, G, B then gains Amount x spill / 3, so the sum of
// the channels is kept. A spill that is not a positive number (NaN included) leaves the colour as
// it is. Single precision: each operation is rounded to float. The method and the screen channel
// are fixed where it is compiled, so that a loop over a row holds no branch (the choice of the
// spill is a select).
template <DespillMethod Method, ScreenChannel Screen>
inline Rgb DespillChannel(const Rgb& colour, float amount, bool spillToGrey)
{
    static_assert(Method == DespillMethod::Average || Method == DespillMethod::Maximum);
    const float screen =
        Screen == ScreenChannel::Red ? colour.R : (Screen == ScreenChannel::Blue ? colour.B : colour.G);
    const float first = Screen == ScreenChannel::Red ? colour.G : colour.R;
    const float second = Screen == ScreenChannel::Blue ? colour.G : colour.B;
    // Halving by a constant: no guard needed.
    const float limit = Method == DespillMethod::Average ? (first + second) / 2.0f : std::max(first, second);
    const float spill = screen - limit;
    const bool spilled = spill > 0.0f;  // false for no spill, or a NaN somewhere in the colour
    const float removed = amount * spill;
    const float kept = screen - removed;
    // A third of the removed light to each channel; dividing by a constant needs no guard.
    const float grey = removed / 3.0f;
    Rgb result{Screen == ScreenChannel::Red ? kept : colour.R, Screen == ScreenChannel::Green ? kept : colour.G,
               Screen == ScreenChannel::Blue ? kept : colour.B};
    if (spillToGrey) {
        result.R = result.R + grey;
        result.G = result.G + grey;
        result.B = result.B + grey;
    }
    return {spilled ? result.R : colour.R, spilled ? result.G : colour.G, spilled ? result.B : colour.B};
}

// Calls `use` with the settings' despill as a function of the colour alone, its method and
// channels fixed where it is compiled, so that a loop over a row holds no branch: DespillChannel
// for a screen channel, DespillScreenChannels for the screen colour's channels, and the colour as
// it is for Off and for a screen colour without a hue to take out (grey, NaN, infinite).
template <typename Use>
inline decltype(auto) WithDespill(const DespillSettings& settings, Use&& use)
{
    const float amount = settings.Amount;
    const bool grey = settings.SpillToGrey;
    const auto channel = [&]<DespillMethod Method>() {
        const auto against = [&]<ScreenChannel Screen>() {
            return use(
                [amount, grey](const Rgb& colour) { return DespillChannel<Method, Screen>(colour, amount, grey); });
        };
        if (settings.Screen == ScreenChannel::Red)
            return against.template operator()<ScreenChannel::Red>();
        if (settings.Screen == ScreenChannel::Blue)
            return against.template operator()<ScreenChannel::Blue>();
        return against.template operator()<ScreenChannel::Green>();
    };
    const auto screen = [&]<bool R, bool G, bool B>() {
        return use([amount, grey](const Rgb& colour) { return DespillScreenChannels<R, G, B>(colour, amount, grey); });
    };
    switch (settings.Method) {
    case DespillMethod::Average:
        return channel.template operator()<DespillMethod::Average>();
    case DespillMethod::Maximum:
        return channel.template operator()<DespillMethod::Maximum>();
    case DespillMethod::ScreenColour: {
        const ScreenChannels channels = ChannelsOfScreen(settings.ScreenColour);
        if (channels.Red && channels.Green)
            return screen.template operator()<true, true, false>();
        if (channels.Red && channels.Blue)
            return screen.template operator()<true, false, true>();
        if (channels.Green && channels.Blue)
            return screen.template operator()<false, true, true>();
        if (channels.Red)
            return screen.template operator()<true, false, false>();
        if (channels.Green)
            return screen.template operator()<false, true, false>();
        if (channels.Blue)
            return screen.template operator()<false, false, true>();
        break;
    }
    case DespillMethod::Off:
        break;
    }
    return use([](const Rgb& colour) { return colour; });
}

// One pixel's despill with the method and screen channel the settings name (WithDespill).
// Inline: it runs once a pixel.
inline Rgb Despill(const Rgb& colour, const DespillSettings& settings)
{
    return WithDespill(settings, [&](auto despill) { return despill(colour); });
}

}  // namespace qualvex::finish
