#include "color/matrices.h"

namespace qualvex {

ColorMatrices::ColorMatrices()
{
    // Single precision throughout; each reciprocal is taken before it is used.
    const float inverseDet = 1.0f / PrimariesDet;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            RgbToXyz[i][j] = (WhiteScale[j] * Chromaticity[i][j]) * inverseDet;
    for (int i = 0; i < 3; ++i) {
        const float inverseScale = 1.0f / WhiteScale[i];
        for (int j = 0; j < 3; ++j)
            XyzToRgb[i][j] = inverseScale * ChromaticityAdjugate[i][j];
    }
}

// Built ahead of every other static object of the library: registration and anything that
// converts a colour at load may rely on the matrices.
__attribute__((init_priority(101))) const ColorMatrices Matrices;

}  // namespace qualvex
