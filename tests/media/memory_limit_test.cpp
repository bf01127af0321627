// The memory limit: sizes as --memory-limit takes them, and the default, half of the machine's
// memory as /proc/meminfo states it, or of a real control group's limit where that is less.
#include "base/errors.h"
#include "media/memory_limit.h"
#include "support/control_groups.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

namespace qualvex {
namespace {

TEST(MemoryLimit, SizesAreReadInPowersOf1024AndAnythingElseIsRefused)
{
    struct Case {
        const char* Text;
        std::uint64_t Bytes;
    };
    const Case sizes[] = {{"8G", 8ull << 30}, {"512M", 512ull << 20}, {"64K", 64ull << 10}, {"1t", 1ull << 40},
                          {"1000000", 1000000},  {"1g", 1ull << 30},    {"17179869183G", 17179869183ull << 30}};
    for (const Case& c : sizes)
        EXPECT_EQ(ParseMemoryLimit(c.Text), c.Bytes) << c.Text;
    for (const char* text : {"", "0", "0G", "8X", "1.5G", "G", "-1", "8 G", "8GB", "17179869184G", "18446744073709551616"})
        EXPECT_THROW(ParseMemoryLimit(text), UsageError) << '"' << text << '"';
}

// MemTotal from /proc/meminfo, in bytes; nothing where it cannot be read.
std::optional<std::uint64_t> MemTotal()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key, unit;
    std::uint64_t kilobytes = 0;
    while (meminfo >> key >> kilobytes >> unit)
        if (key == "MemTotal:")
            return kilobytes * 1024;
    return std::nullopt;
}

TEST(MemoryLimit, TheDefaultIsHalfTheMachinesMemoryOrHalfItsControlGroupsLimit)
{
    const std::optional<std::uint64_t> total = MemTotal();
    ASSERT_TRUE(total.has_value()) << "/proc/meminfo has no MemTotal";
    // Outside a limited group (the test's own may be limited: then at most half the machine's).
    EXPECT_LE(DefaultMemoryLimit(), *total / 2);
    const std::optional<std::string> seen =
        testing::SeenInControlGroups(100000, 1ull << 30, [] { return std::to_string(DefaultMemoryLimit()); });
    if (!seen)
        GTEST_SKIP() << "no version 1 cpu and memory groups this test may make and limit";
    EXPECT_EQ(*seen, std::to_string(512ull << 20));
}

}  // namespace
}  // namespace qualvex
