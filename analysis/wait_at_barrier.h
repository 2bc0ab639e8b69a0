// Wait at barrier: in a barrier, every member that entered before the last one waits
// from its entry to the last member's entry; that wait is caused by the last to
// enter (its sync phase is the cause).
#pragma once
#include "analysis/model.h"

#include <vector>

namespace analysis {

void FindWaitAtBarrier(const ExperimentModel& model, const CollectiveOp& barrier, std::vector<WaitState>& waits);

}  // namespace analysis
