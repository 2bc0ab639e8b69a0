#include "analysis/wait_at_barrier.h"

#include "analysis/collectives.h"

namespace analysis {

void FindWaitAtBarrier(const ExperimentModel& model, const CollectiveOp& barrier, std::vector<WaitState>& waits) {
    const int32_t last = LastEntrant(model, barrier);
    for (const int32_t member : barrier.members)
        AddWait(waits, WaitPattern::kWaitAtBarrier, member, WaitForEntry(model, member, last), last);
}

}  // namespace analysis
