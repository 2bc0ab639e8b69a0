// Wait states. An idle phase followed by a matched receive waits for its message: the
// late-sender wait is max(0, min(start of the send phase, end of the idle) - start of
// the idle), the time it waited before the sender even began to send. It is a
// wrong-order wait when the process later receives a message that was sent before this
// one: receiving in another order would have waited less. An idle phase that no
// matched receive follows is unexplained and sets IDLE_CAUSES. Delay costs charge each
// late-sender wait to what the sender did between the start of the wait and its send,
// by phase type, scaled so that the charges never exceed the wait.
#pragma once
#include "model.h"

namespace analysis {

// Fills waitStates (largest first) and delayCosts; the status becomes kBlockingCausesCalc.
void FindWaitStates(ExperimentModel& model);

}  // namespace analysis
