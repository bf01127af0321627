#include "base/cores.h"

#include "base/container_limits.h"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace qualvex {

namespace {

unsigned AllowedProcessors()
{
    // A set of more processors than cpu_set_t holds (over 1024) is not read: the machine's count.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0)
            return static_cast<unsigned>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

unsigned UsableCores()
{
    const unsigned allowed = AllowedProcessors();
    // A container's quota of processor time: 1.5 processors' worth keeps two busy (the rounding
    // up leaves none of the quota unused), and never more than the affinity allows.
    const std::optional<double> quota = ReadContainerLimits().Processors;
    if (quota && *quota < static_cast<double>(allowed))
        return std::max(1u, static_cast<unsigned>(std::ceil(*quota)));
    return allowed;
}

}  // namespace qualvex
