#include "analysis/wait_states.h"

#include "analysis/collectives.h"

#include <algorithm>
#include <deque>

namespace analysis {

namespace {

// The message that receive phase i took, -1 when none.
int32_t MessageReceivedBy(const Findings& findings, std::size_t i) {
    const int32_t m = findings.messageOf[i];
    return m >= 0 && findings.messages[m].recvPhase == static_cast<int32_t>(i) ? m : -1;
}

// The last late-sender waits of one process, with the largest send time among them.
class WrongOrderWindow {
public:
    void Add(int32_t wait, Time sendTime, int32_t sender) {
        mEntries.push_back({wait, sendTime, sender});
        mLatest = std::max(mLatest, sendTime);
        if (mEntries.size() > kWrongOrderWindow) {
            const bool wasLatest = mEntries.front().sendTime == mLatest;
            mEntries.pop_front();
            if (wasLatest) Recompute();
        }
    }
    // A message sent at sendTime by sender was received: every wait in the window for
    // a message sent after it is wrong order, and leaves the window.
    void Received(Time sendTime, int32_t sender, std::vector<WaitState>& waits) {
        if (mEntries.empty() || sendTime >= mLatest) return;
        std::deque<Entry> kept;
        for (const Entry& entry : mEntries) {
            if (entry.sendTime <= sendTime) {
                kept.push_back(entry);
                continue;
            }
            waits[entry.wait].pattern =
                entry.sender == sender ? WaitPattern::kWrongOrderSameSource : WaitPattern::kWrongOrderOtherSource;
        }
        mEntries.swap(kept);
        Recompute();
    }

private:
    struct Entry {
        int32_t wait;
        Time sendTime;
        int32_t sender;
    };
    void Recompute() {
        mLatest = 0;
        for (const Entry& entry : mEntries) mLatest = std::max(mLatest, entry.sendTime);
    }
    std::deque<Entry> mEntries;
    Time mLatest = 0;
};

// A receive known to have asked for any source and any tag: it took what came first,
// so no earlier message can have waited behind the one it waited for.
bool IsWildcardReceive(const PhaseColumns& phases, std::size_t i) {
    const PhaseDetail& asked = phases.Detail(i);
    return asked.askedSource == kAskedAny && asked.askedTag == kAskedAny;
}

}  // namespace

void FindWaitStates(ExperimentModel& model) {
    const PhaseColumns& phases = model.phases;
    Findings& findings = model.findings;
    findings.waitStates.clear();
    findings.transferTime = 0;
    bool unexplained = false;
    for (const ProcessModel& process : model.processes) {
        const std::size_t first = process.firstPhase, end = first + process.nbrPhases;
        WrongOrderWindow window;
        for (std::size_t i = first; i < end; ++i) {
            const int32_t received = MessageReceivedBy(findings, i);
            if (received >= 0) {
                const Message& message = findings.messages[received];
                window.Received(phases.ShownEnd(message.sendPhase), message.sendProcess, findings.waitStates);
                continue;
            }
            if (phases.type[i] != kIdle) continue;
            const Time idleStart = phases.shownStart[i], idleTime = phases.ShownDuration(i);
            if (idleTime <= 0) continue;
            const int32_t m = i + 1 < end ? MessageReceivedBy(findings, i + 1) : -1;
            WaitState wait;
            wait.phase = static_cast<int32_t>(i);
            if (m < 0) {
                wait.waitTime = idleTime;
                unexplained = true;
                findings.waitStates.push_back(wait);
                continue;
            }
            const int32_t send = findings.messages[m].sendPhase;
            wait.waitTime = std::clamp<Time>(phases.shownStart[send] - idleStart, 0, idleTime);
            wait.transferTime = idleTime - wait.waitTime;
            findings.transferTime += wait.transferTime;
            if (wait.waitTime <= 0) continue;
            wait.causePhase = send;
            wait.pattern = WaitPattern::kLateSender;
            if (!IsWildcardReceive(phases, i + 1))
                window.Add(static_cast<int32_t>(findings.waitStates.size()), phases.ShownEnd(send),
                           findings.messages[m].sendProcess);
            findings.waitStates.push_back(wait);
        }
    }
    FindCollectiveWaits(model);
    std::stable_sort(findings.waitStates.begin(), findings.waitStates.end(),
                     [](const WaitState& a, const WaitState& b) { return a.waitTime > b.waitTime; });
    if (unexplained) {
        model.header.errorFlags |= kIdleCauses;
        findings.problems.push_back("idle time without a message to explain it");
    }
    findings.lastPass = kBlockingCausesCalc;
}

std::map<std::string, std::pair<int, double>> WaitsByPattern(const ExperimentModel& model) {
    std::map<std::string, std::pair<int, double>> byPattern;
    for (WaitPattern pattern : kWaitPatterns) byPattern[WaitPatternName(pattern)] = {0, 0.0};
    for (const WaitState& wait : model.findings.waitStates) {
        auto& entry = byPattern[WaitPatternName(wait.pattern)];
        entry.first += 1;
        entry.second += static_cast<double>(wait.waitTime);
    }
    return byPattern;
}

}  // namespace analysis
