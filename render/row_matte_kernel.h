// The vector matte's entry points, one per instruction set. They see plain numbers only (no
// inline colour functions): code compiled for a wider instruction set must not lend its copies
// of shared inline functions to the rest of the program.
#pragma once

#include <cstdint>

namespace qualvex::row_kernel {

// a^InverseGamma for a positive normal float a = 2^(E - 127) m, m in [1, 2), taken as
// Scale[a's bits >> 19] (1 + r)^InverseGamma with r = m Inverse[j] - 1, j the sixteenth of [1, 2)
// that m lies in (|r| <= 1/32): the scale from a table made once per exponent, the rest from the
// binomial series' first kTerms terms. Made only for the exponents whose series, so cut,
// leaves less than 2^-40 of the value (PowerSeriesFor); the kernel's midpoint margin is at least
// 2^-36 of it.
struct PowerSeries {
    static constexpr int kTerms = 8;
    double Coefficients[kTerms];  // the binomial coefficients C(InverseGamma, n), n = 0..7
    double Inverse[16];           // 1 / the middle of each sixteenth of [1, 2), rounded to double
    // (2^(E - 127) / Inverse[j])^InverseGamma by libm's pow, at a's bits >> 19 (its sign, exponent
    // field E and sixteenth j); NaN where a is negative, zero, subnormal, infinite or NaN.
    double Scale[2 * 256 * 16];
};

struct Params {
    std::int32_t Mode;  // a ColorSpaceIndex; anything outside 1..4 keys in RGB
    double Lower[3];
    double Width[3];
    double FadeExtent;
    double Offset;
    double Mult;
    bool Power;   // the alpha is raised to InverseGamma (Gamma neither 0 nor 1)
    double InverseGamma;
    const PowerSeries* Series;  // InverseGamma's series, or null: the power by logarithm and exponential
    // A block whose every lane is fully keyed, above 0 and at most PowerLow, or at least PowerHigh
    // is shaped from PowerLowRaised and PowerHighRaised without the power: the matte frame's
    // bounds, rounded inward to floats (a float alpha passes them exactly when it passes those).
    float PowerLow;
    float PowerHigh;
    float PowerLowRaised;
    float PowerHighRaised;
    bool Invert;
    bool ColorCorrect;
    float ReferenceRgb[3];  // red, green, blue
    double CCAmount;
    double Desaturate;
    // The correction's products w x reference x CCAmount, and w x Desaturate, are floats for
    // every w = 1 - alpha (0, or 2^-24 up to 1): the amount is 0 or a power of two (either sign)
    // and no product leaves the normal floats. Then the correction is taken in float, to the
    // same bits.
    bool AmountInFloat;
    bool DesaturateInFloat;
    float RgbToXyz[3][3];
};

// The lane counts: AVX2 4, AVX-512 8 (as many doubles as a register holds).
struct Kernel {
    // Keys `count` pixels (a multiple of the lane count): each pixel's alpha and, under colour
    // correction, its colour. Writes `fullyKeyed` nonzero where all three components are at or
    // above their windows' upper ends (alpha 0, or 1 inverted, colour kept).
    void (*Key)(const Params& params, float* r, float* g, float* b, float* alpha, std::uint8_t* fullyKeyed,
                int count);
    // The power step alone, for its test: raises the alpha of pixels not fully keyed to
    // InverseGamma, as libm's pow rounded to float does: a vector pow where its double result lies
    // far from a float rounding midpoint (its error, below 1e-12 of the value, cannot then change
    // the rounding), libm's pow elsewhere.
    void (*Power)(const Params& params, float* alpha, const std::uint8_t* fullyKeyed, int count);
    int Lanes;
};

extern const Kernel kAvx2;
extern const Kernel kAvx512;

}  // namespace qualvex::row_kernel
