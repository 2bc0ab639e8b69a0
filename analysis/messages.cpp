#include "analysis/messages.h"

#include "analysis/collectives.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_map>

namespace analysis {

namespace {

// Places every phase on the master's clock, in µs since the master's start of measuring.
void PlacePhases(ExperimentModel& model) {
    PhaseColumns& phases = model.phases;
    const Time masterStart = model.processes.empty() ? 0 : model.processes[model.master].start;
    for (ProcessModel& process : model.processes) {
        // Linear drift: the offset measured at the end differs from the one at the start.
        double drift = 0;
        if (process.hasClockOffsets && process.endTime > 0 && process.endOffset != process.startOffset) {
            drift = static_cast<double>(process.endOffset - process.startOffset) / process.endTime;
            model.findings.driftCorrected = true;
        }
        const Time base = process.start - masterStart;
        Time elapsed = 0;
        for (int k = 0; k < process.nbrPhases; ++k) {
            const std::size_t i = process.firstPhase + k;
            phases.start[i] = base + elapsed - static_cast<Time>(std::llround(drift * elapsed));
            phases.shownStart[i] = phases.start[i];
            elapsed += phases.PlacedDuration(i);
        }
    }
}

// Message phases; a spawn phase also names a partner but carries no message.
bool IsSend(const PhaseColumns& phases, std::size_t i) { return phases.type[i] == kSend && phases.partnerTid[i] >= 0; }
bool IsReceive(const PhaseColumns& phases, std::size_t i) { return phases.type[i] == kRecv && phases.partnerTid[i] >= 0; }

// Sends of one sender to one addressee with one tag, in the sender's order.
struct SendQueue {
    std::vector<int32_t> sends;
    std::size_t next = 0;
};

// A queue's key: processes by index and the tag, compared whole (no packing into
// fewer bits, so no two keys can be taken for one).
struct QueueKey {
    int32_t sender, addressee, tag;
    bool operator==(const QueueKey& o) const { return sender == o.sender && addressee == o.addressee && tag == o.tag; }
};
struct QueueKeyHash {
    std::size_t operator()(const QueueKey& k) const {
        uint64_t h = static_cast<uint32_t>(k.sender);
        h = h * 0x9E3779B97F4A7C15ULL ^ static_cast<uint32_t>(k.addressee);
        h = h * 0x9E3779B97F4A7C15ULL ^ static_cast<uint32_t>(k.tag);
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

// What a collective's exits wait for on the shown clock: a member's exit (the start
// of the phase after its sync phase) comes after the entries it needs: every entry in
// a barrier or an N x N collective, the root's for the other members of a broadcast or
// scatter, every entry for the root of a reduce or gather. Counted as entries are placed.
class CollectiveExits {
public:
    explicit CollectiveExits(const ExperimentModel& model) : mModel(model), mState(model.findings.collectives.size()) {
        const PhaseColumns& phases = model.phases;
        for (std::size_t k = 0; k < model.findings.collectives.size(); ++k) {
            const CollectiveOp& op = model.findings.collectives[k];
            for (const int32_t member : op.members) {
                mOpOfEntry.emplace(member, static_cast<int32_t>(k));
                if (!phases.LastOfProcess(member) && NeedsEntries(op, member))
                    mOpOfExit.emplace(member + 1, static_cast<int32_t>(k));
            }
        }
    }
    bool Empty() const { return mOpOfExit.empty(); }
    // Whether exit phase i waits for an entry not placed yet.
    bool Blocked(std::size_t i) const {
        const auto [state, needed] = StateOfExit(i);
        return state != nullptr && state->placed < needed;
    }
    // The earliest shown start exit phase i may have (none: any).
    std::optional<Time> Required(std::size_t i) const {
        const State* state = StateOfExit(i).first;
        if (state == nullptr || state->placed == 0) return std::nullopt;
        return state->latestEntry + kMinimalLatency;
    }
    // Phase i got its shown start; whether it is a member's entry.
    bool Placed(std::size_t i) {
        const auto found = mOpOfEntry.find(static_cast<int32_t>(i));
        if (found == mOpOfEntry.end()) return false;
        const Time entry = mModel.phases.shownStart[i];
        Entries& entries = mState[found->second];
        for (State* state : {&entries.all, mModel.findings.collectives[found->second].root == static_cast<int32_t>(i)
                                               ? &entries.root
                                               : nullptr}) {
            if (state == nullptr) continue;
            ++state->placed;
            state->latestEntry = std::max(state->latestEntry, entry);
        }
        return true;
    }

private:
    struct State {
        std::size_t placed = 0;
        Time latestEntry = 0;
    };
    // Every member's entry, and the root's alone.
    struct Entries {
        State all, root;
    };
    static bool RootOnly(const CollectiveOp& op) {
        return op.kind == Collective::kBcast || op.kind == Collective::kScatter;
    }
    static bool NeedsEntries(const CollectiveOp& op, int32_t member) {
        if (!op.complete) return false;
        if (EveryMemberWaitsForAll(op.kind)) return true;
        switch (op.kind) {
        case Collective::kBcast:
        case Collective::kScatter: return op.root >= 0 && member != op.root;
        case Collective::kReduce:
        case Collective::kGather: return member == op.root;
        default: return false;
        }
    }
    // The entries exit phase i waits for and how many they are; null for a phase that
    // is no such exit.
    std::pair<const State*, std::size_t> StateOfExit(std::size_t i) const {
        const auto found = mOpOfExit.find(static_cast<int32_t>(i));
        if (found == mOpOfExit.end()) return {nullptr, 0};
        const CollectiveOp& op = mModel.findings.collectives[found->second];
        const Entries& entries = mState[found->second];
        return RootOnly(op) ? std::pair{&entries.root, std::size_t{1}} : std::pair{&entries.all, op.members.size()};
    }
    const ExperimentModel& mModel;
    std::vector<Entries> mState;
    std::unordered_map<int32_t, int32_t> mOpOfEntry, mOpOfExit;
};

// The controlled logical clock: moves every receive to at least its send's start plus
// the minimal latency on the shown clock (and every exit of a collective member to
// after the entries it needs, the same way), carries the shift forward along its
// process and spreads it linearly over the phases since the process's previous
// communication. Processes advance in causal order, so a send's shown time is final
// before its receive is placed; a cycle in the matching (broken data) is cut at the
// earliest blocked phase.
void RepairClock(ExperimentModel& model, const std::vector<int32_t>& sendOfReceive) {
    PhaseColumns& phases = model.phases;
    Findings& findings = model.findings;
    const std::size_t nbrProcesses = model.processes.size();
    std::vector<std::size_t> cursor(nbrProcesses), end(nbrProcesses);
    std::vector<Time> shift(nbrProcesses, 0);
    std::vector<int64_t> lastComm(nbrProcesses, -1);
    for (std::size_t p = 0; p < nbrProcesses; ++p) {
        cursor[p] = model.processes[p].firstPhase;
        end[p] = cursor[p] + model.processes[p].nbrPhases;
    }
    CollectiveExits exits(model);
    auto blocked = [&](std::size_t i) {
        const int32_t send = sendOfReceive[i];
        if (send >= 0 && static_cast<std::size_t>(send) >= cursor[phases.process[send]]) return true;
        return !exits.Empty() && exits.Blocked(i);
    };
    auto place = [&](std::size_t p) {
        const std::size_t i = cursor[p]++;
        phases.shownStart[i] = phases.start[i] + shift[p];
        const int32_t send = sendOfReceive[i];
        std::optional<Time> required;
        if (send >= 0) required = phases.shownStart[send] + kMinimalLatency;
        if (const std::optional<Time> exit = exits.Empty() ? std::nullopt : exits.Required(i))
            required = std::max(required.value_or(*exit), *exit);
        if (required && phases.shownStart[i] < *required) {
            const Time delta = *required - phases.shownStart[i];
            shift[p] += delta;
            phases.shownStart[i] = *required;
            ++(send >= 0 ? findings.repairedMessages : findings.repairedExits);
            findings.largestRepair = std::max(findings.largestRepair, delta);
            findings.totalRepair += delta;
            // A receive's wait absorbs the shift back to the previous communication; a
            // member's exit moves alone (its sync phase grows), so its entry stays.
            const std::size_t from = lastComm[p] >= 0 ? lastComm[p] + 1 : model.processes[p].firstPhase;
            const Time spanStart = phases.start[from];
            const Time span = phases.start[i] - spanStart;
            for (std::size_t j = from + 1; j < i && span > 0 && send >= 0; ++j)
                phases.shownStart[j] += static_cast<Time>(
                    static_cast<double>(delta) * static_cast<double>(phases.start[j] - spanStart) / span);
        }
        // Entries and exits of collectives are communication: no later shift moves them.
        const bool entry = !exits.Empty() && exits.Placed(i);
        if (IsSend(phases, i) || IsReceive(phases, i) || required || entry) lastComm[p] = static_cast<int64_t>(i);
    };
    std::size_t remaining = phases.Size();
    while (remaining > 0) {
        bool progress = false;
        for (std::size_t p = 0; p < nbrProcesses; ++p) {
            while (cursor[p] < end[p] && !blocked(cursor[p])) {
                place(p);
                --remaining;
                progress = true;
            }
        }
        if (progress) continue;
        std::size_t earliest = nbrProcesses;
        for (std::size_t p = 0; p < nbrProcesses; ++p)
            if (cursor[p] < end[p] && (earliest == nbrProcesses || phases.start[cursor[p]] < phases.start[cursor[earliest]]))
                earliest = p;
        place(earliest);
        --remaining;
    }
}

}  // namespace

void MatchMessages(ExperimentModel& model) {
    PlacePhases(model);
    PhaseColumns& phases = model.phases;
    Findings& findings = model.findings;
    auto partnerOf = [&](std::size_t i) { return model.ProcessOfTid(phases.partnerTid[i]); };

    std::unordered_map<QueueKey, SendQueue, QueueKeyHash> queues;
    for (std::size_t i = 0; i < phases.Size(); ++i) {
        if (!IsSend(phases, i) && !IsReceive(phases, i)) continue;
        const int partner = partnerOf(i);
        if (partner < 0) {
            ++findings.unknownPartners;
            continue;
        }
        if (IsSend(phases, i))
            queues[QueueKey{phases.process[i], partner, phases.tag[i]}].sends.push_back(static_cast<int32_t>(i));
    }

    findings.messages.clear();
    findings.messageOf.assign(phases.Size(), -1);
    std::vector<int32_t> sendOfReceive(phases.Size(), -1);
    for (std::size_t i = 0; i < phases.Size(); ++i) {
        if (!IsReceive(phases, i)) continue;
        const int partner = partnerOf(i);
        if (partner < 0) continue;
        auto found = queues.find(QueueKey{partner, phases.process[i], phases.tag[i]});
        if (found == queues.end() || found->second.next == found->second.sends.size()) {
            ++findings.unmatchedReceives;
            continue;
        }
        const int32_t send = found->second.sends[found->second.next++];
        sendOfReceive[i] = send;
        Message message;
        message.sendPhase = send;
        message.recvPhase = static_cast<int32_t>(i);
        message.sendProcess = phases.process[send];
        message.recvProcess = phases.process[i];
        message.sendTime = phases.End(send);
        message.recvTime = phases.start[i];
        message.delay = message.recvTime - message.sendTime;
        // A send phase ends when pvm_send returns, which may be after the receiver has
        // the message; only a receive that starts before its send began is impossible,
        // and only beyond the largest errors of the two clocks' offsets.
        const Time early = phases.start[send] - message.recvTime;
        if (early > 0) {
            const Time tolerance =
                model.processes[message.sendProcess].ClockBound() + model.processes[message.recvProcess].ClockBound();
            ++(early > tolerance ? findings.clockViolations : findings.withinClockBounds);
        }
        findings.messageOf[send] = findings.messageOf[i] = static_cast<int32_t>(findings.messages.size());
        findings.messages.push_back(message);
    }
    // What no receive took, in the order of the senders' phases.
    std::vector<Message> unreceived;
    for (const auto& [key, queue] : queues) {
        for (std::size_t k = queue.next; k < queue.sends.size(); ++k) {
            const int32_t send = queue.sends[k];
            Message message;
            message.sendPhase = send;
            message.sendProcess = phases.process[send];
            message.recvProcess = partnerOf(send);
            message.sendTime = phases.End(send);
            unreceived.push_back(message);
            ++findings.unreceived[{message.sendProcess, message.recvProcess}];
        }
    }
    std::sort(unreceived.begin(), unreceived.end(),
              [](const Message& a, const Message& b) { return a.sendPhase < b.sendPhase; });
    for (const Message& message : unreceived) {
        findings.messageOf[message.sendPhase] = static_cast<int32_t>(findings.messages.size());
        findings.messages.push_back(message);
    }

    if (findings.unknownPartners > 0) {
        model.header.errorFlags |= kUnknownCommPartners;
        findings.problems.push_back(std::to_string(findings.unknownPartners) +
                                    " communication phases name a partner that is no process of the experiment");
    }
    if (findings.unmatchedReceives > 0 || findings.clockViolations > 0) {
        model.header.errorFlags |= kWrongCommPointers;
        if (findings.unmatchedReceives > 0)
            findings.problems.push_back(std::to_string(findings.unmatchedReceives) + " receives have no send to match");
        if (findings.clockViolations > 0)
            findings.problems.push_back(std::to_string(findings.clockViolations) +
                                        " receives start before their send began (clocks disagree)");
    }
    if (findings.withinClockBounds > 0)
        findings.problems.push_back(std::to_string(findings.withinClockBounds) +
                                    " receives start before their send began by no more than the clocks' error bounds");
    LineUpCollectives(model);
    RepairClock(model, sendOfReceive);
    findings.lastPass = kCommPointersSet;
}

}  // namespace analysis
