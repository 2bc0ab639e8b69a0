#include "analysis/collectives.h"

#include "analysis/barrier_completion.h"
#include "analysis/early_reduce.h"
#include "analysis/late_broadcast.h"
#include "analysis/wait_at_barrier.h"
#include "analysis/wait_at_nxn.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace analysis {

namespace {

bool OneSided(const CollectiveOp& op) {
    return (op.kind == Collective::kBcast || op.kind == Collective::kScatter) && op.members.size() == 1 &&
           op.root == op.members.front();
}

}  // namespace

void LineUpCollectives(ExperimentModel& model) {
    const PhaseColumns& phases = model.phases;
    Findings& findings = model.findings;
    findings.collectives.clear();
    findings.incompleteCollectives = 0;
    std::map<std::tuple<int32_t, Collective, int32_t>, std::size_t> indexOf;
    int mismatched = 0;
    for (std::size_t i = 0; i < phases.detail.size(); ++i) {
        if (phases.type[i] != kSync || phases.detail[i] < 0) continue;
        const PhaseDetail& detail = phases.Detail(i);
        if (detail.group < 0 || detail.collective == Collective::kNone) continue;
        auto [it, added] = indexOf.emplace(std::tuple{detail.group, detail.collective, detail.instance},
                                          findings.collectives.size());
        if (added) {
            CollectiveOp op;
            op.group = detail.group;
            op.instance = detail.instance;
            op.kind = detail.collective;
            findings.collectives.push_back(op);
        }
        CollectiveOp& op = findings.collectives[it->second];
        // Phases are ordered by process: a second phase of one process in the same
        // collective is a broken record and takes no part.
        if (!op.members.empty() && phases.process[op.members.back()] == phases.process[i]) {
            ++mismatched;
            continue;
        }
        op.members.push_back(static_cast<int32_t>(i));
        if (detail.root >= 0 && model.ProcessOfTid(detail.root) == phases.process[i]) op.root = static_cast<int32_t>(i);
    }
    std::sort(findings.collectives.begin(), findings.collectives.end(), [](const CollectiveOp& a, const CollectiveOp& b) {
        return std::tuple{a.group, a.instance, a.kind} < std::tuple{b.group, b.instance, b.kind};
    });
    std::map<int32_t, std::set<int32_t>> processesOfGroup;
    for (const CollectiveOp& op : findings.collectives)
        if (!OneSided(op))
            for (const int32_t member : op.members) processesOfGroup[op.group].insert(phases.process[member]);
    for (CollectiveOp& op : findings.collectives) {
        if (OneSided(op)) continue;
        op.complete = op.members.size() == processesOfGroup[op.group].size();
        if (!op.complete) ++findings.incompleteCollectives;
    }
    if (findings.incompleteCollectives > 0) {
        model.header.errorFlags |= kWrongCommPointers;
        findings.problems.push_back(std::to_string(findings.incompleteCollectives) +
                                    " collectives never completed (members of their group never entered)");
    }
    if (mismatched > 0)
        findings.problems.push_back(std::to_string(mismatched) +
                                    " sync phases name a collective another phase of their process has");
}

bool EveryMemberWaitsForAll(Collective kind) {
    return kind == Collective::kBarrier || kind == Collective::kAllreduce || kind == Collective::kAllgather ||
           kind == Collective::kAlltoall || kind == Collective::kReduceScatter;
}

int32_t LastEntrant(const ExperimentModel& model, const CollectiveOp& op) {
    int32_t last = op.members.front();
    for (const int32_t member : op.members)
        if (model.phases.shownStart[member] > model.phases.shownStart[last]) last = member;
    return last;
}

Time WaitForEntry(const ExperimentModel& model, int32_t waiter, int32_t cause) {
    const PhaseColumns& phases = model.phases;
    return std::clamp<Time>(phases.shownStart[cause] - phases.shownStart[waiter], 0, phases.ShownDuration(waiter));
}

void AddWait(std::vector<WaitState>& waits, WaitPattern pattern, int32_t phase, Time time, int32_t cause) {
    if (time <= 0) return;
    WaitState wait;
    wait.phase = phase;
    wait.pattern = pattern;
    wait.waitTime = time;
    wait.causePhase = cause;
    waits.push_back(wait);
}

void FindCollectiveWaits(ExperimentModel& model) {
    std::vector<WaitState>& waits = model.findings.waitStates;
    for (const CollectiveOp& op : model.findings.collectives) {
        if (!op.complete || op.members.empty()) continue;
        switch (op.kind) {
        case Collective::kBarrier:
            FindWaitAtBarrier(model, op, waits);
            FindBarrierCompletion(model, op, waits);
            break;
        case Collective::kAllreduce:
        case Collective::kAllgather:
        case Collective::kAlltoall:
        case Collective::kReduceScatter: FindWaitAtNxN(model, op, waits); break;
        case Collective::kBcast:
        case Collective::kScatter: FindLateBroadcast(model, op, waits); break;
        case Collective::kReduce:
        case Collective::kGather: FindEarlyReduce(model, op, waits); break;
        case Collective::kScan:
        case Collective::kNone: break;
        }
    }
}

}  // namespace analysis
