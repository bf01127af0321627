// qualvex key: keys a file, a frame sequence or a movie through the loaded tools and writes the
// results as images or a movie.
#pragma once

#include "jobs/key_options.h"

namespace qualvex {
class KeyerPlugin;
}  // namespace qualvex

namespace qualvex::cli {

// Throws UsageError or Failure; everything is checked before the first frame is rendered. With
// `options.PlanOnly`, stops after the plan.
KeyResult RunKey(const KeyerPlugin& plugin, const KeyOptions& options);

}  // namespace qualvex::cli
