// Loads the built Sondrel.plugin through the host, as a program would, for the length of a test.
#pragma once

#include "support/loaded_tool.h"

namespace qualvex::testing {

class LoadedSondrel : public LoadedTool {
protected:
    LoadedSondrel() : LoadedTool("Sondrel.plugin", "Tavelorn.Qualvex") {}
};

}  // namespace qualvex::testing
