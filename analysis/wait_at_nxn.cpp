#include "analysis/wait_at_nxn.h"

#include "analysis/collectives.h"

namespace analysis {

void FindWaitAtNxN(const ExperimentModel& model, const CollectiveOp& op, std::vector<WaitState>& waits) {
    const int32_t last = LastEntrant(model, op);
    for (const int32_t member : op.members)
        AddWait(waits, WaitPattern::kWaitAtNxN, member, WaitForEntry(model, member, last), last);
}

}  // namespace analysis
