// An instance of the tool class for the fuzz targets that parse control values against its
// control page: the built Sondrel.plugin, loaded once through the host for the whole run.
#pragma once

class Operator;

namespace qualvex::fuzz {

// Loads the plug-in on the first call; aborts when it cannot, as no input could be tried.
const Operator& ToolInstance();

}  // namespace qualvex::fuzz
