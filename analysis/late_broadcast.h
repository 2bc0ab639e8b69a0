// Late broadcast: in a collective that spreads the root's data (bcast, scatter), a
// member other than the root that entered before the root waits from its entry to
// the root's entry, caused by the root.
#pragma once
#include "analysis/model.h"

#include <vector>

namespace analysis {

void FindLateBroadcast(const ExperimentModel& model, const CollectiveOp& op, std::vector<WaitState>& waits);

}  // namespace analysis
