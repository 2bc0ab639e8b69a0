// Tests of the probe in one process (p = 1, no PVM) against the real measurement
// database: what it stores and when, what it prints, the replacement policies, the
// console question and the wrong uses that end the process.
#include "probe/tests/probe_test_support.h"

#include "probe/probestate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <numeric>

namespace {

const char* const NO_WARNING = "Warning";

std::string Str(long long value) { return std::to_string(value); }

}  // namespace

TEST(ProbeClock, StartTimeMovesOntoTheMasterClock) {
    int sec = 100;
    int usec = 200;
    SubtractClockDelta(sec, usec, timeval{3, 500});
    EXPECT_EQ(sec, 96);
    EXPECT_EQ(usec, 1000000 + 200 - 500);
    // A local clock one microsecond behind: PVM gives -1 s and 999999 us.
    sec = 100;
    usec = 200;
    SubtractClockDelta(sec, usec, timeval{-1, 999999});
    EXPECT_EQ(sec, 100);
    EXPECT_EQ(usec, 201);
}

// Each test measures its own application, whose experiments are removed afterwards.
class ProbeSequential : public testing::Test {
protected:
    void SetUp() override {
        mDb = ConnectToMeasurementDb();
        mApp = UniqueAppName();
    }
    void TearDown() override { DeleteExperimentsOf(*mDb, mApp); }

    std::vector<Row> ExperimentRows() {
        return SelectRows(*mDb, "SELECT * FROM Experiments WHERE name = " + mDb->QuotedValue(CutToWidth(mApp)) +
                                    " ORDER BY ID");
    }
    Row ExperimentRow(int expID) {
        const auto rows = SelectRows(*mDb, "SELECT * FROM Experiments WHERE ID = " + Str(expID));
        return rows.empty() ? Row{} : rows[0];
    }
    long long Count(const std::string& table, int expID) {
        return SelectNumber(*mDb, "SELECT COUNT(*) FROM " + table + " WHERE expID = " + Str(expID));
    }
    // Rows of table for expID, once they are there (the probe hands its batches to
    // the server without waiting); the count seen last after two seconds otherwise.
    long long CountOnceThere(const std::string& table, int expID, long long expected) {
        long long count = Count(table, expID);
        for (int i = 0; i < 200 && count != expected; ++i) {
            usleep(10000);
            count = Count(table, expID);
        }
        return count;
    }
    // Stores an experiment similar to those of the probes below (p = 1), finished
    // unless said otherwise, with one process row and one phase row; returns its number.
    int StoreExperiment(TIME tp, int W = 42, int p = 1, bool finished = true) {
        Application app(GetUserID(), mApp, "", "", "");
        Experiment exp(&app, DateTime(), "stored", p, W);
        exp.mTp = tp;
        exp.mStatusData = finished ? Experiment::EXP_FINISHED : Experiment::EXP_STARTED;
        *mDb << exp;
        const int id = static_cast<int>(mDb->LastInsertID());
        Process process(id, 0, "elsewhere", 0, 0);
        Phase phase(id, 0, 1, PH_WORK, tp, 0, 0, "");
        *mDb << process << phase;
        return id;
    }

    std::unique_ptr<StandardDatabase> mDb;
    std::string mApp;
};

TEST_F(ProbeSequential, InactiveProbesMeasureAndStoreNothing) {
    KOVAProbe inactive;
    EXPECT_EQ(inactive.EndOfPhase(PH_WORK), 0);
    EXPECT_EQ(inactive.EndOfCommPhase(PH_COMM_SEND, 5), 0);
    inactive.SlaveIsSpawned(262146);
    EXPECT_EQ(inactive.GetExperimentID(), -1);
    EXPECT_EQ(inactive.ViewExpChrono(), 0);
    EXPECT_EQ(inactive.ViewPhaseChrono(), 0);
    inactive.StartMeasuring();
    inactive.Stop();
    EXPECT_TRUE(inactive.state().mPhases.empty());
    EXPECT_FALSE(KOVAProbe::State::msExistProbeInstance);

    {
        KOVAProbe switchedOff(mApp, "project", "1.0", false, KOVAProbe::DO_NOT_REPLACE);
        EXPECT_EQ(switchedOff.EndOfPhase(PH_WORK), 0);
        EXPECT_EQ(switchedOff.GetExperimentID(), -1);
        EXPECT_EQ(switchedOff.state().mDB, nullptr);
    }
    EXPECT_TRUE(ExperimentRows().empty());
}

