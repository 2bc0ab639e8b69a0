#include "analysis/barrier_completion.h"

#include "analysis/collectives.h"

namespace analysis {

void FindBarrierCompletion(const ExperimentModel& model, const CollectiveOp& barrier, std::vector<WaitState>& waits) {
    const int32_t last = LastEntrant(model, barrier);
    for (const int32_t member : barrier.members)
        AddWait(waits, WaitPattern::kBarrierCompletion, member,
                model.phases.ShownDuration(member) - WaitForEntry(model, member, last), -1);
}

}  // namespace analysis
