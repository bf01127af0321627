// A deterministic synthetic green-screen plate with its true alpha: a subject with soft,
// semi-transparent and hair-fine edges and a motion-blurred object, over an unevenly lit, noisy
// green screen, with green spill on the subject. The same arguments give the same bits.
#pragma once

#include "host/image.h"

#include <memory>
#include <vector>

namespace qualvex {

struct SyntheticPlate {
    std::unique_ptr<Image> Plate;   // float storage, alpha 1
    std::vector<float> TrueAlpha;   // row by row, top row first, as the plate's rows
};

SyntheticPlate MakeGreenScreenPlate(int width, int height, unsigned seed);

}  // namespace qualvex
