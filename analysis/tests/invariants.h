// The invariants every analysed model keeps, checked on every model the tests build:
// the phases tile each process's time line on the repaired clock; every received
// message's receive starts after its send began there; the critical path's time by
// type = by process = its length, never more than the run's length; waits on idle
// phases + transfer + unexplained = idle time; the waits in a collective's sync phase
// add up to no more than its time; delay costs add up to exactly the caused waits; the
// metric tree's children add up.
#pragma once
#include "analysis/model.h"
#include "analysis/messages.h"

#include <cmath>
#include <map>
#include <sstream>
#include <string>

namespace analysis {

// What breaks an invariant, in words; empty when all hold.
inline std::string InvariantViolations(const ExperimentModel& model) {
    std::ostringstream out;
    const PhaseColumns& ph = model.phases;
    const Findings& f = model.findings;
    Time idle = 0, processTime = 0;
    for (std::size_t p = 0; p < model.processes.size(); ++p) {
        const ProcessModel& process = model.processes[p];
        Time sum = 0;
        for (int k = 0; k < process.nbrPhases; ++k) {
            const std::size_t i = process.firstPhase + k;
            if (ph.ShownDuration(i) < 0) out << "phase " << i << " has a negative shown duration\n";
            if (k + 1 < process.nbrPhases && ph.ShownEnd(i) != ph.shownStart[i + 1])
                out << "phase " << i << " does not end where the next one starts\n";
            sum += ph.ShownDuration(i);
            if (ph.type[i] == kIdle) idle += ph.ShownDuration(i);
        }
        if (process.nbrPhases > 0) {
            const std::size_t last = process.firstPhase + process.nbrPhases - 1;
            if (sum != ph.ShownEnd(last) - ph.shownStart[process.firstPhase])
                out << "process " << p << ": its phases do not tile its time line\n";
        }
        processTime += sum;
    }
    for (const Message& m : f.messages)
        if (m.recvPhase >= 0 && ph.shownStart[m.recvPhase] < ph.shownStart[m.sendPhase] + kMinimalLatency)
            out << "receive " << m.recvPhase << " starts before its send " << m.sendPhase << " began\n";
    Time byType = 0, byProcess = 0, segments = 0;
    for (const auto& [type, time] : f.criticalPathByType) byType += time;
    for (Time time : f.criticalPathByProcess) byProcess += time;
    for (const PathSegment& s : f.criticalPath) segments += s.end - s.begin;
    if (byType != f.criticalPathLength || byProcess != f.criticalPathLength || segments != f.criticalPathLength)
        out << "critical path: by type " << byType << ", by process " << byProcess << ", segments " << segments
            << ", length " << f.criticalPathLength << "\n";
    if (f.criticalPathLength > f.runLength)
        out << "critical path " << f.criticalPathLength << " is longer than the run " << f.runLength << "\n";
    Time waits = 0, caused = 0;
    std::map<int32_t, Time> inSyncPhase;
    for (const WaitState& w : f.waitStates) {
        if (IsCollectivePattern(w.pattern)) {
            if (ph.type[w.phase] != kSync) out << "a collective wait in phase " << w.phase << ", which is no sync\n";
            inSyncPhase[w.phase] += w.waitTime;
        } else {
            waits += w.waitTime;
        }
        if (w.causePhase >= 0) caused += w.waitTime;
    }
    for (const auto& [phase, time] : inSyncPhase)
        if (time > ph.ShownDuration(phase)) out << "the waits in sync phase " << phase << " exceed its time\n";
    if (waits + f.transferTime != idle)
        out << "waits " << waits << " + transfer " << f.transferTime << " != idle " << idle << "\n";
    double costs = 0;
    for (const DelayCost& c : f.delayCosts) {
        if (c.shortTerm < 0 || c.longTerm < 0) out << "a negative delay cost\n";
        costs += c.Total();
    }
    if (std::abs(costs - static_cast<double>(caused)) > static_cast<double>(caused) * 1e-9 + 1e-6)
        out << "delay costs " << costs << " differ from the caused waits " << caused << "\n";
    if (f.lastPass >= kBlockingCausesCalc && f.metricTree.time != processTime)
        out << "metric tree root " << f.metricTree.time << " != process time " << processTime << "\n";
    struct Tree {
        static void Check(const MetricNode& node, std::ostringstream& out) {
            if (node.children.empty()) return;
            Time sum = 0;
            for (const MetricNode& child : node.children) {
                sum += child.time;
                Check(child, out);
            }
            if (sum != node.time) out << "metric node " << node.name << ": children add up to " << sum << "\n";
        }
    };
    Tree::Check(f.metricTree, out);
    return out.str();
}

}  // namespace analysis
