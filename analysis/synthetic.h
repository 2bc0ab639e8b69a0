// Made-up experiments for benchmarks and tests of the outputs, on clocks that agree:
// a pipeline of processes that pass one message per step down the line, with uneven
// work so that receivers wait for late senders, and a ping-pong of two processes.
#pragma once
#include "analysis/model.h"

#include <cstddef>

namespace analysis {

// About nbrPhases phases over nbrProcesses processes (at least 2): the master works
// and sends; every other process waits (idle), receives, works and sends on, the last
// one without sending. Message tags count the steps. The processes' start times, their
// totals and the header (application "synthetic", p = nbrProcesses, Tp) are filled in;
// no pass has run.
ExperimentModel MakeSyntheticPipeline(int nbrProcesses, std::size_t nbrPhases, unsigned seed = 1);

// About nbrPhases phases of a ping-pong between two processes: the master works and
// sends, waits for the answer and receives it; the other waits, receives, works and
// answers. Every receive waits, so the critical path jumps at every message.
ExperimentModel MakeSyntheticPingPong(std::size_t nbrPhases, unsigned seed = 1);

}  // namespace analysis
