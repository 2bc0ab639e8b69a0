// Tests of the probe while a measured program runs, against the real measurement
// database: batches stored in the background, a connection lost in the middle of
// a run, and concurrent runs of one configuration under each replacement policy.
#include "probe/tests/probe_test_support.h"

#include "tests/support/privateserver.h"

#include "probe/probestate.h"
#include <kova_site.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>

namespace {

std::string Str(long long value) { return std::to_string(value); }

// Busy work of about the given microseconds.
void Work(TIME microseconds) {
    Chrono chrono;
    while (chrono.GetTime() < microseconds) {
    }
}

}  // namespace

class ProbeRunning : public testing::Test {
protected:
    void SetUp() override {
        mDb = ConnectToMeasurementDb();
        mApp = UniqueAppName("ProbeRunning");
    }
    // A test that used a server of its own has given it up by now.
    void TearDown() override { DeleteExperimentsOf(*ConnectToMeasurementDb(), mApp); }

    std::unique_ptr<StandardDatabase> mDb;
    std::string mApp;
};

TEST_F(ProbeRunning, LongRunStoresItsBatchesWhileRunningAndEveryPhaseOnceInOrder) {
    testing::internal::CaptureStdout();
    KOVAProbe probe(mApp, 1, KOVAProbe::DO_NOT_REPLACE, 42, "");
    const int expID = probe.GetExperimentID();
    const std::string ofThisRun = " WHERE expID = " + Str(expID);
    const int types[] = {PH_WORK, PH_IDLE, PH_SYNC, PH_PART};
    std::vector<std::pair<int, TIME>> recorded;
    std::vector<long long> seenWhileRunning;
    Chrono run;
    TIME nextLook = 1500000;
    while (run.GetTime() < 3300000) {
        Work(50);
        const int type = types[recorded.size() % 4];
        recorded.emplace_back(type, probe.EndOfPhase(type, 1, 2, recorded.size() % 100 == 0 ? "it's" : ""));
        if (run.GetTime() > nextLook) {
            seenWhileRunning.push_back(SelectNumber(*mDb, "SELECT COUNT(*) FROM Phases" + ofThisRun));
            nextLook += 600000;
        }
    }
    const long long beforeStop = SelectNumber(*mDb, "SELECT COUNT(*) FROM Phases" + ofThisRun);
    probe.Stop();
    testing::internal::GetCapturedStdout();

    // The batches of the first three seconds reached the database during the run.
    EXPECT_GT(beforeStop, static_cast<long long>(recorded.size()) / 2) << recorded.size() << " phases";
    ASSERT_GE(seenWhileRunning.size(), 2u);
    EXPECT_GT(seenWhileRunning.front(), 0);
    EXPECT_LT(seenWhileRunning.front(), seenWhileRunning.back());

    // Every phase once, numbered in order, with its type and duration.
    const auto rows = SelectRows(*mDb, "SELECT nbr, typeID, duration, comment FROM Phases" + ofThisRun + " ORDER BY nbr");
    ASSERT_EQ(rows.size(), recorded.size());
    std::map<int, TIME> sums;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].at("nbr"), Str(i + 1));
        ASSERT_EQ(rows[i].at("typeID"), Str(recorded[i].first)) << "phase " << i + 1;
        ASSERT_EQ(rows[i].at("duration"), Str(recorded[i].second)) << "phase " << i + 1;
        sums[recorded[i].first] += recorded[i].second;
    }
    EXPECT_EQ(rows[100].at("comment"), "it's");
    std::map<int, TIME> totals;
    for (const Row& total : SelectRows(*mDb, "SELECT phaseTypeID, duration FROM PhaseDurations" + ofThisRun))
        totals[std::atoi(total.at("phaseTypeID").c_str())] = std::atoll(total.at("duration").c_str());
    EXPECT_EQ(totals, sums);
}

// How a run loses its server: the server ends the probe's connection, or the server
// is killed (and started again after the run).
enum class ServerLoss { ConnectionKilled, ServerKilled };

class ProbeServerLoss : public ProbeRunning, public testing::WithParamInterface<ServerLoss> {};

