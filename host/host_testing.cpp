#include "host/host_testing.h"

#include <atomic>
#include <mutex>

namespace host::testing {

namespace {

std::atomic<std::uint64_t> g_CallCount{0};
std::atomic<std::uint64_t> g_FailOn{0};  // 0: disarmed

}  // namespace

void CountHostCall(const char* operation)
{
    const std::uint64_t n = ++g_CallCount;
    std::uint64_t failOn = g_FailOn.load();
    if (failOn != 0 && n == failOn && g_FailOn.compare_exchange_strong(failOn, 0))
        throw InjectedFault(std::string("injected failure in host call ") + operation + " (call " +
                            std::to_string(n) + ")");
}

void ArmFailureOnCall(std::uint64_t n)
{
    g_CallCount = 0;
    g_FailOn = n;
}

void Disarm() { g_FailOn = 0; }

std::uint64_t CountedCalls() { return g_CallCount.load(); }

void ResetCallCount() { g_CallCount = 0; }

}  // namespace host::testing
