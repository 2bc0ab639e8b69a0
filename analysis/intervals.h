// The one primitive for "what a process did in a stretch of time": its phases that
// overlap [from, to) on the repaired clock, each with the time of the overlap. The
// wait states, the delay costs and the critical path all measure through it.
#pragma once
#include "analysis/model.h"

#include <algorithm>

namespace analysis {

// Index of the last phase of process p that starts before t on the repaired clock
// (the process's first phase when none does); binary search, the phases tile.
inline std::size_t LastPhaseStartingBefore(const ExperimentModel& model, int p, Time t) {
    const ProcessModel& process = model.processes[p];
    const auto begin = model.phases.shownStart.begin() + process.firstPhase;
    const auto found = std::lower_bound(begin, begin + process.nbrPhases, t);
    const std::size_t index = static_cast<std::size_t>(found - model.phases.shownStart.begin());
    return index > static_cast<std::size_t>(process.firstPhase) ? index - 1 : index;
}

// Calls visit(phase, overlap) for the phases of process p that overlap [from, to),
// from the last one backwards; last is a phase of p at or after the stretch's end.
template <typename Visit>
void ForEachPhaseBack(const ExperimentModel& model, int p, std::size_t last, Time from, Time to, Visit&& visit) {
    const PhaseColumns& phases = model.phases;
    const std::size_t first = model.processes[p].firstPhase;
    if (to <= from || model.processes[p].nbrPhases == 0) return;
    for (std::size_t j = last + 1; j-- > first;) {
        const Time begin = phases.shownStart[j], end = phases.ShownEnd(j);
        if (end <= from) break;
        const Time overlap = std::min(end, to) - std::max(begin, from);
        if (overlap > 0) visit(j, overlap);
    }
}

// The same, finding the last phase itself.
template <typename Visit>
void ForEachPhaseIn(const ExperimentModel& model, int p, Time from, Time to, Visit&& visit) {
    if (to <= from || model.processes[p].nbrPhases == 0) return;
    ForEachPhaseBack(model, p, LastPhaseStartingBefore(model, p, to), from, to, visit);
}

}  // namespace analysis