TEST_F(ProbeSequential, SequentialMasterStoresItsExperimentProcessPhasesAndTotals) {
    testing::internal::CaptureStdout();
    auto probe = std::make_unique<KOVAProbe>(mApp, 1, KOVAProbe::DO_NOT_REPLACE, 42, "a comment");
    const int expID = probe->GetExperimentID();
    ASSERT_GT(expID, 0);

    // At construction: the experiment (not finished yet) and the process row.
    Row started = ExperimentRow(expID);
    EXPECT_EQ(started["Tp"], "0");
    EXPECT_EQ(started["statusData"], "0");
    // The process row is sent without waiting for the server's reply: it may take a
    // moment to be visible on another connection.
    auto processes = SelectRows(*mDb, "SELECT * FROM Processes WHERE expID = " + Str(expID));
    for (int tries = 0; processes.empty() && tries < 200; ++tries) {
        usleep(10000);
        processes = SelectRows(*mDb, "SELECT * FROM Processes WHERE expID = " + Str(expID));
    }
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_EQ(processes[0].at("ID"), "0");
    EXPECT_EQ(processes[0].at("pvmTid"), "0");
    EXPECT_EQ(processes[0].at("processor"), ThisMachineName());
    EXPECT_EQ(processes[0].at("startTimeSec"), Str(probe->state().mExpChrono.GetStartTime().tv_sec));
    EXPECT_EQ(processes[0].at("startTimeMicroSec"), Str(probe->state().mExpChrono.GetStartTime().tv_usec));

    std::vector<TIME> durations;
    usleep(3000);
    durations.push_back(probe->EndOfPhase(PH_PART, 1, 2, "cut"));
    usleep(2000);
    durations.push_back(probe->EndOfPhase(PH_WORK, 5, 6, "w"));
    durations.push_back(probe->EndOfCommPhase(PH_COMM_SEND, 77, 3, "s"));
    durations.push_back(probe->EndOfCommPhase(PH_COMM_RECV, 78, 4));
    usleep(1000);
    durations.push_back(probe->EndOfPhase(PH_IDLE));
    durations.push_back(probe->EndOfPhase(PH_SYNC));
    durations.push_back(probe->EndOfPhase(PH_SPAWN));
    durations.push_back(probe->EndOfPhase(PH_WORK));
    const TIME expTime = probe->ViewExpChrono();
    const TIME sum = std::accumulate(durations.begin(), durations.end(), TIME{0});
    EXPECT_GE(durations[0], 3000);
    EXPECT_GE(durations[1], 2000);
    // The phases tile the time line from the start of measuring.
    EXPECT_LE(sum, expTime);
    EXPECT_LT(expTime - sum, 2000);
    probe->Stop();
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output, " *** KOVA Instrumentation: experiment " + Str(expID) + " written to database \n");

    Row finished = ExperimentRow(expID);
    EXPECT_EQ(finished["name"], mApp);
    EXPECT_EQ(finished["user"], GetUserID());
    EXPECT_EQ(finished["project"], "");
    EXPECT_EQ(finished["comment"], "a comment");
    EXPECT_EQ(finished["date"].size(), 24u);
    EXPECT_EQ(finished["p"], "1");
    EXPECT_EQ(finished["W"], "42");
    EXPECT_EQ(finished["nbrProcesses"], "1");
    EXPECT_EQ(finished["statusData"], "1");
    const long long tp = std::atoll(finished["Tp"].c_str());
    EXPECT_GE(tp, expTime);
    EXPECT_LT(tp - expTime, 200000);

    const auto phases = SelectRows(*mDb, "SELECT * FROM Phases WHERE expID = " + Str(expID) + " ORDER BY nbr");
    ASSERT_EQ(phases.size(), durations.size());
    const int types[] = {PH_PART, PH_WORK, PH_COMM_SEND, PH_COMM_RECV, PH_IDLE, PH_SYNC, PH_SPAWN, PH_WORK};
    for (std::size_t i = 0; i < phases.size(); ++i) {
        EXPECT_EQ(phases[i].at("nbr"), Str(i + 1));
        EXPECT_EQ(phases[i].at("processID"), "0");
        EXPECT_EQ(phases[i].at("typeID"), Str(types[i]));
        EXPECT_EQ(phases[i].at("duration"), Str(durations[i]));
        EXPECT_EQ(phases[i].at("startTime"), "0");
    }
    EXPECT_EQ(phases[0].at("nbrQuantums"), "1");
    EXPECT_EQ(phases[0].at("nbrOperations"), "2");
    EXPECT_EQ(phases[0].at("comment"), "cut");
    EXPECT_EQ(phases[0].at("commPartnerTid"), "-1");
    EXPECT_EQ(phases[2].at("commPartnerTid"), "77");
    EXPECT_EQ(phases[2].at("commIsSending"), "1");
    EXPECT_EQ(phases[2].at("nbrQuantums"), "3");
    EXPECT_EQ(phases[3].at("commIsSending"), "0");
    EXPECT_EQ(phases[3].at("nbrOperations"), "0");

    // One total per type whose phases add up to more than nothing, that sum.
    std::map<int, TIME> expected;
    for (std::size_t i = 0; i < durations.size(); ++i) expected[types[i]] += durations[i];
    std::map<int, TIME> stored;
    for (const Row& total : SelectRows(*mDb, "SELECT * FROM PhaseDurations WHERE expID = " + Str(expID))) {
        stored[std::atoi(total.at("phaseTypeID").c_str())] = std::atoll(total.at("duration").c_str());
        EXPECT_EQ(total.at("ratio"), "0");
        EXPECT_EQ(total.at("processID"), "0");
    }
    for (auto it = expected.begin(); it != expected.end();) it = it->second == 0 ? expected.erase(it) : ++it;
    EXPECT_EQ(stored, expected);
    EXPECT_GE(stored.size(), 2u);
}

