// The matte over a row of pixels held as channel arrays: vector code where the processor has it
// (AVX-512 or AVX2, chosen at run time), the pixel matte for the rest of the row and as the
// fallback. Every result is, bit for bit, what ApplyMatte gives the same pixel.
#pragma once

#include "render/pixel_matte.h"
#include "render/row_matte_kernel.h"

#include <cstdint>

namespace qualvex {

enum class MatteIsa { Scalar, Avx2, Avx512 };

bool MatteIsaAvailable(MatteIsa isa);
// The widest this processor runs; QUALVEX_MATTE_ISA=scalar|avx2|avx512 in the environment asks for
// a narrower one (to measure or compare them).
MatteIsa ChosenMatteIsa();
const char* MatteIsaName(MatteIsa isa);

// One row, its channels side by side. FullyKeyed is scratch of Count bytes.
struct MatteRow {
    float* R;
    float* G;
    float* B;
    float* A;
    std::uint8_t* FullyKeyed;
    int Count;
};

// Keys every pixel of the row against one reference: replaces A, and under colour correction R,
// G and B, as ApplyMatte does. `isa` must be available. `series`: the frame's power series
// (PowerSeriesFor(frame.InverseGamma), held by the caller for the frame), or null for the
// logarithm and exponential; either gives the same bits.
void ApplyMatteToRow(const MatteRow& row, const KeyReference& ref, const MatteFrame& frame, MatteIsa isa,
                     const row_kernel::PowerSeries* series);

}  // namespace qualvex
