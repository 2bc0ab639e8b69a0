// Barrier completion: in a barrier, a member's time after the last member entered
// (or after its own entry, for the last entrant) until it leaves: the time the
// barrier itself takes to let everyone go. It has no cause among the members.
#pragma once
#include "analysis/model.h"

#include <vector>

namespace analysis {

void FindBarrierCompletion(const ExperimentModel& model, const CollectiveOp& barrier, std::vector<WaitState>& waits);

}  // namespace analysis
