// Root-cause delay costs (Böhme et al., "Identifying the root causes of wait states
// in large-scale parallel applications"). A wait of a process R caused by a process S
// (a late sender, or the member of a collective R waited for) is charged to the excess
// time of S over R in their synchronisation interval: from the last time they
// synchronised (the end of their previous message either way, or the last entry of a
// previous collective that synchronised both; else the later of their starts) to the
// start of S's send or its entry into the collective on S, and to the start of R's
// wait on R. The excess per phase type is S's time of that type minus R's (never
// below 0), where the time each spent waiting (idle, and waits in collectives) is
// compared as one: S's waiting above R's is split over S's own waits and its idle
// without a cause. The charges are scaled so that they add up to the wait. What S
// spent in transfer or idle without a cause is a short-term cost of S; what S spent in
// a wait of its own passes that share on to that wait's causes, in the proportions of
// that wait's own costs, as long-term costs. A wait in whose interval S did nothing
// more than R is charged whole to S's "no excess" row. So the costs end on activities
// and add up to exactly the caused waits.
#pragma once
#include "analysis/model.h"

namespace analysis {

// Fills delayCosts (largest total first) from the wait states.
void FindDelayCosts(ExperimentModel& model);

}  // namespace analysis