TEST_F(ProbeSequential, TypesOnTheWrongCallWarnAndAreStillRecorded) {
    KOVAProbe probe(mApp, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
    testing::internal::CaptureStdout();
    probe.EndOfPhase(PH_COMM_RECV);
    const std::string commOnEndOfPhase = testing::internal::GetCapturedStdout();
    EXPECT_EQ(commOnEndOfPhase,
              " *** Warning for KOVAInstrumentation!\n ***   you called EndOfPhase with a comm phaseType:6\n ***   "
              "use EndOfCommPhase instead for indicating communication phases.\n");

    testing::internal::CaptureStdout();
    probe.EndOfCommPhase(PH_WORK, 99, 1);
    const std::string workOnEndOfCommPhase = testing::internal::GetCapturedStdout();
    EXPECT_EQ(workOnEndOfCommPhase,
              " *** Warning for KOVAInstrumentation!\n ***   you called EndOfCommPhase with a non-comm phaseType:3\n "
              "***   use EndOfPhase instead.\n");
    ASSERT_EQ(probe.state().mPhases.size(), 2u);
    const Phase& work = probe.state().mPhases.back();
    EXPECT_EQ(work.mType, PH_WORK);
    EXPECT_EQ(work.mCommPartner, 99);
    EXPECT_FALSE(work.mCommIsSending);

    // Types outside the table of totals are recorded as phases but add to no total.
    const std::vector<PhaseDuration> before = probe.state().mProcess->mPhaseDurations;
    testing::internal::CaptureStdout();
    probe.EndOfCommPhase(20, 99);
    probe.EndOfCommPhase(-1, 99);
    const std::string outside = testing::internal::GetCapturedStdout();
    EXPECT_EQ(CountOccurrences(outside, "Error in  KOVAProbe::EndOfPhase: phasetype too big\n"), 2) << outside;
    ASSERT_EQ(probe.state().mProcess->mPhaseDurations.size(), before.size());
    for (std::size_t type = 0; type < before.size(); ++type)
        EXPECT_EQ(probe.state().mProcess->mPhaseDurations[type].mDuration, before[type].mDuration);
    EXPECT_EQ(probe.state().mPhases.back().mType, -1);

    const int expID = probe.GetExperimentID();
    testing::internal::CaptureStdout();
    probe.Stop();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Count("Phases", expID), 4);
    EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM PhaseDurations WHERE expID = " + Str(expID) +
                                     " AND phaseTypeID NOT IN (3, 6)"),
              0);
}

