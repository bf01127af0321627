#include "media/memory_limit.h"

#include "base/container_limits.h"
#include "base/errors.h"

#include <unistd.h>

#include <charconv>

namespace qualvex {

std::uint64_t DefaultMemoryLimit()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return std::uint64_t{1} << 30;
    std::uint64_t memory = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    // A container's limit is where the kernel stops the process, whatever the machine has.
    const std::optional<std::uint64_t> granted = ReadContainerLimits().MemoryBytes;
    if (granted && *granted < memory)
        memory = *granted;
    return memory / 2;
}

std::uint64_t ParseMemoryLimit(const std::string& text)
{
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    int shift = -1;
    if (error == std::errc() && rest == end)
        shift = 0;
    else if (error == std::errc() && rest + 1 == end) {
        switch (*rest) {
        case 'K': case 'k': shift = 10; break;
        case 'M': case 'm': shift = 20; break;
        case 'G': case 'g': shift = 30; break;
        case 'T': case 't': shift = 40; break;
        default: break;
        }
    }
    // A limit of nothing, or one whose bytes do not fit 64 bits, is no limit anyone meant.
    if (shift < 0 || value == 0 || (shift > 0 && value > (~std::uint64_t{0} >> shift)))
        throw UsageError("--memory-limit \"" + text + "\": expected a size such as 8G, 512M or a number of bytes");
    return value << shift;
}

std::string Mebibytes(std::uint64_t bytes) { return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB"; }

std::uint64_t BytesToKey(std::uint64_t width, std::uint64_t height, std::uint64_t channels, std::size_t valueBytes,
                         std::size_t idChannels, bool further)
{
    const std::uint64_t pixels = width * height;
    const std::uint64_t hostImage = pixels * (4 * valueBytes + (further ? 4 * 4 : 0));
    return pixels * channels * sizeof(float) + pixels * 4 * idChannels + 2 * hostImage;
}

}  // namespace qualvex
