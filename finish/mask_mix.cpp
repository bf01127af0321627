#include "finish/mask_mix.h"

namespace qualvex::finish {

namespace {

float Unit(float value)
{
    if (!(value > 0.0f))
        return 0.0f;  // at or below 0, or NaN
    return value < 1.0f ? value : 1.0f;
}

}  // namespace

float MixMasks(float alpha, float garbage, float core)
{
    const float kept = alpha * (1.0f - Unit(garbage));
    const float forced = Unit(core);
    return forced > kept ? forced : kept;
}

}  // namespace qualvex::finish
