// Totals: the ratio of every process's total (duration over that process's measured
// time, the sum of its phases), the experiment-wide totals by type, and Ts, speedup
// = Ts / Tp and efficiency = speedup / p from a sequential reference time.
#pragma once
#include "model.h"

#include <optional>

namespace analysis {

// Ts is the sequential reference's run time; none sets TSEQ_NOT_IN_DB. The status
// becomes kTotalsCalc.
void CalculateTotals(ExperimentModel& model, std::optional<Time> Ts);

}  // namespace analysis
