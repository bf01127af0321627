#include "finish/shrink_grow.h"

#include "finish/edge_distance.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace qualvex::finish {

void ShrinkGrow(AlphaPlane& matte, double radius)
{
    EdgeScratch scratch;
    std::vector<float> distance;
    ShrinkGrow(matte, radius, scratch, distance);
}

namespace {

// The alpha a pixel keeps at a signed distance from the edge. Infinite distances (no edge, or none
// within reach) or an infinite radius give coverage 0 or 1; both infinite with the same sign make
// a NaN, which counts as coverage 0.
float MovedAlpha(float alpha, float distance, double radius, bool shrink)
{
    const double moved = static_cast<double>(distance) - radius + 0.5;
    const float coverage = moved >= 1.0 ? 1.0f : (moved > 0.0 ? static_cast<float>(moved) : 0.0f);
    return shrink ? std::min(alpha, coverage) : std::max(alpha, coverage);
}

}  // namespace

void ShrinkGrow(AlphaPlane& matte, double radius, EdgeScratch& scratch, std::vector<float>& distance)
{
    if (!(radius > 0.0) && !(radius < 0.0))
        return;  // 0 or NaN: nothing moves
    const bool shrink = radius > 0.0;
    // Distances of |radius| + 0.5 or more give coverage 0 or 1 whatever they are exactly.
    const double reach = std::abs(radius) + 0.5;
    std::vector<float>& values = matte.Values;
    if (EdgeDistancesNearby(matte, reach, scratch, scratch.Near)) {
        // The pixels near the edge first, from the alphas they have now; then every pixel as one
        // certainly beyond reach (an infinite distance, coverage 1 inside and 0 outside, the
        // radius being finite here); then the near ones put back.
        std::vector<float>& moved = scratch.Moved;
        moved.resize(scratch.Near.size());
        for (std::size_t k = 0; k < moved.size(); ++k) {
            const NearDistance& near = scratch.Near[k];
            moved[k] = MovedAlpha(values[static_cast<std::size_t>(near.Pixel)], near.Distance, radius, shrink);
        }
        const unsigned char* const inside = scratch.Inside.data();
        for (std::size_t i = 0; i < values.size(); ++i) {
            const float coverage = inside[i] != 0 ? 1.0f : 0.0f;
            values[i] = shrink ? std::min(values[i], coverage) : std::max(values[i], coverage);
        }
        for (std::size_t k = 0; k < moved.size(); ++k)
            values[static_cast<std::size_t>(scratch.Near[k].Pixel)] = moved[k];
        return;
    }
    SignedEdgeDistance(matte, reach, scratch, distance);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = MovedAlpha(values[i], distance[i], radius, shrink);
}

}  // namespace qualvex::finish
