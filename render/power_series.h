// The series the vector matte raises alphas with, made once per exponent and shared.
#pragma once

#include "render/row_matte_kernel.h"

#include <memory>

namespace qualvex {

// The series for `inverseGamma`, or null where eight terms of it would leave more than 2^-40 of
// the value for some |r| <= 1/32 (large or negative exponents far from the integers, NaN,
// infinities): the kernel then takes the logarithm and the exponential. Frames that ask for the
// same exponent share one table; the last few exponents asked for are kept while the plug-in is
// loaded (in its own storage: nothing a thread keeps holds the plug-in once it is unloaded).
std::shared_ptr<const row_kernel::PowerSeries> PowerSeriesFor(double inverseGamma);

}  // namespace qualvex
