#include "media/further_channels.h"

#include <string_view>

namespace qualvex {
namespace {

struct ChannelName {
    std::string_view Name;
    FurtherChannel Channel;
};

const ChannelName kChannelNames[] = {
    {"Z", FurtherChannel::Z},
    {"depth.Z", FurtherChannel::Z},
    {"depth.z", FurtherChannel::Z},
    {"z", FurtherChannel::Z},
    {"Coverage", FurtherChannel::Coverage},
    {"coverage", FurtherChannel::Coverage},
    {"ObjectID", FurtherChannel::ObjectID},
    {"objectid", FurtherChannel::ObjectID},
    {"object_id", FurtherChannel::ObjectID},
    {"MaterialID", FurtherChannel::MaterialID},
    {"materialid", FurtherChannel::MaterialID},
    {"material_id", FurtherChannel::MaterialID},
};

}  // namespace

std::optional<FurtherChannel> FurtherChannelNamed(const std::string& name)
{
    for (const ChannelName& entry : kChannelNames)
        if (entry.Name == name)
            return entry.Channel;
    return std::nullopt;
}

}  // namespace qualvex
