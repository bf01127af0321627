// What kind of control an input is, read from its description: what `qualvex info` prints and
// what the tuning page draws for it.
#pragma once

#include "host/link.h"

#include <string>

namespace qualvex {

// "combo", "multibutton", "slider", "checkbox", "colour", "label", "image", else the control's
// class identifier.
std::string ControlKindName(const LinkDescription& input);

}  // namespace qualvex
