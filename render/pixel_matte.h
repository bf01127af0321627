// The per-pixel matte: tests a colour against windows around the reference values in the chosen
// colour space, turns the depths into a soft alpha, shapes it and optionally colour-corrects the
// pixel. Pure, allocation-free and inline: it runs once per output pixel.
#pragma once

#include "color/color_vec.h"
#include "color/conversions.h"

#include <cmath>
#include <cstdint>

namespace qualvex {

// The controls as the render reads them for one frame.
struct FrameSettings {
    std::int32_t Mode = ColorSpaceRGB;  // a ColorSpaceIndex; anything outside 0..4 keys in RGB
    double Value[3] = {0.0, 0.0, 0.0};
    double Min[3] = {0.0, 0.0, 0.0};
    double Max[3] = {0.0, 0.0, 0.0};
    double Fade = 0.0;
    double Gamma = 1.0;
    double Mult = 1.0;
    double Offset = 0.0;
    std::int32_t Invert = 0;        // active only when exactly 1
    std::int32_t ColorCorrect = 0;  // active only when exactly 1
    double CCAmount = 0.0;
    double Desaturate = 0.0;
};

// What every pixel of a frame shares, worked out once before the first pixel.
struct MatteFrame {
    FrameSettings Settings;
    double Width[3];      // window width per component: Min + Max, 0.001 where that is 0 or NaN
    double FadeExtent;    // the largest width times Fade
    bool ApplyGamma;      // Gamma is a number other than 0
    bool GammaIsOne;      // pow(a, 1.0) is a exactly: the power call can be skipped
    double InverseGamma;
    bool Invert;
    bool ColorCorrect;
    // Alphas before Gamma whose shaped alpha the power cannot change, for code that may skip it:
    // one above 0 and at most PowerLow shapes as PowerLowRaised does (to 0), one at least PowerHigh
    // as PowerHighRaised does (to 1). PowerLow -1 and PowerHigh NaN decide nothing. The pixel
    // matte itself always takes the power.
    double PowerLow;
    float PowerLowRaised;
    double PowerHigh;
    float PowerHighRaised;
};

// The reference values of a pixel, the lower ends of its windows, and (under colour correction)
// the reference turned back into RGB, which depends on nothing else.
struct KeyReference {
    float Value[3];
    double Lower[3];
    ColorVec Rgb;
};

inline void ConvertReferenceToRgb(KeyReference& ref, const MatteFrame& frame)
{
    ref.Rgb = frame.ColorCorrect ? SpaceToRgb(MakeColor(ref.Value[0], ref.Value[1], ref.Value[2]), frame.Settings.Mode)
                                 : ColorVec{0.0f, 0.0f, 0.0f, 1.0f};
}

MatteFrame PrepareMatteFrame(const FrameSettings& settings);

// The reference taken from the Value sliders.
inline KeyReference SliderReference(const MatteFrame& frame)
{
    KeyReference ref;
    for (int i = 0; i < 3; ++i) {
        ref.Value[i] = static_cast<float>(frame.Settings.Value[i]);
        ref.Lower[i] = frame.Settings.Value[i] - frame.Settings.Min[i];  // from the double value
    }
    ConvertReferenceToRgb(ref, frame);
    return ref;
}

// The reference taken from a key image pixel: its R, G, B are the components of the chosen space
// as they stand, without conversion.
inline KeyReference KeyPixelReference(const ColorVec& key, const MatteFrame& frame)
{
    KeyReference ref{{key.R, key.G, key.B}, {}, {}};
    for (int i = 0; i < 3; ++i)
        ref.Lower[i] = static_cast<double>(ref.Value[i]) - frame.Settings.Min[i];
    ConvertReferenceToRgb(ref, frame);
    return ref;
}

// The alpha before Gamma: Fade's extent over the distance to the nearest window edges. False
// when all three components are at or above their windows' upper ends: the pixel is fully keyed,
// its alpha is 0 (1 inverted) and its colour is kept.
[[gnu::always_inline]] inline bool MatteBeforeGamma(const ColorVec& pixel, const KeyReference& ref,
                                                    const MatteFrame& frame, float& alpha)
{
    const ColorVec q = RgbToSpace(pixel, frame.Settings.Mode);
    const float components[3] = {q.R, q.G, q.B};
    float offset[3];
    for (int i = 0; i < 3; ++i)
        offset[i] = static_cast<float>(static_cast<double>(components[i]) - ref.Lower[i]);

    if (offset[0] >= frame.Width[0] && offset[1] >= frame.Width[1] && offset[2] >= frame.Width[2]) {
        alpha = frame.Invert ? 1.0f : 0.0f;
        return false;
    }

    // Depth: the distance to the nearer end of the window, negative outside it.
    double depth[3];
    for (int i = 0; i < 3; ++i) {
        depth[i] = frame.Width[i] - offset[i];
        if (depth[i] > offset[i])
            depth[i] = offset[i];
    }
    const float squared = static_cast<float>((depth[0] * depth[0] + depth[1] * depth[1]) + depth[2] * depth[2]);
    const float dist = std::sqrt(squared);
    // A zero (or NaN) distance would divide by zero: alpha 0.
    alpha = (dist > 0.0f) ? static_cast<float>(frame.FadeExtent / dist) : 0.0f;
    return true;
}

// Whether shaping raises the alpha to the power 1 / Gamma (Gamma not 0, not 1).
inline bool NeedsPower(const MatteFrame& frame) { return frame.ApplyGamma && !frame.GammaIsOne; }

// The power 1 / Gamma, through libm's pow: the one place the matte calls it.
[[gnu::always_inline]] inline float RaiseAlpha(float a, const MatteFrame& frame)
{
    return static_cast<float>(std::pow(static_cast<double>(a), frame.InverseGamma));
}

// Offset, Mult and the clamp to 0..1, after the power.
[[gnu::always_inline]] inline float OffsetMultClamp(float a, const FrameSettings& s)
{
    a = static_cast<float>(static_cast<double>(a) + s.Offset);
    a = static_cast<float>(static_cast<double>(a) * s.Mult);
    if (a > 1.0f)
        a = 1.0f;
    if (!(a >= 0.0f))
        a = 0.0f;  // negative or NaN
    return a;
}

// Gamma, Offset, Mult, the clamp to 0..1 and Invert.
[[gnu::always_inline]] inline float ShapeAlpha(float a, const MatteFrame& frame)
{
    if (NeedsPower(frame))
        a = RaiseAlpha(a, frame);
    a = OffsetMultClamp(a, frame.Settings);
    if (frame.Invert)
        a = 1.0f - a;
    return a;
}

// Removes (1 - alpha) x CC Amount of the reference colour, then desaturates by (1 - alpha) x
// Desaturate. The channels are not clamped.
[[gnu::always_inline]] inline void CorrectColour(ColorVec& pixel, float a, const KeyReference& ref,
                                                 const MatteFrame& frame)
{
    const FrameSettings& s = frame.Settings;
    const float w = 1.0f - a;
    const ColorVec& reference = ref.Rgb;
    pixel.R = static_cast<float>(static_cast<double>(pixel.R) - static_cast<double>(w * reference.R) * s.CCAmount);
    pixel.G = static_cast<float>(static_cast<double>(pixel.G) - static_cast<double>(w * reference.G) * s.CCAmount);
    pixel.B = static_cast<float>(static_cast<double>(pixel.B) - static_cast<double>(w * reference.B) * s.CCAmount);
    ColorVec hsv = RgbToHsv(pixel);
    hsv.G = static_cast<float>(static_cast<double>(hsv.G) - static_cast<double>(w) * s.Desaturate);
    const ColorVec corrected = HsvToRgb(hsv);
    pixel.R = corrected.R;
    pixel.G = corrected.G;
    pixel.B = corrected.B;
}

// Replaces the pixel's alpha, and under colour correction its colour.
[[gnu::always_inline]] inline void ApplyMatte(ColorVec& pixel, const KeyReference& ref, const MatteFrame& frame)
{
    float a;
    if (!MatteBeforeGamma(pixel, ref, frame, a)) {
        pixel.A = a;
        return;
    }
    a = ShapeAlpha(a, frame);
    pixel.A = a;
    if (frame.ColorCorrect)
        CorrectColour(pixel, a, ref, frame);
}

}  // namespace qualvex
