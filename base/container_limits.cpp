#include "base/container_limits.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>

namespace qualvex {

namespace {

// The kernel's files end in one newline; spaces and newlines at either end are not part of a value.
std::string_view Trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A whole decimal number and nothing else.
template <typename T>
std::optional<T> Number(std::string_view text)
{
    T value{};
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || rest != end)
        return std::nullopt;
    return value;
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

// Undoes mountinfo's octal escapes (\040 for a space); a backslash not followed by three octal
// digits is kept as it is.
std::string Unescaped(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto octal = [&](std::size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '7'; };
        if (text[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            const int value = (text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0');
            out.push_back(static_cast<char>(value & 0xff));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Files in /proc and cgroup file systems are a few kilobytes; anything past this is not one.
constexpr std::size_t kLargestFile = std::size_t{1} << 20;

std::optional<std::string> ReadSmallFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text;
    char block[4096];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        text.append(block, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kLargestFile)
            return std::nullopt;
    }
    return text;
}

template <typename List>
bool Contains(const List& list, std::string_view name)
{
    return std::find(list.begin(), list.end(), name) != list.end();
}

// The part of `path` (a group's path as /proc/self/cgroup gives it) below the root of the mount
// that shows its hierarchy, "" for the mount's own folder. A path outside the mounted part of the
// hierarchy (another cgroup namespace's view), or one that climbs with "." or "..", is not
// followed: the mount's own folder is read instead.
std::string FolderBelowMount(const CgroupMount& mount, const std::string& path)
{
    std::string relative;
    if (mount.Root == "/")
        relative = path;
    else if (path == mount.Root || path.starts_with(mount.Root + "/"))
        relative = path.substr(mount.Root.size());
    for (std::string_view part : Split(relative, '/'))
        if (part == "." || part == "..")
            return "";
    if (relative.empty() || relative.front() != '/')
        return "";
    while (!relative.empty() && relative.back() == '/')
        relative.pop_back();
    return relative;
}

// Calls `read` with each folder from `mountFolder` + `below` up to `mountFolder` itself.
template <typename Read>
void EachFolderUp(const std::string& mountFolder, std::string below, Read&& read)
{
    while (true) {
        read(mountFolder + below);
        if (below.empty())
            return;
        below.resize(below.rfind('/'));  // below starts with "/": there is always one
    }
}

template <typename T>
void KeepTightest(std::optional<T>& kept, std::optional<T> found)
{
    if (found && (!kept || *found < *kept))
        kept = found;
}

}  // namespace

std::vector<CgroupMembership> ParseProcCgroup(std::string_view text)
{
    std::vector<CgroupMembership> groups;
    for (std::string_view line : Split(text, '\n')) {
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos)
            continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos || !Number<unsigned>(line.substr(0, first)))
            continue;
        groups.push_back({std::string(line.substr(first + 1, second - first - 1)), std::string(line.substr(second + 1))});
    }
    return groups;
}

std::vector<CgroupMount> ParseCgroupMounts(std::string_view mountinfo)
{
    std::vector<CgroupMount> mounts;
    for (std::string_view line : Split(mountinfo, '\n')) {
        // "id parent major:minor root mount-point options [optional fields...] - type source super-options"
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos)
            continue;
        const std::vector<std::string_view> before = Split(line.substr(0, dash), ' ');
        const std::vector<std::string_view> after = Split(line.substr(dash + 3), ' ');
        if (before.size() < 6 || after.size() < 3)
            continue;
        CgroupMount mount;
        if (after[0] == "cgroup2")
            mount.Version2 = true;
        else if (after[0] != "cgroup")
            continue;
        mount.Root = Unescaped(before[3]);
        mount.MountPoint = Unescaped(before[4]);
        if (mount.Root.empty() || mount.Root.front() != '/' || mount.MountPoint.empty() ||
            mount.MountPoint.front() != '/')
            continue;
        while (mount.MountPoint.size() > 1 && mount.MountPoint.back() == '/')
            mount.MountPoint.pop_back();
        if (mount.MountPoint == "/")
            mount.MountPoint.clear();  // the folders below it are joined on with their own "/"
        if (!mount.Version2)
            for (std::string_view option : Split(after[2], ','))
                mount.Controllers.emplace_back(option);
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

std::optional<double> ParseCpuMax(std::string_view text)
{
    const std::vector<std::string_view> parts = Split(Trimmed(text), ' ');
    if (parts.size() != 2 || parts[0] == "max")
        return std::nullopt;
    const std::optional<std::uint64_t> quota = Number<std::uint64_t>(parts[0]);
    const std::optional<std::uint64_t> period = Number<std::uint64_t>(parts[1]);
    // A period of 0 (which the kernel never writes) sets nothing rather than dividing by it.
    if (!quota || !period || *quota == 0 || *period == 0)
        return std::nullopt;
    return static_cast<double>(*quota) / static_cast<double>(*period);
}

std::optional<double> ParseCfsQuota(std::string_view quota, std::string_view period)
{
    const std::optional<std::int64_t> q = Number<std::int64_t>(Trimmed(quota));
    const std::optional<std::int64_t> p = Number<std::int64_t>(Trimmed(period));
    // -1 is "no quota"; other values not above 0 are not quotas either, and a period not above 0
    // is no divisor.
    if (!q || !p || *q <= 0 || *p <= 0)
        return std::nullopt;
    return static_cast<double>(*q) / static_cast<double>(*p);
}

std::optional<std::uint64_t> ParseMemoryMax(std::string_view text)
{
    const std::optional<std::uint64_t> bytes = Number<std::uint64_t>(Trimmed(text));
    // "max" is no limit; so is 0, which no running process could be held to.
    if (!bytes || *bytes == 0)
        return std::nullopt;
    return bytes;
}

ContainerLimits ReadContainerLimits(const std::string& root)
{
    ContainerLimits limits;
    std::string base = root;
    if (base.empty() || base.back() != '/')
        base.push_back('/');
    const std::optional<std::string> groups = ReadSmallFile(base + "proc/self/cgroup");
    const std::optional<std::string> mountinfo = ReadSmallFile(base + "proc/self/mountinfo");
    if (!groups || !mountinfo)
        return limits;
    const std::vector<CgroupMount> mounts = ParseCgroupMounts(*mountinfo);
    // Mount points are absolute: they are joined on below the root without its trailing "/".
    const std::string mountsBase = base.substr(0, base.size() - 1);
    const auto file = [](const std::string& folder, const char* name) { return ReadSmallFile(folder + "/" + name); };

    for (const CgroupMembership& group : ParseProcCgroup(*groups)) {
        const bool version2 = group.Controllers.empty();
        const std::vector<std::string_view> controllers = Split(group.Controllers, ',');
        for (const CgroupMount& mount : mounts) {
            if (mount.Version2 != version2)
                continue;
            const bool cpu = version2 || (Contains(controllers, "cpu") && Contains(mount.Controllers, "cpu"));
            const bool memory =
                version2 || (Contains(controllers, "memory") && Contains(mount.Controllers, "memory"));
            if (!cpu && !memory)
                continue;
            EachFolderUp(mountsBase + mount.MountPoint, FolderBelowMount(mount, group.Path), [&](const std::string& at) {
                if (version2) {
                    if (const auto text = file(at, "cpu.max"))
                        KeepTightest(limits.Processors, ParseCpuMax(*text));
                    if (const auto text = file(at, "memory.max"))
                        KeepTightest(limits.MemoryBytes, ParseMemoryMax(*text));
                    return;
                }
                if (cpu) {
                    const auto quota = file(at, "cpu.cfs_quota_us");
                    const auto period = file(at, "cpu.cfs_period_us");
                    if (quota && period)
                        KeepTightest(limits.Processors, ParseCfsQuota(*quota, *period));
                }
                if (memory)
                    if (const auto text = file(at, "memory.limit_in_bytes"))
                        KeepTightest(limits.MemoryBytes, ParseMemoryMax(*text));
            });
        }
    }
    return limits;
}

}  // namespace qualvex
