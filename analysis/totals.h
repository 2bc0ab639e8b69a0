// Totals: the ratio of every process's total (duration over that process's measured
// time, the sum of its phases), the experiment-wide totals by type, and Ts, speedup
// = Ts / Tp and efficiency = speedup / p from a sequential reference time. Tp is the
// master's time as the probe stored it; a crashed experiment without one (its master
// was ended by a signal) gets the end of the master's last stored phase.
#pragma once
#include "analysis/model.h"

#include <map>
#include <optional>
#include <string>

namespace analysis {

// Ts is the sequential reference's run time; none sets TSEQ_NOT_IN_DB. The status
// becomes kTotalsCalc.
void CalculateTotals(ExperimentModel& model, std::optional<Time> Ts);

// Stored time by phase type name over all processes of the experiment.
std::map<std::string, double> ExperimentTotals(const ExperimentModel& model);

// Whether speedup and efficiency mean anything: a sequential reference time is known.
// Where it is not they are stored as 0 and shown as "not known".
bool SpeedupKnown(const ExperimentHeader& header);

}  // namespace analysis
