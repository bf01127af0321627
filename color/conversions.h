// Conversions between RGB and the four other colour spaces the keyer tests in. Each is a pure
// function of its argument (and the matrices, for Y, x, y) and runs once or twice per pixel, so
// all are inline. Precision is part of each result: "float" steps round after every operation,
// "double" steps work on widened operands, and sums are evaluated in the order written. Nothing is
// clamped: values outside 0..1 go through the same formulas. The A field of a result is 1.
#pragma once

#include "color/color_vec.h"
#include "color/int_conversion.h"
#include "color/matrices.h"

#include <cstdint>

namespace qualvex {

// Nearest single-precision values to 1/255 and 1/360, and the nearest double to 1/60.
inline constexpr float kInv255 = 1.0f / 255.0f;
inline constexpr float kInv360 = 1.0f / 360.0f;
inline constexpr double kInv60 = 1.0 / 60.0;
// Nearest single-precision value to 0.000001: the smallest Y, x or y taken at face value.
inline constexpr float kXyyEpsilon = 0.000001f;

inline ColorVec MakeColor(float p1, float p2, float p3) { return ColorVec{p3, p2, p1, 1.0f}; }

inline ColorVec RgbToHsv(ColorVec c)
{
    // The comparisons decide every branch exactly as written, not-a-number inputs included.
    const float lo = (c.R >= c.G) ? c.G : c.R;
    const double min = (static_cast<double>(lo) < static_cast<double>(c.B)) ? lo : c.B;
    const float hi = (c.R > c.G) ? c.R : c.G;
    const double max = (static_cast<double>(hi) > static_cast<double>(c.B)) ? hi : c.B;
    const float v = static_cast<float>(max);
    const double delta = max - min;
    // A spread this small, or a largest channel of 0 or less, is grey: no hue, and no division.
    if (delta < 0.00001 || max <= 0.0)
        return MakeColor(0.0f, 0.0f, v);
    const float s = static_cast<float>(delta / max);

    double h;
    if (static_cast<double>(c.R) >= max)
        h = static_cast<double>(c.G - c.B) / delta;
    else if (static_cast<double>(c.G) >= max)
        h = static_cast<double>(c.B - c.R) / delta + 2.0;
    else
        h = static_cast<double>(c.R - c.G) / delta + 4.0;

    float degrees = static_cast<float>(h) * 60.0f;
    if (!(degrees >= 0.0f))
        degrees = degrees + 360.0f;
    return MakeColor(degrees * kInv360, s, v);
}

inline ColorVec HsvToRgb(ColorVec c)
{
    const float hue = c.R;
    const float s = c.G;
    const float v = c.B;
    // A saturation that is not above 0 (NaN included) is grey.
    if (!(s > 0.0f))
        return MakeColor(v, v, v);
    double h = static_cast<double>(hue) * 360.0;
    if (h >= 360.0)
        h = 0.0;  // a hue of 1 or more is taken as 0, not wrapped
    const double h6 = h * kInv60;
    const std::int32_t i = TruncateToInt32(h6);
    const double f = h6 - i;
    const double ds = s;
    const double dv = v;
    const float p = static_cast<float>((1.0 - ds) * dv);
    const float q = static_cast<float>((1.0 - ds * f) * dv);
    const float t = static_cast<float>((1.0 - (1.0 - f) * ds) * dv);
    switch (i) {
    case 0: return MakeColor(v, t, p);
    case 1: return MakeColor(q, v, p);
    case 2: return MakeColor(p, v, t);
    case 3: return MakeColor(p, q, v);
    case 4: return MakeColor(t, p, v);
    default: return MakeColor(v, p, q);  // sector 5, negative hues and NaN
    }
}

inline ColorVec RgbToXyy(ColorVec c)
{
    const auto& m = Matrices.RgbToXyz;
    const float x = (m[0][1] * c.G + m[0][0] * c.R) + m[0][2] * c.B;
    const float y = (m[1][1] * c.G + m[1][0] * c.R) + m[1][2] * c.B;
    const float z = (m[2][1] * c.G + m[2][0] * c.R) + m[2][2] * c.B;
    const float sum = (x + y) + z;
    // A sum that is not above 0 (NaN included) has no chromaticity: black.
    if (!(sum > 0.0f))
        return MakeColor(0.0f, 0.0f, 0.0f);
    const float k = 1.0f / sum;
    return MakeColor(y, k * x, k * y);
}

inline ColorVec XyyToRgb(ColorVec c)
{
    const auto& n = Matrices.XyzToRgb;
    const float bigY = c.R;
    const float x = c.G;
    const float y = c.B;
    float bigX;
    float bigZ;
    // Only components above epsilon are divided by; otherwise X and Z stand in as epsilon and the
    // result is a near-black colour rather than an error.
    if (bigY > kXyyEpsilon && x > kXyyEpsilon && y > kXyyEpsilon) {
        bigX = (x * bigY) / y;
        bigZ = ((bigX / x) - bigX) - bigY;
    } else {
        bigX = kXyyEpsilon;
        bigZ = kXyyEpsilon;
    }
    const float red = (n[0][0] * bigX + n[0][1] * bigY) + n[0][2] * bigZ;
    const float green = (n[1][0] * bigX + n[1][1] * bigY) + n[1][2] * bigZ;
    const float blue = (n[2][0] * bigX + n[2][1] * bigY) + n[2][2] * bigZ;
    return MakeColor(red, green, blue);
}

// Full-range YCbCr with the BT.601 luma weights, on the 0..255 scale and brought back by 1/255;
// the chroma components carry the offset 128 on that scale.
inline ColorVec RgbToYcbcr(ColorVec c)
{
    const double r = static_cast<double>(c.R) * 255.0;
    const double g = static_cast<double>(c.G) * 255.0;
    const double b = static_cast<double>(c.B) * 255.0;
    const double y = (0.587 * g + 0.299 * r) + 0.114 * b;
    const double cb = (0.5 * b - (0.168736 * r + 0.331264 * g)) + 128.0;
    const double cr = ((0.5 * r - 0.418688 * g) - 0.081312 * b) + 128.0;
    return MakeColor(static_cast<float>(y) * kInv255, static_cast<float>(cb) * kInv255,
                     static_cast<float>(cr) * kInv255);
}

inline ColorVec YcbcrToRgb(ColorVec c)
{
    const double y = static_cast<double>(c.R) * 255.0;
    const double cb = static_cast<double>(c.G) * 255.0 - 128.0;
    const double cr = static_cast<double>(c.B) * 255.0 - 128.0;
    const double red = (cr * 1.402) + y;
    const double green = (y - cb * 0.34414) - cr * 0.71414;
    const double blue = (cb * 1.772) + y;
    return MakeColor(static_cast<float>(red) * kInv255, static_cast<float>(green) * kInv255,
                     static_cast<float>(blue) * kInv255);
}

// YUV without offsets. p2 is the blue difference U = 0.565 (b - Y), p3 the red difference
// V = 0.713 (r - Y), on the 0..255 scale and brought back by 1/255; YuvToRgb undoes both.
inline ColorVec RgbToYuv(ColorVec c)
{
    const float r = c.R * 255.0f;
    const float g = c.G * 255.0f;
    const float b = c.B * 255.0f;
    const float y = static_cast<float>((0.587 * static_cast<double>(g) + 0.299 * static_cast<double>(r)) +
                                       0.114 * static_cast<double>(b));
    const float u = static_cast<float>(static_cast<double>(b - y) * 0.565);
    const float v = static_cast<float>(static_cast<double>(r - y) * 0.713);
    return MakeColor(y * kInv255, u * kInv255, v * kInv255);
}

inline ColorVec YuvToRgb(ColorVec c)
{
    const double y = c.R * 255.0f;
    const double u = c.G * 255.0f;
    const double v = c.B * 255.0f;
    const double red = v * 1.403 + y;
    const double green = (y - u * 0.344) - v * 0.714;
    const double blue = u * 1.77 + y;
    return MakeColor(static_cast<float>(red) * kInv255, static_cast<float>(green) * kInv255,
                     static_cast<float>(blue) * kInv255);
}

// The pixel in the chosen space. A space outside 0..4 is taken as RGB.
inline ColorVec RgbToSpace(ColorVec c, std::int32_t space)
{
    switch (space) {
    case ColorSpaceHSV: return RgbToHsv(c);
    case ColorSpaceYXy: return RgbToXyy(c);
    case ColorSpaceYUV: return RgbToYuv(c);
    case ColorSpaceYCbCr: return RgbToYcbcr(c);
    default: return c;
    }
}

// Back to RGB from the chosen space. A space outside 0..4 is taken as RGB.
inline ColorVec SpaceToRgb(ColorVec c, std::int32_t space)
{
    switch (space) {
    case ColorSpaceHSV: return HsvToRgb(c);
    case ColorSpaceYXy: return XyyToRgb(c);
    case ColorSpaceYUV: return YuvToRgb(c);
    case ColorSpaceYCbCr: return YcbcrToRgb(c);
    default: return c;
    }
}

}  // namespace qualvex
