#include "base/cores.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace qualvex {

unsigned UsableCores()
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

}  // namespace qualvex
