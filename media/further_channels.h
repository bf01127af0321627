// The host's further per-pixel channels (depth, coverage, object and material IDs) and the
// channel names that image files use for them.
#pragma once

#include "host/image.h"

#include <cstdint>
#include <optional>
#include <string>

namespace qualvex {

enum class FurtherChannel { Z, Coverage, ObjectID, MaterialID };

// Which further channel a file's channel name stands for, if any.
std::optional<FurtherChannel> FurtherChannelNamed(const std::string& name);

// Identifiers are 32-bit integers and travel as such, never through float.
inline bool IsIdChannel(FurtherChannel channel)
{
    return channel == FurtherChannel::ObjectID || channel == FurtherChannel::MaterialID;
}

}  // namespace qualvex
