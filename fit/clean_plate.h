// A clean plate from the plate: the screen's colour across the whole frame, under the subject
// too, estimated from pixels known to be screen. A screen lit brighter on one side than the other
// is then keyed against its own colour at every pixel (the tool's key image) instead of against
// one key colour that fits neither side.
//
// The estimate is a smooth surface, a polynomial of the second degree in x and y for each
// channel, fitted by least squares: smooth enough to reach under a large subject without
// inventing detail, flexible enough for a linear or a vignetted falloff.
#pragma once

#include "fit/fit_settings.h"

#include <cstddef>
#include <vector>

namespace qualvex::fit {

// A screen pixel: where it is (pixel column and row, 0 at the top-left pixel) and its colour.
struct ScreenPoint {
    int X = 0;
    int Y = 0;
    Rgb Colour;
};

class ScreenSurface {
public:
    // The estimated screen colour at pixel (x, y). Outside the frame the polynomial goes on
    // (no clamping); colour values are whatever it gives, negative or above 1 included.
    Rgb At(int x, int y) const;

    // 1, 3 or 6: a flat colour, a plane or the full second degree (fewer when the points cannot
    // tell more terms apart, as when they all lie on one row).
    int Terms() const { return m_Terms; }

private:
    friend struct SurfaceFitter;
    int m_Width = 1;
    int m_Height = 1;
    int m_Terms = 0;
    double m_Coefficients[3][6] = {};
};

struct SurfaceFit {
    ScreenSurface Surface;
    std::size_t Points = 0;   // points the surface was fitted to
    std::size_t Dropped = 0;  // points left out as not screen-like (far from the first surface)
    double Rms = 0.0;         // root mean square of the kept points' distance from the surface, per channel
};

// Fits the surface to the points of a `width` x `height` frame, robustly: fitted again and again
// (at most ten times) to the half of the finite points nearest the last fit, so that the
// subject's pixels, a shadow or a marker among them, if fewer than half, cannot bend it; then to
// every point within three times the median distance from that (and within 0.02 always: on a
// noiseless screen every point fits). Throws std::invalid_argument with fewer than 16 finite
// points or a frame without pixels.
SurfaceFit FitScreenSurface(const std::vector<ScreenPoint>& points, int width, int height);

// The colour `rgb` as the tool's key image holds a reference in colour space `space` (the
// combo's entry number): the space's three components in the R, G and B fields, converted as the
// tool converts its key colour.
Rgb ReferenceInSpace(const Rgb& rgb, int space);

}  // namespace qualvex::fit
