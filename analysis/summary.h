// The short account of an analysed experiment that `kova analyse` prints: the metric
// tree first, then status, flags, times, speedup ("not known" without a sequential
// reference), the largest wait states with their causes, the largest delay costs and
// the critical path's profile, as text or as JSON.
#pragma once
#include "model.h"

#include <nlohmann/json.hpp>
#include <string>

namespace analysis {

std::string SummaryText(const ExperimentModel& model);
nlohmann::json SummaryJson(const ExperimentModel& model);
// One line of `kova list`.
std::string ListLine(const ExperimentHeader& header);

}  // namespace analysis
