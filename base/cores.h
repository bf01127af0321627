// How many processors this process may run on.
#pragma once

namespace qualvex {

// The processors the process's affinity allows it (a farm task's CPU set, `taskset`), which may be
// fewer than the machine has, the machine's count where the affinity cannot be read; fewer where
// its container's quota of processor time is less (1.5 processors' worth counts as 2). At least 1.
unsigned UsableCores();

}  // namespace qualvex
