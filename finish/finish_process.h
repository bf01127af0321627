// The per-frame render of the finishing tool: reads the controls and images from the request,
// runs the finishing steps over the whole frame and hands the new image to the output.
#pragma once

#include "finish/alpha_plane.h"
#include "finish/edge_distance.h"
#include "finish/unmix.h"

#include <vector>

class Input;
class Output;
class Request;

namespace qualvex::finish {

// The links the render reads, in the order it reads them.
struct FinishLinks {
    Input* Despill;
    Input* ScreenChannel;
    Input* DespillAmount;
    Input* SpillToGrey;
    Input* ClipBlack;
    Input* ClipWhite;
    Input* Shrink;
    Input* Soften;
    Input* OutputMode;
    Input* ScreenRed;
    Input* ScreenGreen;
    Input* ScreenBlue;
    Input* UnmixEdges;
    Input* UnmixReach;
    Input* Image;
    Input* GarbageMatte;
    Input* CoreMatte;
    Output* Out;
};

// The memory the whole-frame steps work in, kept by each tool instance from frame to frame (an
// instance renders one frame at a time).
struct FinishWorkspace {
    AlphaPlane Matte;
    EdgeScratch Edge;
    std::vector<float> Distance;
    std::vector<float> SoftenSpare;
    std::vector<float> Row[4];  // one row's B, G, R, A, for images that offer rows
    std::vector<float> Colour;  // the frame's R, G, B, when the edges are unmixed
    UnmixScratch Unmix;
};

// Steps, in order: despill (colour), clip, unmixing the edges, shrink or grow, soften, garbage and
// core mattes (alpha), then the output mode picks what is written: the despilled colour with the
// finished alpha (Result), the finished alpha in R, G, B and A (Matte), or the light the despill
// took out of each channel, never negative, with alpha 1 (Spill). Depth, coverage and the IDs pass
// through; the colour stays straight, as it came. The output has the source's size and storage.
// A mask image is sampled at (trunc(x * maskWidth / width), trunc(y * maskHeight / height)), the
// scale formed first; a mask pixel outside the mask counts as no mask there.
//
// Combo values are rounded to the nearest entry; one that names no entry counts as the default
// entry (Despill Off, Screen Channel Green, Unmix Edges Off, Output Result). No source image: no
// output. An empty source gives an empty output.
void RenderFinishedFrame(Request& request, const FinishLinks& links, FinishWorkspace& workspace);

}  // namespace qualvex::finish
