#include "analyse.h"

#include "critical_path.h"
#include "data_check.h"
#include "delay_costs.h"
#include "metric_tree.h"
#include "messages.h"
#include "totals.h"
#include "wait_states.h"

#include <standarddatabase.h>

namespace analysis {

void Analyse(ExperimentModel& model, std::optional<Time> Ts) {
    // Findings of an earlier analysis are found again from the phases; only the crash
    // of the experiment, which the stored status no longer shows, is kept.
    std::vector<std::string> loadProblems = std::move(model.findings.problems);
    model.findings = Findings{};
    model.findings.problems = std::move(loadProblems);
    model.header.errorFlags &= kExpCrashed;
    CheckData(model);
    CalculateTotals(model, Ts);
    MatchMessages(model);
    FindWaitStates(model);
    FindDelayCosts(model);
    FindCriticalPath(model);
    BuildMetricTree(model);
    model.header.statusData = model.findings.lastPass;
    const auto& problems = model.findings.problems;
    model.header.errors.clear();
    if (!problems.empty()) {
        std::string text = problems.front();
        if (problems.size() > 1) text = "(" + std::to_string(problems.size()) + ") " + text;
        model.header.errors = CutToWidth(text);
    }
}

}  // namespace analysis
