#include "analysis/analyse.h"

#include "analysis/compensation.h"
#include "analysis/critical_path.h"
#include "analysis/data_check.h"
#include "analysis/delay_costs.h"
#include "analysis/metric_tree.h"
#include "analysis/messages.h"
#include "analysis/totals.h"
#include "analysis/wait_states.h"

#include "persist/standarddatabase.h"

#include <nlohmann/json.hpp>

namespace analysis {

void Analyse(ExperimentModel& model, std::optional<Time> Ts) {
    // Findings of an earlier analysis are found again from the phases; only the crash
    // of the experiment, which the stored status no longer shows, is kept.
    model.findings = Findings{};
    model.findings.problems = model.loadProblems;
    model.header.errorFlags &= kExpCrashed;
    CheckData(model);
    CalculateTotals(model, Ts);
    MatchMessages(model);
    FindWaitStates(model);
    FindDelayCosts(model);
    FindCriticalPath(model);
    BuildMetricTree(model);
    Compensate(model);
    model.header.statusData = model.findings.lastPass;
    model.header.errors = ErrorsWithFindings(StoredErrors(model.header.errors), model.findings.problems);
}

std::string StoredErrors(const std::string& errors) {
    if (errors.rfind(kFindingsMark, 0) == 0) return "";
    const std::size_t ours = errors.find(std::string("; ") + kFindingsMark);
    return ours == std::string::npos ? errors : errors.substr(0, ours);
}

std::string ErrorsWithFindings(const std::string& stored, const std::vector<std::string>& problems) {
    if (problems.empty()) return stored;
    const std::string count = std::to_string(problems.size());
    if (stored.empty())
        return CutToWidth(kFindingsMark + (problems.size() > 1 ? "(" + count + ") " : std::string()) + problems.front());
    const std::string added = stored + "; " + kFindingsMark + count;
    return added.size() <= STRING_COLUMN_WIDTH ? added : stored;
}

}  // namespace analysis
