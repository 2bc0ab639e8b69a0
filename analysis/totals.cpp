#include "totals.h"

#include <algorithm>

namespace analysis {

void CalculateTotals(ExperimentModel& model, std::optional<Time> Ts) {
    Findings& findings = model.findings;
    ExperimentHeader& header = model.header;
    const PhaseColumns& phases = model.phases;
    findings.experimentTotals.assign(kNbrBasicTypes, 0);
    for (ProcessModel& process : model.processes) {
        // A process's measured time is the sum of its phases, which tile its time line;
        // a process without stored totals contributes its phase sums instead.
        Time measured = 0;
        std::vector<Time> sums(kNbrBasicTypes, 0);
        for (int k = 0; k < process.nbrPhases; ++k) {
            const std::size_t i = process.firstPhase + k;
            measured += phases.duration[i];
            const int type = std::max<int>(0, phases.type[i]);
            if (static_cast<std::size_t>(type) >= sums.size()) sums.resize(type + 1, 0);
            sums[type] += phases.duration[i];
        }
        const std::vector<Time>& totals = process.hasTotals ? process.totals : sums;
        process.ratios.assign(totals.size(), 0.0f);
        for (std::size_t type = 0; type < totals.size(); ++type) {
            if (measured > 0) process.ratios[type] = static_cast<float>(static_cast<double>(totals[type]) / measured);
            if (type >= findings.experimentTotals.size()) findings.experimentTotals.resize(type + 1, 0);
            findings.experimentTotals[type] += totals[type];
        }
    }
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

}  // namespace analysis
