// The analysis passes on small hand-built experiments whose answers are worked out by
// hand; every analysed model is also held to the invariants of invariants.h.
#include "analysis/tests/invariants.h"

#include "analysis/analyse.h"
#include <gtest/gtest.h>
#include "analysis/metric_tree.h"
#include "analysis/summary.h"
#include "analysis/wait_states.h"

#include <cstdlib>
#include <fstream>
#include <kova_site.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

using namespace analysis;

namespace {

// Builds an experiment phase by phase; the totals are the sums of the phases unless
// a test breaks them on purpose.
class Builder {
public:
    Builder() {
        mModel.header.id = 7;
        mModel.header.statusData = kFinished;
        mModel.header.p = 0;
        mModel.header.Tp = 0;
    }
    int Process(int tid, Time start = 0) {
        ProcessModel process;
        process.id = process.tid = tid;
        process.host = "node" + std::to_string(mModel.processes.size() + 1);
        process.start = 1'000'000'000 + start;
        process.hasTotals = true;
        mModel.processes.push_back(process);
        mNext.push_back(1);
        ++mModel.header.p;
        return static_cast<int>(mModel.processes.size()) - 1;
    }
    Builder& Phase(int p, int type, Time duration, int partnerTid = -1, int tag = 0) {
        mModel.phases.Add(p, mNext[p]++, type, duration, tag, 0, partnerTid, type == kSend, "");
        mModel.processes[p].totals[type] += duration;
        return *this;
    }
    // A member's sync phase of collective instance of group.
    Builder& Sync(int p, Time duration, Collective kind, const std::string& group, int instance, int rootTid = -1) {
        Phase(p, kSync, duration);
        PhaseDetail detail;
        detail.collective = kind;
        detail.group = mModel.phases.InternGroup(group);
        detail.instance = instance;
        detail.root = rootTid;
        mModel.phases.SetDetail(mModel.phases.Size() - 1, detail);
        return *this;
    }
    // What the phase added last (a receive) asked for.
    Builder& Asked(int32_t source, int32_t tag) {
        PhaseDetail detail;
        detail.askedSource = source;
        detail.askedTag = tag;
        mModel.phases.SetDetail(mModel.phases.Size() - 1, detail);
        return *this;
    }
    ExperimentModel& Model() {
        mModel.IndexPhases();
        mModel.header.nbrProcesses = static_cast<int>(mModel.processes.size());
        return mModel;
    }
    ExperimentModel& Analysed(std::optional<Time> Ts = 1000) {
        Analyse(Model(), Ts);
        EXPECT_EQ(InvariantViolations(mModel), "");
        return mModel;
    }
    ExperimentModel mModel;
    std::vector<int> mNext;
};

constexpr int A = 101, B = 102, C = 103;

// Master M spawns S, S spawns G; G works 3000 us, and each parent waits for its child.
void SpawnTree(Builder& b) {
    constexpr int M = 201, S = 202, G = 203;
    const int m = b.Process(M, 0), s = b.Process(S, 2100), g = b.Process(G, 2700);
    b.Phase(m, kWork, 2000).Phase(m, kSpawn, 100, S).Phase(m, kIdle, 3840).Phase(m, kRecv, 10, S, 1);
    b.Phase(s, kWork, 500).Phase(s, kSpawn, 100, G).Phase(s, kIdle, 3015).Phase(s, kRecv, 10, G, 2);
    b.Phase(s, kWork, 200).Phase(s, kSend, 10, M, 1);
    b.Phase(g, kWork, 3000).Phase(g, kSend, 10, S, 2);
}

// A works 200 and sends to B; B works 20, waits 180 (+2 transfer), receives in 20 and
// sends to C; C works 20 and waits 202.
void Chain(Builder& b) {
    const int a = b.Process(A), pb = b.Process(B), c = b.Process(C);
    b.Phase(a, kWork, 200).Phase(a, kSend, 5, B, 0);
    b.Phase(pb, kWork, 20).Phase(pb, kIdle, 182).Phase(pb, kRecv, 20, A, 0).Phase(pb, kSend, 5, C, 0);
    b.Phase(c, kWork, 20).Phase(c, kIdle, 204).Phase(c, kRecv, 20, B, 0);
}

}  // namespace

TEST(Passes, LateSenderWaitItsCauseDelayCostAndCriticalPath) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B);
    b.Phase(p0, kWork, 100).Phase(p0, kSend, 10, B, 1);
    b.Phase(p1, kIdle, 120).Phase(p1, kRecv, 5, A, 1).Phase(p1, kWork, 50);
    const ExperimentModel& model = b.Analysed();
    const Findings& f = model.findings;
    EXPECT_EQ(model.header.statusData, kBlockingCausesCalc);
    EXPECT_EQ(model.header.errorFlags, 0) << ErrorFlagNames(model.header.errorFlags);
    ASSERT_EQ(f.messages.size(), 1u);
    EXPECT_EQ(f.messages[0].sendTime, 110);
    EXPECT_EQ(f.messages[0].recvTime, 120);
    EXPECT_EQ(f.messages[0].delay, 10);
    EXPECT_EQ(model.CommDelay(1), 10);
    EXPECT_EQ(model.CommDelay(3), 10);
    EXPECT_EQ(model.phases.start[4], 125);
    ASSERT_EQ(f.waitStates.size(), 1u);
    EXPECT_EQ(f.waitStates[0].pattern, WaitPattern::kLateSender);
    EXPECT_EQ(f.waitStates[0].waitTime, 100);
    EXPECT_EQ(f.waitStates[0].phase, 2);
    EXPECT_EQ(f.waitStates[0].causePhase, 1);
    // p1 waited from 0 to 100 for p0's 100 us of work; nothing of p1 came before.
    ASSERT_EQ(f.delayCosts.size(), 1u);
    EXPECT_EQ(f.delayCosts[0].cause.process, p0);
    EXPECT_EQ(f.delayCosts[0].cause.type, kWork);
    EXPECT_DOUBLE_EQ(f.delayCosts[0].shortTerm, 100);
    EXPECT_DOUBLE_EQ(f.delayCosts[0].longTerm, 0);
    EXPECT_EQ(f.waitStates[0].transferTime, 20);  // the idle after the send began
    EXPECT_EQ(f.transferTime, 20);
    EXPECT_EQ(f.criticalPathLength, 175);
    EXPECT_EQ(f.criticalPathByProcess[p0], 110);
    EXPECT_EQ(f.criticalPathByProcess[p1], 65);
    EXPECT_EQ(f.criticalPathByType.at(kWork), 150);
    EXPECT_EQ(f.criticalPathByType.at(kIdle), 10);
}

