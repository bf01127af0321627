// The colour at the front of a host pixel record, moved in and out of the matte's ColorVec. The
// rest of the record stays where it is.
#pragma once

#include "color/color_vec.h"
#include "host/image.h"

namespace qualvex {

inline ColorVec ColourOf(const Pixel& record) { return ColorVec{record.B, record.G, record.R, record.A}; }

inline void SetColour(Pixel& record, const ColorVec& colour)
{
    record.B = colour.B;
    record.G = colour.G;
    record.R = colour.R;
    record.A = colour.A;
}

}  // namespace qualvex
