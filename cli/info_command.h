// qualvex info: what the loaded tool registers and the control page a user sees.
#pragma once

#include <string>

namespace qualvex::cli {

class KeyerPlugin;

// With `image`, also the control values embedded in that image by qualvex.
void RunInfo(const KeyerPlugin& plugin, const std::string& image);

}  // namespace qualvex::cli
