#include "analysis/delay_costs.h"

#include "analysis/collectives.h"
#include "analysis/intervals.h"

#include <algorithm>
#include <limits>

namespace analysis {

namespace {

using Charges = std::map<CostCause, double>;
constexpr Time kNever = std::numeric_limits<Time>::min();
// How many collectives of a process are looked back over for one that another
// process also took part in.
constexpr int kCollectivesLookedBack = 64;

// The previous message between the two processes of every received message, by the
// end of its receive: its end, or kNever.
std::vector<Time> PreviousMessageSync(const ExperimentModel& model) {
    const Findings& findings = model.findings;
    const PhaseColumns& phases = model.phases;
    std::vector<int32_t> order;
    for (std::size_t m = 0; m < findings.messages.size(); ++m)
        if (findings.messages[m].recvPhase >= 0) order.push_back(static_cast<int32_t>(m));
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        return phases.ShownEnd(findings.messages[a].recvPhase) < phases.ShownEnd(findings.messages[b].recvPhase);
    });
    std::vector<Time> previous(findings.messages.size(), kNever);
    std::map<std::pair<int32_t, int32_t>, Time> lastOfPair;
    for (int32_t m : order) {
        const Message& message = findings.messages[m];
        const auto pair = std::minmax(message.sendProcess, message.recvProcess);
        auto [it, added] = lastOfPair.emplace(pair, kNever);
        previous[m] = it->second;
        it->second = phases.ShownEnd(message.recvPhase);
    }
    return previous;
}

// When two processes last synchronised: the messages between them, and the
// collectives that synchronised both (a barrier or N x N collective any two members,
// a rooted one its root with each other member), at their last member's entry.
class SyncTimes {
public:
    explicit SyncTimes(const ExperimentModel& model)
        : mModel(model), mCollectivesOf(model.processes.size()), mPreviousMessage(PreviousMessageSync(model)) {
        const PhaseColumns& phases = model.phases;
        for (std::size_t k = 0; k < model.findings.collectives.size(); ++k) {
            const CollectiveOp& op = model.findings.collectives[k];
            if (!op.complete || op.members.empty() || op.kind == Collective::kScan) continue;
            const Time lastEntry = phases.shownStart[LastEntrant(model, op)];
            for (const int32_t member : op.members)
                mCollectivesOf[phases.process[member]].push_back({lastEntry, static_cast<int32_t>(k)});
        }
        for (auto& list : mCollectivesOf) std::sort(list.begin(), list.end());
        // The messages by pair, for the waits in collectives only.
        if (model.findings.collectives.empty()) return;
        for (std::size_t m = 0; m < model.findings.messages.size(); ++m) {
            const Message& message = model.findings.messages[m];
            if (message.recvPhase < 0) continue;
            mMessageSyncs[std::minmax(message.sendProcess, message.recvProcess)].push_back(
                phases.ShownEnd(message.recvPhase));
        }
        for (auto& [pair, times] : mMessageSyncs) std::sort(times.begin(), times.end());
    }
    // The last synchronisation of S and R before the wait w (S caused it).
    Time Before(const WaitState& wait) const {
        const PhaseColumns& phases = mModel.phases;
        const int S = phases.process[wait.causePhase], R = phases.process[wait.phase];
        const Time until = std::min(phases.shownStart[wait.causePhase], phases.shownStart[wait.phase]);
        Time last = kNever;
        if (phases.type[wait.phase] == kSync) {
            const auto found = mMessageSyncs.find(std::minmax(S, R));
            if (found != mMessageSyncs.end()) {
                const auto after = std::lower_bound(found->second.begin(), found->second.end(), until);
                if (after != found->second.begin()) last = *(after - 1);
            }
        } else {
            last = mPreviousMessage[mModel.findings.messageOf[wait.causePhase]];
        }
        return std::max(last, LastCollective(S, R, until));
    }

private:
    // The last entry, before until, of a collective that synchronised a and b.
    Time LastCollective(int a, int b, Time until) const {
        const auto& list = mCollectivesOf[a];
        auto it = std::lower_bound(list.begin(), list.end(), std::pair{until, std::numeric_limits<int32_t>::min()});
        for (int looked = 0; it != list.begin() && looked < kCollectivesLookedBack; ++looked) {
            --it;
            if (Synchronised(mModel.findings.collectives[it->second], a, b)) return it->first;
        }
        return kNever;
    }
    bool Synchronised(const CollectiveOp& op, int a, int b) const {
        const PhaseColumns& phases = mModel.phases;
        const auto member = std::lower_bound(op.members.begin(), op.members.end(), b, [&](int32_t phase, int p) {
            return phases.process[phase] < p;
        });
        if (member == op.members.end() || phases.process[*member] != b) return false;
        if (EveryMemberWaitsForAll(op.kind)) return true;
        return op.root >= 0 && (phases.process[op.root] == a || phases.process[op.root] == b);
    }
    const ExperimentModel& mModel;
    std::vector<std::vector<std::pair<Time, int32_t>>> mCollectivesOf;
    std::map<std::pair<int32_t, int32_t>, std::vector<Time>> mMessageSyncs;
    std::vector<Time> mPreviousMessage;
};

// What one process did in a stretch: its time by phase type outside its waits, the
// time it waited (idle, and waits in collectives), the waits with a cause in it with
// their overlap, and its idle without a cause (transfer, or idle with no message).
struct Activity {
    TypeTimes byType;
    Time waiting = 0;
    std::vector<std::pair<int32_t, Time>> waits;
    Charges idle;
};

