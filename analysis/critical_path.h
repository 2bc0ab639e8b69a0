// Critical path, on the repaired clock. It starts at the end of the process that ends
// last (of several ending at the same time: the master, else the first by process
// index) and walks back along its phases; at a wait with a cause (its send ended
// before the walk's time) it jumps to the sender at the end of that send, at a wait in
// a collective to the causing member (the last to enter, or the root) at its entry,
// and at the start of a spawned process to its parent at the end of the spawn phase
// that names its tid (or at the child's start, if earlier). It ends at the start of a
// process that no spawn names, so it is never longer than the run (runLength). Its length, its time per phase type and each process's share;
// the walk visits every phase at most once, so it takes time linear in the phases.
#pragma once
#include "analysis/model.h"

namespace analysis {

// Fills criticalPath, criticalPathLength, criticalPathByType and criticalPathByProcess
// from the phases and the wait states, and the run's length.
void FindCriticalPath(ExperimentModel& model);

}  // namespace analysis
