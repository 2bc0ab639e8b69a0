// The short account of an analysed experiment that `kova analyse` prints: the metric
// tree first, then status, flags, times, speedup ("not known" without a sequential
// reference), the largest wait states with their causes, the largest delay costs and
// the critical path's profile, as text or as JSON.
//
// JSON fields beyond the plain ones (id, application, ..., Tp, Ts, speedup):
//   "TpFromPhases"  true when Tp is the end of a crashed master's last stored phase
//   "compensation"  {known (a process stored its probe's cost); when known:
//                   correction (µs taken out), share (of the measured time),
//                   byProcess: {processID: µs}, totals: {type: {measured,
//                   compensated}}, metricTree (of the compensated times)}
//   "runLength"     µs from the first process's start to the last process's end on
//                   the master's (repaired) clock; the text shows it when it is not Tp
//   "messages"      {received, unreceived, clockViolations, withinClockBounds,
//                   repaired, repairedCollectiveExits, largestRepair}
//   "collectives"   {count, incomplete (members of the group never entered),
//                   byKind: {"barrier": {count, incomplete}, ...}}
//   "waitStates"    {count, byPattern: {pattern: {count, time}}, transferTime,
//                   largest: [{pattern, waitTime, processID, nbr, transferTime,
//                   causeProcessID, causeNbr (when caused), askedSource, askedTag
//                   (of the receive of a late-sender wait: -1 any, -2 not known),
//                   group, instance, collective (of a wait in a collective)}]}
//   "delayCosts"    [{processID, type ("work", ..., "transfer", "no excess"),
//                   shortTerm, longTerm}], adding up to the caused waits
//   "criticalPath"  {length, byType, byProcess}
#pragma once
#include "analysis/model.h"

#include <nlohmann/json.hpp>
#include <string>

namespace analysis {

std::string SummaryText(const ExperimentModel& model);
nlohmann::json SummaryJson(const ExperimentModel& model);
// The times without the probe's own cost beside the measured ones, and the size of
// the correction: {"known": false} for runs whose probe stored no costs.
nlohmann::json CompensationJson(const ExperimentModel& model);
// One line of `kova list`.
std::string ListLine(const ExperimentHeader& header);

}  // namespace analysis
