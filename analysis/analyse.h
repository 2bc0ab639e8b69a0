// Runs the analysis passes over a loaded model in their order, each on what the ones
// before it found: data check → totals → messages on one clock (placed, matched,
// repaired, collectives lined up) → wait states → delay costs → critical path (and the
// run's length) → metric tree → compensation for the probe's own cost.
#pragma once
#include "analysis/model.h"

#include <optional>
#include <string>
#include <vector>

namespace analysis {

// The model's status and findings reflect the last pass completed. The experiment's
// errors text keeps what the probe stored and adds the analysis's findings.
void Analyse(ExperimentModel& model, std::optional<Time> Ts);

// Where the analysis's part of an errors text begins.
constexpr const char* kFindingsMark = "analysis: ";
// The part of a stored errors text that the probe wrote (an earlier analysis's
// findings taken off).
std::string StoredErrors(const std::string& errors);
// The probe's text with the findings added, within the column's width: "analysis:
// (N) first finding" alone, or "probe text; analysis: N" (N findings) when that fits
// (else the probe's text alone; the findings are in the summary).
std::string ErrorsWithFindings(const std::string& stored, const std::vector<std::string>& problems);

}  // namespace analysis
