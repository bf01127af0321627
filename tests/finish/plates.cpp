#include "finish/plates.h"

#include <cmath>
#include <numbers>

namespace qualvex::finish::testing {

AlphaPlane Disc(std::int32_t width, std::int32_t height, double cx, double cy, double radius)
{
    constexpr int kSamples = 16;
    AlphaPlane matte(width, height);
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            int inside = 0;
            for (int j = 0; j < kSamples; ++j)
                for (int i = 0; i < kSamples; ++i) {
                    const double sx = x - 0.5 + (i + 0.5) / kSamples;
                    const double sy = y - 0.5 + (j + 0.5) / kSamples;
                    if ((sx - cx) * (sx - cx) + (sy - cy) * (sy - cy) <= radius * radius)
                        ++inside;
                }
            matte.At(x, y) = static_cast<float>(inside) / static_cast<float>(kSamples * kSamples);
        }
    return matte;
}

double RadiusFromArea(const AlphaPlane& matte)
{
    double sum = 0.0;
    for (float a : matte.Values)
        sum += a;
    return std::sqrt(sum / std::numbers::pi);
}

double MeanAlpha(const AlphaPlane& matte)
{
    double sum = 0.0;
    for (float a : matte.Values)
        sum += a;
    return matte.Values.empty() ? 0.0 : sum / static_cast<double>(matte.Values.size());
}

}  // namespace qualvex::finish::testing
