#include "critical_path.h"

#include <algorithm>
#include <unordered_map>

namespace analysis {

void FindCriticalPath(ExperimentModel& model) {
    const PhaseColumns& phases = model.phases;
    Findings& findings = model.findings;
    findings.criticalPath.clear();
    findings.criticalPathLength = 0;
    findings.criticalPathByType.assign(kNbrBasicTypes, 0);
    findings.criticalPathByProcess.assign(model.processes.size(), 0);

    int current = -1;
    Time time = 0;
    for (std::size_t p = 0; p < model.processes.size(); ++p) {
        const ProcessModel& process = model.processes[p];
        if (process.nbrPhases == 0) continue;
        const Time processEnd = phases.ShownEnd(process.firstPhase + process.nbrPhases - 1);
        if (current < 0 || processEnd > time) {
            current = static_cast<int>(p);
            time = processEnd;
        }
    }
    if (current < 0) return;
    const Time pathEnd = time;

    std::unordered_map<int32_t, int32_t> causeOfIdle;
    for (const WaitState& wait : findings.waitStates)
        if (wait.causePhase >= 0 && wait.waitTime > 0) causeOfIdle.emplace(wait.phase, wait.causePhase);

    // Adds the stretch [from, to] of process p, its phases clipped to it, by type.
    auto addSegment = [&](int p, Time from, Time to) {
        if (to <= from) return;
        findings.criticalPath.push_back({p, from, to});
        findings.criticalPathByProcess[p] += to - from;
        const ProcessModel& process = model.processes[p];
        for (int k = process.nbrPhases; k-- > 0;) {
            const std::size_t j = process.firstPhase + k;
            if (phases.ShownEnd(j) <= from) break;
            const Time overlap = std::min(phases.ShownEnd(j), to) - std::max(phases.shownStart[j], from);
            if (overlap <= 0) continue;
            const std::size_t type = std::max<int>(0, phases.type[j]);
            if (type >= findings.criticalPathByType.size()) findings.criticalPathByType.resize(type + 1, 0);
            findings.criticalPathByType[type] += overlap;
        }
    };

    // Walk back along the current process; at a late-sender wait whose send ended
    // before the walk's time, jump to the sender at the end of that send.
    while (true) {
        const ProcessModel& process = model.processes[current];
        const std::size_t first = process.firstPhase;
        std::size_t j = first + process.nbrPhases;
        while (j > first && phases.shownStart[j - 1] >= time) --j;
        int32_t jumpTo = -1;
        std::size_t idle = 0;
        for (; j-- > first;) {
            auto cause = causeOfIdle.find(static_cast<int32_t>(j));
            if (cause != causeOfIdle.end() && phases.ShownEnd(cause->second) < time) {
                jumpTo = cause->second;
                idle = j;
                break;
            }
        }
        if (jumpTo < 0) {
            const Time begin = process.nbrPhases > 0 ? phases.shownStart[first] : time;
            addSegment(current, begin, time);
            findings.criticalPathLength = pathEnd - begin;
            break;
        }
        const Time sendEnd = phases.ShownEnd(jumpTo);
        addSegment(current, std::max(sendEnd, phases.shownStart[idle]), time);
        current = phases.process[jumpTo];
        time = sendEnd;
    }
    std::reverse(findings.criticalPath.begin(), findings.criticalPath.end());
}

}  // namespace analysis
