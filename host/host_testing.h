// Hooks that let tests and tools watch the host: counted host calls with an injectable failure,
// and accounting of the storage the host hands out for operators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

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

// Images alive right now, wherever they were made.
std::size_t LiveImages();

}  // namespace host::testing
