#include "render/row_matte.h"

#include "render/row_matte_kernel.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>

namespace qualvex {
namespace {

const row_kernel::Kernel* KernelFor(MatteIsa isa)
{
    switch (isa) {
    case MatteIsa::Avx512: return &row_kernel::kAvx512;
    case MatteIsa::Avx2: return &row_kernel::kAvx2;
    case MatteIsa::Scalar: break;
    }
    return nullptr;
}

// The largest float at most `bound`, and the smallest at least it (NaN stays NaN; beyond the
// floats' range, the infinity on that side).
float FloatAtMost(double bound)
{
    const float f = static_cast<float>(bound);
    return static_cast<double>(f) > bound ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
}

float FloatAtLeast(double bound)
{
    const float f = static_cast<float>(bound);
    return static_cast<double>(f) < bound ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
}

// Whether amount x (w x value rounded to float) is exactly a float for every value given and every
// w = 1 - alpha a corrected pixel can have (0, or 2^-24 up to 1, as alpha is a float in 0..1): the
// amount is 0 or a power of two, of either sign, and each nonzero product, so scaled, stays among
// the normal floats. Rounding is monotone, so the smallest nonzero product is 2^-24 x value
// rounded and the largest the value itself. Values that are not finite take the double path.
bool ScalesInFloat(double amount, std::initializer_list<float> values)
{
    int exponent = 0;
    const bool powerOfTwo = std::isfinite(amount) && std::fabs(std::frexp(amount, &exponent)) == 0.5;
    // The amount itself must be a float too: 2^128 is a power of two that rounds to infinity.
    if ((amount != 0.0 && !powerOfTwo) || static_cast<double>(static_cast<float>(amount)) != amount)
        return false;
    const double scale = std::fabs(amount);
    for (const float value : values) {
        if (!std::isfinite(value))
            return false;
        const double smallest = static_cast<float>(std::ldexp(std::fabs(static_cast<double>(value)), -24));
        const double largest = std::fabs(static_cast<double>(value));
        if (amount != 0.0 && value != 0.0f &&
            !(smallest * scale >= std::numeric_limits<float>::min() &&
              largest * scale <= std::numeric_limits<float>::max()))
            return false;
    }
    return true;
}

row_kernel::Params KernelParams(const KeyReference& ref, const MatteFrame& frame,
                                const row_kernel::PowerSeries* series)
{
    row_kernel::Params params{};
    params.Mode = frame.Settings.Mode;
    for (int i = 0; i < 3; ++i) {
        params.Lower[i] = ref.Lower[i];
        params.Width[i] = frame.Width[i];
        for (int j = 0; j < 3; ++j)
            params.RgbToXyz[i][j] = Matrices.RgbToXyz[i][j];
    }
    params.FadeExtent = frame.FadeExtent;
    params.Offset = frame.Settings.Offset;
    params.Mult = frame.Settings.Mult;
    params.Power = NeedsPower(frame);
    params.InverseGamma = frame.InverseGamma;
    params.Series = params.Power ? series : nullptr;
    params.PowerLow = FloatAtMost(frame.PowerLow);
    params.PowerHigh = FloatAtLeast(frame.PowerHigh);
    params.PowerLowRaised = frame.PowerLowRaised;
    params.PowerHighRaised = frame.PowerHighRaised;
    params.Invert = frame.Invert;
    params.ColorCorrect = frame.ColorCorrect;
    params.ReferenceRgb[0] = ref.Rgb.R;
    params.ReferenceRgb[1] = ref.Rgb.G;
    params.ReferenceRgb[2] = ref.Rgb.B;
    params.CCAmount = frame.Settings.CCAmount;
    params.Desaturate = frame.Settings.Desaturate;
    params.AmountInFloat = ScalesInFloat(params.CCAmount, {ref.Rgb.R, ref.Rgb.G, ref.Rgb.B});
    params.DesaturateInFloat = ScalesInFloat(params.Desaturate, {1.0f});
    return params;
}

}  // namespace

bool MatteIsaAvailable(MatteIsa isa)
{
    switch (isa) {
    case MatteIsa::Scalar: return true;
    case MatteIsa::Avx2: return __builtin_cpu_supports("avx2");
    case MatteIsa::Avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
    }
    return false;
}

MatteIsa ChosenMatteIsa()
{
    MatteIsa widest = MatteIsaAvailable(MatteIsa::Avx512) ? MatteIsa::Avx512
                      : MatteIsaAvailable(MatteIsa::Avx2) ? MatteIsa::Avx2
                                                          : MatteIsa::Scalar;
    const char* asked = std::getenv("QUALVEX_MATTE_ISA");
    if (asked == nullptr)
        return widest;
    if (std::strcmp(asked, "scalar") == 0)
        return MatteIsa::Scalar;
    if (std::strcmp(asked, "avx2") == 0 && MatteIsaAvailable(MatteIsa::Avx2))
        return MatteIsa::Avx2;
    return widest;
}

const char* MatteIsaName(MatteIsa isa)
{
    switch (isa) {
    case MatteIsa::Avx512: return "avx512";
    case MatteIsa::Avx2: return "avx2";
    case MatteIsa::Scalar: break;
    }
    return "scalar";
}

void ApplyMatteToRow(const MatteRow& row, const KeyReference& ref, const MatteFrame& frame, MatteIsa isa,
                     const row_kernel::PowerSeries* series)
{
    const row_kernel::Kernel* kernel = KernelFor(isa);
    const int blocks = kernel != nullptr ? row.Count / kernel->Lanes * kernel->Lanes : 0;
    if (blocks > 0) {
        const row_kernel::Params params = KernelParams(ref, frame, series);
        kernel->Key(params, row.R, row.G, row.B, row.A, row.FullyKeyed, blocks);
    }
    // The row's tail, shorter than a vector: the pixel matte itself.
    for (int x = blocks; x < row.Count; ++x) {
        ColorVec pixel{row.B[x], row.G[x], row.R[x], row.A[x]};
        ApplyMatte(pixel, ref, frame);
        row.R[x] = pixel.R;
        row.G[x] = pixel.G;
        row.B[x] = pixel.B;
        row.A[x] = pixel.A;
    }
}

}  // namespace qualvex