TEST_F(ProbeSequential, StopRunsOnceAndANewProbeMayFollow) {
    int expID = 0;
    TIME frozen = 0;
    testing::internal::CaptureStdout();
    {
        KOVAProbe probe(mApp, 1, KOVAProbe::DO_NOT_REPLACE, 42, "");
        expID = probe.GetExperimentID();
        probe.EndOfPhase(PH_WORK);
        probe.Stop();
        probe.Stop();
        EXPECT_EQ(probe.EndOfPhase(PH_WORK), 0);
        frozen = probe.ViewExpChrono();
        usleep(2000);
        EXPECT_EQ(probe.ViewExpChrono(), frozen);
        EXPECT_FALSE(KOVAProbe::State::msExistProbeInstance);
        EXPECT_EQ(probe.state().mProcess, nullptr);
        EXPECT_EQ(probe.state().mDB, nullptr);
    }
    KOVAProbe next(mApp, 1, KOVAProbe::DO_NOT_REPLACE, 43, "");
    EXPECT_NE(next.GetExperimentID(), expID);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(CountOccurrences(output, "written to database"), 1) << output;
    EXPECT_EQ(CountOccurrences(output, " *** measurement is not running, the time that is returned will be wrong\n"),
              2);
    EXPECT_EQ(Count("Phases", expID), 1);
    EXPECT_EQ(Count("PhaseDurations", expID), 1);
    EXPECT_EQ(std::atoll(ExperimentRow(expID)["Tp"].c_str()), frozen);
}

TEST_F(ProbeSequential, PhasesAreWrittenInBatchesMoreThanASecondApart) {
    KOVAProbe probe(mApp, 1, KOVAProbe::DO_NOT_REPLACE, 42, "");
    const int expID = probe.GetExperimentID();
    probe.EndOfPhase(PH_WORK);
    usleep(300000);
    probe.EndOfPhase(PH_WORK);
    EXPECT_EQ(Count("Phases", expID), 0);
    usleep(800000);
    probe.EndOfPhase(PH_IDLE);  // more than a second after the start: the first batch
    EXPECT_TRUE(probe.state().mPhases.empty());
    EXPECT_GT(probe.state().mTimeLastSave, 1000000);
    EXPECT_EQ(CountOnceThere("Phases", expID, 3), 3);
    probe.EndOfPhase(PH_WORK);
    usleep(1050000);
    EXPECT_EQ(Count("Phases", expID), 3);
    probe.EndOfPhase(PH_WORK);  // more than a second after that batch: the second
    EXPECT_EQ(CountOnceThere("Phases", expID, 5), 5);
    probe.EndOfPhase(PH_SYNC);
    testing::internal::CaptureStdout();
    probe.Stop();  // a phase written twice would break the key and end the process
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(DISTINCT nbr) FROM Phases WHERE expID = " + Str(expID) +
                                     " AND nbr BETWEEN 1 AND 6"),
              6);
    EXPECT_EQ(Count("Phases", expID), 6);
}

