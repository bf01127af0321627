// One colour as four single-precision values. In a colour space other than RGB the R, G and B
// fields carry the space's components p1, p2 and p3.
#pragma once

#include <cstdint>

struct ColorVec {
    float B;
    float G;
    float R;
    float A;
};

// Entry number of the "Color Space" combo.
enum ColorSpaceIndex : std::int32_t {
    ColorSpaceRGB = 0,
    ColorSpaceHSV = 1,
    ColorSpaceYXy = 2,
    ColorSpaceYUV = 3,
    ColorSpaceYCbCr = 4,
};
