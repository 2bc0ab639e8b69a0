#include "delay_costs.h"

#include "intervals.h"

#include <algorithm>
#include <limits>

namespace analysis {

namespace {

using Charges = std::map<CostCause, double>;

// The previous message between the two processes of every received message, by the
// end of its receive: its end, or none (-1 as a time is never used: starts clamp it).
std::vector<Time> PreviousSync(const ExperimentModel& model) {
    const Findings& findings = model.findings;
    const PhaseColumns& phases = model.phases;
    std::vector<int32_t> order;
    for (std::size_t m = 0; m < findings.messages.size(); ++m)
        if (findings.messages[m].recvPhase >= 0) order.push_back(static_cast<int32_t>(m));
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        return phases.ShownEnd(findings.messages[a].recvPhase) < phases.ShownEnd(findings.messages[b].recvPhase);
    });
    std::vector<Time> previous(findings.messages.size(), std::numeric_limits<Time>::min());
    std::map<std::pair<int32_t, int32_t>, Time> lastOfPair;
    for (int32_t m : order) {
        const Message& message = findings.messages[m];
        const auto pair = std::minmax(message.sendProcess, message.recvProcess);
        auto [it, added] = lastOfPair.emplace(pair, std::numeric_limits<Time>::min());
        previous[m] = it->second;
        it->second = phases.ShownEnd(message.recvPhase);
    }
    return previous;
}

}  // namespace

void FindDelayCosts(ExperimentModel& model) {
    const PhaseColumns& phases = model.phases;
    Findings& findings = model.findings;
    const std::vector<WaitState>& waits = findings.waitStates;
    std::vector<int32_t> waitOfPhase(phases.Size(), -1);
    std::vector<int32_t> order;
    for (std::size_t w = 0; w < waits.size(); ++w) {
        waitOfPhase[waits[w].phase] = static_cast<int32_t>(w);
        if (waits[w].causePhase >= 0) order.push_back(static_cast<int32_t>(w));
    }
    // A wait's causes are waits that ended before it did: in the order of their ends,
    // each wait's own charges are known when a later one passes a share on.
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        return phases.ShownEnd(waits[a].phase) < phases.ShownEnd(waits[b].phase);
    });
    const std::vector<Time> previousSync = PreviousSync(model);
    std::vector<Charges> chargesOf(waits.size());
    std::map<CostCause, DelayCost> costs;

    for (int32_t w : order) {
        const WaitState& wait = waits[w];
        const int32_t send = wait.causePhase;
        const int S = phases.process[send], R = phases.process[wait.phase];
        const Time sendStart = phases.shownStart[send], waitStart = phases.shownStart[wait.phase];
        const int32_t m = findings.messageOf[send];
        Time from = std::max({previousSync[m], phases.shownStart[model.processes[S].firstPhase],
                              phases.shownStart[model.processes[R].firstPhase]});
        from = std::min({from, sendStart, waitStart});

        // The sender's time in the interval: by type, its idle split into waits of its
        // own (passed on) and transfer or unexplained idle (its own cost).
        TypeTimes senderByType, receiverByType;
        Charges senderIdle;
        std::vector<std::pair<int32_t, Time>> senderWaits;
        Time senderIdleTime = 0;
        ForEachPhaseBack(model, S, send, from, sendStart, [&](std::size_t j, Time overlap) {
            const int type = phases.type[j];
            if (type != kIdle) {
                senderByType[type] += overlap;
                return;
            }
            senderIdleTime += overlap;
            const int32_t v = waitOfPhase[j];
            if (v < 0 || waits[v].causePhase < 0) {
                // Idle before a receive with no wait is transfer; idle with no message is idle.
                const bool transfer = v < 0 && findings.messageOf.size() > j + 1 && !phases.LastOfProcess(j) &&
                                      findings.messageOf[j + 1] >= 0;
                senderIdle[{S, kIdle, transfer}] += overlap;
                return;
            }
            const Time waitEnd = phases.shownStart[j] + waits[v].waitTime;
            const Time inWait = std::max<Time>(0, std::min(waitEnd, sendStart) - std::max(phases.shownStart[j], from));
            if (inWait > 0) senderWaits.emplace_back(v, inWait);
            if (overlap > inWait) senderIdle[{S, kIdle, true}] += overlap - inWait;
        });
        ForEachPhaseIn(model, R, from, waitStart, [&](std::size_t j, Time overlap) {
            receiverByType[phases.type[j]] += overlap;
        });

        // Excess per activity, then scaled to the wait.
        Charges excess;
        for (const auto& [type, time] : senderByType) {
            const auto theirs = receiverByType.find(type);
            const Time over = time - (theirs == receiverByType.end() ? 0 : theirs->second);
            if (over > 0) excess[{S, type, false}] += static_cast<double>(over);
        }
        const auto receiverIdle = receiverByType.find(kIdle);
        const Time idleOver = senderIdleTime - (receiverIdle == receiverByType.end() ? 0 : receiverIdle->second);
        const double idleScale = senderIdleTime > 0 ? std::max<double>(0, idleOver) / senderIdleTime : 0;
        double total = 0;
        for (const auto& [cause, time] : excess) total += time;
        for (const auto& [cause, time] : senderIdle) total += time * idleScale;
        for (const auto& [v, time] : senderWaits) total += time * idleScale;
        if (total <= 0) continue;
        const double scale = static_cast<double>(wait.waitTime) / total;

        Charges& mine = chargesOf[w];
        auto charge = [&](const CostCause& cause, double amount, bool longTerm) {
            if (amount <= 0) return;
            DelayCost& cost = costs[cause];
            cost.cause = cause;
            (longTerm ? cost.longTerm : cost.shortTerm) += amount;
            mine[cause] += amount;
        };
        for (const auto& [cause, time] : excess) charge(cause, time * scale, false);
        for (const auto& [cause, time] : senderIdle) charge(cause, time * idleScale * scale, false);
        for (const auto& [v, time] : senderWaits) {
            const double share = time * idleScale * scale;
            const Charges& theirs = chargesOf[v];
            double theirTotal = 0;
            for (const auto& [cause, amount] : theirs) theirTotal += amount;
            if (theirTotal <= 0) {
                // A wait whose own interval showed no excess ends here, on the idle.
                charge({S, kIdle, false}, share, false);
                continue;
            }
            for (const auto& [cause, amount] : theirs) charge(cause, share * amount / theirTotal, true);
        }
    }
    findings.delayCosts.clear();
    for (const auto& [cause, cost] : costs) findings.delayCosts.push_back(cost);
    std::stable_sort(findings.delayCosts.begin(), findings.delayCosts.end(),
                     [](const DelayCost& a, const DelayCost& b) { return a.Total() > b.Total(); });
}

}  // namespace analysis