TEST(Passes, CriticalPathOfAThreeProcessPipeline) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B), p2 = b.Process(C);
    b.Phase(p0, kWork, 100).Phase(p0, kSend, 10, B, 0);
    b.Phase(p1, kIdle, 115).Phase(p1, kRecv, 5, A, 0).Phase(p1, kWork, 50).Phase(p1, kSend, 10, C, 0);
    b.Phase(p2, kIdle, 185).Phase(p2, kRecv, 5, B, 0).Phase(p2, kWork, 20);
    const Findings& f = b.Analysed().findings;
    EXPECT_EQ(f.criticalPathLength, 210);
    ASSERT_EQ(f.criticalPath.size(), 3u);
    EXPECT_EQ(f.criticalPath[0].process, p0);
    EXPECT_EQ(f.criticalPath[1].begin, 110);
    EXPECT_EQ(f.criticalPath[2].begin, 180);
    EXPECT_EQ(f.criticalPathByType.at(kWork), 170);
    EXPECT_EQ(f.criticalPathByType.at(kSend), 20);
    EXPECT_EQ(f.criticalPathByType.at(kRecv), 10);
    EXPECT_EQ(f.criticalPathByType.at(kIdle), 10);
    EXPECT_EQ(f.criticalPathByProcess[p2], 30);
    ASSERT_EQ(f.waitStates.size(), 2u);
    EXPECT_EQ(f.waitStates[0].waitTime, 170);  // p2 waited until p1 began to send
    EXPECT_EQ(f.waitStates[1].waitTime, 100);
}

TEST(Passes, WrongOrderWhenAMessageSentEarlierIsReceivedLater) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B), p2 = b.Process(C);
    b.Phase(p0, kWork, 40).Phase(p0, kSend, 10, C, 0);
    b.Phase(p1, kWork, 10).Phase(p1, kSend, 10, C, 0);
    b.Phase(p2, kIdle, 60).Phase(p2, kRecv, 5, A, 0).Phase(p2, kIdle, 0).Phase(p2, kRecv, 5, B, 0);
    const Findings& f = b.Analysed().findings;
    ASSERT_EQ(f.waitStates.size(), 1u);
    EXPECT_EQ(f.waitStates[0].pattern, WaitPattern::kWrongOrderOtherSource);
    EXPECT_EQ(f.waitStates[0].waitTime, 40);
    EXPECT_EQ(f.waitStates[0].causePhase, 1);
}

TEST(Passes, ClockViolationIsFlaggedAndRepairedOnTheShownClockOnly) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B);
    b.Phase(p0, kWork, 100).Phase(p0, kSend, 10, B, 0);
    b.Phase(p1, kWork, 20).Phase(p1, kIdle, 30).Phase(p1, kRecv, 5, A, 0).Phase(p1, kWork, 10);
    const ExperimentModel& model = b.Analysed();
    const Findings& f = model.findings;
    EXPECT_TRUE(model.header.errorFlags & kWrongCommPointers);
    EXPECT_EQ(f.clockViolations, 1);
    EXPECT_EQ(f.messages[0].delay, -60);
    EXPECT_EQ(model.phases.start[4], 50);  // the stored clock is kept
    EXPECT_EQ(f.repairedMessages, 1);
    EXPECT_EQ(f.largestRepair, 51);
    EXPECT_EQ(model.phases.shownStart[4], 101);  // the receive follows the start of its send
    EXPECT_EQ(model.phases.shownStart[5], 106);  // the shift is carried forward
    EXPECT_EQ(model.phases.shownStart[2], 0);    // phases before the last communication stay
    EXPECT_GT(model.phases.shownStart[3], 20);   // the idle before the receive absorbs part of it
    EXPECT_LT(model.phases.shownStart[3], 101);
    // Events moved, not phases: the work before the idle and the idle grew, so the
    // process's time line has no hole; the critical path covers its whole length.
    EXPECT_EQ(model.phases.ShownEnd(2), model.phases.shownStart[3]);
    EXPECT_EQ(model.phases.ShownEnd(3), 101);
    EXPECT_EQ(f.criticalPathLength, 116);
}

