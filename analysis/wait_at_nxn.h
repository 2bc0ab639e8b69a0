// Wait at N x N: in a collective where every member needs every other member's data
// (allreduce, allgather, alltoall, reduce_scatter), every member that entered before
// the last one waits from its entry to the last member's entry, caused by the last
// to enter.
#pragma once
#include "analysis/model.h"

#include <vector>

namespace analysis {

void FindWaitAtNxN(const ExperimentModel& model, const CollectiveOp& op, std::vector<WaitState>& waits);

}  // namespace analysis
