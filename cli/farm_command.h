// qualvex farm: long sequences keyed on a render farm. `submit` plans the frames exactly as key
// does (same checks, same refusals), freezes every control of every tool into one settings file
// beside the outputs and hands the farm one array job, a task per chunk of frames, each running
// the installed qualvex key on its chunk with --resume and the atomic writer. `status` tells the
// chunks' states and the frames written; `verify` checks every frame is there, readable, complete
// and keyed with the same settings. Sources and outputs must live on storage every node sees.
#pragma once

#include "cli/key_command.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace qualvex::cli {

class FarmScheduler;
class KeyerPlugin;

struct FarmSubmitOptions {
    KeyOptions Key;               // as key takes them; Key.Resume submits only unfinished chunks
    std::string DataTypeText;     // --data-type and --memory-limit as typed, handed to the tasks
    std::string MemoryLimitText;
    std::size_t Chunk = 0;        // frames per task
    std::string Partition;
    std::vector<std::string> SchedulerArgs;  // --slurm ARG, passed to the manager as given
    bool DryRun = false;
};

struct FarmSubmission {
    std::string Job;                  // empty for a dry run or when nothing is left to key
    std::vector<std::size_t> Chunks;  // the chunks submitted
    std::string Script;               // what the manager was handed
};

// The files a farm job keeps beside its outputs: the frozen settings, the job's description and
// the tasks' logs, named after the output pattern ("keyed.####.exr" gives "keyed.qualvex-farm.json").
std::filesystem::path FrozenSettingsFile(const std::string& outputPattern);
std::filesystem::path JobDescriptionFile(const std::string& outputPattern);
std::filesystem::path TaskLogFolder(const std::string& outputPattern);

// Runs of `chunk` consecutive frames of `frames` (ascending), as first and last frame.
std::vector<std::pair<int, int>> ChunksOf(const std::vector<int>& frames, std::size_t chunk);

// Throws UsageError for a bad command (a relative output, no --chunk, --preview) and whatever
// key's planning throws.
FarmSubmission RunFarmSubmit(const KeyerPlugin& plugin, const FarmSubmitOptions& options, FarmScheduler& scheduler);

// Prints the chunks' states and the frames written so far.
void RunFarmStatus(FarmScheduler& scheduler, const std::string& job);

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

}  // namespace qualvex::cli