TEST(Passes, AReceiveEarlyWithinTheClockBoundsIsNoViolation) {
    for (const Time bound : {10, 20}) {
        Builder b;
        const int p0 = b.Process(A), p1 = b.Process(B);
        b.Phase(p0, kWork, 100).Phase(p0, kSend, 10, B, 0);
        b.Phase(p1, kWork, 20).Phase(p1, kIdle, 50).Phase(p1, kRecv, 5, A, 0);  // 30 us before the send began
        for (const int p : {p0, p1}) {
            b.mModel.processes[p].hasClockOffsets = true;
            b.mModel.processes[p].startBound = bound;
            b.mModel.processes[p].endBound = bound / 2;
        }
        const ExperimentModel& model = b.Analysed();
        const bool within = 2 * bound >= 30;
        EXPECT_EQ(model.findings.clockViolations, within ? 0 : 1) << bound;
        EXPECT_EQ(model.findings.withinClockBounds, within ? 1 : 0) << bound;
        EXPECT_EQ((model.header.errorFlags & kWrongCommPointers) != 0, !within) << bound;
        EXPECT_EQ(model.findings.repairedMessages, 1);  // the shown clock is consistent either way
    }
}

TEST(Passes, MatchingFollowsTagsAndCountsUnreceivedSends) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B);
    b.Phase(p0, kSend, 10, B, 1).Phase(p0, kSend, 10, B, 2).Phase(p0, kSend, 10, B, 1).Phase(p0, kWork, 5);
    b.Phase(p1, kWork, 40).Phase(p1, kRecv, 5, A, 2).Phase(p1, kRecv, 5, A, 1);
    const ExperimentModel& model = b.Analysed();
    const Findings& f = model.findings;
    EXPECT_EQ(model.header.errorFlags, 0) << ErrorFlagNames(model.header.errorFlags);
    ASSERT_EQ(f.messages.size(), 3u);
    EXPECT_EQ(f.messages[0].sendPhase, 1);  // tag 2 skips the first send
    EXPECT_EQ(f.messages[1].sendPhase, 0);
    EXPECT_EQ(f.messages[2].recvPhase, -1);
    EXPECT_EQ(f.messages[2].sendPhase, 2);
    EXPECT_EQ(f.messages[2].recvProcess, p1);
    EXPECT_EQ((f.unreceived.at({p0, p1})), 1);
}

TEST(Passes, BrokenDataIsFlagged) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B), p2 = b.Process(C);
    b.Phase(p0, kPart, 10).Phase(p0, kSend, 10, 999, 0).Phase(p0, kIdle, 20);
    b.Phase(p1, kRecv, 5, A, 0);
    b.Phase(p2, kPart, 10).Phase(p2, kPart, 10);
    ExperimentModel& model = b.Model();
    model.header.statusData = kStarted;
    model.processes[p1].hasTotals = false;
    model.phases.nbr[model.processes[p2].firstPhase + 1] = 3;  // phase 2 missing
    Analyse(model, std::nullopt);
    EXPECT_EQ(InvariantViolations(model), "");
    const int flags = model.header.errorFlags;
    EXPECT_EQ(flags, kExpCrashed | kProcessCrashed | kTseqNotInDb | kNoUsefulWork | kUnknownCommPartners |
                         kWrongCommPointers | kIdleCauses)
        << ErrorFlagNames(flags);
    EXPECT_EQ(model.header.speedup, 0.0f);
    EXPECT_LE(model.header.errors.size(), 50u);
    EXPECT_FALSE(model.header.errors.empty());
    ASSERT_EQ(model.findings.waitStates.size(), 1u);
    EXPECT_EQ(model.findings.waitStates[0].pattern, WaitPattern::kUnexplained);
    EXPECT_EQ(model.findings.waitStates[0].waitTime, 20);
    EXPECT_EQ(model.findings.waitStates[0].causePhase, -1);
}

TEST(Passes, TotalsRatiosAndSpeedup) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B);
    b.Phase(p0, kWork, 75).Phase(p0, kPart, 25);
    b.Phase(p1, kWork, 50);
    ExperimentModel& model = b.Model();
    model.header.Tp = 100;
    Analyse(model, 300);
    EXPECT_EQ(InvariantViolations(model), "");
    EXPECT_FLOAT_EQ(model.processes[p0].ratios[kWork], 0.75f);
    EXPECT_FLOAT_EQ(model.processes[p0].ratios[kPart], 0.25f);
    EXPECT_FLOAT_EQ(model.processes[p1].ratios[kWork], 1.0f);
    EXPECT_EQ(model.findings.experimentTotals.at(kWork), 125);
    EXPECT_FLOAT_EQ(model.header.speedup, 3.0f);
    EXPECT_FLOAT_EQ(model.header.efficiency, 1.5f);
    // A second analysis of the same model finds the same.
    const ExperimentHeader first = model.header;
    Analyse(model, 300);
    EXPECT_EQ(model.header.errorFlags, first.errorFlags);
    EXPECT_EQ(model.header.errors, first.errors);
}

TEST(Passes, DriftCorrectionMovesALateSlavesPhasesBack) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B);
    b.Phase(p0, kWork, 1000);
    b.Phase(p1, kWork, 500).Phase(p1, kWork, 500);
    ExperimentModel& model = b.Model();
    model.processes[p1].hasClockOffsets = true;
    model.processes[p1].startOffset = 10;
    model.processes[p1].endOffset = 30;  // its clock ran 20 us fast over 1000 us
    model.processes[p1].endTime = 1000;
    Analyse(model, std::nullopt);
    EXPECT_EQ(InvariantViolations(model), "");
    EXPECT_TRUE(model.findings.driftCorrected);
    EXPECT_EQ(model.phases.start[2], 490);
    EXPECT_EQ(model.phases.ShownDuration(1), 490);  // durations follow the mapped times
}

