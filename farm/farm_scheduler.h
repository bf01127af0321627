// What the farm commands ask of a render farm's manager, and nothing more: submit an array of
// commands as one job, tell each task's state, cancel. Planning and verifying know only this, so
// another manager can stand beside Slurm without touching them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qualvex {

struct ArrayJobRequest {
    std::string Name;
    std::vector<std::string> Commands;  // one shell command line per task, by task index
    std::vector<std::size_t> Tasks;     // the task indices to run: all, or those left to do
    std::filesystem::path LogFolder;    // one log file per task
    std::string Description;            // a file path the job carries, read back by status
    std::string Queue;                  // the manager's queue (Slurm: partition); empty: its default
    std::vector<std::string> Extra;     // arguments of the manager's own, passed as given
};

enum class TaskState { Pending, Running, Done, Failed, Cancelled };

struct TaskStatus {
    std::size_t Task = 0;
    TaskState State = TaskState::Pending;
};

struct JobStatus {
    std::string Description;  // as submitted
    std::vector<TaskStatus> Tasks;
};

const char* TaskStateName(TaskState state);

class FarmScheduler {
public:
    virtual ~FarmScheduler() = default;
    // The job as it would be handed over (a batch script), for --dry-run.
    virtual std::string Script(const ArrayJobRequest& job) const = 0;
    // Submits the job; returns its id. Throws Failure with the manager's message.
    virtual std::string Submit(const ArrayJobRequest& job) = 0;
    // Throws Failure when the manager does not know the job (or no longer does).
    virtual JobStatus Query(const std::string& job) = 0;
    virtual void Cancel(const std::string& job) = 0;
};

// Slurm, through its commands (sbatch, scontrol, scancel) found on PATH.
std::unique_ptr<FarmScheduler> MakeSlurmScheduler();

// One line of `scontrol -o show job` per task (or per range of pending tasks): the states of the
// tasks and the job's description. Exposed for tests.
JobStatus ParseSlurmJobLines(const std::string& text);

}  // namespace qualvex
