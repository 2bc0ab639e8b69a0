// Data check: every process has phases numbered 1..n without gaps and stored totals,
// and its phase durations per type add up to those totals. Flags EXP_CRASHED when the
// experiment never finished, PROCESS_CRASHED for a process without totals or with a
// broken sequence, NO_USEFUL_WORK when no process did work.
#pragma once
#include "model.h"

namespace analysis {

// Sets the flags and problems of the check; the status becomes kDataChecked.
void CheckData(ExperimentModel& model);

}  // namespace analysis
