#include "analysis/totals.h"

namespace analysis {

void CalculateTotals(ExperimentModel& model, std::optional<Time> Ts) {
    Findings& findings = model.findings;
    ExperimentHeader& header = model.header;
    const PhaseColumns& phases = model.phases;
    findings.experimentTotals.clear();
    for (ProcessModel& process : model.processes) {
        // A process's measured time is the sum of its phases, which tile its time line;
        // a process without stored totals contributes its phase sums instead. Every
        // type is booked under its own ID, a wrong call's too.
        Time measured = 0;
        TypeTimes sums;
        for (int k = 0; k < process.nbrPhases; ++k) {
            const std::size_t i = process.firstPhase + k;
            measured += phases.duration[i];
            sums[phases.type[i]] += phases.duration[i];
        }
        const TypeTimes& totals = process.hasTotals ? process.totals : sums;
        process.ratios.clear();
        for (const auto& [type, total] : totals) {
            process.ratios[type] = measured > 0 ? static_cast<float>(static_cast<double>(total) / measured) : 0.0f;
            findings.experimentTotals[type] += total;
        }
    }
    // A master ended by a signal stored no Tp: its time is the end of its last stored
    // phase (found again, the same, when the experiment is analysed once more).
    Time masterTime = 0;
    if (!model.processes.empty()) {
        const ProcessModel& master = model.processes[model.master];
        for (int k = 0; k < master.nbrPhases; ++k) masterTime += phases.PlacedDuration(master.firstPhase + k);
    }
    findings.tpFromPhases =
        (header.errorFlags & kExpCrashed) && masterTime > 0 && (header.Tp <= 0 || header.Tp == masterTime);
    if (findings.tpFromPhases) header.Tp = masterTime;
    if (Ts) {
        header.Ts = *Ts;
        header.errorFlags &= ~kTseqNotInDb;
    } else {
        header.Ts = 0;
        header.errorFlags |= kTseqNotInDb;
    }
    header.speedup = header.Tp > 0 ? static_cast<float>(static_cast<double>(header.Ts) / header.Tp) : 0.0f;
    header.efficiency = header.p > 0 ? header.speedup / header.p : 0.0f;
    findings.lastPass = kTotalsCalc;
}

std::map<std::string, double> ExperimentTotals(const ExperimentModel& model) {
    std::map<std::string, double> totals;
    for (const ProcessModel& process : model.processes)
        for (const auto& [type, total] : process.totals)
            if (total != 0) totals[PhaseTypeName(type)] += static_cast<double>(total);
    return totals;
}

bool SpeedupKnown(const ExperimentHeader& header) { return !(header.errorFlags & kTseqNotInDb) && header.Ts > 0; }

}  // namespace analysis
