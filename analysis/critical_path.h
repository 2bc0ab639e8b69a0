// Critical path: from the end of the process that ends last, walk back along its
// phases; at every late-sender wait jump to the sender at the end of its send phase.
// Its length, its time per phase type and each process's share, on the shown clock.
#pragma once
#include "model.h"

namespace analysis {

// Fills criticalPath, criticalPathLength, criticalPathByType and criticalPathByProcess.
// Needs the wait states.
void FindCriticalPath(ExperimentModel& model);

}  // namespace analysis
