// Root-cause delay costs (Böhme et al., "Identifying the root causes of wait states
// in large-scale parallel applications"). A late-sender wait of a receiver R on a
// sender S is charged to the excess time of S over R in their synchronisation
// interval: from their previous message (either way; else the later of their starts)
// to the start of S's send on S and to the start of R's wait on R. The excess per
// phase type is S's time of that type minus R's (never below 0; idle against idle),
// scaled so that the charges add up to the wait. What S spent in transfer or idle
// without a cause is a short-term cost of S; what S spent in a wait of its own passes
// that share on to that wait's causes, in the proportions of that wait's own costs, as
// long-term costs. So the costs end on activities and add up to the waits.
#pragma once
#include "model.h"

namespace analysis {

// Fills delayCosts (largest total first) from the wait states.
void FindDelayCosts(ExperimentModel& model);

}  // namespace analysis
