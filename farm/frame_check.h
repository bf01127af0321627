// Whether a farm job's frames are all there: each output present, readable, complete and keyed
// with the settings the job froze (or the same settings as the others).
#pragma once

#include <string>
#include <vector>

namespace qualvex {

class KeyerPlugin;

struct FarmVerifyOptions {
    std::string Output;    // the output pattern
    std::string Frames;    // "A-B"
    std::string Settings;  // settings file the frames must carry; default: the frozen one beside them
};

struct FrameCheck {
    std::vector<int> Complete;
    std::vector<int> Missing;
    std::vector<int> Damaged;  // unreadable or cut short
    std::vector<int> Foreign;  // keyed with other settings, or carrying none
    bool Good() const { return Missing.empty() && Damaged.empty() && Foreign.empty(); }
};

FrameCheck VerifyFrames(const KeyerPlugin& plugin, const FarmVerifyOptions& options);

// "24 frames: 20 complete, 3 missing ..., 1 damaged ..., 0 foreign", naming a few of each.
std::string VerifyReport(const FarmVerifyOptions& options, const FrameCheck& check);

// Whether two settings records hold the same JSON; an empty or unreadable one matches nothing.
bool SameRecord(const std::string& a, const std::string& b);

}  // namespace qualvex
