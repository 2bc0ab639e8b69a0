// Tests of the experiment records: phase types and totals of a process,
// application parameters, and writing totals and batches of records to the real
// database.
#include "probe/tests/probe_test_support.h"

#include "probe/KOVAData.h"
#include "probe/replacement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

TEST(ProbeRecords, NewProcessHasTheFifteenBasicTypesWithZeroTotals) {
    Process process(7, 3, "node2", 3, 1);
    EXPECT_EQ(process.GetNbrPhaseTypes(), 15);
    ASSERT_EQ(process.mPhaseTypes.size(), 15u);
    ASSERT_EQ(process.mPhaseDurations.size(), 15u);
    for (int type = 0; type < 15; ++type) {
        EXPECT_EQ(process.mPhaseTypes[type].mID, type);
        EXPECT_EQ(process.mPhaseTypes[type].mName, gBasicPhaseTypeStrings[type]);
        EXPECT_EQ(process.mPhaseTypes[type].mParentTypeID, gBasicPhaseTypeParents[type]);
        EXPECT_EQ(process.mPhaseDurations[type].mPhaseTypeID, type);
        EXPECT_EQ(process.mPhaseDurations[type].mExpID, 7);
        EXPECT_EQ(process.mPhaseDurations[type].mProcessID, 3);
        EXPECT_EQ(process.mPhaseDurations[type].mDuration, 0);
    }
    EXPECT_EQ(process.GetPhaseTypeID("sync"), 9);
    EXPECT_EQ(process.GetPhaseTypeID("restart phase details"), 14);
    EXPECT_EQ(process.GetPhaseTypeID("nothing"), -1);
    // The tree: work and overhead under comp, the overheads under overhead.
    EXPECT_EQ(gBasicPhaseTypeParents[PH_WORK], PH_COMP);
    EXPECT_EQ(gBasicPhaseTypeParents[PH_SYNC], PH_OVERHEAD);
    EXPECT_EQ(gBasicPhaseTypeParents[PH_COMM_RECV], PH_COMM);
}

TEST(ProbeRecords, AddPhaseTypeReusesNamesAndDropsUnknownParents) {
    Process process(1, 0, "node1", 0, 0);
    EXPECT_EQ(process.AddPhaseType("sync", 0), 9);
    EXPECT_EQ(process.GetNbrPhaseTypes(), 15);
    EXPECT_EQ(process.AddPhaseType("x", 40), 15);
    EXPECT_EQ(process.mPhaseTypes[15].mParentTypeID, -1);
    EXPECT_EQ(process.AddPhaseType("y", 3), 16);
    EXPECT_EQ(process.mPhaseTypes[16].mParentTypeID, 3);
    EXPECT_EQ(process.GetNbrPhaseTypes(), 17);
    ASSERT_EQ(process.mPhaseDurations.size(), 17u);
    EXPECT_EQ(process.mPhaseDurations[16].mPhaseTypeID, 16);
    EXPECT_EQ(process.mPhaseDurations[16].mProcessID, 0);
}

TEST(ProbeRecords, ApplicationParametersAreDeclaredOncePerName) {
    Application app("ann", "exe", "proj", "1.0", "");
    EXPECT_EQ(app.mUser, "ann");
    EXPECT_EQ(app.mName, "exe");
    EXPECT_TRUE(app.AddAppParameter("p", AppParameter::INT, ""));
    EXPECT_FALSE(app.AddAppParameter("p", AppParameter::STRING, "other"));
    EXPECT_TRUE(app.AddAppParameter("W", AppParameter::INT, ""));
    ASSERT_EQ(app.mAppPars.size(), 2u);
    EXPECT_EQ(app.mAppPars[0].mType, AppParameter::INT);
    EXPECT_TRUE(AppParameter(1, "a", AppParameter::INT, "x") == AppParameter(1, "a", AppParameter::DOUBLE, "y"));
    EXPECT_FALSE(AppParameter(1, "a", AppParameter::INT, "") == AppParameter(2, "a", AppParameter::INT, ""));

    const ExpParValue text(4, "mode", 2, std::string("fast"));
    EXPECT_EQ(text.mValue_int, 0);
    EXPECT_EQ(text.mValue_double, 0.0);
    EXPECT_EQ(text.mValue_string, "fast");
    const ExpParValue real(4, "rate", 2, 0.5);
    EXPECT_EQ(real.mValue_double, 0.5);
    EXPECT_EQ(real.mValue_int, 0);
}