TEST_F(ProbeSequential, SettersDeclareEachParameterOnce) {
    testing::internal::CaptureStdout();
    KOVAProbe probe(mApp, 1, KOVAProbe::DO_NOT_REPLACE, 42, "");
    // The earlier form's declarations are accepted and ignored.
    probe.SpecifyExtraExperimentParameter("n", 1);
    probe.SpecifyExtraExperimentParameter("rate", 0.5, "ignored");
    probe.SpecifyExtraExperimentParameter("mode", std::string("fast"));
    const std::string quiet = testing::internal::GetCapturedStdout();
    EXPECT_EQ(quiet, "");
    ASSERT_EQ(probe.state().mExp.mExpParValues.size(), 2u);
    EXPECT_EQ(probe.state().mExp.mExpParValues[0].mParName, "p");
    EXPECT_EQ(probe.state().mExp.mExpParValues[1].mValue_int, 42);

    testing::internal::CaptureStdout();
    probe.SetNbrOfMachines(4);
    probe.SetProblemSize(9);
    probe.SetApplicationParameter("rate", 0.5, "learning rate");
    probe.SetApplicationParameter("rate", 0.75, "again");
    probe.SetApplicationParameter("mode", std::string("fast"), "");
    probe.SetExperimentComment("changed");
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output,
              " *** Warning for KOVAInstrumentation!\n *** call SetNbrOfMachines() only once. This call with value 4 "
              "is ignored\n *** Warning for KOVAInstrumentation!\n *** call SetProbelemSize() only once. This call "
              "with value 9 is ignored\n *** Warning for KOVAInstrumentation!\n *** call SetApplicationParameter() "
              "only once for each parameter. This call for parameter rate with value 0.75 is ignored\n");
    EXPECT_EQ(probe.state().mExp.mP, 1);
    EXPECT_EQ(probe.state().mExp.mW, 42);
    ASSERT_EQ(probe.state().mExp.mExpParValues.size(), 4u);
    EXPECT_EQ(probe.state().mExp.mExpParValues[2].mValue_double, 0.5);
    EXPECT_EQ(probe.state().mExp.mExpParValues[3].mValue_string, "fast");
    EXPECT_EQ(probe.state().mApp.mAppPars.size(), 4u);
    const int expID = probe.GetExperimentID();
    testing::internal::CaptureStdout();
    probe.Stop();
    testing::internal::GetCapturedStdout();
    Row stored = ExperimentRow(expID);
    EXPECT_EQ(stored["p"], "1");
    EXPECT_EQ(stored["W"], "42");
    EXPECT_EQ(stored["comment"], "changed");

    // On a probe that is not a master's the setters warn and still fill the records.
    KOVAProbe inactive;
    testing::internal::CaptureStdout();
    inactive.SetNbrOfMachines(3);
    inactive.SetApplicationParameter("n", 1, "");
    const std::string notMaster = testing::internal::GetCapturedStdout();
    EXPECT_EQ(notMaster,
              " *** Warning for KOVAInstrumentation!\n *** calling SetNbrOfMachines() makes only sense in the master "
              "process\n *** Warning for KOVAInstrumentation!!\n *** calling SetApplicationParameter() makes only "
              "sense in the master process\n");
    EXPECT_EQ(inactive.state().mExp.mP, 3);
}

TEST_F(ProbeSequential, ReplaceIfFasterDeletesSlowerFinishedSimilarExperiments) {
    const int withoutTime = StoreExperiment(0);
    const int running = StoreExperiment(0, 42, 1, false);
    const int slower = StoreExperiment(1000000000000LL);
    const int otherW = StoreExperiment(0, 43);
    const int otherP = StoreExperiment(0, 42, 2);
    testing::internal::CaptureStdout();
    int expID = 0;
    {
        KOVAProbe probe(mApp, 1, KOVAProbe::REPLACE_IF_FASTER, 42, "");
        expID = probe.GetExperimentID();
        probe.EndOfPhase(PH_WORK);
    }
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output, " *** KOVA Instrumentation: experiment " + Str(expID) +
                          " written to database (it replaces all slower similar experiments)\n");
    for (int gone : {withoutTime, slower}) {
        EXPECT_TRUE(ExperimentRow(gone).empty());
        EXPECT_EQ(Count("Processes", gone), 0);
        EXPECT_EQ(Count("Phases", gone), 0);
    }
    // An experiment that has not finished may still be running: it is never deleted.
    for (int kept : {running, otherW, otherP, expID}) EXPECT_FALSE(ExperimentRow(kept).empty());
    EXPECT_EQ(Count("Phases", running), 1);
    EXPECT_EQ(ExperimentRow(expID)["statusData"], "1");
}