TEST(Passes, CriticalPathFollowsSpawnsBackToTheMaster) {
    Builder b;
    SpawnTree(b);
    const int m = 0, s = 1, g = 2;
    const Findings& f = b.Analysed().findings;
    EXPECT_EQ(f.criticalPathLength, 5950);  // the whole run, spawning included
    EXPECT_EQ(f.criticalPathByProcess[m], 2115);
    EXPECT_EQ(f.criticalPathByProcess[s], 825);
    EXPECT_EQ(f.criticalPathByProcess[g], 3010);
    EXPECT_EQ(f.criticalPathByType.at(kWork), 5700);
    EXPECT_EQ(f.criticalPathByType.at(kSpawn), 200);
    EXPECT_EQ(f.criticalPathByType.at(kIdle), 10);
    ASSERT_EQ(f.criticalPath.size(), 5u);
    EXPECT_EQ(f.criticalPath[0].process, m);
    EXPECT_EQ(f.criticalPath[0].end, 2100);
    EXPECT_EQ(f.criticalPath[1].process, s);
    EXPECT_EQ(f.criticalPath[2].process, g);
}

// A child that starts 500 us after its spawn phase ended: its start-up is on the path,
// booked to the child as spawning, so the path's time by type and by process still
// make up its length.
TEST(Passes, CriticalPathKeepsAChildsStartUpAsSpawning) {
    Builder b;
    constexpr int M = 301, S = 302;
    const int m = b.Process(M, 0), s = b.Process(S, 2600);
    b.Phase(m, kWork, 2000).Phase(m, kSpawn, 100, S).Phase(m, kIdle, 3520).Phase(m, kRecv, 10, S, 1);
    b.Phase(s, kWork, 3000).Phase(s, kSend, 10, M, 1);
    const Findings& f = b.Analysed().findings;
    EXPECT_EQ(f.criticalPathLength, 5630);
    EXPECT_EQ(f.criticalPathByProcess[m], 2120);
    EXPECT_EQ(f.criticalPathByProcess[s], 3510);
    EXPECT_EQ(f.criticalPathByType.at(kWork), 5000);
    EXPECT_EQ(f.criticalPathByType.at(kSpawn), 600);
    EXPECT_EQ(f.criticalPathByType.at(kSend), 10);
    EXPECT_EQ(f.criticalPathByType.at(kIdle), 10);
    EXPECT_EQ(f.criticalPathByType.at(kRecv), 10);
}

TEST(Passes, CriticalPathWalksAPingPongOnce) {
    // A long ping-pong: every receive waits, so the path jumps at every message and
    // covers the whole run; the walk takes linear time (the benchmark shows it).
    constexpr int kRounds = 5000;
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B);
    for (int k = 0; k < kRounds; ++k)
        b.Phase(p0, kWork, 10).Phase(p0, kSend, 1, B, 0).Phase(p0, kIdle, 12).Phase(p0, kRecv, 1, B, 1);
    b.Phase(p1, kIdle, 11);
    for (int k = 0; k < kRounds; ++k) {
        b.Phase(p1, kRecv, 1, A, 0).Phase(p1, kWork, 10).Phase(p1, kSend, 1, A, 1);
        b.Phase(p1, kIdle, k + 1 < kRounds ? 12 : 0);
    }
    const Findings& f = b.Analysed().findings;
    EXPECT_EQ(f.criticalPathLength, kRounds * 24LL);
    EXPECT_EQ(f.criticalPathByType.at(kWork), kRounds * 20LL);
    EXPECT_EQ(f.criticalPath.size(), 2u * kRounds + 1);
}

TEST(Passes, RootCauseDelayCostsOfAThreeProcessChain) {
    // C's wait costs B's receive 20 and transfer 2 (short-term) and, through B's wait,
    // A's work 180 (long-term).
    Builder b;
    Chain(b);
    const int a = 0, pb = 1;
    const ExperimentModel& model = b.Analysed();
    const Findings& f = model.findings;
    ASSERT_EQ(f.waitStates.size(), 2u);
    EXPECT_EQ(f.waitStates[0].waitTime, 202);
    EXPECT_EQ(f.waitStates[1].waitTime, 180);
    std::map<std::pair<int, std::string>, std::pair<double, double>> costs;
    for (const DelayCost& cost : f.delayCosts)
        costs[{cost.cause.process, CostCauseName(cost.cause)}] = {cost.shortTerm, cost.longTerm};
    ASSERT_EQ(costs.size(), 3u);
    EXPECT_DOUBLE_EQ(costs.at({a, "work"}).first, 180);
    EXPECT_DOUBLE_EQ(costs.at({a, "work"}).second, 180);
    EXPECT_DOUBLE_EQ(costs.at({pb, "comm_recv"}).first, 20);
    EXPECT_DOUBLE_EQ(costs.at({pb, "comm_recv"}).second, 0);
    EXPECT_DOUBLE_EQ(costs.at({pb, "transfer"}).first, 2);
    EXPECT_EQ(f.delayCosts[0].cause.process, a);  // largest first
    const nlohmann::json json = SummaryJson(model);
    EXPECT_EQ(json["delayCosts"][0]["type"], "work");
    EXPECT_EQ(json["delayCosts"][0]["longTerm"], 180.0);

    // The metric tree: 676 us of process time, 382 of it waits and 4 transfer.
    const MetricNode& root = f.metricTree;
    EXPECT_EQ(root.time, 205 + 227 + 244);
    std::map<std::string, Time> top;
    for (const MetricNode& node : root.children) top[node.name] = node.time;
    EXPECT_EQ(top.at("work"), 240);
    EXPECT_EQ(top.at("communication"), 50);
    EXPECT_EQ(top.at("waits"), 382);
    EXPECT_EQ(top.at("transfer"), 4);
    EXPECT_EQ(top.count("unexplained idle"), 0u);
    EXPECT_NE(SummaryText(model).find("  waits: 0.000382 s (56.5 %)"), std::string::npos) << SummaryText(model);
}