TEST_P(ProbeServerLoss, EndsTheRunWithStatus255AndKeepsEarlierBatches) {
    const std::string app = mApp;
    const ServerLoss loss = GetParam();
    // The killed server is one of the test's own.
    std::unique_ptr<PrivateMeasurementServer> server;
    if (loss == ServerLoss::ServerKilled) {
        server = std::make_unique<PrivateMeasurementServer>();
        server->UseInThisProcess();
        mDb = ConnectToMeasurementDb();
    }
    const ChildResult child = RunInChild(
        [&] {
            KOVAProbe probe(app, 1, KOVAProbe::DO_NOT_REPLACE, 1, "");
            const int expID = probe.GetExperimentID();
            auto db = ConnectToMeasurementDb();
            const std::string count = "SELECT COUNT(*) FROM Phases WHERE expID = " + Str(expID);
            while (SelectNumber(*db, count) == 0) {  // the first batch, after a second
                probe.EndOfPhase(PH_WORK);
                usleep(1000);
            }
            printf("stored before: %lld\n", SelectNumber(*db, count));
            fflush(stdout);
            if (loss == ServerLoss::ConnectionKilled)
                db->Query("KILL CONNECTION " + Str(probe.state().mDB->ConnectionID()));
            else
                server->Kill();
            Chrono more;
            while (more.GetTime() < 2200000) {
                probe.EndOfPhase(PH_WORK);
                usleep(1000);
            }
            printf("not reached\n");
        },
        "", 30);
    if (loss == ServerLoss::ServerKilled) {
        server->Start();
        mDb = ConnectToMeasurementDb();
    }
    EXPECT_TRUE(child.exited) << "ended by a signal " << -child.exitCode << "\n" << child.output;
    EXPECT_EQ(child.exitCode, 255) << child.output;
    EXPECT_NE(child.output.find("Query failed: "), std::string::npos) << child.output;
    EXPECT_NE(child.output.find(" *** KOVA Instrumentation: the measurement could not be stored, the process ends\n"),
              std::string::npos)
        << child.output;
    EXPECT_EQ(child.output.find("not reached"), std::string::npos) << child.output;
    std::smatch stored;
    ASSERT_TRUE(std::regex_search(child.output, stored, std::regex("stored before: (\\d+)"))) << child.output;
    const auto experiments =
        SelectRows(*mDb, "SELECT ID FROM Experiments WHERE name = " + mDb->QuotedValue(CutToWidth(mApp)));
    ASSERT_EQ(experiments.size(), 1u);
    EXPECT_GE(SelectNumber(*mDb, "SELECT COUNT(*) FROM Phases WHERE expID = " + experiments[0].at("ID")),
              std::atoll(stored[1].str().c_str()));
}

INSTANTIATE_TEST_SUITE_P(ConnectionOrServer, ProbeServerLoss,
                         testing::Values(ServerLoss::ConnectionKilled, ServerLoss::ServerKilled),
                         [](const testing::TestParamInfo<ServerLoss>& info) {
                             return info.param == ServerLoss::ConnectionKilled ? "ConnectionKilled" : "ServerKilled";
                         });

TEST_F(ProbeRunning, ReplacementWithTheServerKilledInTheMiddleLeavesTheStoredRunWhole) {
    PrivateMeasurementServer server;
    server.UseInThisProcess();
    mDb = ConnectToMeasurementDb();
    // A stored, slower run of the configuration with many phases, so that deleting
    // them takes a while.
    const long long STORED_PHASES = 300000;
    Application app(GetUserID(), mApp, "", "", "");
    Experiment stored(&app, DateTime(), "stored", 1, 42);
    stored.mTp = 10000000;
    stored.mStatusData = Experiment::EXP_FINISHED;
    *mDb << stored;
    const int storedID = static_cast<int>(mDb->LastInsertID());
    Process process(storedID, 0, "elsewhere", 0, 0);
    PhaseDuration total(PH_WORK, storedID, 0);
    total.mDuration = 10 * STORED_PHASES;
    *mDb << process << total;
    mDb->Query("INSERT INTO Phases (expID, processID, nbr, typeID, duration, startTime, nbrQuantums, nbrOperations, "
               "commPartnerTid, commIsSending, commDelay, comment) SELECT " +
               Str(storedID) + ", 0, seq, 3, 10, 0, 0, 0, -1, 0, 0, '' FROM seq_1_to_" + Str(STORED_PHASES));

    // The server is killed while the faster run's Stop deletes the stored one.
    std::atomic<bool> killed{false};
    std::thread killer([&] {
        auto watcher = ConnectToMeasurementDb();
        const std::string deleting = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO LIKE "
                                     "'%DELETE FROM Phases WHERE expID = " +
                                     Str(storedID) + "%'";
        for (int i = 0; i < 5000 && !killed; ++i) {
            if (SelectNumber(*watcher, deleting) > 0) {
                usleep(100000);
                server.Kill();
                killed = true;
                return;
            }
            usleep(2000);
        }
    });
    const std::string name = mApp;
    const ChildResult child = RunInChild(
        [&] {
            KOVAProbe probe(name, 1, KOVAProbe::REPLACE_IF_FASTER, 42, "faster");
            printf("experiment %d\n", probe.GetExperimentID());
            for (int i = 0; i < 100; ++i) probe.EndOfPhase(PH_WORK);
            probe.Stop();
            printf("not reached\n");
        },
        "", 60);
    killed = true;
    killer.join();
    server.Start();
    mDb = ConnectToMeasurementDb();

    EXPECT_EQ(child.exitCode, 255) << child.output;
    EXPECT_NE(child.output.find(" *** KOVA Instrumentation: the measurement could not be stored, the process ends\n"),
              std::string::npos)
        << child.output;
    // The stored run is whole: its row, process, total and every phase.
    const auto rows = SelectRows(*mDb, "SELECT statusData, Tp FROM Experiments WHERE ID = " + Str(storedID));
    ASSERT_EQ(rows.size(), 1u) << child.output;
    EXPECT_EQ(rows[0].at("statusData"), "1");
    EXPECT_EQ(rows[0].at("Tp"), "10000000");
    const std::string ofStored = " WHERE expID = " + Str(storedID);
    EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM Processes" + ofStored), 1);
    EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM PhaseDurations" + ofStored), 1);
    EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM Phases" + ofStored), STORED_PHASES);
    // The faster run stays as a run that did not finish, with what it wrote at its start.
    std::smatch started;
    ASSERT_TRUE(std::regex_search(child.output, started, std::regex("experiment (\\d+)"))) << child.output;
    const auto faster = SelectRows(*mDb, "SELECT statusData FROM Experiments WHERE ID = " + started[1].str());
    ASSERT_EQ(faster.size(), 1u);
    EXPECT_EQ(faster[0].at("statusData"), "0");
    EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM Processes WHERE expID = " + started[1].str()), 1);
}

