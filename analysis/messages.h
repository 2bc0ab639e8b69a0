// Messages on one clock. Every phase's start is its process's start (on the master's
// clock, corrected for linear drift where end offsets were stored) plus the durations
// before it, in µs since the master's start of measuring. A receive is matched with
// the earliest unmatched send from its partner to it with the same quantum count
// (PVM keeps the order between two tasks; a receive by tag skips other tags). Sends
// that no receive takes are counted as unreceived. A partner tid that is no process
// flags UNKNOWN_COMM_PARTNERS; a receive with no send, or one that starts before its
// send began (a send phase may end after the receiver has its message), flags
// WRONG_COMM_POINTERS. The shown clock is a repaired copy: a receive is moved to at
// least its send's start plus kMinimalLatency, the shift carried forward along its
// process and spread backwards over the phases since its previous communication,
// without reordering phases.
#pragma once
#include "model.h"

namespace analysis {

constexpr Time kMinimalLatency = 1;

// Fills start, shownStart and commDelay of the phases and the model's messages; the
// status becomes kCommPointersSet.
void MatchMessages(ExperimentModel& model);

}  // namespace analysis
