// Softens the matte with a Gaussian blur.
#pragma once

#include "finish/alpha_plane.h"

namespace qualvex::finish {

// The widest blur: larger sigmas count as this one, so the cost per pixel stays bounded.
inline constexpr double kMaxSoftenSigma = 50.0;

// A separable Gaussian of standard deviation `sigma` pixels, first along rows, then along
// columns: weights exp(-k^2 / (2 sigma^2)) for |k| <= ceil(3 sigma), divided by their sum;
// pixels beyond the frame repeat the nearest edge pixel. A sigma above kMaxSoftenSigma counts as
// kMaxSoftenSigma; one that is not above 0 (or not a number) leaves the matte as it is. Weights and sums in double, each pass rounded to float. The
// mean alpha of a frame whose pixels within the kernel's reach of the border all hold one value
// is kept (up to rounding).
void Soften(AlphaPlane& matte, double sigma);

}  // namespace qualvex::finish