TEST(ProbeRecords, ExperimentOfAnApplicationTakesItsNameAndUserOnly) {
    Application app("ann", "exe", "proj", "1.0", "c");
    const Experiment exp(&app, "Sun Dec  6 21:44:18 2026", "first", 3, 100);
    EXPECT_EQ(exp.mApp, &app);
    EXPECT_EQ(exp.mID, 0);
    EXPECT_EQ(exp.mName, "exe");
    EXPECT_EQ(exp.mUser, "ann");
    EXPECT_EQ(exp.mProject, "");
    EXPECT_EQ(exp.mVersion, "");
    EXPECT_EQ(exp.mP, 3);
    EXPECT_EQ(exp.mW, 100);
    EXPECT_EQ(exp.mNbrProcesses, 1);
    EXPECT_EQ(exp.mTp, 0);
    EXPECT_EQ(exp.mStatusData, Experiment::EXP_STARTED);
}

TEST(ProbeRecords, RatioAdapterReadsAndWritesTheRatios) {
    std::vector<PhaseDuration> totals(4);
    std::fill(RatioAdapter(totals.begin()), RatioAdapter(totals.end()), 0.25f);
    for (const PhaseDuration& total : totals) EXPECT_EQ(total.mRatio, 0.25f);
    const std::vector<float> ratios{0.1f, 0.2f, 0.3f, 0.4f};
    std::copy(ratios.begin(), ratios.end(), RatioAdapter(totals.begin()));
    EXPECT_EQ(totals[3].mRatio, 0.4f);
    EXPECT_FLOAT_EQ(std::accumulate(RatioAdapter(totals.begin()), RatioAdapter(totals.end()), 0.0f), 1.0f);
    EXPECT_EQ(totals[2].mDuration, 0);
}

// Records written to the measurement tables; the experiment number is one that no
// probe hands out (the generated numbers count up from 1), removed afterwards.
class ProbeStoredRecords : public testing::Test {
protected:
    void SetUp() override {
        mDb = ConnectToMeasurementDb();
        mExpID = -1000000 - getpid() % 100000;
        DeleteExperiment(mExpID, *mDb);
    }
    void TearDown() override { DeleteExperiment(mExpID, *mDb); }

    std::string OfThisExperiment() const { return " WHERE expID = " + std::to_string(mExpID); }

    std::unique_ptr<StandardDatabase> mDb;
    int mExpID = 0;
};

TEST_F(ProbeStoredRecords, OnlyNonZeroTotalsAreWrittenAndReadBack) {
    Process process(mExpID, 0, "node1", 0, 0);
    process.mPhaseDurations[PH_IDLE].mDuration = 1500;
    process.mPhaseDurations[PH_WORK].mDuration = 3000000000LL;
    *mDb << process.mPhaseDurations;
    EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM PhaseDurations" + OfThisExperiment()), 2);

    // Reading into a shorter vector fills its elements and appends the rest.
    std::vector<PhaseDuration> read(1);
    *mDb >> WhereClause("WHERE expID = " + std::to_string(mExpID) + " ORDER BY phaseTypeID") >> read;
    EXPECT_TRUE(WhereClause::msClause.empty());
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].mPhaseTypeID, PH_IDLE);
    EXPECT_EQ(read[0].mDuration, 1500);
    EXPECT_EQ(read[1].mPhaseTypeID, PH_WORK);
    EXPECT_EQ(read[1].mDuration, 3000000000LL);
    EXPECT_TRUE(read[1].mWritten);
}

