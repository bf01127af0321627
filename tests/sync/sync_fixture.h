// A loaded Sondrel instance with the views that the change-handling tests need: the tool's
// caches, read from its memory dump, the links of its change handling, found by ID, and the
// host's record of what was set at which nesting depth.
#pragma once

#include "host/host_testing.h"
#include "host/operator.h"
#include "support/loaded_sondrel.h"
#include "sync/control_sync.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qualvex::testing {

// The tool's cached colour space and key colour (red, green, blue), as its dump shows them.
struct ToolCaches {
    std::int32_t ColorSpaceMode = 0;
    double KeyColor[3] = {0.0, 0.0, 0.0};
};

// Reads the caches from the tool's dump: after the host's summary line, the lines
// "ColorSpaceMode <index>" and "KeyColor <red> <green> <blue>", the doubles in hexadecimal
// floating-point form. Throws when the dump does not have that form.
inline ToolCaches ParseToolCaches(const std::string& dump)
{
    auto fail = [&](const char* why) { return std::runtime_error(std::string(why) + " in the dump:\n" + dump); };
    std::istringstream lines(dump);
    std::string line;
    if (!std::getline(lines, line))
        throw fail("no summary line");
    ToolCaches caches;
    if (!std::getline(lines, line) || line.rfind("ColorSpaceMode ", 0) != 0)
        throw fail("no ColorSpaceMode line");
    {
        const char* text = line.c_str() + std::string("ColorSpaceMode ").size();
        char* end = nullptr;
        const long long mode = std::strtoll(text, &end, 10);
        if (end == text || *end != '\0' || mode < std::numeric_limits<std::int32_t>::min() ||
            mode > std::numeric_limits<std::int32_t>::max())
            throw fail("a ColorSpaceMode that is not a 32-bit integer");
        caches.ColorSpaceMode = static_cast<std::int32_t>(mode);
    }
    if (!std::getline(lines, line) || line.rfind("KeyColor", 0) != 0)
        throw fail("no KeyColor line");
    const char* text = line.c_str() + std::string("KeyColor").size();
    for (double& component : caches.KeyColor) {
        if (*text != ' ')
            throw fail("fewer than three KeyColor components");
        char* end = nullptr;
        component = std::strtod(text + 1, &end);
        if (end == text + 1)
            throw fail("a KeyColor component that is not a number");
        text = end;
    }
    if (*text != '\0')
        throw fail("more than three KeyColor components");
    return caches;
}

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

    // The caches as the tool's dump shows them now.
    static ToolCaches Caches(const Operator& op)
    {
        std::ostringstream dump;
        op.DoDumpMem(dump);
        return ParseToolCaches(dump.str());
    }

    // The links the change handling reads and writes, found by their IDs.
    static SyncLinks Links(const Operator& op)
    {
        auto find = [&](const char* id) {
            Input* input = op.FindInput(id);
            if (input == nullptr)
                throw std::runtime_error(std::string("the tool has no input ") + id);
            return input;
        };
        return {find("Colorspace"),
                {find("CRed"), find("CGreen"), find("CBlue")},
                {find("ValueRed"), find("ValueGreen"), find("ValueBlue")},
                {find("MiRedn"), find("MinGreen"), find("MinBlue")},
                {find("MaxRed"), find("MaxGreen"), find("MaxBlue")},
                find("Channel")};
    }

    // The values set while exactly `depth` reports were in progress, in order.
    static std::vector<SetRecord> SetsAt(Operator& op, int depth)
    {
        std::vector<SetRecord> sets;
        for (const HostEvent& event : host::testing::EventsOf(op))
            if (event.What == HostEvent::Kind::Set && event.Depth == depth)
                sets.push_back({event.InputID, event.Value});
        return sets;
    }

    static std::vector<const HostEvent*> EventsOf(Operator& op, HostEvent::Kind kind)
    {
        std::vector<const HostEvent*> found;
        for (const HostEvent& event : host::testing::EventsOf(op))
            if (event.What == kind)
                found.push_back(&event);
        return found;
    }

    std::unique_ptr<Operator> m_Op;
};

}  // namespace qualvex::testing