TEST_F(ProbeSequential, ReplaceIfFasterDropsTheNewOneWithWhatItWroteWhenAStoredOneIsFaster) {
    const int faster = StoreExperiment(1);
    testing::internal::CaptureStdout();
    int expID = 0;
    {
        KOVAProbe probe(mApp, 1, KOVAProbe::REPLACE_IF_FASTER, 42, "");
        expID = probe.GetExperimentID();
        probe.EndOfPhase(PH_WORK);
        usleep(1010000);
        probe.EndOfPhase(PH_WORK);
        EXPECT_EQ(CountOnceThere("Phases", expID, 2), 2);
        probe.EndOfPhase(PH_IDLE);
    }
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output,
              " *** KOVA Instrumentation: experiment is NOT written to database, because it was slower than similar "
              "experiments (" +
                  mApp + " p=1 W=42)\n");
    EXPECT_TRUE(ExperimentRow(expID).empty());
    EXPECT_EQ(Count("Processes", expID), 0);
    EXPECT_EQ(Count("Phases", expID), 0);
    EXPECT_EQ(Count("PhaseDurations", expID), 0);
    EXPECT_FALSE(ExperimentRow(faster).empty());
    EXPECT_EQ(Count("Phases", faster), 1);
}

TEST_F(ProbeSequential, EqualTimeKeepsTheStoredExperiment) {
    const int stored = StoreExperiment(5000);
    const int withoutTime = StoreExperiment(0);
    const int current = StoreExperiment(0);
    Application app(GetUserID(), mApp, "", "", "");
    Experiment exp(&app, DateTime(), "", 1, 42);
    exp.mID = current;
    exp.mTp = 5000;
    EXPECT_FALSE(ReplaceSimilarExperiments(exp, true, *mDb));
    EXPECT_FALSE(ExperimentRow(stored).empty());
    EXPECT_TRUE(ExperimentRow(withoutTime).empty());
    EXPECT_TRUE(ExperimentRow(current).empty());
    EXPECT_EQ(Count("Phases", current), 0);

    // One microsecond faster than the stored one, the current one stays.
    const int next = StoreExperiment(0);
    exp.mID = next;
    exp.mTp = 4999;
    EXPECT_TRUE(ReplaceSimilarExperiments(exp, true, *mDb));
    EXPECT_TRUE(ExperimentRow(stored).empty());
    EXPECT_FALSE(ExperimentRow(next).empty());
}

TEST_F(ProbeSequential, ReplaceIfSuccessfulDeletesEveryOtherFinishedSimilarExperiment) {
    const int faster = StoreExperiment(1);
    const int running = StoreExperiment(0, 42, 1, false);
    const int otherW = StoreExperiment(1, 7);
    testing::internal::CaptureStdout();
    int expID = 0;
    {
        KOVAProbe probe(mApp, 1, KOVAProbe::REPLACE_IF_SUCCESFULL, 42, "");
        expID = probe.GetExperimentID();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              " *** KOVA Instrumentation: experiment " + Str(expID) +
                  " written to database (it replaces all similar experiments)\n");
    EXPECT_TRUE(ExperimentRow(faster).empty());
    EXPECT_FALSE(ExperimentRow(running).empty());
    EXPECT_FALSE(ExperimentRow(otherW).empty());
    EXPECT_FALSE(ExperimentRow(expID).empty());
}

TEST_F(ProbeSequential, SimilarExperimentsAreFoundWhateverTheirNames) {
    // A quote and more characters than the column keeps: the experiments are still
    // compared by their names as stored.
    mApp = "O'Brien's " + std::to_string(getpid()) + std::string(60, 'x');
    const int stored = StoreExperiment(1);
    testing::internal::CaptureStdout();
    { KOVAProbe probe(mApp, 1, KOVAProbe::REPLACE_IF_SUCCESFULL, 42, ""); }
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("(it replaces all similar experiments)"), std::string::npos) << output;
    EXPECT_TRUE(ExperimentRow(stored).empty());
    const auto rows = ExperimentRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("name"), mApp.substr(0, 50));
}

