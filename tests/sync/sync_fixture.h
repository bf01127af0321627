// A loaded Sondrel instance with the views that the change-handling tests need: the tool's
// caches and the host's record of what was set at which nesting depth.
#pragma once

#include "host/operator.h"
#include "plugin/sondrel.h"
#include "support/loaded_sondrel.h"
#include "sync/control_sync.h"

#include <string>
#include <vector>

namespace qualvex::testing {

struct SetRecord {
    std::string ID;
    double Value;
    bool operator==(const SetRecord&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const SetRecord& set)
{
    return out << set.ID << " := " << std::hexfloat << set.Value << std::defaultfloat << " (" << set.Value << ")";
}

class SyncFixture : public LoadedSondrel {
protected:
    // The instance goes before the plug-in that holds its code is unloaded.
    void TearDown() override
    {
        m_Op.reset();
        LoadedSondrel::TearDown();
    }

    static Sondrel& Tool(Operator& op) { return static_cast<Sondrel&>(op); }

    // The values set while exactly `depth` reports were in progress, in order.
    static std::vector<SetRecord> SetsAt(Operator& op, int depth)
    {
        std::vector<SetRecord> sets;
        for (const HostEvent& event : op.Events())
            if (event.What == HostEvent::Kind::Set && event.Depth == depth)
                sets.push_back({event.InputID, event.Value});
        return sets;
    }

    static std::vector<const HostEvent*> EventsOf(Operator& op, HostEvent::Kind kind)
    {
        std::vector<const HostEvent*> found;
        for (const HostEvent& event : op.Events())
            if (event.What == kind)
                found.push_back(&event);
        return found;
    }

    std::unique_ptr<Operator> m_Op;
};

}  // namespace qualvex::testing
