// The disk as the job planner sees it: frames found by their names, names resolved through links,
// and what lies under an output's name already.
#pragma once

#include "jobs/job_plan.h"

namespace qualvex {

DiskView RealDisk();

}  // namespace qualvex
