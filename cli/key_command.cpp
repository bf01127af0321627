#include "cli/key_command.h"

#include "jobs/key_job.h"

namespace qualvex::cli {

KeyResult RunKey(const KeyerPlugin& plugin, const KeyOptions& options)
{
    KeyTools tools = PrepareKeyTools(plugin, options);
    const KeyPlan plan = PlanKey(tools, options);
    if (options.PlanOnly)
        return PlannedResult(tools, plan);
    return KeyFrames(tools, plan, options);
}

}  // namespace qualvex::cli
