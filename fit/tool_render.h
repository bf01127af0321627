// Renders sample colours through a tool that the host has loaded: the render callback the fit
// scores its candidates with.
#pragma once

#include "fit/fit_settings.h"

#include <functional>
#include <memory>

class Operator;

namespace qualvex::fit {

using InstanceMaker = std::function<std::unique_ptr<Operator>()>;
using ControlSetter = std::function<void(Operator&, const std::vector<ControlValue>&)>;

// Sets each control through the host's set-value path, as typed, in the order of the instance's
// control page. Throws std::invalid_argument for a control the tool does not have.
void SetInPageOrder(Operator& op, const std::vector<ControlValue>& controls);

// Each call takes a new instance from `makeInstance`, so that nothing of an earlier candidate
// remains in it; sets the controls with `setControls` (a program passes the way it applies a
// settings file, so that what is scored is what a written file gives); lays the colours out row
// by row in a float image with alpha 1; renders one frame through the host and reads back the
// alpha of each pixel, the Value sliders and each control given as the tool holds it. Throws
// std::runtime_error when the tool hands back no image.
RenderFunction ToolRender(InstanceMaker makeInstance, ControlSetter setControls = SetInPageOrder);

}  // namespace qualvex::fit
