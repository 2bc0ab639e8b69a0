#include "analysis/critical_path.h"

#include "analysis/intervals.h"

#include <algorithm>

namespace analysis {

namespace {

// The spawn phase that started each process, -1 for none (the master, or a process
// whose parent named it nowhere).
std::vector<int32_t> SpawnOfProcess(const ExperimentModel& model) {
    std::vector<int32_t> spawnOf(model.processes.size(), -1);
    const PhaseColumns& phases = model.phases;
    for (std::size_t i = 0; i < phases.Size(); ++i) {
        if (phases.type[i] != kSpawn || phases.partnerTid[i] < 0) continue;
        const int child = model.ProcessOfTid(phases.partnerTid[i]);
        if (child < 0 || child == phases.process[i]) continue;
        if (spawnOf[child] < 0) spawnOf[child] = static_cast<int32_t>(i);
    }
    return spawnOf;
}

}  // namespace

void FindCriticalPath(ExperimentModel& model) {
    const PhaseColumns& phases = model.phases;
    Findings& findings = model.findings;
    findings.criticalPath.clear();
    findings.criticalPathLength = 0;
    findings.runLength = 0;
    findings.criticalPathByType.clear();
    findings.criticalPathByProcess.assign(model.processes.size(), 0);

    int current = -1;
    Time time = 0;
    for (std::size_t p = 0; p < model.processes.size(); ++p) {
        const ProcessModel& process = model.processes[p];
        if (process.nbrPhases == 0) continue;
        const Time processEnd = phases.ShownEnd(process.firstPhase + process.nbrPhases - 1);
        const bool later = current < 0 || processEnd > time ||
                           (processEnd == time && static_cast<int>(p) == model.master);
        if (later) {
            current = static_cast<int>(p);
            time = processEnd;
        }
    }
    if (current < 0) return;
    const Time pathEnd = time;
    Time runStart = pathEnd;
    for (const ProcessModel& process : model.processes)
        if (process.nbrPhases > 0) runStart = std::min(runStart, phases.shownStart[process.firstPhase]);
    findings.runLength = pathEnd - runStart;

    std::vector<int32_t> causeOfWait(phases.Size(), -1);
    for (const WaitState& wait : findings.waitStates)
        if (wait.causePhase >= 0 && wait.waitTime > 0) causeOfWait[wait.phase] = wait.causePhase;
    // Where the path goes on at the cause of the wait in phase j: the end of a send,
    // the entry of a collective's causing member (a wait in a sync phase).
    auto jumpTime = [&](std::size_t j, int32_t cause) {
        return phases.type[j] == kSync ? phases.shownStart[cause] : phases.ShownEnd(cause);
    };
    const std::vector<int32_t> spawnOf = SpawnOfProcess(model);

    // Adds the stretch [from, to) of process p, whose phases up to last cover it.
    auto addSegment = [&](int p, std::size_t last, Time from, Time to) {
        if (to <= from) return;
        findings.criticalPath.push_back({p, from, to});
        findings.criticalPathByProcess[p] += to - from;
        ForEachPhaseBack(model, p, last, from, to,
                         [&](std::size_t j, Time overlap) { findings.criticalPathByType[phases.type[j]] += overlap; });
    };

    // The walk: on process current, from phase index at time back to the next jump.
    // Every jump goes to an earlier time, so no phase is walked over twice.
    std::size_t index = model.processes[current].firstPhase + model.processes[current].nbrPhases - 1;
    Time pathBegin = time;
    while (true) {
        const ProcessModel& process = model.processes[current];
        const std::size_t first = process.firstPhase;
        int32_t jumpTo = -1;
        Time jumpAt = 0;
        std::size_t j = index + 1;
        while (j-- > first) {
            const int32_t cause = causeOfWait[j];
            if (cause < 0) continue;
            jumpAt = jumpTime(j, cause);
            if (jumpAt < time && jumpAt > phases.shownStart[j]) {
                jumpTo = cause;
                break;
            }
        }
        if (jumpTo >= 0) {
            addSegment(current, index, jumpAt, time);
            current = phases.process[jumpTo];
            index = static_cast<std::size_t>(jumpTo);
            time = jumpAt;
            continue;
        }
        const Time begin = std::min(time, phases.shownStart[first]);
        addSegment(current, index, begin, time);
        pathBegin = begin;
        const int32_t spawn = spawnOf[current];
        if (spawn < 0) break;
        // The spawned process began in its parent's spawn phase: go on there.
        const Time spawnEnd = std::min(phases.ShownEnd(spawn), begin);
        if (spawnEnd <= phases.shownStart[model.processes[phases.process[spawn]].firstPhase]) break;
        // From the end of its spawn phase to its first phase the child was starting up
        // (loading, joining PVM, setting up its probe): that time is on the path, as the
        // child's own, and is the cost of spawning it.
        if (begin > spawnEnd) {
            findings.criticalPath.push_back({current, spawnEnd, begin});
            findings.criticalPathByProcess[current] += begin - spawnEnd;
            findings.criticalPathByType[kSpawn] += begin - spawnEnd;
        }
        current = phases.process[spawn];
        index = static_cast<std::size_t>(spawn);
        time = spawnEnd;
        // A child that starts before its spawn phase ends: the walk stays on the parent
        // from the child's start, inside the spawn phase.
        if (phases.shownStart[spawn] >= time) index = LastPhaseStartingBefore(model, current, time);
    }
    findings.criticalPathLength = pathEnd - pathBegin;
    std::reverse(findings.criticalPath.begin(), findings.criticalPath.end());
}

}  // namespace analysis
