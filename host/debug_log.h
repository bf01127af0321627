// The host's debug log: messages about things the host did on its own account that a user
// would otherwise never see, such as a change report it withheld. By default they go to
// standard error when the environment variable QUALVEX_HOST_DEBUG is set to anything but
// empty or "0"; a program or test may install its own sink.
#pragma once

#include <functional>
#include <string>

namespace host {

using DebugSink = std::function<void(const std::string& message)>;

void DebugLog(const std::string& message);
// Replaces the sink and returns the previous one; an empty sink restores the default.
DebugSink SetDebugSink(DebugSink sink);

}  // namespace host
