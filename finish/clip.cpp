#include "finish/clip.h"

namespace qualvex::finish {

float ClipAlpha(float alpha, const ClipPoints& points)
{
    const double a = static_cast<double>(alpha);
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
