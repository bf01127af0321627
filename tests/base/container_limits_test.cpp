// A container's limits: each file's text as the kernel writes it (the formats of the kernel's
// cgroup documentation, and lines taken from real machines), and whole trees of /proc and cgroup
// folders laid out as version 1, version 2 and a hybrid of both mount them.
#include "base/container_limits.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace qualvex {
namespace {

TEST(ContainerLimits, ProcessorQuotasParseToProcessorsWorth)
{
    struct Case {
        const char* Text;
        std::optional<double> Expected;
    };
    const Case cases[] = {
        {"max 100000\n", std::nullopt},  // no quota
        {"150000 100000\n", 1.5},
        {"200000 100000", 2.0},
        {"50000 100000\n", 0.5},
        {"1000 1000\n", 1.0},
        {"100000 0\n", std::nullopt},  // no period to divide by
        {"0 100000\n", std::nullopt},
        {"-1 100000\n", std::nullopt},
        {"150000\n", std::nullopt},
        {"150000 100000 7\n", std::nullopt},
        {"1.5 1\n", std::nullopt},
        {"", std::nullopt},
        {"max", std::nullopt},
        {"99999999999999999999999 100000", std::nullopt},  // beyond 64 bits
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseCpuMax(c.Text), c.Expected) << '"' << c.Text << '"';

    // Version 1's two files.
    EXPECT_EQ(ParseCfsQuota("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(ParseCfsQuota("250000\n", "100000\n"), 2.5);
    EXPECT_EQ(ParseCfsQuota("250000\n", "0\n"), std::nullopt);
    EXPECT_EQ(ParseCfsQuota("250000\n", "-5\n"), std::nullopt);
    EXPECT_EQ(ParseCfsQuota("lots\n", "100000\n"), std::nullopt);
}

TEST(ContainerLimits, MemoryLimitsParseToBytes)
{
    struct Case {
        const char* Text;
        std::optional<std::uint64_t> Expected;
    };
    const Case cases[] = {
        {"max\n", std::nullopt},
        {"4294967296\n", std::uint64_t{4} << 30},
        {"536870912", std::uint64_t{512} << 20},
        {"9223372036854771712\n", std::uint64_t{9223372036854771712u}},  // version 1's "no limit"
        {"0\n", std::nullopt},
        {"-1\n", std::nullopt},
        {"4G\n", std::nullopt},
        {"18446744073709551616\n", std::nullopt},  // one past 64 bits
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseMemoryMax(c.Text), c.Expected) << '"' << c.Text << '"';
}

TEST(ContainerLimits, ProcCgroupLinesNameControllersAndPaths)
{
    // A hybrid machine's: version 1 hierarchies with their controllers, and version 2's "0::".
    const auto groups = ParseProcCgroup("9:name=systemd:/\n4:memory:/process_api/29f5\n"
                                        "3:cpu,cpuacct:/docker/ab:cd\n0::/\nnot a line\nx:cpu:/\n");
    ASSERT_EQ(groups.size(), 4u);
    EXPECT_EQ(groups[0].Controllers, "name=systemd");
    EXPECT_EQ(groups[1].Controllers, "memory");
    EXPECT_EQ(groups[1].Path, "/process_api/29f5");
    EXPECT_EQ(groups[2].Controllers, "cpu,cpuacct");
    EXPECT_EQ(groups[2].Path, "/docker/ab:cd");  // a colon in the path is the path's
    EXPECT_EQ(groups[3].Controllers, "");
    EXPECT_EQ(groups[3].Path, "/");
}

TEST(ContainerLimits, MountinfoGivesTheCgroupMountsAndTheirRoots)
{
    const auto mounts = ParseCgroupMounts(
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "32 31 0:29 /docker/ab /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:9 master:2 - cgroup cgroup "
        "rw,cpu,cpuacct\n"
        "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
        "41 31 0:38 / /mnt/cgroup\\040two/ rw,relatime - cgroup2 cgroup2 rw,nsdelegate\n"
        "42 31 0:39 relative /x rw - cgroup cgroup rw,memory\n"
        "broken line\n");
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[0].Root, "/docker/ab");
    EXPECT_EQ(mounts[0].MountPoint, "/sys/fs/cgroup/cpu,cpuacct");  // optional fields passed over
    EXPECT_FALSE(mounts[0].Version2);
    EXPECT_EQ(mounts[0].Controllers, (std::vector<std::string>{"rw", "cpu", "cpuacct"}));
    EXPECT_EQ(mounts[1].MountPoint, "/sys/fs/cgroup/memory");
    EXPECT_TRUE(mounts[2].Version2);
    EXPECT_EQ(mounts[2].MountPoint, "/mnt/cgroup two");  // \040 undone, the trailing slash dropped
}

// A fake root: /proc/self and the cgroup folders, each file written as the kernel would.
class ContainerTree : public testing::InTemporaryFolder {
protected:
    void Write(const std::string& path, const std::string& text)
    {
        const std::filesystem::path file = m_Dir / path;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    ContainerLimits Read() const { return ReadContainerLimits(m_Dir.string()); }
};

TEST_F(ContainerTree, Version2TakesTheTightestLimitAlongTheGroupsPath)
{
    Write("proc/self/cgroup", "0::/farm.slice/task42\n");
    Write("proc/self/mountinfo", "25 24 0:23 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    Write("sys/fs/cgroup/cpu.max", "max 100000\n");
    Write("sys/fs/cgroup/farm.slice/cpu.max", "400000 100000\n");
    Write("sys/fs/cgroup/farm.slice/memory.max", "8589934592\n");
    Write("sys/fs/cgroup/farm.slice/task42/cpu.max", "150000 100000\n");
    Write("sys/fs/cgroup/farm.slice/task42/memory.max", "max\n");
    const ContainerLimits limits = Read();
    EXPECT_EQ(limits.Processors, 1.5);                       // the task's own, tighter than its slice's
    EXPECT_EQ(limits.MemoryBytes, std::uint64_t{8} << 30);  // the slice's, the task having none
}

TEST_F(ContainerTree, Version1HierarchiesAreReadPerController)
{
    // A container whose hierarchies are mounted at their own group (the view inside Docker).
    Write("proc/self/cgroup", "5:memory:/docker/ab\n3:cpu,cpuacct:/docker/ab\n1:name=systemd:/docker/ab\n0::/\n");
    Write("proc/self/mountinfo",
          "32 31 0:29 /docker/ab /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
          "35 31 0:32 /docker/ab /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
          "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
    Write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "300000\n");
    Write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    Write("sys/fs/cgroup/memory/memory.limit_in_bytes", "2147483648\n");
    const ContainerLimits limits = Read();
    EXPECT_EQ(limits.Processors, 3.0);
    EXPECT_EQ(limits.MemoryBytes, std::uint64_t{2} << 30);
}

TEST_F(ContainerTree, AHybridMachineWithoutLimitsSetsNone)
{
    // This project's own build machine: version 1 controllers, an empty version 2 hierarchy.
    Write("proc/self/cgroup", "4:memory:/process_api/29f5\n1:cpu:/\n0::/\n");
    Write("proc/self/mountinfo",
          "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
          "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
          "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n");
    Write("sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n");
    Write("sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
    Write("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
    Write("sys/fs/cgroup/memory/process_api/29f5/memory.limit_in_bytes", "9223372036854771712\n");
    const ContainerLimits limits = Read();
    EXPECT_EQ(limits.Processors, std::nullopt);
    EXPECT_EQ(limits.MemoryBytes, std::uint64_t{9223372036854771712u});  // more than any machine: no limit in effect
}

TEST_F(ContainerTree, PathsThatClimbOrLieOutsideTheMountReadTheMountsOwnFolder)
{
    Write("proc/self/mountinfo", "25 24 0:23 /kubepods/pod7 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    Write("sys/fs/cgroup/memory.max", "1073741824\n");
    Write("sys/fs/memory.max", "1024\n");  // what "/.." would reach from the mount: never read
    for (const char* path : {"0::/../..\n", "0::/elsewhere/pod9\n", "0::/kubepods/pod7/../../..\n"}) {
        Write("proc/self/cgroup", path);
        EXPECT_EQ(Read().MemoryBytes, std::uint64_t{1} << 30) << path;
    }
}

TEST_F(ContainerTree, MissingOrUnreadableFilesSetNoLimit)
{
    EXPECT_EQ(Read().Processors, std::nullopt);  // no /proc at all
    Write("proc/self/cgroup", "0::/task\n");
    Write("proc/self/mountinfo", "25 24 0:23 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    EXPECT_EQ(Read().MemoryBytes, std::nullopt);  // no cgroup files
    Write("sys/fs/cgroup/task/cpu.max", "garbage\n");
    Write("sys/fs/cgroup/task/memory.max", std::string(3u << 20, '7'));  // larger than any such file
    const ContainerLimits limits = Read();
    EXPECT_EQ(limits.Processors, std::nullopt);
    EXPECT_EQ(limits.MemoryBytes, std::nullopt);
}

}  // namespace
}  // namespace qualvex
