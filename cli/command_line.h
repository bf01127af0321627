// What the qualvex command line asked for: filled in by the program from its arguments and carried
// out by the commands module, which the program loads only for commands that need it. So that
// `qualvex --help` and `qualvex info` answer without loading the image, video and HTTP libraries
// (some 260 shared libraries, a third of a second of dynamic linking), the program holds the
// argument definitions and these plain structures, and nothing that reads or writes files.
#pragma once

#include "cli/farm_command.h"
#include "cli/fit_command.h"
#include "cli/key_command.h"
#include "cli/tune_command.h"

#include <string>
#include <vector>

namespace qualvex::cli {

// key's options, with what is parsed after the command line kept as text.
struct KeyCommandLine {
    KeyOptions Key;
    std::string DataType;
    std::string MemoryLimit;
    bool KeyColorGivenEmpty = false;  // --key-color ''
};

enum class CommandName { Key, Info, Demo, Fit, Tune, FarmSubmit, FarmStatus, FarmVerify };

struct CommandLine {
    CommandName Command = CommandName::Info;
    std::string PluginPath;
    KeyCommandLine Key;  // key, and farm submit
    std::string InfoImage;
    std::string DemoFolder = "qualvex-demo";
    std::vector<std::string> DemoSets;
    bool DemoQuiet = false;
    FitCommandOptions Fit;
    TuneOptions Tune;
    FarmSubmitOptions Farm;  // its Key part comes from Key
    std::string StatusJob;
    FarmVerifyOptions Verify;
};

// The commands module's one entry point (looked up by this name): carries out `command`, prints
// its errors and returns the exit code (0 success, 2 usage errors, 1 anything else, 130
// interrupted).
using RunCommandFunction = int (*)(const CommandLine* command);
inline constexpr const char* kRunCommandSymbol = "QualvexRunCommand";

}  // namespace qualvex::cli