Activity ActivityIn(const ExperimentModel& model, const std::vector<int32_t>& waitOfPhase, int p, std::size_t last,
                    Time from, Time to) {
    const PhaseColumns& phases = model.phases;
    const Findings& findings = model.findings;
    Activity activity;
    ForEachPhaseBack(model, p, last, from, to, [&](std::size_t j, Time overlap) {
        const int type = phases.type[j];
        const int32_t v = waitOfPhase[j];
        const bool caused = v >= 0 && findings.waitStates[v].causePhase >= 0;
        if (type != kIdle && !caused) {
            activity.byType[type] += overlap;
            return;
        }
        if (type == kIdle && !caused) {
            // Idle before a receive with no wait is transfer; idle with no message is idle.
            const bool transfer = v < 0 && !phases.LastOfProcess(j) && findings.messageOf[j + 1] >= 0;
            activity.idle[{p, kIdle, transfer, false}] += overlap;
            activity.waiting += overlap;
            return;
        }
        const WaitState& wait = findings.waitStates[v];
        const Time waitEnd = phases.shownStart[j] + wait.waitTime;
        const Time inWait =
            std::max<Time>(0, std::min(waitEnd, to) - std::max(phases.shownStart[j], from));
        if (inWait > 0) activity.waits.emplace_back(v, inWait);
        activity.waiting += inWait;
        if (overlap <= inWait) return;
        // After the wait: the rest of an idle phase is transfer, of a sync phase its own time.
        if (type == kIdle) {
            activity.idle[{p, kIdle, true, false}] += overlap - inWait;
            activity.waiting += overlap - inWait;
        } else {
            activity.byType[type] += overlap - inWait;
        }
    });
    return activity;
}

}  // namespace

void FindDelayCosts(ExperimentModel& model) {
    const PhaseColumns& phases = model.phases;
    Findings& findings = model.findings;
    const std::vector<WaitState>& waits = findings.waitStates;
    std::vector<int32_t> waitOfPhase(phases.Size(), -1);
    std::vector<int32_t> order;
    for (std::size_t w = 0; w < waits.size(); ++w) {
        if (waits[w].causePhase >= 0 || phases.type[waits[w].phase] == kIdle)
            waitOfPhase[waits[w].phase] = static_cast<int32_t>(w);
        if (waits[w].causePhase >= 0) order.push_back(static_cast<int32_t>(w));
    }
    // A wait's causes are waits that ended before it did: in the order of their ends,
    // each wait's own charges are known when a later one passes a share on.
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        return phases.ShownEnd(waits[a].phase) < phases.ShownEnd(waits[b].phase);
    });
    const SyncTimes syncTimes(model);
    std::vector<Charges> chargesOf(waits.size());
    std::map<CostCause, DelayCost> costs;

    for (int32_t w : order) {
        const WaitState& wait = waits[w];
        const int32_t cause = wait.causePhase;
        const int S = phases.process[cause], R = phases.process[wait.phase];
        const Time causeStart = phases.shownStart[cause], waitStart = phases.shownStart[wait.phase];
        Time from = std::max({syncTimes.Before(wait), phases.shownStart[model.processes[S].firstPhase],
                              phases.shownStart[model.processes[R].firstPhase]});
        from = std::min({from, causeStart, waitStart});

        const Activity sender = ActivityIn(model, waitOfPhase, S, cause, from, causeStart);
        const Activity receiver =
            waitStart > from ? ActivityIn(model, waitOfPhase, R, LastPhaseStartingBefore(model, R, waitStart), from,
                                          waitStart)
                             : Activity{};

        // Excess per activity, then scaled to the wait; S's waiting above R's is
        // split over what S waited for.
        Charges excess;
        for (const auto& [type, time] : sender.byType) {
            const auto theirs = receiver.byType.find(type);
            const Time over = time - (theirs == receiver.byType.end() ? 0 : theirs->second);
            if (over > 0) excess[{S, type, false, false}] += static_cast<double>(over);
        }
        const Time waitingOver = sender.waiting - receiver.waiting;
        const double waitingScale =
            sender.waiting > 0 ? std::max<double>(0, waitingOver) / static_cast<double>(sender.waiting) : 0;
        double total = 0;
        for (const auto& [c, time] : excess) total += time;
        for (const auto& [c, time] : sender.idle) total += time * waitingScale;
        for (const auto& [v, time] : sender.waits) total += time * waitingScale;

        Charges& mine = chargesOf[w];
        auto charge = [&](const CostCause& to, double amount, bool longTerm) {
            if (amount <= 0) return;
            DelayCost& cost = costs[to];
            cost.cause = to;
            (longTerm ? cost.longTerm : cost.shortTerm) += amount;
            mine[to] += amount;
        };
        const CostCause noExcess{S, 0, false, true};
        if (total <= 0) {
            charge(noExcess, static_cast<double>(wait.waitTime), false);
            continue;
        }
        const double scale = static_cast<double>(wait.waitTime) / total;
        for (const auto& [c, time] : excess) charge(c, time * scale, false);
        for (const auto& [c, time] : sender.idle) charge(c, time * waitingScale * scale, false);
        for (const auto& [v, time] : sender.waits) {
            const double share = time * waitingScale * scale;
            const Charges& theirs = chargesOf[v];
            double theirTotal = 0;
            for (const auto& [c, amount] : theirs) theirTotal += amount;
            if (theirTotal <= 0) {
                // A wait not charged yet (it ends with this one) passes nothing on.
                charge(noExcess, share, false);
                continue;
            }
            for (const auto& [c, amount] : theirs) charge(c, share * amount / theirTotal, true);
        }
    }
    findings.delayCosts.clear();
    for (const auto& [c, cost] : costs) findings.delayCosts.push_back(cost);
    std::stable_sort(findings.delayCosts.begin(), findings.delayCosts.end(),
                     [](const DelayCost& a, const DelayCost& b) { return a.Total() > b.Total(); });
}

}  // namespace analysis
