// Keeps the key colour, the three value sliders and the cached colour space in step, and shows
// one channel's Value, Min and Max sliders at a time. Everything goes through the host's inputs:
// each set may come back as a nested change report, handled like any other.
#pragma once

#include "color/color_vec.h"

#include <cstdint>

class Input;
class Parameter;

namespace qualvex {

// The links the change handling reads and writes; index k is channel p(k+1).
struct SyncLinks {
    Input* Colorspace;
    Input* KeyColor[3];  // red, green, blue
    Input* Value[3];
    Input* Min[3];
    Input* Max[3];
    Input* Channel;
};

// The operator's cached state, written only by the change handling.
struct SyncState {
    std::int32_t& ColorSpaceMode;
    double (&KeyColor)[3];  // red, green, blue
};

// Sets Value p1..p3 to the key colour expressed in the colour space `mode`; any mode outside
// 0..4 sets nothing.
void UpdateChannelValues(const SyncLinks& links, std::int32_t mode, ColorVec key, double time);

// Handles one change report. The caller runs the host's own handling afterwards.
void HandleControlChange(const SyncLinks& links, SyncState state, Input* input, Parameter* param, double time);

}  // namespace qualvex
