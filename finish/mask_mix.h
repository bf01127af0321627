// The hand-drawn mattes: a garbage matte keeps regions out, a core matte keeps them in.
#pragma once

namespace qualvex::finish {

// alpha x (1 - garbage), then the larger of that and core: inside a garbage matte the key is
// dropped, inside a core matte the pixel is kept whatever the key, and where both are drawn the
// core matte wins. Mask values are clamped to 0..1 first (NaN counts as 0); pass 0 for a mask that
// is not there. Single precision.
float MixMasks(float alpha, float garbage, float core);

}  // namespace qualvex::finish
