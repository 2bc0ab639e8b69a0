// Messages on one clock. Every phase's start is its process's start (on the master's
// clock, corrected for linear drift where end offsets were stored) plus the durations
// before it, in µs since the master's start of measuring. A receive is matched with
// the earliest unmatched send from its partner to it with the same quantum count
// (PVM keeps the order between two tasks; a receive by tag skips other tags). Sends
// that no receive takes are counted as unreceived. A partner tid that is no process
// flags UNKNOWN_COMM_PARTNERS; a receive with no send, or one that starts before its
// send began (a send phase may end after the receiver has its message) by more than
// the two processes' clock bounds, flags WRONG_COMM_POINTERS; one early by no more
// than the bounds is a measuring error, counted and said but not flagged. The shown
// clock is a controlled logical clock: events (phase boundaries) move, not phases. A
// receive's start moves to at least its send's start plus kMinimalLatency, the shift
// is carried forward along its process and spread backwards over the events since
// its previous communication; a phase ends where the next one starts, so the phases
// still tile each process's time line.
#pragma once
#include "analysis/model.h"

namespace analysis {

constexpr Time kMinimalLatency = 1;

// Fills start and shownStart of the phases and the model's messages; the
// status becomes kCommPointersSet.
void MatchMessages(ExperimentModel& model);

}  // namespace analysis
