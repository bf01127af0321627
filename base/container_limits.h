// The processors and memory a container grants this process: the limits its control groups
// (cgroups, version 1 or 2) set, which the machine's own counts do not show. A farm node's
// container may have 2 processors' worth of time and 4 GiB on a machine of 64 cores and 256 GiB.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qualvex {

// What the groups the process belongs to allow it, the tightest along each group's path up to
// the root of its hierarchy; empty where no group sets a limit (or none can be read).
struct ContainerLimits {
    std::optional<double> Processors;  // processors' worth of time: quota / period, above 0
    std::optional<std::uint64_t> MemoryBytes;
};

// The limits of the process's own groups, read from /proc/self and the cgroup file systems under
// `root` ("/" on a running system; a folder that mirrors it in tests). Never throws: what cannot
// be read or parsed sets no limit.
ContainerLimits ReadContainerLimits(const std::string& root = "/");

// The parsers behind it, each of one file's text as the kernel writes it; exposed for tests and
// fuzzing. None throws; text they do not recognise gives nothing.

// One line of /proc/self/cgroup: "hierarchy:controllers:path" ("0::path" for version 2).
struct CgroupMembership {
    std::string Controllers;  // comma-separated; empty for version 2
    std::string Path;
};
std::vector<CgroupMembership> ParseProcCgroup(std::string_view text);

// A cgroup file system in /proc/self/mountinfo: which part of the hierarchy (Root) is mounted
// where (MountPoint), octal escapes such as \040 undone.
struct CgroupMount {
    std::string Root;
    std::string MountPoint;
    bool Version2 = false;
    std::vector<std::string> Controllers;  // version 1: the super options naming controllers
};
std::vector<CgroupMount> ParseCgroupMounts(std::string_view mountinfo);

// Version 2's cpu.max, "quota period" or "max period": the processors' worth, nothing for "max".
std::optional<double> ParseCpuMax(std::string_view text);
// Version 1's cpu.cfs_quota_us and cpu.cfs_period_us: nothing for a quota of -1.
std::optional<double> ParseCfsQuota(std::string_view quota, std::string_view period);
// Version 2's memory.max ("max" or bytes) or version 1's memory.limit_in_bytes (bytes).
std::optional<std::uint64_t> ParseMemoryMax(std::string_view text);

}  // namespace qualvex
