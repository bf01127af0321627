#include "host/host_testing.h"

#include "host/operator.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace host::testing {

namespace {

std::atomic<std::uint64_t> g_CallCount{0};
std::atomic<std::uint64_t> g_FailOn{0};  // 0: disarmed

std::atomic<bool> g_RecordingEvents{false};
std::mutex g_EventsMutex;
std::unordered_map<const Operator*, std::vector<HostEvent>> g_Events;

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

void RecordHostEvents(bool on) { g_RecordingEvents = on; }

bool RecordingHostEvents() { return g_RecordingEvents.load(); }

void RecordEvent(const Operator& op, HostEvent event)
{
    if (!g_RecordingEvents)
        return;
    event.Depth = op.ReportDepth();
    std::lock_guard lock(g_EventsMutex);
    g_Events[&op].push_back(std::move(event));
}

std::vector<HostEvent>& EventsOf(const Operator& op)
{
    std::lock_guard lock(g_EventsMutex);
    return g_Events[&op];
}

void ForgetEvents(const Operator& op)
{
    std::lock_guard lock(g_EventsMutex);
    g_Events.erase(&op);
}

}  // namespace host::testing
