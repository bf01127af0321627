// qualvex farm: long sequences keyed on a render farm. `submit` plans the frames exactly as key
// does (same checks, same refusals), freezes every control of every tool into one settings file
// beside the outputs and hands the farm one array job, a task per chunk of frames, each running
// the installed qualvex key on its chunk with --resume and the atomic writer. `status` tells the
// chunks' states and the frames written; `verify` checks every frame is there, readable, complete
// and keyed with the same settings. Sources and outputs must live on storage every node sees.
#pragma once

#include "farm/frame_check.h"
#include "jobs/key_options.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace qualvex {
class FarmScheduler;
}  // namespace qualvex

namespace qualvex::cli {

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

// Throws UsageError for a bad command (a relative output, no --chunk, --preview) and whatever
// key's planning throws.
FarmSubmission RunFarmSubmit(const KeyerPlugin& plugin, const FarmSubmitOptions& options, FarmScheduler& scheduler);

// Prints the chunks' states and the frames written so far.
void RunFarmStatus(FarmScheduler& scheduler, const std::string& job);

}  // namespace qualvex::cli
