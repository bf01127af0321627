// The vector matte's entry points, one per instruction set. They see plain numbers only (no
// inline colour functions): code compiled for a wider instruction set must not lend its copies
// of shared inline functions to the rest of the program.
#pragma once

#include <cstdint>

namespace qualvex::row_kernel {

struct Params {
    std::int32_t Mode;  // a ColorSpaceIndex; anything outside 1..4 keys in RGB
    double Lower[3];
    double Width[3];
    double FadeExtent;
    double Offset;
    double Mult;
    bool Power;   // the alpha is raised to 1 / Gamma between the two passes
    bool Invert;
    bool ColorCorrect;
    float ReferenceRgb[3];  // red, green, blue
    double CCAmount;
    double Desaturate;
    float RgbToXyz[3][3];
};

// The lane counts: AVX2 8, AVX-512 16.
struct Kernel {
    // Keys `count` pixels (a multiple of the lane count). Writes `fullyKeyed` nonzero where all three
    // components are at or above their windows' upper ends (alpha final there: 0, or 1 inverted,
    // colour kept). Elsewhere: without Power, the final alpha and (under colour correction) the
    // corrected colour; with Power, the alpha before it, for Finish once it is raised.
    void (*Key)(const Params& params, float* r, float* g, float* b, float* alpha, std::uint8_t* fullyKeyed,
                int count);
    // Offset, Mult, the clamp, Invert and colour correction, for pixels not fully keyed.
    void (*Finish)(const Params& params, float* r, float* g, float* b, float* alpha, const std::uint8_t* fullyKeyed,
                   int count);
    int Lanes;
};

extern const Kernel kAvx2;
extern const Kernel kAvx512;

}  // namespace qualvex::row_kernel
