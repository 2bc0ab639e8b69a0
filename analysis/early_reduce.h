// Early reduce: in a collective that collects every member's data at the root
// (reduce, gather), a root that entered before the last of the other members waits
// from its entry to that member's entry, caused by that last member. The other
// members do not wait for the root.
#pragma once
#include "analysis/model.h"

#include <vector>

namespace analysis {

void FindEarlyReduce(const ExperimentModel& model, const CollectiveOp& op, std::vector<WaitState>& waits);

}  // namespace analysis
