// How far each pixel centre lies from the matte's edge, to a fraction of a pixel.
#pragma once

#include "finish/alpha_plane.h"
#include "finish/nearest_seed.h"

#include <cstdint>

#include <limits>
#include <vector>

namespace qualvex::finish {

// The edge is the 0.5 contour of the matte: pixels with alpha >= 0.5 are inside, the rest
// (NaN included) outside. Along each pair of horizontal or vertical neighbours on opposite sides
// the edge crosses where the linear interpolation of their alphas is 0.5; within each square of
// four pixel centres the crossings are joined into segments (a square with four crossings is
// split by its mean alpha, as the contour of the bilinear surface is). Every pixel next to a
// neighbour on the other side is a seed; each pixel's distance is measured to the segments in
// the squares around its nearest seed (nearest by an exact Euclidean distance transform), so the
// cost is linear in the number of pixels whatever the distances.
//
// Returns, per pixel row by row, the distance from its centre to the edge: positive inside,
// negative outside, +infinity or -infinity when the frame has no edge at all. The frame's border
// is not an edge. Geometry in double, rounded to float once.
//
// Callers that only need distances up to `reach` say so: a pixel that is certainly farther than
// that from the edge (its nearest seed is more than reach + sqrt(2) away, and the segments it is
// measured to lie within sqrt(2) of that seed) gets +infinity or -infinity instead, which saves
// the geometry for all but a band around the edge.
std::vector<float> SignedEdgeDistance(const AlphaPlane& matte,
                                      double reach = std::numeric_limits<double>::infinity());

// A pixel (its index, y x width + x) and its signed distance to the edge.
struct NearDistance {
    std::int64_t Pixel;
    float Distance;
};

// Memory the distance takes, kept from frame to frame by a tool that measures every frame.
struct EdgeScratch {
    std::vector<unsigned char> Inside;
    std::vector<unsigned char> Seeds;
    std::vector<std::int32_t> ColumnRow;
    NearestSeeds Nearest;
    NearbySeedScratch Nearby;
    std::vector<PixelSeed> Found;
    std::vector<NearDistance> Near;
    std::vector<float> Moved;  // the near pixels' new alphas, while the others are moved
};

// The same into `distance`, taking its working memory from `scratch`.
void SignedEdgeDistance(const AlphaPlane& matte, double reach, EdgeScratch& scratch, std::vector<float>& distance);

// The same distances for the pixels that are not certainly beyond `reach`, listed, for callers
// that treat every other pixel by its side alone: afterwards scratch.Inside holds each pixel's
// side (nonzero inside) and scratch.Seeds the seeds, and a pixel not listed is +infinity away
// inside and -infinity outside, as SignedEdgeDistance gives it. Returns false, listing nothing,
// where the frame is empty or its edge has too many seeds for a search around each (the
// whole-frame transform then measures it).
bool EdgeDistancesNearby(const AlphaPlane& matte, double reach, EdgeScratch& scratch, std::vector<NearDistance>& near);

}  // namespace qualvex::finish
