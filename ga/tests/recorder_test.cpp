// Tests of the parallel recorder's storage against the stand-in legacy database
// server: phase rows and CPU numbers, summary rows on the master's clock, and the run's
// totals. The recorders are set up field by field, as start would leave them.
#include "ga/measure.h"
#include "ga/tests/ga_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

const int EXPERIMENT = 990001;
const long DAY = 86400;

class GAParallelRecorder : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(db.Connected());
        setenv("HOST", "testhost", 1);
        db.DeleteExperiment(EXPERIMENT);
    }
    void TearDown() override { db.DeleteExperiment(EXPERIMENT); }

    // A connected recorder of experiment EXPERIMENT as slave `cpu` of `machines`.
    static void Prepare(measure& chronometer, int cpu, int machines)
    {
        chronometer.mSock = connectToDatabase();
        chronometer.mExperimentID = EXPERIMENT;
        chronometer.mCPUnbr = cpu;
        chronometer.mP = machines;
        chronometer.mMyTid = 262144 + cpu;
        gettimeofday(&chronometer.mTimeStart, nullptr);
        chronometer.mFirstTimeStart = chronometer.mTimeStart;
    }

    void StorePhase(int cpu, int phase)
    {
        db.Execute("INSERT INTO time_measurements VALUES ('comp',1," + std::to_string(EXPERIMENT) + "," +
                   std::to_string(cpu) + "," + std::to_string(phase) + ",0,0,0)");
    }

    void StoreSummary(int cpu, const std::string& totals)
    {
        db.Execute("INSERT INTO analysis  VALUES (" + std::to_string(EXPERIMENT) + ", 'elsewhere'  ," +
                   std::to_string(cpu) + "," + totals + ",0,0,1)");
    }

    std::vector<Row> PhaseRows()
    {
        return db.Rows("SELECT * FROM time_measurements WHERE Experiment_No = " + std::to_string(EXPERIMENT) +
                       " ORDER BY CPU_No, phase_counter");
    }

    // The experiment's five totals and its speedup.
    std::vector<double> ExperimentTotals()
    {
        const std::vector<Row> rows =
            db.Rows("SELECT calculation_time, partitioning_time, communication_time, synchronisation_time, "
                    "blocking_time, speed_up FROM experiments WHERE Experiment_No = " +
                    std::to_string(EXPERIMENT));
        std::vector<double> values;
        if (rows.size() == 1)
            for (const std::string& text : rows[0])
                values.push_back(std::atof(text.c_str()));
        return values;
    }

    LegacyDatabase db;
};

TEST_F(GAParallelRecorder, PhasesAreStoredWithTheirLengthAndTakeAFreeCpuNumber)
{
    // Slaves 1 and 2 have written their first phase already.
    StorePhase(1, 1);
    StorePhase(2, 1);
    measure chronometer;
    Prepare(chronometer, 1, 3);
    chronometer.mTimeStart.tv_sec -= 2;
    chronometer.mTimeStart.tv_usec -= 500000;

    const TIME first = chronometer.split_chrono(measure::comp, 7, 0, false);
    EXPECT_GE(first, 2500000u);
    EXPECT_LT(first, 3500000u);
    EXPECT_EQ(chronometer.mCPUnbr, 3);
    EXPECT_EQ(chronometer.mCompDiff, first);

    // A phase longer than 2^31 microseconds.
    chronometer.mTimeStart.tv_sec -= 3000;
    const TIME second = chronometer.split_chrono(measure::blok, 0, 12, true);
    EXPECT_GE(second, 3000000000u);
    EXPECT_EQ(chronometer.mBlockDiff, second);

    // A later phase that collides is reported and skipped; the CPU number stays.
    StorePhase(3, 3);
    testing::internal::CaptureStdout();
    chronometer.split_chrono(measure::comm, 0, 0, false);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.rfind("query failed: INSERT INTO time_measurements VALUES ('comm',", 0), 0u) << output;
    EXPECT_EQ(chronometer.mCPUnbr, 3);
    EXPECT_EQ(chronometer.mFaseCnt, 3);

    const std::vector<Row> rows = PhaseRows();
    ASSERT_EQ(rows.size(), 5u);
    const std::string experiment = std::to_string(EXPERIMENT);
    EXPECT_EQ(rows[2], (Row{"comp", std::to_string(first), experiment, "3", "1", "7", "0", "0"}));
    EXPECT_EQ(rows[3], (Row{"blok", std::to_string(second), experiment, "3", "2", "0", "12", "1"}));
    EXPECT_EQ(rows[4][0], "comp") << "the colliding row was kept";
}