TEST(Passes, WrongOrderLooksBackOverABoundedWindowAndSplitsBySource) {
    // A first sends a message (tag 99) that B reads last; before it, B waits late for
    // 150 messages of A. Only the last kWrongOrderWindow waits become wrong order.
    constexpr int kMessages = 150;
    Builder b;
    const int a = b.Process(A), pb = b.Process(B);
    b.Phase(a, kSend, 1, B, 99);
    for (int k = 0; k < kMessages; ++k) b.Phase(a, kWork, 10).Phase(a, kSend, 1, B, 1);
    Time bNow = 0;
    for (int k = 0; k < kMessages; ++k) {
        const Time arrival = 12 + 11 * k;
        b.Phase(pb, kIdle, arrival - bNow).Phase(pb, kRecv, 1, A, 1);
        bNow = arrival + 1;
    }
    b.Phase(pb, kRecv, 1, A, 99);
    const Findings& f = b.Analysed().findings;
    const auto byPattern = WaitsByPattern(b.mModel);
    EXPECT_EQ(byPattern.at("wrong_order_same_source").first, static_cast<int>(kWrongOrderWindow));
    EXPECT_EQ(byPattern.at("late_sender").first, kMessages - static_cast<int>(kWrongOrderWindow));
    EXPECT_EQ(byPattern.at("wrong_order_other_source").first, 0);
    EXPECT_EQ(f.waitStates.size(), static_cast<std::size_t>(kMessages));
}

