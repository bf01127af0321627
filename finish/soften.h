// Softens the matte with a Gaussian blur.
#pragma once

#include "finish/alpha_plane.h"
#include "finish/finish_isa.h"

#include <vector>

namespace qualvex::finish {

// The widest blur: larger sigmas count as this one.
inline constexpr double kMaxSoftenSigma = 50.0;
// Box passes per direction: three already shape a curve close to the Gaussian.
inline constexpr int kSoftenPasses = 3;

// A Gaussian blur of standard deviation `sigma` pixels, built from kSoftenPasses passes of an
// extended box filter along rows, then as many along columns: each pass weighs the pixels within
// a radius r by 1 and the two at r + 1 by a fraction chosen so the passes' variances add up to
// sigma^2 exactly; the weights sum to 1. A running sum makes each pass cost the same per pixel
// whatever the sigma. Pixels beyond the frame repeat the nearest edge pixel. A sigma above
// kMaxSoftenSigma counts as kMaxSoftenSigma; one that is not above 0 (or not a number) leaves the
// matte as it is. Sums in double; the rows' result and each column pass rounded to float. The
// mean alpha of a frame whose pixels within the blur's reach of the border all hold one value is
// kept (up to rounding).
// Alphas are expected to be finite, as the finishing steps before it leave them: a NaN or an
// infinity spreads along its row and column.
void Soften(AlphaPlane& matte, double sigma);
// The same, with `spare` as its working plane, kept from frame to frame by the caller.
void Soften(AlphaPlane& matte, double sigma, std::vector<float>& spare);

// The same on the instruction set named (ChosenFinishIsa's by default); `isa` must be available.
void Soften(AlphaPlane& matte, double sigma, std::vector<float>& spare, FinishIsa isa);

}  // namespace qualvex::finish
