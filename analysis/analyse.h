// Runs the analysis passes over a loaded model in their order, each on what the ones
// before it found: data check → totals → messages on one clock (placed, matched,
// repaired) → wait states → delay costs → critical path → metric tree.
#pragma once
#include "model.h"

#include <optional>

namespace analysis {

// The model's status and findings reflect the last pass completed.
void Analyse(ExperimentModel& model, std::optional<Time> Ts);

}  // namespace analysis
