// The hand-drawn mattes: a garbage matte keeps regions out, a core matte keeps them in.
#pragma once

namespace qualvex::finish {

// alpha x (1 - garbage), then the larger of that and core: inside a garbage matte the key is
// dropped, inside a core matte the pixel is kept whatever the key, and where both are drawn the
// core matte wins. Mask values are clamped to 0..1 first (NaN counts as 0); pass 0 for a mask that
// is not there. Single precision.
inline float MixMasks(float alpha, float garbage, float core)
{
    // Clamped to 0..1; at or below 0, and NaN, give 0.
    const auto unit = [](float value) { return !(value > 0.0f) ? 0.0f : (value < 1.0f ? value : 1.0f); };
    const float kept = alpha * (1.0f - unit(garbage));
    const float forced = unit(core);
    return forced > kept ? forced : kept;
}

}  // namespace qualvex::finish
