// The measurement database as the analysis sees it: listing experiments, loading one
// into the model (through the records' own descriptions), finding the sequential
// reference, and storing what the passes found in one transaction.
#pragma once
#include "analysis/model.h"

#include <optional>
#include <string>
#include <vector>

class StandardDatabase;

namespace analysis {

// The experiment rows, by ID, of that user and application (empty: any).
std::vector<ExperimentHeader> ListExperiments(StandardDatabase& db, const std::string& user,
                                              const std::string& application);
// Experiment expID with its processes, phases, totals and clock offsets; no pass has
// run. Throws Error (kExitNotFound) for an unknown experiment and (kExitRunning) for
// one whose master still measures.
ExperimentModel LoadExperiment(StandardDatabase& db, int expID);
// Run time of the sequential reference: experiment sequentialID when given, else the
// fastest finished experiment of the same user and application with p = 1 and the
// same W; none when there is none. A given one must be finished and have p = 1, and be
// of the same user, application and W unless allowOther (a program whose sequential
// run is stored under its own name and size, as exeKOVA's); else Error (kExitBadReference).
std::optional<Time> FindSequentialTime(StandardDatabase& db, const ExperimentHeader& header,
                                       std::optional<int> sequentialID, bool allowOther = false);
// Writes the findings: the experiment row's results, ratios, experiment-wide totals,
// phase start times and delays, messages and wait states, all or nothing.
void StoreFindings(StandardDatabase& db, const ExperimentModel& model);

}  // namespace analysis
