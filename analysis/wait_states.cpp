#include "wait_states.h"

#include <algorithm>
#include <limits>
#include <map>

namespace analysis {

namespace {

// Charges a late-sender wait of waitTime, which began at waitStart, to what the
// sender did from then until it began the send: overlap per phase type, scaled so
// that the charges add up to the wait.
void ChargeDelay(const ExperimentModel& model, int32_t send, Time waitStart, Time waitTime,
                 std::map<std::pair<int, int>, double>& costs) {
    const PhaseColumns& phases = model.phases;
    const ProcessModel& sender = model.processes[phases.process[send]];
    const Time until = phases.shownStart[send];
    if (until <= waitStart) return;
    std::vector<std::pair<int, Time>> overlaps;
    Time covered = 0;
    for (std::size_t j = send; j-- > static_cast<std::size_t>(sender.firstPhase);) {
        if (phases.ShownEnd(j) <= waitStart) break;
        const Time overlap = std::min(phases.ShownEnd(j), until) - std::max(phases.shownStart[j], waitStart);
        if (overlap <= 0) continue;
        overlaps.emplace_back(phases.type[j], overlap);
        covered += overlap;
    }
    if (covered <= 0) return;
    const double scale = std::min(1.0, static_cast<double>(waitTime) / covered);
    for (const auto& [type, overlap] : overlaps) costs[{phases.process[send], type}] += overlap * scale;
}

}  // namespace

void FindWaitStates(ExperimentModel& model) {
    const PhaseColumns& phases = model.phases;
    Findings& findings = model.findings;
    std::vector<int32_t> messageOfReceive(phases.Size(), -1);
    for (std::size_t m = 0; m < findings.messages.size(); ++m)
        if (findings.messages[m].recvPhase >= 0) messageOfReceive[findings.messages[m].recvPhase] = static_cast<int32_t>(m);

    findings.waitStates.clear();
    std::map<std::pair<int, int>, double> costs;
    bool unexplained = false;
    for (const ProcessModel& process : model.processes) {
        const std::size_t first = process.firstPhase, end = first + process.nbrPhases;
        // Earliest send time of the messages this process receives after phase i + 1
        // (kNoSend when none): the scan runs backwards and keeps the minimum before the
        // last receive it added, which is the one right after an idle phase.
        constexpr Time kNoSend = std::numeric_limits<Time>::max();
        Time earliestSend = kNoSend, earliestBeforeLastReceive = kNoSend;
        std::size_t lastReceive = end;
        std::vector<WaitState> found;
        for (std::size_t i = end; i-- > first;) {
            if (phases.type[i] != kIdle) {
                const int32_t m = messageOfReceive[i];
                if (m >= 0) {
                    earliestBeforeLastReceive = earliestSend;
                    earliestSend = std::min(earliestSend, phases.ShownEnd(findings.messages[m].sendPhase));
                    lastReceive = i;
                }
                continue;
            }
            const int32_t m = i + 1 < end ? messageOfReceive[i + 1] : -1;
            WaitState wait;
            wait.phase = static_cast<int32_t>(i);
            if (m < 0) {
                if (phases.duration[i] <= 0) continue;
                wait.waitTime = phases.duration[i];
                unexplained = true;
                found.push_back(wait);
                continue;
            }
            const int32_t send = findings.messages[m].sendPhase;
            const Time idleStart = phases.shownStart[i], idleEnd = phases.ShownEnd(i);
            wait.waitTime = std::max<Time>(0, std::min(phases.shownStart[send], idleEnd) - idleStart);
            if (wait.waitTime <= 0) continue;
            wait.causePhase = send;
            // A message received later had been sent before this one: another order would
            // have waited less.
            const Time laterSend = lastReceive == i + 1 ? earliestBeforeLastReceive : earliestSend;
            wait.pattern = laterSend < phases.ShownEnd(send) ? WaitPattern::kWrongOrder : WaitPattern::kLateSender;
            ChargeDelay(model, send, idleStart, wait.waitTime, costs);
            found.push_back(wait);
        }
        findings.waitStates.insert(findings.waitStates.end(), found.rbegin(), found.rend());
    }
    std::stable_sort(findings.waitStates.begin(), findings.waitStates.end(),
                     [](const WaitState& a, const WaitState& b) { return a.waitTime > b.waitTime; });
    findings.delayCosts.clear();
    for (const auto& [key, time] : costs) findings.delayCosts.push_back({key.first, key.second, time});
    std::stable_sort(findings.delayCosts.begin(), findings.delayCosts.end(),
                     [](const DelayCost& a, const DelayCost& b) { return a.time > b.time; });
    if (unexplained) {
        model.header.errorFlags |= kIdleCauses;
        findings.problems.push_back("idle time without a message to explain it");
    }
    findings.lastPass = kBlockingCausesCalc;
}

}  // namespace analysis
