// Shrinks or grows the matte by a signed radius, as an erosion or dilation with a round element,
// to a fraction of a pixel and at a cost that does not depend on the radius.
#pragma once

#include "finish/alpha_plane.h"
#include "finish/edge_distance.h"

#include <vector>

namespace qualvex::finish {

// With t a pixel's signed distance to the 0.5 contour (SignedEdgeDistance: positive inside) and
// the coverage c(d) = clamp(d + 0.5, 0, 1), a one-pixel linear ramp centred on the edge:
//   radius > 0 (shrink): alpha := min(alpha, c(t - radius)): alpha is kept where the edge lies
//                        more than radius + 0.5 away, cut to the moved edge's ramp nearer it, and
//                        removed beyond it (soft matte outside the moved edge goes too);
//   radius < 0 (grow):   alpha := max(alpha, c(t - radius)), the same on the inverted matte;
//   radius = 0, or not a number: the matte is left exactly as it is.
// A fractional radius moves the edge by that fraction. A frame without an edge keeps its matte
// on the side that grows, and loses all of it below 0.5 when shrunk. Double, rounded to float.
void ShrinkGrow(AlphaPlane& matte, double radius);
// The same, taking its working memory from `scratch` and `distance`.
void ShrinkGrow(AlphaPlane& matte, double radius, EdgeScratch& scratch, std::vector<float>& distance);

}  // namespace qualvex::finish