TEST_F(ProbeRunning, ReplacementGivesUpWaitingForTheLockAndDeletesNothing) {
    Application app(GetUserID(), mApp, "", "", "");
    Experiment stored(&app, DateTime(), "stored", 1, 42);
    stored.mTp = 1;
    stored.mStatusData = Experiment::EXP_FINISHED;
    *mDb << stored;
    const int storedID = static_cast<int>(mDb->LastInsertID());
    KOVAProbeSettings settings = KOVAProbeSettings::Current();
    settings.replacementLockWait = 1;
    testing::internal::CaptureStdout();
    KOVAProbe probe(mApp, 1, KOVAProbe::REPLACE_IF_SUCCESFULL, 42, "", settings);
    probe.EndOfPhase(PH_WORK);
    // Another run of the configuration holds the lock.
    const std::string lock = mDb->QuotedValue(ReplacementLockName(probe.state().mExp));
    ASSERT_EQ(mDb->QueryFirst("SELECT GET_LOCK(" + lock + ", 0)"), "1");
    Chrono waited;
    probe.Stop();
    const TIME waitedFor = waited.GetTime();
    const std::string output = testing::internal::GetCapturedStdout();
    mDb->QueryFirst("SELECT RELEASE_LOCK(" + lock + ")");
    EXPECT_EQ(output, " *** KOVA Instrumentation: gave up waiting 1 s for the lock of similar experiments (" +
                          ReplacementLockName(probe.state().mExp) + "), so none is replaced\n *** KOVA Instrumentation: experiment " +
                          Str(probe.GetExperimentID()) + " written to database \n");
    EXPECT_GE(waitedFor, 1000000);
    EXPECT_LT(waitedFor, 5000000);
    EXPECT_EQ(SelectNumber(*mDb, "SELECT COUNT(*) FROM Experiments WHERE ID = " + Str(storedID)), 1);
    EXPECT_EQ(SelectNumber(*mDb, "SELECT statusData FROM Experiments WHERE ID = " + Str(probe.GetExperimentID())), 1);
}

