// The processors a process may run on, as its affinity says, against what the test itself allows
// and what coreutils' nproc counts; and under a real control group's quota, where the machine lets
// the test make one.
#include "base/container_limits.h"
#include "base/cores.h"
#include "support/control_groups.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <cstdio>
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

// A child in groups of its own, with a quota of half a processor's time and 1 GiB, sees one
// processor and that limit. Skipped where the test may not make such groups.
TEST(UsableCores, ARealControlGroupsQuotaCapsTheProcessors)
{
    const std::optional<std::string> seen = testing::SeenInControlGroups(50000, 1ull << 30, [] {
        return std::to_string(UsableCores()) + " " + std::to_string(ReadContainerLimits().MemoryBytes.value_or(0));
    });
    if (!seen)
        GTEST_SKIP() << "no version 1 cpu and memory groups this test may make and limit";
    EXPECT_EQ(*seen, "1 1073741824");
}

}  // namespace
}  // namespace qualvex
