// The processors a process may run on, as its affinity says, against what the test itself allows
// and what coreutils' nproc counts; and under a real control group's quota, where the machine lets
// the test make one.
#include "base/container_limits.h"
#include "base/cores.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qualvex {
namespace {

// The processors the calling thread may run on now, by number.
std::vector<int> AllowedProcessors()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    EXPECT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> numbers;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            numbers.push_back(cpu);
    return numbers;
}

// UsableCores() in a thread of its own confined to the first `count` allowed processors: the
// affinity is the thread's, so the test's other threads keep theirs.
unsigned UsableCoresConfinedTo(std::size_t count)
{
    unsigned seen = 0;
    std::thread confined([&] {
        const std::vector<int> allowed = AllowedProcessors();
        cpu_set_t fewer;
        CPU_ZERO(&fewer);
        for (std::size_t i = 0; i < count && i < allowed.size(); ++i)
            CPU_SET(allowed[i], &fewer);
        ASSERT_EQ(::sched_setaffinity(0, sizeof fewer, &fewer), 0);
        seen = UsableCores();
    });
    confined.join();
    return seen;
}

TEST(UsableCores, CountsTheProcessorsTheAffinityAllowsNotTheMachines)
{
    // As coreutils counts them for this process.
    std::FILE* nproc = ::popen("env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc", "r");
    ASSERT_NE(nproc, nullptr);
    char text[32] = {};
    const bool read = std::fgets(text, sizeof text, nproc) != nullptr;
    ASSERT_EQ(::pclose(nproc), 0);
    ASSERT_TRUE(read);
    // Where this test itself runs under a container's quota of processor time, fewer: the quota's
    // own effect is the next test's.
    const auto counted = static_cast<unsigned>(std::stoul(text));
    const std::optional<double> quota = ReadContainerLimits().Processors;
    const bool underQuota = quota && *quota < static_cast<double>(counted);
    if (underQuota) {
        EXPECT_LE(UsableCores(), counted);
        EXPECT_GE(UsableCores(), 1u);
        return;
    }
    EXPECT_EQ(UsableCores(), counted);

    // A farm task's or taskset's narrower set.
    EXPECT_EQ(UsableCoresConfinedTo(1), 1u);
    if (AllowedProcessors().size() >= 2) {
        EXPECT_EQ(UsableCoresConfinedTo(2), 2u);
    }
}

// Writes `text` to a control group's file; false where the kernel refuses it.
bool WriteGroupFile(const std::string& path, const std::string& text)
{
    std::ofstream file(path);
    file << text;
    file.flush();
    return static_cast<bool>(file);
}

// What UsableCores() and the memory limit read in a child process moved into `groups` (the
// version 1 cpu group's folder and the memory group's folder): "cores bytes", or "" on failure.
std::string SeenInGroups(const std::string& cpuGroup, const std::string& memoryGroup)
{
    int link[2];
    if (::pipe(link) != 0)
        return "";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(link[0]);
        const std::string self = std::to_string(::getpid());
        std::string seen;
        if (WriteGroupFile(cpuGroup + "/cgroup.procs", self) && WriteGroupFile(memoryGroup + "/cgroup.procs", self))
            seen = std::to_string(UsableCores()) + " " +
                   std::to_string(ReadContainerLimits().MemoryBytes.value_or(0));
        const ssize_t written = ::write(link[1], seen.data(), seen.size());
        ::_exit(written == static_cast<ssize_t>(seen.size()) ? 0 : 1);
    }
    ::close(link[1]);
    std::string seen;
    char block[64];
    ssize_t n = 0;
    while ((n = ::read(link[0], block, sizeof block)) > 0)
        seen.append(block, static_cast<std::size_t>(n));
    ::close(link[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return seen;
}

// A group of version 1's cpu and memory hierarchies of its own (this machine's layout), with a
// quota of half a processor's time and 1 GiB; a child moved into them sees one processor and
// that limit. Skipped where the hierarchies are not mounted so or the test may not make groups.
TEST(UsableCores, ARealControlGroupsQuotaCapsTheProcessors)
{
    const std::string name = "/qualvex-test-" + std::to_string(::getpid());
    const std::string cpuGroup = "/sys/fs/cgroup/cpu" + name;
    const std::string memoryGroup = "/sys/fs/cgroup/memory" + name;
    if (::access("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", W_OK) != 0 ||
        ::access("/sys/fs/cgroup/memory/memory.limit_in_bytes", F_OK) != 0 || ::mkdir(cpuGroup.c_str(), 0755) != 0)
        GTEST_SKIP() << "no writable version 1 cpu hierarchy at /sys/fs/cgroup/cpu";
    if (::mkdir(memoryGroup.c_str(), 0755) != 0) {
        ::rmdir(cpuGroup.c_str());
        GTEST_SKIP() << "no writable version 1 memory hierarchy at /sys/fs/cgroup/memory";
    }
    const bool limited = WriteGroupFile(cpuGroup + "/cpu.cfs_quota_us", "50000") &&
                         WriteGroupFile(cpuGroup + "/cpu.cfs_period_us", "100000") &&
                         WriteGroupFile(memoryGroup + "/memory.limit_in_bytes", "1073741824");
    const std::string seen = limited ? SeenInGroups(cpuGroup, memoryGroup) : "";
    // Only the groups this test made, once the child that was in them has ended.
    ::rmdir(cpuGroup.c_str());
    ::rmdir(memoryGroup.c_str());
    if (!limited)
        GTEST_SKIP() << "the kernel refused the groups' limits (a parent's tighter quota, say)";
    EXPECT_EQ(seen, "1 1073741824");
}

}  // namespace
}  // namespace qualvex
