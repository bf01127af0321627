// How many processors this process may run on.
#pragma once

namespace qualvex {

// The processors the process's affinity allows it (a farm task's CPU set, `taskset`), which may be
// fewer than the machine has; the machine's count where the affinity cannot be read. At least 1.
unsigned UsableCores();

}  // namespace qualvex