TEST_F(ProbeStoredRecords, BatchStoresTheSameRowsAsSingleWrites) {
    // The same phases, once one statement at a time (process 1), once as a batch (process 2).
    std::list<Phase> single;
    PhaseList batch;
    for (int nbr = 1; nbr <= 300; ++nbr) {
        const std::string comment = "phase " + std::to_string(nbr) + " it's";
        if (nbr % 3 == 0) {
            single.emplace_back(mExpID, 1, nbr, PH_COMM_RECV, nbr * 11LL, 262150, false, nbr, comment);
            batch.emplace_back(mExpID, 2, nbr, PH_COMM_RECV, nbr * 11LL, 262150, false, nbr, comment);
        } else {
            single.emplace_back(mExpID, 1, nbr, PH_WORK, nbr * 7LL, 2, nbr, comment);
            batch.emplace_back(mExpID, 2, nbr, PH_WORK, nbr * 7LL, 2, nbr, comment);
        }
    }
    *mDb << single;
    // Totals after the phases: the batch switches to a second table.
    std::vector<PhaseDuration> totals = {PhaseDuration(PH_WORK, mExpID, 2), PhaseDuration(PH_IDLE, mExpID, 2)};
    totals[0].mDuration = 3000000000LL;
    totals[0].mRatio = 1.0f / 3;
    InsertBatchConvertor convertor(mDb.get());
    convertor.AddAll(batch);
    convertor.AddAll(totals);
    EXPECT_EQ(convertor.NbrRows(), 302u);
    EXPECT_EQ(convertor.Write(), 302);
    EXPECT_EQ(convertor.NbrRows(), 0u);
    EXPECT_TRUE(std::all_of(batch.begin(), batch.end(), [](const Phase& p) { return p.mWritten; }));
    const auto storedTotals =
        SelectRows(*mDb, "SELECT phaseTypeID, duration, ratio FROM PhaseDurations" + OfThisExperiment() +
                             " ORDER BY phaseTypeID");
    ASSERT_EQ(storedTotals.size(), 2u);
    EXPECT_EQ(storedTotals[1].at("duration"), "3000000000");
    EXPECT_EQ(storedTotals[1].at("ratio"), "0.333333");
    EXPECT_EQ(storedTotals[0].at("duration"), "0");
    const std::string columns =
        "SELECT nbr, typeID, duration, startTime, nbrQuantums, nbrOperations, commPartnerTid, commIsSending, "
        "commDelay, comment FROM Phases" +
        OfThisExperiment();
    const auto singleRows = SelectRows(*mDb, columns + " AND processID = 1 ORDER BY nbr");
    const auto batchRows = SelectRows(*mDb, columns + " AND processID = 2 ORDER BY nbr");
    ASSERT_EQ(singleRows.size(), 300u);
    EXPECT_EQ(singleRows, batchRows);
    EXPECT_EQ(batchRows[2].at("comment"), "phase 3 it's");
    EXPECT_EQ(batchRows[2].at("commIsSending"), "0");
}

TEST_F(ProbeStoredRecords, LargeBatchGoesInSeveralStatements) {
    // About 2 MB of rows: more than one statement may hold.
    PhaseList batch;
    const std::string comment(50, 'c');
    for (int nbr = 1; nbr <= 20000; ++nbr) batch.emplace_back(mExpID, 0, nbr, PH_WORK, 5, 0, 0, comment);
    InsertBatchConvertor convertor(mDb.get());
    convertor.AddAll(batch);
    EXPECT_EQ(convertor.Write(), 20000);
    EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM Phases" + OfThisExperiment()), 20000);
}

TEST_F(ProbeStoredRecords, FailingBatchKeepsNothingAndThrows) {
    Phase stored(mExpID, 0, 2, PH_WORK, 5, 0, 0, "first");
    *mDb << stored;
    PhaseList batch;
    for (int nbr = 1; nbr <= 3; ++nbr) batch.emplace_back(mExpID, 0, nbr, PH_WORK, 9, 0, 0, "again");
    // Sent without waiting, the failure shows when the next statement goes out.
    InsertBatchConvertor convertor(mDb.get());
    convertor.AddAll(batch);
    convertor.Send();
    try {
        mDb->QueryFirst("SELECT 1");
        ADD_FAILURE() << "no error";
    } catch (const DatabaseError& failure) {
        EXPECT_EQ(std::string(failure.what()).rfind("Query failed: INSERT INTO Phases", 0), 0u) << failure.what();
    }
    const auto rows = SelectRows(*mDb, "SELECT nbr, comment FROM Phases" + OfThisExperiment());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("comment"), "first");
}
