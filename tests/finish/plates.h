// Generated mattes with a known shape for the finishing steps' tests.
#pragma once

#include "finish/alpha_plane.h"

namespace qualvex::finish::testing {

// A disc of `radius` pixels around (cx, cy) in pixel-centre coordinates, anti-aliased: each
// pixel's alpha is the share of 16 x 16 sample points of its square that lie inside the disc.
AlphaPlane Disc(std::int32_t width, std::int32_t height, double cx, double cy, double radius);

// The radius of the disc whose area is the matte's total alpha: sqrt(sum(alpha) / pi).
double RadiusFromArea(const AlphaPlane& matte);

// The mean alpha of the matte, summed in double.
double MeanAlpha(const AlphaPlane& matte);

}  // namespace qualvex::finish::testing
