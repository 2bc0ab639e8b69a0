// What a kova command works on: the chosen database, opened on first use, and the
// experiments it loads from it.
#pragma once
#include "analysis/model.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class StandardDatabase;

class Session {
public:
    Session();
    ~Session();
    // Where experiments are read from (the --source option).
    analysis::Source mSource = analysis::Source::kMeasurement;
    // Whether a given sequential reference may be of another application or W (the
    // --other-reference option).
    bool mAllowOtherReference = false;

    // The measurement database; a missing server ends the process with its message.
    StandardDatabase& Measurement();
    std::vector<analysis::ExperimentHeader> List(const std::string& user, const std::string& application);
    // The experiment as stored, no pass run.
    analysis::ExperimentModel Load(int expID);
    // The experiment with every pass run in memory. One not yet analysed (status below
    // the last pass) is analysed with the given sequential reference and its findings
    // are stored; an analysed one keeps its stored Ts.
    analysis::ExperimentModel LoadAnalysed(int expID, std::optional<int> sequentialID = std::nullopt);
    // Runs every pass on experiment expID and stores the findings (kova analyse).
    analysis::ExperimentModel Analyse(int expID, std::optional<int> sequentialID);

private:
    // Analyses the loaded model and stores its findings where the source allows it.
    analysis::ExperimentModel Analyse(analysis::ExperimentModel model, std::optional<int> sequentialID);
    std::unique_ptr<StandardDatabase> mMeasurement;
};