TEST_F(GAParallelRecorder, CpuNumbersStopAtTheMachineCount)
{
    StorePhase(1, 1);
    StorePhase(2, 1);
    measure chronometer;
    Prepare(chronometer, 1, 2);
    testing::internal::CaptureStdout();
    chronometer.split_chrono(measure::comp, 0, 0, false);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(chronometer.mCPUnbr, 2);
    EXPECT_EQ(CountOccurrences(output, "query failed: "), 1) << output;
    EXPECT_EQ(PhaseRows().size(), 2u);
}

TEST_F(GAParallelRecorder, SummaryRowHoldsTheStartOnTheMastersClock)
{
    {
        measure chronometer;
        Prepare(chronometer, 2, 99);
        chronometer.mFirstTimeStart = {20000 * DAY + 10, 300};
        chronometer.mDelta = {0, 500};
        chronometer.mCompDiff = 11;
        chronometer.mPartDiff = 12;
        chronometer.mCommDiff = 13;
        chronometer.mSynchDiff = 14;
        chronometer.mBlockDiff = 15;
        testing::internal::CaptureStdout();
    }
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output, "Local starttime = " + std::to_string(20000 * DAY + 10) +
                          " s 300 us; Delta with master = 0s 500us\n"
                          "synchroniseerde start = " +
                          std::to_string(20000 * DAY + 10) +
                          " s en -200 us\n"
                          "Process started on host testhost(met cpunr 2) = 9 s 999800 us\n");
    const std::vector<Row> rows = db.Rows("SELECT * FROM analysis WHERE Experiment_No = " + std::to_string(EXPERIMENT));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (Row{std::to_string(EXPERIMENT), "testhost", "2", "11", "12", "13", "14", "15", "9", "999800",
                            "262146"}));
}

TEST_F(GAParallelRecorder, StartJustAfterMidnightStaysWithinTheDay)
{
    {
        measure chronometer;
        Prepare(chronometer, 1, 99);
        chronometer.mFirstTimeStart = {20000 * DAY, 100};
        chronometer.mDelta = {1, 0}; // the master's clock is a second behind
        testing::internal::CaptureStdout();
    }
    testing::internal::GetCapturedStdout();
    const std::vector<Row> rows = db.Rows("SELECT * FROM analysis WHERE Experiment_No = " + std::to_string(EXPERIMENT));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][8], "86399");
    EXPECT_EQ(rows[0][9], "100");
}

TEST_F(GAParallelRecorder, LastProcessToFinishStoresTheTotals)
{
    const long long none[5] = {0, 0, 0, 0, 0};
    db.StoreExperiment(EXPERIMENT, 4, none);
    StoreSummary(0, "100,10,20,30,40"); // the master: 200 us in all
    StoreSummary(1, "1000,1,2,3,4");
    {
        measure third;
        Prepare(third, 2, 4);
        third.mCompDiff = 2000;
        testing::internal::CaptureStdout();
    }
    const std::string thirdOutput = testing::internal::GetCapturedStdout();
    EXPECT_EQ(thirdOutput.find("is updated"), std::string::npos) << thirdOutput;
    EXPECT_EQ(ExperimentTotals(), std::vector<double>(6, 0.0));

    {
        measure fourth;
        Prepare(fourth, 3, 4);
        fourth.mCompDiff = 3000;
        fourth.mBlockDiff = 6;
        testing::internal::CaptureStdout();
    }
    const std::string fourthOutput = testing::internal::GetCapturedStdout();
    EXPECT_NE(fourthOutput.find("Experiment " + std::to_string(EXPERIMENT) +
                                " is updated in database for CPU nbr 3\n"
                                "I've calculated a speedup of 30.5 (Ts=6100us, Tp=200us)\n"
                                "This speedup is only an aproximation, run your program also in sequential mode "
                                "for a correct calculation!!\n"),
              std::string::npos)
        << fourthOutput;
    EXPECT_EQ(ExperimentTotals(), (std::vector<double>{6100, 11, 22, 33, 50, 30.5}));
}

TEST_F(GAParallelRecorder, MasterWithoutTimeLeavesTheExperimentAlone)
{
    const long long none[5] = {0, 0, 0, 0, 0};
    db.StoreExperiment(EXPERIMENT, 1, none);
    StoreSummary(0, "0,0,0,0,0");
    {
        measure slave;
        Prepare(slave, 1, 1);
        slave.mCompDiff = 500;
        testing::internal::CaptureStdout();
    }
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.find("is updated"), std::string::npos) << output;
    EXPECT_EQ(ExperimentTotals(), std::vector<double>(6, 0.0));
}

} // namespace