TEST_F(ProbeSequential, DoNotReplaceKeepsEveryExperiment) {
    const int unfinished = StoreExperiment(0);
    const int slower = StoreExperiment(1000000000000LL);
    testing::internal::CaptureStdout();
    { KOVAProbe probe(mApp, 1, KOVAProbe::DO_NOT_REPLACE, 42, ""); }
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ExperimentRow(unfinished).empty());
    EXPECT_FALSE(ExperimentRow(slower).empty());
    EXPECT_EQ(ExperimentRows().size(), 3u);
}

TEST_F(ProbeSequential, ConsoleQuestionRepeatsUntilAValidAnswer) {
    const int stored = StoreExperiment(1);
    const std::string app = mApp;
    const ChildResult child = RunInChild([&] { KOVAProbe probe(app, 1, KOVAProbe::ASK_USER, 42, ""); }, "x\nS\n  s\n");
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 0);
    const std::string question =
        " *** KOVA: What should I do with similar experiments?\n"
        " *** r (REPLACE_IF_FASTER), s (REPLACE_IF_SUCCESFULL) or n (DO_NOT_REPLACE)\n";
    const std::string again =
        " *** Please answer with: r (REPLACE_IF_FASTER), s (REPLACE_IF_SUCCESFULL) or n (DO_NOT_REPLACE)\n";
    const auto rows = ExperimentRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(child.output, question + " ?" + again + " ?" + again + " ? *** KOVA Instrumentation: experiment " +
                                rows[0].at("ID") + " written to database (it replaces all similar experiments)\n");
    EXPECT_TRUE(ExperimentRow(stored).empty());
}

TEST_F(ProbeSequential, ConsoleAnswersSelectThePolicies) {
    const std::string app = mApp;
    const ChildResult faster = RunInChild([&] { KOVAProbe probe(app, 1, KOVAProbe::ASK_USER, 42, ""); }, "r");
    EXPECT_NE(faster.output.find("(it replaces all slower similar experiments)"), std::string::npos)
        << faster.output;
    const ChildResult keep = RunInChild([&] { KOVAProbe probe(app, 1, KOVAProbe::ASK_USER, 42, ""); }, "n\n");
    EXPECT_NE(keep.output.find(" written to database \n"), std::string::npos) << keep.output;
    EXPECT_EQ(ExperimentRows().size(), 2u);
}

