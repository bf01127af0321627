// The farm manager interface over Slurm's commands: a batch script with one case per array task,
// submitted with sbatch; states from scontrol, which keeps finished tasks for MinJobAge; scancel.
#include "base/errors.h"
#include "base/safe_text.h"
#include "farm/farm_scheduler.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>

extern char** environ;

namespace qualvex {
namespace {

struct ProgramResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// Runs `argv` (looked up on PATH) with `input` on its standard input; collects both outputs.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw Failure(std::string("cannot run ") + argv[0] + ": " + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        throw Failure(argv[0] + ": cannot be started (" + std::strerror(spawned) + "); is Slurm installed on this machine?");
    }
    // Standard input first (a script is small), then both outputs until they close.
    std::size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    ::close(in[1]);
    ProgramResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.Out : result.Err).append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// A job description path in one word: Slurm's one-line output separates fields by spaces.
std::string Encoded(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // Only characters no reader of the #SBATCH line treats specially stay as they are: quotes
        // of either kind and backslashes would be taken as quoting there, spaces as the end.
        const bool plain = std::isalnum(byte) || std::strchr("/._-+,:@=", c) != nullptr;
        if (!plain || c == '\0') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Decoded(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Field(const std::string& line, const std::string& name)
{
    std::string key = " ";
    key += name;
    key += "=";
    std::string spaced = " ";
    spaced += line;
    std::size_t at = spaced.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size() - 1;
    const std::size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

TaskState StateNamed(const std::string& state)
{
    if (state == "PENDING" || state == "REQUEUED" || state == "CONFIGURING" || state == "SUSPENDED")
        return TaskState::Pending;
    if (state == "RUNNING" || state == "COMPLETING")
        return TaskState::Running;
    if (state == "COMPLETED")
        return TaskState::Done;
    if (state == "CANCELLED")
        return TaskState::Cancelled;
    return TaskState::Failed;  // FAILED, TIMEOUT, NODE_FAIL, OUT_OF_MEMORY, BOOT_FAIL, DEADLINE, PREEMPTED
}

class SlurmScheduler : public FarmScheduler {
public:
    std::string Script(const ArrayJobRequest& job) const override
    {
        std::string tasks;
        for (std::size_t task : job.Tasks) {
            if (!tasks.empty())
                tasks += ',';
            tasks += std::to_string(task);
        }
        std::string script = "#!/bin/bash\n";
        // sbatch reads these lines with double quotes around a value that holds spaces; the values
        // were checked for control characters and double quotes (CheckScriptValue), the job's
        // name is made of safe characters and its description encoded.
        script += "#SBATCH --job-name=" + job.Name + "\n";
        script += "#SBATCH --array=" + tasks + "\n";
        script += "#SBATCH --output=\"" + (job.LogFolder / "task-%A_%a.log").string() + "\"\n";
        script += "#SBATCH --comment=" + Encoded(job.Description) + "\n";
        if (!job.Queue.empty())
            script += "#SBATCH --partition=\"" + job.Queue + "\"\n";
        script += "# Written by qualvex farm submit: one case per chunk of frames.\nset -euo pipefail\n";
        script += "case \"$SLURM_ARRAY_TASK_ID\" in\n";
        for (std::size_t i = 0; i < job.Commands.size(); ++i) {
            script += "  ";
            script += std::to_string(i);
            script += ") exec " + job.Commands[i] + " ;;\n";
        }
        script += "  *) echo \"qualvex farm: no chunk $SLURM_ARRAY_TASK_ID in this job\" >&2; exit 2 ;;\nesac\n";
        return script;
    }

    std::string Submit(const ArrayJobRequest& job) override
    {
        std::vector<std::string> argv = {"sbatch", "--parsable"};
        argv.insert(argv.end(), job.Extra.begin(), job.Extra.end());
        const ProgramResult result = RunProgram(argv, Script(job));
        if (result.Status != 0)
            throw Failure("sbatch refused the job: " + Printable(Trimmed(result.Err.empty() ? result.Out : result.Err), 400));
        // --parsable: "jobid" or "jobid;cluster".
        const std::string id = Trimmed(result.Out).substr(0, Trimmed(result.Out).find(';'));
        if (id.empty())
            throw Failure("sbatch gave no job id");
        return id;
    }

    JobStatus Query(const std::string& job) override
    {
        const ProgramResult result = RunProgram({"scontrol", "-o", "show", "job", job}, "");
        if (result.Status != 0)
            throw Failure("job " + job + ": " + Printable(Trimmed(result.Err), 400) +
                          " (Slurm forgets finished jobs after its MinJobAge)");
        return ParseSlurmJobLines(result.Out);
    }

    void Cancel(const std::string& job) override
    {
        const ProgramResult result = RunProgram({"scancel", job}, "");
        if (result.Status != 0)
            throw Failure("scancel " + job + ": " + Printable(Trimmed(result.Err), 400));
    }
};

}  // namespace

const char* TaskStateName(TaskState state)
{
    switch (state) {
    case TaskState::Pending: return "pending";
    case TaskState::Running: return "running";
    case TaskState::Done: return "done";
    case TaskState::Failed: return "failed";
    case TaskState::Cancelled: return "cancelled";
    }
    return "unknown";
}

JobStatus ParseSlurmJobLines(const std::string& text)
{
    JobStatus status;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string tasks = Field(line, "ArrayTaskId");
        if (tasks.empty())
            continue;
        const TaskState state = StateNamed(Field(line, "JobState"));
        if (status.Description.empty())
            status.Description = Decoded(Field(line, "Comment"));
        // One task ("3"), or pending ones together: "2-5", "1,3,7-9", "4-9%2" (a limit after %).
        std::string list = tasks.substr(0, tasks.find('%'));
        std::size_t start = 0;
        while (start < list.size()) {
            std::size_t comma = list.find(',', start);
            if (comma == std::string::npos)
                comma = list.size();
            const std::string item = list.substr(start, comma - start);
            const std::size_t dash = item.find('-');
            try {
                const std::size_t first = std::stoul(item.substr(0, dash));
                const std::size_t last = dash == std::string::npos ? first : std::stoul(item.substr(dash + 1));
                for (std::size_t task = first; task <= last; ++task)
                    status.Tasks.push_back({task, state});
            } catch (const std::exception&) {
                throw Failure("scontrol: cannot read the task list \"" + Printable(item, 40) + "\"");
            }
            start = comma + 1;
        }
    }
    std::sort(status.Tasks.begin(), status.Tasks.end(),
              [](const TaskStatus& a, const TaskStatus& b) { return a.Task < b.Task; });
    return status;
}

std::unique_ptr<FarmScheduler> MakeSlurmScheduler() { return std::make_unique<SlurmScheduler>(); }

}  // namespace qualvex
