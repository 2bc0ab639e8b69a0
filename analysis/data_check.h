// Data check: every process has phases numbered 1..n without gaps and stored totals,
// and its phase durations per type add up to those totals. Flags EXP_CRASHED when the
// experiment never finished, PROCESS_CRASHED for a process without totals, with a
// broken sequence, with phases of a wrong call (a negative type) or with negative
// durations, NO_USEFUL_WORK when no process did work. Every such finding is said in
// words; a type of the program's own (beyond the basic ones) is fine.
#pragma once
#include "analysis/model.h"

namespace analysis {

// Sets the flags and problems of the check; the status becomes kDataChecked.
void CheckData(ExperimentModel& model);

}  // namespace analysis
