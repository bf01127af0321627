// The disk as the job planner sees it: frames found by their names, names resolved through links,
// and what lies under an output's name already.
#pragma once

#include "cli/job_plan.h"

namespace qualvex::cli {

DiskView RealDisk();

}  // namespace qualvex::cli