TEST_F(ProbeSequential, EndOfInputAtTheConsoleQuestionKeepsAllExperiments) {
    const int unfinished = StoreExperiment(0);
    const std::string app = mApp;
    const ChildResult child = RunInChild([&] {
        KOVAProbe probe(app, 1, KOVAProbe::ASK_USER, 42, "");
        probe.EndOfPhase(PH_WORK);
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_NE(child.output.find(
                  " ?\n *** KOVA: no answer (end of input), all similar experiments are kept (DO_NOT_REPLACE)\n"),
              std::string::npos)
        << child.output;
    EXPECT_NE(child.output.find(" written to database \n"), std::string::npos) << child.output;
    EXPECT_FALSE(ExperimentRow(unfinished).empty());
    EXPECT_EQ(ExperimentRows().size(), 2u);
}

TEST_F(ProbeSequential, WrongUsesEndTheProcessWithTheirTexts) {
    const std::string app = mApp;
    const ChildResult second = RunInChild([&] {
        KOVAProbe first(app, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
        KOVAProbe another(app, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
    });
    EXPECT_TRUE(second.exited);
    EXPECT_EQ(second.exitCode, 255);
    EXPECT_EQ(second.output,
              " *** Error with KOVAInstrumentation!!\n ***  you try to create a second master KOVAProbe in this "
              "process. Only 1 probe per process!\nerror in KOVAProbe constructor of master \n");

    const std::string restartText =
        " *** Error with KOVAInstrumentation!!\n ***  you called StartMeasuring() after EndOfPhase or "
        "SlaveIsSpawned calls! Resetting the measurements is not possible yet\n ***  this will be made "
        "available in the future...\nerror in KOVAProbe StartMeasuring() \n";
    const ChildResult restart = RunInChild([&] {
        KOVAProbe probe(app, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
        probe.StartMeasuring();  // allowed before the first phase
        probe.EndOfPhase(PH_WORK);
        probe.StartMeasuring();
    });
    EXPECT_EQ(restart.exitCode, 255);
    EXPECT_EQ(restart.output, restartText);
    // After Stop the same: a probe that recorded phases cannot start again.
    const ChildResult afterStop = RunInChild([&] {
        KOVAProbe unused(app, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
        unused.Stop();
        unused.StartMeasuring();  // no phases: nothing happens
        KOVAProbe probe(app, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
        probe.EndOfPhase(PH_WORK);
        probe.Stop();
        printf("stopped\n");
        probe.StartMeasuring();
    });
    EXPECT_EQ(afterStop.exitCode, 255);
    const std::size_t stopped = afterStop.output.find("stopped\n");
    ASSERT_NE(stopped, std::string::npos) << afterStop.output;
    EXPECT_EQ(afterStop.output.substr(stopped + 8), restartText);

    for (int type : {int{PH_COMP}, int{PH_COMM}, int{PH_OVERHEAD}, int{PH_DELAY}, 15}) {
        const ChildResult unknown = RunInChild([&] {
            KOVAProbe probe(app, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
            probe.EndOfPhase(type);
        });
        EXPECT_TRUE(unknown.exited);
        EXPECT_EQ(unknown.exitCode, 255);
        EXPECT_EQ(unknown.output, " *** Error for KOVAInstrumentation!!\n ***   you called EndOfPhase with a unknown "
                                  "phaseType:" +
                                      Str(type) +
                                      "\n ***   only use PH_IDLE, PH_WORK, PH_PART or PH_SYNC.\nerror in KOVAProbe "
                                      "EndOfPhase() \n");
    }
}

TEST_F(ProbeSequential, FailedWriteEndsTheProcessWithStatus255) {
    const std::string app = mApp;
    const ChildResult child = RunInChild([&] {
        KOVAProbe probe(app, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
        probe.EndOfPhase(PH_WORK);
        probe.EndOfPhase(PH_IDLE);
        // A row in the way of the probe's first phase makes its final write fail.
        auto db = ConnectToMeasurementDb();
        Phase inTheWay(probe.GetExperimentID(), 0, 1, PH_SYNC, 1, 0, 0, "in the way");
        *db << inTheWay;
    });
    EXPECT_TRUE(child.exited) << "ended by a signal";
    EXPECT_EQ(child.exitCode, 255);
    EXPECT_NE(child.output.find("Query failed: INSERT INTO Phases"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find(" *** KOVA Instrumentation: the measurement could not be stored, the process ends\n"),
              std::string::npos)
        << child.output;
    const auto rows = ExperimentRows();
    ASSERT_EQ(rows.size(), 1u);
    // What was stored before the failure stays; nothing of the failed final
    // transaction does, so the experiment is not marked finished either.
    EXPECT_EQ(rows[0].at("statusData"), "0");
    EXPECT_EQ(rows[0].at("Tp"), "0");
    const auto phases = SelectRows(*mDb, "SELECT comment FROM Phases WHERE expID = " + rows[0].at("ID"));
    ASSERT_EQ(phases.size(), 1u);
    EXPECT_EQ(phases[0].at("comment"), "in the way");
}

TEST_F(ProbeSequential, SequentialRunMakesNoPvmCall) {
    // As root, PVM ends any process that calls it without PVM_ALLOW_ROOT, with
    // status 1, so a sequential probe that called PVM could not finish here.
    if (geteuid() != 0) GTEST_SKIP() << "needs root, where PVM refuses to start";
    const std::string app = mApp;
    const ChildResult child = RunInChild([&] {
        unsetenv("PVM_ALLOW_ROOT");
        KOVAProbe probe(app, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
        printf("tid %d id %d\n", probe.state().mProcess->mMyTid, probe.state().mProcess->mID);
        probe.EndOfPhase(PH_WORK);
        probe.Stop();
        printf("finished\n");
    });
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_NE(child.output.find("tid 0 id 0\n"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("finished"), std::string::npos) << child.output;
}
