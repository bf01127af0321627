// Real control groups for a test: version 1 cpu and memory groups of the test's own, with a
// quota of processor time and a memory limit, and a child process moved into them that reports
// what it sees. Where the machine lays its hierarchies out otherwise, or the test may not make
// groups or set their limits, there is nothing to run in (the caller skips). Only the groups made
// here are removed, once the child that was in them has ended.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>
#include <string>

namespace qualvex::testing {

// Writes `text` to a control group's file; false where the kernel refuses it.
inline bool WriteGroupFile(const std::string& path, const std::string& text)
{
    std::ofstream file(path);
    file << text;
    file.flush();
    return static_cast<bool>(file);
}

// What `probe` returns in a child moved into new groups with `quota` microseconds of processor
// time per 100000 and a limit of `memory` bytes; "" when the child could not join them; nothing
// when the groups could not be made or limited.
inline std::optional<std::string> SeenInControlGroups(long quota, unsigned long long memory,
                                                      const std::function<std::string()>& probe)
{
    const std::string name = "/qualvex-test-" + std::to_string(::getpid());
    const std::string cpuGroup = "/sys/fs/cgroup/cpu" + name;
    const std::string memoryGroup = "/sys/fs/cgroup/memory" + name;
    if (::access("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", W_OK) != 0 ||
        ::access("/sys/fs/cgroup/memory/memory.limit_in_bytes", F_OK) != 0 || ::mkdir(cpuGroup.c_str(), 0755) != 0)
        return std::nullopt;
    if (::mkdir(memoryGroup.c_str(), 0755) != 0) {
        ::rmdir(cpuGroup.c_str());
        return std::nullopt;
    }
    const bool limited = WriteGroupFile(cpuGroup + "/cpu.cfs_quota_us", std::to_string(quota)) &&
                         WriteGroupFile(cpuGroup + "/cpu.cfs_period_us", "100000") &&
                         WriteGroupFile(memoryGroup + "/memory.limit_in_bytes", std::to_string(memory));
    std::optional<std::string> seen;
    int link[2];
    if (limited && ::pipe(link) == 0) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(link[0]);
            const std::string self = std::to_string(::getpid());
            std::string report;
            if (WriteGroupFile(cpuGroup + "/cgroup.procs", self) && WriteGroupFile(memoryGroup + "/cgroup.procs", self))
                report = probe();
            const ssize_t written = ::write(link[1], report.data(), report.size());
            ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
        }
        ::close(link[1]);
        std::string report;
        char block[64];
        ssize_t n = 0;
        while ((n = ::read(link[0], block, sizeof block)) > 0)
            report.append(block, static_cast<std::size_t>(n));
        ::close(link[0]);
        int status = 0;
        if (child > 0) {
            ::waitpid(child, &status, 0);
            seen = report;
        }
    }
    ::rmdir(cpuGroup.c_str());
    ::rmdir(memoryGroup.c_str());
    return seen;
}

}  // namespace qualvex::testing
