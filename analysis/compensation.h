// Compensation for the probe's own cost. Each task stored how many calls its probe
// recorded and what one call cost (calibrated at the task's start); that time,
// recordedCalls × nsPerCall, lies in the task's phases. It is taken out of them evenly,
// one share per phase in which the task ran (idle phases and the waits in collectives
// are waiting, which the probe's work does not lengthen), never more than a phase's
// own time. The compensated totals and metric tree stand beside the measured ones,
// which stay as stored; the correction is said whole, per process and per type.
#pragma once
#include "analysis/model.h"

namespace analysis {

// Fills findings.compensation from the processes' probe costs (known only where
// some process stored them); runs after the metric tree.
void Compensate(ExperimentModel& model);

}  // namespace analysis
