#include "analysis/early_reduce.h"

#include "analysis/collectives.h"

namespace analysis {

void FindEarlyReduce(const ExperimentModel& model, const CollectiveOp& op, std::vector<WaitState>& waits) {
    if (op.root < 0) return;
    int32_t last = -1;
    for (const int32_t member : op.members)
        if (member != op.root && (last < 0 || model.phases.shownStart[member] > model.phases.shownStart[last]))
            last = member;
    if (last >= 0) AddWait(waits, WaitPattern::kEarlyReduce, op.root, WaitForEntry(model, op.root, last), last);
}

}  // namespace analysis
