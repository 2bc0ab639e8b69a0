// Runs the analysis passes over a loaded model in their order.
#pragma once
#include "model.h"

#include <optional>

namespace analysis {

// Data check, totals, messages, wait states and critical path; the model's status
// and findings reflect the last pass completed.
void Analyse(ExperimentModel& model, std::optional<Time> Ts);

}  // namespace analysis
