#include "data_check.h"

#include <algorithm>
#include <string>

namespace analysis {

void CheckData(ExperimentModel& model) {
    Findings& findings = model.findings;
    ExperimentHeader& header = model.header;
    // An experiment whose master never stored its end; one still running is refused
    // by the loader, so what is left here has crashed. A flag found before is kept.
    if (header.statusData == kStarted || (header.errorFlags & kExpCrashed)) {
        header.errorFlags |= kExpCrashed;
        findings.problems.push_back("the experiment never finished");
    }
    const PhaseColumns& phases = model.phases;
    Time usefulWork = 0;
    int crashedProcesses = 0;
    for (const ProcessModel& process : model.processes) {
        std::vector<Time> sums(process.totals.size(), 0);
        bool broken = false;
        for (int k = 0; k < process.nbrPhases; ++k) {
            const std::size_t i = process.firstPhase + k;
            if (phases.nbr[i] != k + 1 && !broken) {
                broken = true;
                findings.problems.push_back("process " + std::to_string(process.id) + ": phase " +
                                            std::to_string(k + 1) + " is missing");
            }
            const int type = phases.type[i];
            if (type >= 0) {
                if (static_cast<std::size_t>(type) >= sums.size()) sums.resize(type + 1, 0);
                sums[type] += phases.duration[i];
            }
            if (type == kWork) usefulWork += phases.duration[i];
        }
        if (!process.hasTotals) {
            broken = true;
            findings.problems.push_back("process " + std::to_string(process.id) + " has no totals");
        } else {
            sums.resize(std::max(sums.size(), process.totals.size()), 0);
            for (std::size_t type = 0; type < sums.size(); ++type) {
                const Time total = type < process.totals.size() ? process.totals[type] : 0;
                if (sums[type] == total) continue;
                broken = true;
                findings.problems.push_back("process " + std::to_string(process.id) + ": its " +
                                            PhaseTypeName(static_cast<int>(type)) + " phases add up to " +
                                            std::to_string(sums[type]) + " us, its total is " +
                                            std::to_string(total) + " us");
            }
        }
        if (broken) ++crashedProcesses;
    }
    if (crashedProcesses > 0) header.errorFlags |= kProcessCrashed;
    if (usefulWork == 0) {
        header.errorFlags |= kNoUsefulWork;
        findings.problems.push_back("no process did useful work");
    }
    findings.lastPass = kDataChecked;
}

}  // namespace analysis
