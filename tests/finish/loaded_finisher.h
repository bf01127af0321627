// Loads the built QualvexFinish.plugin through the host, as a program would, for the length of a
// test.
#pragma once

#include "support/loaded_tool.h"

namespace qualvex::finish::testing {

inline constexpr const char* kFinisherClass = "Tavelorn.QualvexFinish";

class LoadedFinisher : public qualvex::testing::LoadedTool {
protected:
    LoadedFinisher() : LoadedTool("QualvexFinish.plugin", kFinisherClass) {}
};

}  // namespace qualvex::finish::testing
