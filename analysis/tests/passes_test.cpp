// The analysis passes on small hand-built experiments whose answers are worked out by hand.
#include <analyse.h>
#include <gtest/gtest.h>

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
        process.totals.assign(kNbrBasicTypes, 0);
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
    ExperimentModel& Model() {
        mModel.IndexPhases();
        mModel.header.nbrProcesses = static_cast<int>(mModel.processes.size());
        return mModel;
    }
    ExperimentModel& Analysed(std::optional<Time> Ts = 1000) {
        Analyse(Model(), Ts);
        return mModel;
    }
    ExperimentModel mModel;
    std::vector<int> mNext;
};

constexpr int A = 101, B = 102, C = 103;

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
    EXPECT_EQ(model.phases.commDelay[1], 10);
    EXPECT_EQ(model.phases.commDelay[3], 10);
    EXPECT_EQ(model.phases.start[4], 125);
    ASSERT_EQ(f.waitStates.size(), 1u);
    EXPECT_EQ(f.waitStates[0].pattern, WaitPattern::kLateSender);
    EXPECT_EQ(f.waitStates[0].waitTime, 100);
    EXPECT_EQ(f.waitStates[0].phase, 2);
    EXPECT_EQ(f.waitStates[0].causePhase, 1);
    ASSERT_EQ(f.delayCosts.size(), 1u);
    EXPECT_EQ(f.delayCosts[0].causeProcess, p0);
    EXPECT_EQ(f.delayCosts[0].type, kWork);
    EXPECT_DOUBLE_EQ(f.delayCosts[0].time, 100);
    EXPECT_EQ(f.criticalPathLength, 175);
    EXPECT_EQ(f.criticalPathByProcess[p0], 110);
    EXPECT_EQ(f.criticalPathByProcess[p1], 65);
    EXPECT_EQ(f.criticalPathByType[kWork], 150);
    EXPECT_EQ(f.criticalPathByType[kIdle], 10);
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
    EXPECT_EQ(f.criticalPathByType[kWork], 170);
    EXPECT_EQ(f.criticalPathByType[kSend], 20);
    EXPECT_EQ(f.criticalPathByType[kRecv], 10);
    EXPECT_EQ(f.criticalPathByType[kIdle], 10);
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
    EXPECT_EQ(f.waitStates[0].pattern, WaitPattern::kWrongOrder);
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
    EXPECT_FLOAT_EQ(model.processes[p0].ratios[kWork], 0.75f);
    EXPECT_FLOAT_EQ(model.processes[p0].ratios[kPart], 0.25f);
    EXPECT_FLOAT_EQ(model.processes[p1].ratios[kWork], 1.0f);
    EXPECT_EQ(model.findings.experimentTotals[kWork], 125);
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
    EXPECT_TRUE(model.findings.driftCorrected);
    EXPECT_EQ(model.phases.start[2], 490);
}
