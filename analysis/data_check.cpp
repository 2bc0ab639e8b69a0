#include "analysis/data_check.h"

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
        const std::string name = "process " + std::to_string(process.id);
        TypeTimes sums;
        bool broken = false, missingSeen = false;
        int wrongCalls = 0, negative = 0;
        for (int k = 0; k < process.nbrPhases; ++k) {
            const std::size_t i = process.firstPhase + k;
            if (phases.nbr[i] != k + 1 && !missingSeen) {
                missingSeen = broken = true;
                findings.problems.push_back(name + ": phase " + std::to_string(k + 1) + " is missing");
            }
            if (IsWrongCallType(phases.type[i]) && wrongCalls++ == 0)
                findings.problems.push_back(name + ": phase " + std::to_string(phases.nbr[i]) + " has type " +
                                            std::to_string(phases.type[i]) + " (a wrong call of the probe)");
            if (phases.duration[i] < 0 && negative++ == 0)
                findings.problems.push_back(name + ": phase " + std::to_string(phases.nbr[i]) +
                                            " has a negative duration (" + std::to_string(phases.duration[i]) +
                                            " us)");
            sums[phases.type[i]] += phases.duration[i];
            if (phases.type[i] == kWork) usefulWork += phases.duration[i];
        }
        if (wrongCalls > 1)
            findings.problems.push_back(name + ": " + std::to_string(wrongCalls) + " phases of a wrong call");
        if (negative > 1)
            findings.problems.push_back(name + ": " + std::to_string(negative) + " phases with a negative duration");
        broken = broken || wrongCalls > 0 || negative > 0;
        if (!process.hasTotals) {
            broken = true;
            findings.problems.push_back(name + " has no totals");
        } else {
            TypeTimes all = sums;
            for (const auto& [type, total] : process.totals) all.emplace(type, 0);
            for (const auto& [type, sum] : all) {
                const auto stored = process.totals.find(type);
                const Time total = stored == process.totals.end() ? 0 : stored->second;
                if (sum == total) continue;
                broken = true;
                findings.problems.push_back(name + ": its " + PhaseTypeName(type) + " phases add up to " +
                                            std::to_string(sum) + " us, its total is " + std::to_string(total) +
                                            " us");
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
