// The RGB <-> CIE XYZ matrices for BT.709 primaries and the D65 white point. They are computed
// once when the library loads, before any other static object, and are read-only afterwards.
#pragma once

namespace qualvex {

// Determinant of the chromaticity matrix of the primaries.
inline constexpr float PrimariesDet = 0.2241f;
// Per primary: a row of the adjugate of the chromaticity matrix dotted with the white point's XYZ.
inline constexpr float WhiteScale[3] = {0.144401222f, 0.267115474f, 0.2696383f};

// Chromaticity matrix of the primaries: rows x, y, z; columns red, green, blue; z = 1 - x - y
// evaluated in single precision.
inline constexpr float Chromaticity[3][3] = {
    {0.64f, 0.30f, 0.15f},
    {0.33f, 0.60f, 0.06f},
    {1.0f - 0.64f - 0.33f, 1.0f - 0.30f - 0.60f, 1.0f - 0.15f - 0.06f},
};

// Adjugate of the chromaticity matrix.
inline constexpr float ChromaticityAdjugate[3][3] = {
    {0.468000025f, -0.222000018f, -0.0720000044f},
    {-0.258900017f, 0.501100004f, 0.0111000054f},
    {0.0149999885f, -0.0549999736f, 0.284999996f},
};

struct ColorMatrices {
    ColorMatrices();
    float RgbToXyz[3][3];  // rows X, Y, Z; columns red, green, blue
    float XyzToRgb[3][3];  // rows red, green, blue; columns X, Y, Z
};

extern const ColorMatrices Matrices;

}  // namespace qualvex
