// qualvex info: what the loaded tool registers and the control page a user sees.
#pragma once

#include <string>

namespace qualvex {
class KeyerPlugin;
}  // namespace qualvex

namespace qualvex::cli {

// The tool's registration, version record and control page. With `image`, also the control values
// embedded in it: `embeddedJson` and `embeddedVersion` as its settings record holds them (read by
// the caller: this part reads no files, so that `qualvex info` answers without the image
// libraries). Throws Failure when the image holds no record or a damaged one.
void PrintInfo(const KeyerPlugin& plugin, const std::string& image, const std::string& embeddedJson,
               const std::string& embeddedVersion);

}  // namespace qualvex::cli
