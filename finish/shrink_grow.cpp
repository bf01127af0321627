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

void ShrinkGrow(AlphaPlane& matte, double radius, EdgeScratch& scratch, std::vector<float>& distance)
{
    if (!(radius > 0.0) && !(radius < 0.0))
        return;  // 0 or NaN: nothing moves
    // Distances of |radius| + 0.5 or more give coverage 0 or 1 whatever they are exactly.
    SignedEdgeDistance(matte, std::abs(radius) + 0.5, scratch, distance);
    const bool shrink = radius > 0.0;
    for (std::size_t i = 0; i < matte.Values.size(); ++i) {
        // Infinite distances (no edge) or an infinite radius give coverage 0 or 1; both infinite
        // with the same sign make a NaN, which counts as coverage 0.
        const double moved = static_cast<double>(distance[i]) - radius + 0.5;
        const float coverage = moved >= 1.0 ? 1.0f : (moved > 0.0 ? static_cast<float>(moved) : 0.0f);
        float& alpha = matte.Values[i];
        alpha = shrink ? std::min(alpha, coverage) : std::max(alpha, coverage);
    }
}

}  // namespace qualvex::finish
