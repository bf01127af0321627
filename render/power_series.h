// The series the vector matte raises alphas with, made once per exponent and thread.
#pragma once

#include "render/row_matte_kernel.h"

namespace qualvex {

// The series for `inverseGamma`, or null where eight terms of it would leave more than 2^-40 of
// the value for some |r| <= 1/32 (large or negative exponents far from the integers, NaN,
// infinities): the kernel then takes the logarithm and the exponential. The table is the calling
// thread's, kept until it asks for another exponent.
const row_kernel::PowerSeries* PowerSeriesFor(double inverseGamma);

}  // namespace qualvex
