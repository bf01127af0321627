// qualvex tune: the keyer's control page and viewer as a local web page, driving one instance of
// the tool loaded through the host. Prints the page's URL and serves it until interrupted.
#pragma once

#include "tune/tune_session.h"

#include <filesystem>
#include <string>

namespace qualvex {
class KeyerPlugin;
}  // namespace qualvex

namespace qualvex::cli {

struct TuneOptions {
    TuneSource Source;
    std::string Listen;  // empty: the loopback address
    int Port = 0;        // 0: a free port
    bool Open = false;   // open the page in the desktop's browser
};

// The page's files: QUALVEX_TUNE_PAGE when set, else share/qualvex/tune beside the installed
// program, else the folder in the source tree this program was built from.
std::filesystem::path TunePageFolder();

// Serves until SIGINT or SIGTERM. Throws UsageError or Failure for what stops it from starting.
void RunTune(const KeyerPlugin& plugin, const TuneOptions& options);

}  // namespace qualvex::cli
