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
inline float ClipAlpha(float alpha, const ClipPoints& points)
{
    const double a = static_cast<double>(alpha);
    if (points.Black == 0.0 && points.White == 1.0)
        return !(a > 0.0) ? 0.0f : (a < 1.0 ? alpha : 1.0f);  // the defaults: no division to make
    if (!(points.White > points.Black))
        return a >= points.Black ? 1.0f : 0.0f;  // empty range: a step at Black (NaN fails: 0)
    // White - Black is positive here, so the division is safe.
    const double scaled = (a - points.Black) / (points.White - points.Black);
    if (!(scaled > 0.0))
        return 0.0f;  // at or below Black, or NaN
    if (scaled >= 1.0)
        return 1.0f;
    return static_cast<float>(scaled);
}

}  // namespace qualvex::finish
