// A container's limit files, as the kernel's /proc and cgroup file systems would hand them over:
// the input's first byte picks the file, the rest is its text (for version 1's processor quota,
// the quota and the period split at the first newline). Each parser takes any text without
// failing and gives only what it promises: a positive number of processors, a positive number of
// bytes, mounts with absolute paths.
#include "fuzz_check.h"

#include "base/container_limits.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using qualvex::fuzz::Require;
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
    case 0:
        for (const qualvex::CgroupMembership& group : qualvex::ParseProcCgroup(text))
            Require(group.Controllers.find('\n') == std::string::npos && group.Path.find('\n') == std::string::npos,
                    "a group's line stays one line");
        break;
    case 1:
        for (const qualvex::CgroupMount& mount : qualvex::ParseCgroupMounts(text)) {
            Require(!mount.Root.empty() && mount.Root.front() == '/', "a mount's root is absolute");
            Require(mount.MountPoint.empty() || (mount.MountPoint.front() == '/' && mount.MountPoint.back() != '/'),
                    "a mount point is absolute, without a trailing slash (empty for /)");
            Require(mount.Version2 ? mount.Controllers.empty() : true, "version 2 lists no controllers");
        }
        break;
    case 2:
        if (const auto processors = qualvex::ParseCpuMax(text))
            Require(*processors > 0.0 && std::isfinite(*processors), "a quota is a positive finite number");
        break;
    case 3: {
        const std::size_t newline = text.find('\n');
        const std::string_view quota = text.substr(0, newline);
        const std::string_view period = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (const auto processors = qualvex::ParseCfsQuota(quota, period))
            Require(*processors > 0.0 && std::isfinite(*processors), "a quota is a positive finite number");
        break;
    }
    default:
        if (const auto bytes = qualvex::ParseMemoryMax(text))
            Require(*bytes > 0, "a memory limit is above 0");
        break;
    }
    return 0;
}
