// Hooks that let tests watch the host: counted host calls with an injectable failure, accounting
// of the storage the host hands out for operators, and the record of what the host did to each
// operator. Not installed: no tool or program builds against it.
#pragma once

#include "host/parameter.h"
#include "host/tag_list.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class Operator;

// One thing the host did to an operator, as recorded for tests: a value set, an attribute
// change, a change report delivered to the tool, a report withheld because reports were already
// nested too deep, or the base change handling reached.
struct HostEvent {
    enum class Kind { Set, Attribute, Report, Withheld, BaseReport };
    Kind What;
    std::string InputID;
    double Value = 0.0;         // Set, Report: the number; Attribute: the attribute's value
    bool Changed = false;       // Set: whether the value changed
    bool HasValue = false;      // Report, BaseReport: whether a parameter came with it
    std::uint32_t Tag = 0;      // Attribute: the tag
    TimeStamp Time = 0.0;
    int Depth = 0;              // reports in progress on the operator when this happened
    const TagList* Attributes = nullptr;  // BaseReport: the attribute list handed on
};

namespace host::testing {

// Thrown by a host call that a test has armed to fail.
class InjectedFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Every host operation a tool can call counts itself here. Once armed with N, the Nth counted
// call from then on throws InjectedFault (naming the operation) and the counter disarms itself.
void CountHostCall(const char* operation);
void ArmFailureOnCall(std::uint64_t n);
void Disarm();
std::uint64_t CountedCalls();  // calls counted since the last ArmFailureOnCall or ResetCallCount
void ResetCallCount();

// Operator storage: the host allocates every operator object and records the sizes.
struct ObjectMemory {
    std::size_t LastAllocationSize = 0;
    std::size_t LiveAllocations = 0;
    std::size_t LiveBytes = 0;
};
ObjectMemory ObjectMemoryStats();
// The next operator allocation yields no storage, as if memory were exhausted.
void FailNextObjectAllocation();

// The host's record of what it did to each operator: kept only while switched on, so a program
// that never asks for it pays nothing and keeps nothing. An operator's record goes with it.
void RecordHostEvents(bool on);
bool RecordingHostEvents();
void RecordEvent(const Operator& op, HostEvent event);  // stamps the operator's report depth
std::vector<HostEvent>& EventsOf(const Operator& op);
void ForgetEvents(const Operator& op);

// Images alive right now, wherever they were made.
std::size_t LiveImages();
// Bytes of released image memory the host keeps for the next images, and a way to give it all
// back to the system.
std::size_t KeptImageBytes();
void ReleaseKeptImageMemory();

}  // namespace host::testing
