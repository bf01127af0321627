// Edge unmixing: where the matte passes from screen to subject, each pixel's alpha is estimated
// again from its colour, as the mix of the screen's light and the subject's that it holds. A key's
// window shapes every transition alike; a hair strand, a veil or a blurred edge mixes the two
// lights in its own proportion, which its colour tells.
#pragma once

#include "finish/alpha_plane.h"
#include "finish/despill.h"

#include <vector>

namespace qualvex::finish {

// The order is the finishing tool's Unmix Edges entries: saved settings hold the index. The entry
// also says how the image's values encode light: light from the screen and from the subject adds
// up in linear light, so the colours are decoded first.
enum class UnmixLight { Off, AsGiven, Srgb, Rec709 };

struct UnmixSettings {
    UnmixLight Light = UnmixLight::Off;
    double Reach = 20.0;           // pixels searched around each edge pixel for screen and subject
    Rgb Screen{0.0f, 1.0f, 0.0f};  // the screen's colour (the key colour): which channels make it
};

// The working memory, kept from frame to frame.
struct UnmixScratch {
    std::vector<float> Alpha;
    std::vector<unsigned char> Across;
    std::vector<unsigned char> Near;
    std::vector<double> Columns;
    std::vector<double> Prefix;
};

// The linear light a value encodes under the entry's curve: sRGB's or Rec. 709's, extended past 1
// by the curve's formula; values at or below 0 (and NaN) are kept as they are. As Given and Off
// keep every value.
float DecodedLight(float value, UnmixLight light);

// `colour` holds the frame's R, G, B as the image gives them, three floats a pixel in the matte's
// order; they are decoded in place. The pixels unmixed are those whose matte is below 1, with a
// matte above 0 within 2 px (a 5 x 5 square) and one at 0 (screen) within Reach pixels (a square):
// the transition and the screen just beside it, not a subject's inside far from any screen,
// whose texture would read as transparency.
//
// Each is measured by the screen's excess, the despill's measure against the screen colour: the
// pixel's weakest screen channel over its strongest other channel (green: G - max(R, B); yellow:
// min(R, G) - B). Within Reach the mean colour of the pixels the matte calls screen (0) stands for
// the screen there, and of those it calls subject (1) for the subject; without a subject pixel
// near, the mean of the whole frame's subject (a neutral subject, excess 0, in a frame without
// any). Then
//     alpha = (excess(screen) - excess(pixel)) / (excess(screen) - excess(subject)),
// clamped to 0..1, and at least 1 - c / screen in each screen channel (light is never negative:
// a pixel holding 1 - alpha of the screen holds that share of each screen channel's light). A
// pixel the matte calls screen (0) keeps its 0 unless that alpha is at least 0.1 (below, the
// screen's noise). Where the screen's excess is not at least 0.02 above the subject's (the two
// cannot be told apart by it), where the pixel's colour is not finite, for a grey screen, and for
// Off, the matte is kept. Colours that are not finite count as neither screen nor subject.
void UnmixEdges(AlphaPlane& matte, std::vector<float>& colour, const UnmixSettings& settings, UnmixScratch& scratch);

}  // namespace qualvex::finish
