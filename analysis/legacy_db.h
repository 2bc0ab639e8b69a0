// tourga's legacy database (tables experiments, analysis, time_measurements, read
// through the mSQL client) as the analysis sees it: the same model as the
// measurement database's experiments. Nothing is ever written there.
#pragma once
#include "analysis/model.h"

#include <string>
#include <vector>

namespace analysis {

// The legacy experiments, by ID, of that user and application (empty: any).
std::vector<ExperimentHeader> ListLegacyExperiments(const std::string& user, const std::string& application);
// Legacy experiment expID in the model; throws Error (kExitNotFound) when unknown.
ExperimentModel LoadLegacyExperiment(int expID);

}  // namespace analysis
