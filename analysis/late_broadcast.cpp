#include "analysis/late_broadcast.h"

#include "analysis/collectives.h"

namespace analysis {

void FindLateBroadcast(const ExperimentModel& model, const CollectiveOp& op, std::vector<WaitState>& waits) {
    if (op.root < 0) return;
    for (const int32_t member : op.members)
        if (member != op.root)
            AddWait(waits, WaitPattern::kLateBroadcast, member, WaitForEntry(model, member, op.root), op.root);
}

}  // namespace analysis
