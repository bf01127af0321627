// Garbage and core mattes against any key.
#include "finish/mask_mix.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <limits>

namespace qualvex::finish {
namespace {

using qualvex::testing::FloatsEqual;

struct MaskCase {
    float Alpha;
    float Garbage;
    float Core;
    float Out;
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();

const MaskCase kMaskCases[] = {
    // No masks: the key as it is.
    {0.75f, 0.0f, 0.0f, 0.75f},
    {0.0f, 0.0f, 0.0f, 0.0f},
    // A full garbage matte drops the key, whatever it is; a partial one scales it.
    {1.0f, 1.0f, 0.0f, 0.0f},
    {0.75f, 1.0f, 0.0f, 0.0f},
    {0.75f, 0.5f, 0.0f, 0.375f},
    {0.5f, 0.25f, 0.0f, 0.375f},
    // A full core matte keeps the pixel, whatever the key; a partial one sets a floor.
    {0.0f, 0.0f, 1.0f, 1.0f},
    {0.25f, 0.0f, 1.0f, 1.0f},
    {0.25f, 0.0f, 0.5f, 0.5f},
    {0.75f, 0.0f, 0.5f, 0.75f},
    // Both drawn: the core matte wins.
    {0.75f, 1.0f, 1.0f, 1.0f},
    {0.75f, 1.0f, 0.25f, 0.25f},
    // Mask values outside 0..1 are clamped, NaN is no mask.
    {0.5f, 2.0f, 0.0f, 0.0f},
    {0.5f, -1.0f, 0.0f, 0.5f},
    {0.5f, 0.0f, 3.0f, 1.0f},
    {0.5f, kNaN, kNaN, 0.5f},
};

TEST(MaskMix, GarbageKeepsOutAndCoreKeepsIn)
{
    for (const MaskCase& c : kMaskCases)
        EXPECT_TRUE(FloatsEqual({MixMasks(c.Alpha, c.Garbage, c.Core)}, {c.Out}))
            << "alpha " << c.Alpha << ", garbage " << c.Garbage << ", core " << c.Core;
}

}  // namespace
}  // namespace qualvex::finish
