// How much memory a keying run may take for the frames it holds at once. A file's header can
// claim any size; what it claims is compared with this limit before anything is allocated.
#pragma once

#include <cstdint>
#include <string>

namespace qualvex {

// Half of the machine's physical memory (1 GiB when it cannot be told).
std::uint64_t DefaultMemoryLimit();

// "8G", "512M", "64K" (powers of 1024) or a plain number of bytes; throws UsageError naming
// --memory-limit otherwise.
std::uint64_t ParseMemoryLimit(const std::string& text);

// A byte count for messages, in whole mebibytes rounded up ("12 MiB").
std::string Mebibytes(std::uint64_t bytes);

}  // namespace qualvex
