// Wait states, on the repaired clock. An idle phase followed by a matched receive
// waits for its message: its late-sender wait is max(0, min(start of the send phase,
// end of the idle) - start of the idle), the time it waited before the sender even
// began to send; the rest of the idle, after the send began, is transfer time. A
// late-sender wait becomes wrong order (Scalasca's pattern) when, among the next
// receives of the process, a message arrives that was sent before the one it waited
// for, while the wait is still among the process's last kWrongOrderWindow late-sender
// waits; same source when that message came from the same sender. Only a selective
// receive can wait in the wrong order: one known to have asked for any source and any
// tag took whatever came first and stays a late sender (one whose request is not
// known counts as selective). An idle phase that no matched receive follows is
// unexplained and sets IDLE_CAUSES. So the idle time of the run is its waits on idle
// phases + transfer + unexplained idle. The waits in collectives (collectives.h) lie
// in sync phases and are found here too.
#pragma once
#include "analysis/model.h"

#include <map>
#include <string>

namespace analysis {

constexpr std::size_t kWrongOrderWindow = 100;

// Fills waitStates (largest first) and transferTime from the phases and messages; the
// status becomes kBlockingCausesCalc.
void FindWaitStates(ExperimentModel& model);

// Count and time of the wait states by pattern name, every pattern present.
std::map<std::string, std::pair<int, double>> WaitsByPattern(const ExperimentModel& model);

}  // namespace analysis
