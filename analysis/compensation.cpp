#include "analysis/compensation.h"

#include "analysis/metric_tree.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace analysis {

void Compensate(ExperimentModel& model) {
    const PhaseColumns& phases = model.phases;
    Compensation& compensation = model.findings.compensation;
    compensation = Compensation{};
    compensation.byProcess.assign(model.processes.size(), 0);
    // The time of each phase the probe's work can lie in: not idle, not waiting in a collective.
    std::vector<Time> ownTime(phases.Size());
    for (std::size_t i = 0; i < phases.Size(); ++i) ownTime[i] = phases.type[i] == kIdle ? 0 : phases.ShownDuration(i);
    for (const WaitState& wait : model.findings.waitStates)
        if (IsCollectivePattern(wait.pattern)) ownTime[wait.phase] -= wait.waitTime;
    for (std::size_t p = 0; p < model.processes.size(); ++p) {
        const ProcessModel& process = model.processes[p];
        if (!process.hasProbeCosts) continue;
        compensation.known = true;
        const double cost = process.ProbeCost();
        int running = 0;
        for (int k = 0; k < process.nbrPhases; ++k) running += ownTime[process.firstPhase + k] > 0;
        if (running == 0 || cost <= 0) continue;
        const double share = cost / running;
        double owed = 0;  // what rounding kept back so far, so that the shares add up
        for (int k = 0; k < process.nbrPhases; ++k) {
            const std::size_t i = process.firstPhase + k;
            if (ownTime[i] <= 0) continue;
            owed += share;
            const Time taken = std::clamp<Time>(static_cast<Time>(std::llround(owed)), 0, ownTime[i]);
            owed -= static_cast<double>(taken);
            compensation.byProcess[p] += taken;
            compensation.byType[phases.type[i]] += taken;
            compensation.total += taken;
        }
    }
    if (compensation.known) compensation.metricTree = MetricTreeOf(model, compensation.byType);
}

}  // namespace analysis
