// The metric tree of a run (as Scalasca and Cube show it first): the time of all
// processes on the repaired clock split into work, overhead by type, communication by
// type, waits by pattern (the waits in collectives taken out of the sync time they lie
// in), transfer, unexplained idle and the other types, each node's
// children adding up to it, so that the largest loss is seen at once.
#pragma once
#include "analysis/model.h"

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace analysis {

// Fills metricTree from the phases and the wait states.
void BuildMetricTree(ExperimentModel& model);
// The tree with the time taken out of each phase type (the compensation).
MetricNode MetricTreeOf(const ExperimentModel& model, const TypeTimes& taken);

// The tree as indented lines "name: time (share of the root)".
std::string MetricTreeText(const MetricNode& root);
// {"name", "time", "share", "children"} with shares of the root.
nlohmann::json MetricTreeJson(const MetricNode& root);

}  // namespace analysis
