// Storage for image planes, kept for reuse: a frame's images are made and released at the same
// sizes frame after frame, and memory the process already holds costs no fresh, zero-filled pages
// from the system.
#pragma once

#include <cstddef>
#include <memory>

namespace host {

struct ReturnImageMemory {
    std::size_t Bytes = 0;
    void operator()(unsigned char* memory) const;
};
using ImageMemory = std::unique_ptr<unsigned char[], ReturnImageMemory>;

// A block of `bytes` bytes, taken from the kept blocks when one of that size is there; every byte
// 0, unless `cleared` is false (then it holds what it held, and fresh memory is not touched until
// it is written). Releasing it keeps it for reuse while the kept blocks stay within
// kKeptImageBytes and kKeptImageBlocks, oldest given back to the system first. Safe from any
// thread.
ImageMemory TakeImageMemory(std::size_t bytes, bool cleared = true);

inline constexpr std::size_t kKeptImageBytes = std::size_t{1} << 30;  // 1 GiB
inline constexpr std::size_t kKeptImageBlocks = 16;

}  // namespace host
