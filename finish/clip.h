// The matte's black and white points: alpha at Black or below becomes 0, at White or above 1,
// linear between.
#pragma once

namespace qualvex::finish {

struct ClipPoints {
    double Black = 0.0;
    double White = 1.0;
};

// clamp((alpha - Black) / (White - Black), 0, 1), in double, rounded to float once. When White is
// not above Black (equal, below, or either not a number) the range is empty and the clip is a
// step: alpha >= Black gives 1, anything else 0. A NaN alpha gives 0. The defaults (0, 1) only
// clamp alpha into 0..1.
float ClipAlpha(float alpha, const ClipPoints& points);

}  // namespace qualvex::finish
