// How much memory a keying run may take for the frames it holds at once. A file's header can
// claim any size; what it claims is compared with this limit before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qualvex {

// Half of the machine's physical memory, or of its container's memory limit where that is less
// (1 GiB when the machine's cannot be told).
std::uint64_t DefaultMemoryLimit();

// "8G", "512M", "64K" (powers of 1024) or a plain number of bytes; throws UsageError naming
// --memory-limit otherwise.
std::uint64_t ParseMemoryLimit(const std::string& text);

// Memory that reading and keying an image takes: the file's `channels` values as floats,
// identifiers as integers, and the host image and the keyed image made from it (colour of
// `valueBytes` a value; the second plane, where there are further channels, holds depth and
// coverage as floats and two 32-bit identifiers).
std::uint64_t BytesToKey(std::uint64_t width, std::uint64_t height, std::uint64_t channels, std::size_t valueBytes,
                         std::size_t idChannels, bool further);

// A byte count for messages, in whole mebibytes rounded up ("12 MiB").
std::string Mebibytes(std::uint64_t bytes);

}  // namespace qualvex
