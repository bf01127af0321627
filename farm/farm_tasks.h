// How a keying job becomes farm tasks: the frames it asks for cut into chunks, the command each
// task runs (the installed qualvex key on its chunk with the frozen settings), and the files a
// farm job keeps beside its outputs.
#pragma once

#include "jobs/key_job.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qualvex {

// The files a farm job keeps beside its outputs: the frozen settings, the job's description and
// the tasks' logs, named after the output pattern ("keyed.####.exr" gives "keyed.qualvex-farm.json").
std::filesystem::path FrozenSettingsFile(const std::string& outputPattern);
std::filesystem::path JobDescriptionFile(const std::string& outputPattern);
std::filesystem::path TaskLogFolder(const std::string& outputPattern);

// Runs of `chunk` (1 or more) consecutive frames of `frames` (ascending), as first and last frame.
std::vector<std::pair<int, int>> ChunksOf(const std::vector<int>& frames, std::size_t chunk);

// The frames of the source a run asks for: those on disk within --frames (a single file is
// frame 0). Key's planning has already refused gaps unless --allow-gaps.
std::vector<int> AskedFrames(const KeyOptions& key);

// The job's name for the manager: "qualvex-" and the output's name, with anything but letters,
// digits, '-', '_' and '.' written as '_'.
std::string SafeJobName(const std::string& outputPattern);

// Throws UsageError naming `option` when `value` holds a control character (a newline would end
// its line of the job script and start a command of its own) or a double quote (the script's
// header lines quote paths with them). Every value that goes into the job script is checked.
void CheckScriptValue(const std::string& option, const std::string& value);

// What every task of a job shares besides the key options.
struct TaskSettings {
    std::filesystem::path PluginFolder;  // where the submitting program loaded its plug-ins
    std::filesystem::path Frozen;        // the frozen settings file
    std::string Version;                 // the build the tasks must be
    bool Sequence = true;                // false for a single file: no --frames
    std::string DataTypeText;            // --data-type and --memory-limit as typed
    std::string MemoryLimitText;
};

// The shell command line one task runs on frames `chunk`: this program's key, every value quoted
// as one word.
std::string TaskCommand(const TaskSettings& task, const KeyOptions& key, std::pair<int, int> chunk);

}  // namespace qualvex