TEST(Passes, HostileStoredValuesAreFlaggedNeverFoldedOrMixedUp) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B);
    b.Phase(p0, kWork, 100).Phase(p0, -1, 5).Phase(p0, -7, 5).Phase(p0, 70000, 7).Phase(p0, 1'000'000'000, 3);
    b.Phase(p1, kWork, 50).Phase(p1, kPart, -20).Phase(p1, kWork, 10);
    ExperimentModel& model = b.Analysed();
    const Findings& f = model.findings;
    EXPECT_TRUE(model.header.errorFlags & kProcessCrashed);
    // A type is never folded into another by a narrow column, nor booked as computation.
    EXPECT_EQ(f.experimentTotals.at(70000), 7);
    EXPECT_EQ(f.experimentTotals.count(70000 - 65536), 0u);
    EXPECT_EQ(f.experimentTotals.at(1'000'000'000), 3);
    EXPECT_EQ(f.experimentTotals.at(-1), 5);
    EXPECT_EQ(f.experimentTotals.count(kComp), 0u);
    const std::string text = SummaryText(model);
    EXPECT_NE(text.find("process 101: phase 2 has type -1 (a wrong call of the probe)"), std::string::npos) << text;
    EXPECT_NE(text.find("process 101: 2 phases of a wrong call"), std::string::npos) << text;
    EXPECT_NE(text.find("process 102: phase 2 has a negative duration (-20 us)"), std::string::npos) << text;
    EXPECT_EQ(PhaseTypeName(-7), "type -7 (wrong call)");
    EXPECT_EQ(PhaseTypeName(70000), "type 70000");
}

TEST(Passes, ProcessIndicesBeyondSixteenBitsAreNeverMixedUp) {
    // Process 0 sends to process 65537; process 1 receives from itself. With keys packed
    // into 16-bit fields the two would be one queue.
    Builder b;
    for (int k = 0; k < 65538; ++k) b.Process(1000 + k);
    b.Phase(0, kWork, 10).Phase(0, kSend, 1, 1000 + 65537, 0);
    b.Phase(1, kWork, 10).Phase(1, kRecv, 1, 1001, 0);
    b.Phase(65537, kWork, 10);
    const ExperimentModel& model = b.Analysed(std::nullopt);
    EXPECT_EQ(model.findings.unmatchedReceives, 1);
    EXPECT_EQ(model.findings.UnreceivedCount(), 1);
    EXPECT_EQ(model.findings.unreceived.at({0, 65537}), 1);
}

TEST(Passes, DelaysOfMoreThanThirtyFiveMinutesKeepTheirValue) {
    Builder b;
    const int p0 = b.Process(A), p1 = b.Process(B);
    b.Phase(p0, kWork, 10).Phase(p0, kSend, 10, B, 0);
    b.Phase(p1, kWork, 3'000'000'000LL).Phase(p1, kRecv, 10, A, 0);  // 50 minutes later
    const ExperimentModel& model = b.Analysed();
    EXPECT_EQ(model.findings.messages[0].delay, 3'000'000'000LL - 20);
    EXPECT_EQ(model.CommDelay(3), 3'000'000'000LL - 20);
}

TEST(Passes, SpeedupIsNotKnownWithoutASequentialReference) {
    Builder b;
    const int p0 = b.Process(A);
    b.Phase(p0, kWork, 10);
    const ExperimentModel& model = b.Analysed(std::nullopt);
    const std::string text = SummaryText(model);
    EXPECT_NE(text.find("speedup: not known\nefficiency: not known\n"), std::string::npos) << text;
    const nlohmann::json json = SummaryJson(model);
    EXPECT_TRUE(json["speedup"].is_null());
    EXPECT_TRUE(json["efficiency"].is_null());
    EXPECT_EQ(model.header.speedup, 0.0f);  // as stored
}

// The JSON summary of fixed experiments against the one kept in tests/golden, to catch
// accidental changes of any pass (KOVA_UPDATE_GOLDEN=1 writes them anew).
TEST(Passes, SummariesOfFixedExperimentsMatchTheirGoldenJson) {
    for (const auto& [name, build] : {std::pair{"spawn_tree", &SpawnTree}, std::pair{"chain", &Chain}}) {
        Builder b;
        build(b);
        const nlohmann::json summary = SummaryJson(b.Analysed());
        const std::string path = std::string(KOVA_SOURCE_DIR "/analysis/tests/golden/") + name + ".json";
        if (std::getenv("KOVA_UPDATE_GOLDEN")) std::ofstream(path) << summary.dump(2) << "\n";
        std::ifstream in(path);
        ASSERT_TRUE(in) << path;
        EXPECT_EQ(summary, nlohmann::json::parse(in)) << name << ":\n" << summary.dump(2);
    }
}

namespace {

// The waits found, as (pattern, process index, time, cause process index or -1).
std::set<std::tuple<std::string, int, Time, int>> WaitsOf(const ExperimentModel& model) {
    std::set<std::tuple<std::string, int, Time, int>> waits;
    for (const WaitState& w : model.findings.waitStates)
        waits.emplace(WaitPatternName(w.pattern), model.phases.process[w.phase], w.waitTime,
                      w.causePhase >= 0 ? model.phases.process[w.causePhase] : -1);
    return waits;
}

// Delay costs by (process index, cause name): short-term + long-term.
std::map<std::pair<int, std::string>, double> CostsOf(const ExperimentModel& model) {
    std::map<std::pair<int, std::string>, double> costs;
    for (const DelayCost& cost : model.findings.delayCosts)
        costs[{cost.cause.process, CostCauseName(cost.cause)}] += cost.Total();
    return costs;
}

std::map<std::string, Time> TopOfTree(const MetricNode& root, const std::string& name) {
    std::map<std::string, Time> times;
    for (const MetricNode& node : root.children)
        if (name.empty()) times[node.name] = node.time;
        else if (node.name == name)
            for (const MetricNode& child : node.children) times[child.name] = child.time;
    return times;
}

}  // namespace

// A barrier that C enters last: A and B wait for it, everyone takes 10 us to leave
// after C entered; the path runs from A's end through the barrier back to C's work.
TEST(Collectives, WaitAtBarrierIsCausedByTheLastToEnterAndCompletionFollows) {
    Builder b;
    const int a = b.Process(A), pb = b.Process(B), c = b.Process(C);
    b.Phase(a, kWork, 100).Sync(a, 60, Collective::kBarrier, "workers", 0).Phase(a, kWork, 20);
    b.Phase(pb, kWork, 50).Sync(pb, 110, Collective::kBarrier, "workers", 0).Phase(pb, kWork, 10);
    b.Phase(c, kWork, 150).Sync(c, 10, Collective::kBarrier, "workers", 0).Phase(c, kWork, 5);
    const ExperimentModel& model = b.Analysed();
    const Findings& f = model.findings;
    EXPECT_EQ(model.header.errorFlags, 0) << ErrorFlagNames(model.header.errorFlags);
    EXPECT_EQ(WaitsOf(model), (std::set<std::tuple<std::string, int, Time, int>>{
                                  {"wait_at_barrier", a, 50, c},
                                  {"wait_at_barrier", pb, 100, c},
                                  {"barrier_completion", a, 10, -1},
                                  {"barrier_completion", pb, 10, -1},
                                  {"barrier_completion", c, 10, -1}}));
    // C's work is what A and B waited for: 50 and 100 us more than theirs.
    EXPECT_EQ(CostsOf(model), (std::map<std::pair<int, std::string>, double>{{{c, "work"}, 150.0}}));
    EXPECT_EQ(f.criticalPathLength, 180);
    EXPECT_EQ(f.criticalPathByProcess[a], 30);
    EXPECT_EQ(f.criticalPathByProcess[c], 150);
    EXPECT_EQ(f.criticalPathByType.at(kSync), 10);
    EXPECT_EQ(f.runLength, 180);
    const auto waits = TopOfTree(f.metricTree, "waits");
    EXPECT_EQ(waits.at("wait_at_barrier"), 150);
    EXPECT_EQ(waits.at("barrier_completion"), 30);
    EXPECT_EQ(TopOfTree(f.metricTree, "").count("overhead"), 0u);  // the sync time is all waiting
    const nlohmann::json json = SummaryJson(model);
    EXPECT_EQ(json["collectives"]["byKind"]["barrier"]["count"], 1);
    EXPECT_EQ(json["waitStates"]["largest"][0]["pattern"], "wait_at_barrier");
    EXPECT_EQ(json["waitStates"]["largest"][0]["group"], "workers");
    EXPECT_EQ(json["waitStates"]["largest"][0]["causeProcessID"], C);
}

// A broadcast whose root C enters last, then a reduce at A that A enters first: late
// broadcast for A and B caused by C, early reduce for A caused by C, the last of the
// others to enter.
TEST(Collectives, LateBroadcastAndEarlyReduceAreCausedByTheRootAndTheLastMember) {
    Builder b;
    const int a = b.Process(A), pb = b.Process(B), c = b.Process(C);
    b.Phase(a, kWork, 10).Sync(a, 50, Collective::kBcast, "g", 0, C).Sync(a, 40, Collective::kReduce, "g", 1, A);
    b.Phase(pb, kWork, 30).Sync(pb, 30, Collective::kBcast, "g", 0, C).Phase(pb, kWork, 20);
    b.Sync(pb, 20, Collective::kReduce, "g", 1, A);
    b.Phase(c, kWork, 50).Sync(c, 5, Collective::kBcast, "g", 0, C).Phase(c, kWork, 35);
    b.Sync(c, 5, Collective::kReduce, "g", 1, A);
    const ExperimentModel& model = b.Analysed();
    const Findings& f = model.findings;
    EXPECT_EQ(WaitsOf(model), (std::set<std::tuple<std::string, int, Time, int>>{
                                  {"late_broadcast", a, 40, c},
                                  {"late_broadcast", pb, 20, c},
                                  {"early_reduce", a, 30, c}}));
    // The reduce's interval starts at the broadcast, where C entered: C worked 35 us
    // more than A there; before the broadcast C worked 40 and 20 us more than A and B.
    EXPECT_EQ(CostsOf(model), (std::map<std::pair<int, std::string>, double>{{{c, "work"}, 90.0}}));
    EXPECT_EQ(f.criticalPathLength, 100);
    EXPECT_EQ(f.criticalPathByProcess[a], 10);
    EXPECT_EQ(f.criticalPathByProcess[c], 90);
}

// An all-to-all that B enters last, then a barrier that B never enters (the program
// was killed): the all-to-all's waits are B's; the barrier is flagged, not counted.
TEST(Collectives, WaitAtNxNAndACollectiveThatNeverCompleted) {
    Builder b;
    const int a = b.Process(A), pb = b.Process(B), c = b.Process(C);
    b.Phase(a, kWork, 10).Sync(a, 30, Collective::kAlltoall, "world", 0).Sync(a, 20, Collective::kBarrier, "world", 1);
    b.Phase(pb, kWork, 25).Sync(pb, 15, Collective::kAlltoall, "world", 0).Phase(pb, kWork, 100);
    b.Phase(c, kWork, 20).Sync(c, 20, Collective::kAlltoall, "world", 0).Sync(c, 20, Collective::kBarrier, "world", 1);
    ExperimentModel& model = b.Model();
    model.header.statusData = kStarted;
    Analyse(model, std::nullopt);
    EXPECT_EQ(InvariantViolations(model), "");
    const Findings& f = model.findings;
    EXPECT_EQ(WaitsOf(model), (std::set<std::tuple<std::string, int, Time, int>>{{"wait_at_nxn", a, 15, pb},
                                                                                 {"wait_at_nxn", c, 5, pb}}));
    EXPECT_EQ(f.incompleteCollectives, 1);
    EXPECT_TRUE(model.header.errorFlags & kWrongCommPointers);
    EXPECT_EQ(TopOfTree(f.metricTree, "overhead").at("sync"), 15 + 15 + 15 + 20 + 20);
    EXPECT_EQ(SummaryJson(model)["collectives"]["incomplete"], 1);
}

// A member whose clock puts its exit before the last member's entry: the repair moves
// its exit (and what follows) after that entry, so the barrier has a completion.
TEST(Collectives, AnExitBeforeTheLastEntryIsRepaired) {
    Builder b;
    const int a = b.Process(A), pb = b.Process(B), c = b.Process(C);
    b.Phase(a, kWork, 10).Sync(a, 20, Collective::kBarrier, "g", 0).Phase(a, kWork, 10);  // leaves at 30
    b.Phase(pb, kWork, 10).Sync(pb, 40, Collective::kBarrier, "g", 0).Phase(pb, kWork, 10);
    b.Phase(c, kWork, 45).Sync(c, 5, Collective::kBarrier, "g", 0).Phase(c, kWork, 10);  // enters at 45
    const ExperimentModel& model = b.Analysed();
    const Findings& f = model.findings;
    EXPECT_EQ(f.repairedExits, 1);
    EXPECT_EQ(model.phases.shownStart[2], 46);  // A's exit follows C's entry
    EXPECT_EQ(model.phases.shownStart[1], 10);  // its entry stays
    EXPECT_EQ(WaitsOf(model).count({"wait_at_barrier", a, 35, c}), 1u);
    EXPECT_EQ(WaitsOf(model).count({"barrier_completion", a, 1, -1}), 1u);

    // An exit that is also a receive follows both its send and the last entry.
    Builder r;
    const int ra = r.Process(A), rb = r.Process(B), rc = r.Process(C);
    r.Phase(ra, kWork, 10).Sync(ra, 20, Collective::kBarrier, "g", 0).Phase(ra, kRecv, 5, C, 0);
    r.Phase(rb, kWork, 10).Sync(rb, 40, Collective::kBarrier, "g", 0);
    r.Phase(rc, kSend, 5, A, 0).Phase(rc, kWork, 45).Sync(rc, 5, Collective::kBarrier, "g", 0);
    const ExperimentModel& both = r.Analysed();
    EXPECT_EQ(both.phases.shownStart[2], 51);
}

// Wrong order needs a selective receive: the same receives as in the wrong-order case
// above, the first one asking for any source and tag, for A only, or not known.
TEST(Passes, WrongOrderOnlyWhereTheReceiveWasSelective) {
    for (const auto& [source, tag, pattern] : {std::tuple{kAskedAny, kAskedAny, "late_sender"},
                                               std::tuple{A, kAskedAny, "wrong_order_other_source"},
                                               std::tuple{kAskedAny, 0, "wrong_order_other_source"},
                                               std::tuple{kAskedNotKnown, kAskedNotKnown, "wrong_order_other_source"}}) {
        Builder b;
        const int p0 = b.Process(A), p1 = b.Process(B), p2 = b.Process(C);
        b.Phase(p0, kWork, 40).Phase(p0, kSend, 10, C, 0);
        b.Phase(p1, kWork, 10).Phase(p1, kSend, 10, C, 0);
        b.Phase(p2, kIdle, 60).Phase(p2, kRecv, 5, A, 0).Asked(source, tag).Phase(p2, kIdle, 0).Phase(p2, kRecv, 5, B, 0);
        const ExperimentModel& model = b.Analysed();
        ASSERT_EQ(model.findings.waitStates.size(), 1u);
        EXPECT_STREQ(WaitPatternName(model.findings.waitStates[0].pattern), pattern) << source << " " << tag;
        const nlohmann::json largest = SummaryJson(model)["waitStates"]["largest"][0];
        EXPECT_EQ(largest["askedSource"], source);
        EXPECT_EQ(largest["askedTag"], tag);
    }
}

// A master killed by a signal (no Tp stored, the experiment never finished) whose
// slave outlives it: Tp is the end of its last stored phase, the run's length reaches
// the slave's end, the probe's crash reason stays in errors beside the findings, and
// a second analysis stores the same.
TEST(Passes, AKilledMastersTimeTheRunsLengthAndTheProbesCrashReason) {
    Builder b;
    const int m = b.Process(A), s = b.Process(B, 50);
    b.Phase(m, kWork, 100).Phase(m, kSend, 10, B, 0).Phase(m, kWork, 30);
    b.Phase(s, kIdle, 70).Phase(s, kRecv, 5, A, 0).Phase(s, kWork, 200);
    ExperimentModel& model = b.Model();
    model.header.statusData = kStarted;
    model.header.errors = "the program ended with exit status 1";
    Analyse(model, std::nullopt);
    EXPECT_EQ(InvariantViolations(model), "");
    EXPECT_TRUE(model.findings.tpFromPhases);
    EXPECT_EQ(model.header.Tp, 140);
    EXPECT_EQ(model.findings.runLength, 325);
    EXPECT_LE(model.findings.criticalPathLength, model.findings.runLength);
    EXPECT_EQ(model.findings.criticalPathLength, 325);
    EXPECT_EQ(model.header.errors, "the program ended with exit status 1; analysis: 1");
    const std::string text = SummaryText(model);
    EXPECT_NE(text.find("run length: 0.000325 s"), std::string::npos) << text;
    const ExperimentHeader first = model.header;
    Analyse(model, std::nullopt);
    EXPECT_EQ(model.header.errors, first.errors);
    EXPECT_EQ(model.header.Tp, first.Tp);
    // Without a text of the probe's the findings stand alone; a long one is kept whole.
    EXPECT_EQ(ErrorsWithFindings("", {"a", "b"}), "analysis: (2) a");
    EXPECT_EQ(StoredErrors("analysis: (2) a"), "");
    const std::string longText(45, 'x');
    EXPECT_EQ(ErrorsWithFindings(longText, {"a"}), longText);
    EXPECT_EQ(StoredErrors(ErrorsWithFindings("killed", {"a"})), "killed");
}

// Phases whose true lengths are 100, 10, 50 (A) and 30, 80 (B), each measured 2 us
// longer by the probe's own work at its one recorded call (2000 ns per call); B's idle
// before its receive is waiting, which the probe does not lengthen.
TEST(Passes, CompensationTakesTheProbesOwnCostOutOfThePhases) {
    Builder b;
    const int a = b.Process(A), pb = b.Process(B);
    b.Phase(a, kWork, 102).Phase(a, kSend, 12, B, 0).Phase(a, kWork, 52);
    b.Phase(pb, kIdle, 120).Phase(pb, kRecv, 32, A, 0).Phase(pb, kWork, 82);
    for (const auto& [p, calls] : {std::pair{a, 3}, std::pair{pb, 2}}) {
        b.mModel.processes[p].hasProbeCosts = true;
        b.mModel.processes[p].recordedCalls = calls;
        b.mModel.processes[p].nsPerCall = 2000;
    }
    const ExperimentModel& model = b.Analysed();
    const Compensation& c = model.findings.compensation;
    ASSERT_TRUE(c.known);
    EXPECT_EQ(c.total, 10);
    EXPECT_EQ(c.byProcess[a], 6);
    EXPECT_EQ(c.byProcess[pb], 4);
    EXPECT_EQ(TopOfTree(c.metricTree, "").at("work"), 100 + 50 + 80);
    EXPECT_EQ(TopOfTree(c.metricTree, "communication"), (std::map<std::string, Time>{{"comm_recv", 30}, {"comm_send", 10}}));
    EXPECT_EQ(c.metricTree.time, model.findings.metricTree.time - 10);
    const nlohmann::json json = SummaryJson(model)["compensation"];
    EXPECT_EQ(json["correction"], 10);
    EXPECT_EQ(json["totals"]["work"]["measured"], 236);
    EXPECT_EQ(json["totals"]["work"]["compensated"], 230);
    // Without stored probe costs nothing is compensated.
    Builder plain;
    plain.Phase(plain.Process(A), kWork, 10);
    EXPECT_FALSE(plain.Analysed().findings.compensation.known);
    EXPECT_EQ(SummaryJson(plain.mModel)["compensation"], nlohmann::json({{"known", false}}));
}

// A cost per phase that is no whole number of µs: the shares add up to the cost.
TEST(Passes, CompensationSharesAddUpToTheCost) {
    Builder b;
    const int a = b.Process(A);
    for (int k = 0; k < 8; ++k) b.Phase(a, kWork, 10);
    b.mModel.processes[a].hasProbeCosts = true;
    b.mModel.processes[a].recordedCalls = 10;
    b.mModel.processes[a].nsPerCall = 1000;  // 10 us over 8 phases
    EXPECT_EQ(b.Analysed().findings.compensation.total, 10);
}