// Four runs of one configuration start together and finish 0.4 s apart, the first
// after 0.3 s. Each notes whether its experiment row is still there right before
// it stops, and prints "run K experiment ID present N".
class ProbeConcurrentRuns : public ProbeRunning, public testing::WithParamInterface<KOVAProbe::DO_WITH_SIMILAR_EXP> {
protected:
    // The experiments of the runs, in the order of their durations, and the output.
    std::vector<int> RunFour(std::string& output) {
        const std::string app = mApp;
        const KOVAProbe::DO_WITH_SIMILAR_EXP policy = GetParam();
        const ChildResult result = RunInChild(
            [&] {
                std::vector<pid_t> runs;
                fflush(stdout);
                for (int k = 0; k < 4; ++k) {
                    const pid_t pid = fork();
                    if (pid != 0) {
                        runs.push_back(pid);
                        continue;
                    }
                    KOVAProbe probe(app, 1, policy, 42, "");
                    const int expID = probe.GetExperimentID();
                    // A parameter value, as the programs that declare parameters store them.
                    ConnectToMeasurementDb()->Query(
                        "INSERT INTO ExpParValue (expID, parName, valInt, valDouble, valString) VALUES (" +
                        Str(expID) + ", 'run', " + Str(k) + ", 0, '')");
                    Chrono run;
                    while (run.GetTime() < 300000 + 400000 * k) {
                        usleep(500);
                        probe.EndOfPhase(PH_WORK);
                    }
                    auto db = ConnectToMeasurementDb();
                    const long long present =
                        SelectNumber(*db, "SELECT COUNT(*) FROM Experiments WHERE ID = " + Str(expID));
                    probe.Stop();
                    printf("run %d experiment %d present %lld\n", k, expID, present);
                    exit(0);
                }
                for (pid_t pid : runs) waitpid(pid, nullptr, 0);
            },
            "", 60);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        output = result.output;
        std::vector<int> ids(4, 0);
        const std::regex line("run (\\d) experiment (\\d+) present (\\d+)");
        int lines = 0;
        for (auto it = std::sregex_iterator(output.begin(), output.end(), line); it != std::sregex_iterator(); ++it) {
            ids[std::stoi((*it)[1])] = std::stoi((*it)[2]);
            EXPECT_EQ((*it)[3], "1") << "run " << (*it)[1] << " was deleted while it ran";
            ++lines;
        }
        EXPECT_EQ(lines, 4) << output;
        return ids;
    }
    std::set<int> Stored() {
        std::set<int> ids;
        for (const std::string& id :
             mDb->QueryStrings("SELECT ID FROM Experiments WHERE name = " + mDb->QuotedValue(CutToWidth(mApp))))
            ids.insert(std::atoi(id.c_str()));
        return ids;
    }
};

TEST_P(ProbeConcurrentRuns, NoneIsDeletedWhileItRunsAndThePolicyDecidesWhatStays) {
    std::string output;
    const std::vector<int> ids = RunFour(output);
    const std::set<int> stored = Stored();
    switch (GetParam()) {
        case KOVAProbe::REPLACE_IF_FASTER:
            // The first to finish is the fastest; the others find it and drop themselves.
            EXPECT_EQ(stored, std::set<int>{ids[0]}) << output;
            EXPECT_EQ(CountOccurrences(output, "experiment is NOT written to database"), 3) << output;
            break;
        case KOVAProbe::REPLACE_IF_SUCCESFULL:
            // Each replaces the finished ones before it; the last one stays.
            EXPECT_EQ(stored, std::set<int>{ids[3]}) << output;
            EXPECT_EQ(CountOccurrences(output, "(it replaces all similar experiments)"), 4) << output;
            break;
        default:
            EXPECT_EQ(stored, std::set<int>(ids.begin(), ids.end())) << output;
    }
    for (int id : stored)
        EXPECT_GT(SelectNumber(*mDb, "SELECT COUNT(*) FROM Phases WHERE expID = " + Str(id)), 100) << id;
    // A replaced run leaves no row behind in any table; a kept one keeps its parameter value.
    for (int id : ids)
        for (const char* table : ExperimentRowTables()) {
            const long long rows =
                SelectNumber(*mDb, std::string("SELECT COUNT(*) FROM ") + table + " WHERE expID = " + Str(id));
            if (stored.count(id) == 0) {
                EXPECT_EQ(rows, 0) << table << " of replaced experiment " << id;
            }
            if (stored.count(id) == 1 && std::string(table) == "ExpParValue") {
                EXPECT_EQ(rows, 1) << id;
            }
        }
}

INSTANTIATE_TEST_SUITE_P(EachPolicy, ProbeConcurrentRuns,
                         testing::Values(KOVAProbe::REPLACE_IF_FASTER, KOVAProbe::REPLACE_IF_SUCCESFULL,
                                         KOVAProbe::DO_NOT_REPLACE));

TEST(ProbeReplacementLock, NamedByTheConfigurationWithinTheServersLimit) {
    Application app("user", std::string(60, 'n'), "", "", "");
    Experiment exp(&app, "", "", 3, 100);
    const std::string name = ReplacementLockName(exp);
    EXPECT_LE(name.size(), 64u);
    EXPECT_EQ(name.rfind("KOVA replace ", 0), 0u);
    Experiment sameAsStored = exp;
    sameAsStored.mName = std::string(50, 'n');  // what the column keeps
    EXPECT_EQ(ReplacementLockName(sameAsStored), name);
    for (auto change : {+[](Experiment& e) { e.mW = 101; }, +[](Experiment& e) { e.mP = 4; },
                        +[](Experiment& e) { e.mUser = "other"; }, +[](Experiment& e) { e.mVersion = "2"; }}) {
        Experiment other = exp;
        change(other);
        EXPECT_NE(ReplacementLockName(other), name);
    }
}
