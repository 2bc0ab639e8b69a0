// kova list and kova analyse on runs of exeKOVA and annpipe from the virtual cluster,
// checked against what the database holds, and on bad input.
#include "probe/replacement.h"
#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <unistd.h>

namespace {

// The stored rows that an analysis writes, in one text, to compare two analyses.
std::string StoredFindings(StandardDatabase& db, const std::string& id) {
    std::string text;
    for (const std::string& query :
         {"SELECT Ts, speedup, efficiency, statusData, errorFlags, errors FROM Experiments WHERE ID = " + id,
          "SELECT processID, phaseTypeID, duration, ratio FROM PhaseDurations WHERE expID = " + id +
              " ORDER BY processID, phaseTypeID",
          "SELECT COUNT(*), SUM(startTime), SUM(commDelay) FROM Phases WHERE expID = " + id,
          "SELECT * FROM Messages WHERE expID = " + id + " ORDER BY sendProcessID, sendNbr",
          "SELECT * FROM WaitStates WHERE expID = " + id + " ORDER BY processID, nbr"})
        for (const Row& row : SelectRows(db, query))
            for (const auto& [column, value] : row) text += column + "=" + value + ";";
    return text;
}

}  // namespace

TEST(KovaAnalyse, ExeKOVARunHasEveryReceiveMatchedWaitStatesAndItsOwnSequentialReference) {
    auto db = ConnectToMeasurementDb();
    DeleteExperimentsOf(*db, "ANN_example", LoginName());
    DeleteExperimentsOf(*db, "nn", LoginName());
    ScratchFolder folder;
    const ClusterRun run = RunMeasured(3, "exeKOVA", "exeKOVA", folder.path());
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    const std::string id = LatestExperiment(*db, "ANN_example");
    const std::string sequential = LatestExperiment(*db, "nn");
    ASSERT_FALSE(id.empty());
    ASSERT_FALSE(sequential.empty());

    const CommandResult listed = RunKova("list --application ANN_example");
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.output.find(" ANN_example "), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("p=3 "), std::string::npos) << listed.output;

    const CommandResult analysed = RunKova("analyse " + id + " --sequential " + sequential + " --other-reference");
    ASSERT_EQ(analysed.status, 0) << analysed.output << analysed.errors;
    EXPECT_NE(analysed.output.find("status: wait states found\n"), std::string::npos) << analysed.output;
    EXPECT_EQ(SelectNumber(*db, "SELECT statusData FROM Experiments WHERE ID = " + id), 5);

    // Every receive took a send; the forward messages the stages leave queued are the
    // sends that no receive took.
    const long long receives = SelectNumber(*db, "SELECT COUNT(*) FROM Phases WHERE expID = " + id + " AND typeID = 6");
    const long long sends = SelectNumber(*db, "SELECT COUNT(*) FROM Phases WHERE expID = " + id + " AND typeID = 5");
    EXPECT_GT(receives, 1000);
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Messages WHERE expID = " + id + " AND recvNbr <> -1"), receives);
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Messages WHERE expID = " + id + " AND recvNbr = -1"),
              sends - receives);
    EXPECT_GT(sends, receives);
    EXPECT_EQ(SelectNumber(*db, "SELECT errorFlags & 16 FROM Experiments WHERE ID = " + id), 0);
    // Messages join their phases, and the receive phase carries the delay.
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Messages m JOIN Phases r ON r.expID = m.expID AND "
                                "r.processID = m.recvProcessID AND r.nbr = m.recvNbr WHERE m.expID = " + id +
                                " AND r.typeID = 6 AND r.commDelay = m.delay AND r.startTime = m.recvTime"),
              receives);
    // The pipeline's stages wait for each other.
    EXPECT_GT(SelectNumber(*db, "SELECT COUNT(*) FROM WaitStates WHERE expID = " + id +
                                " AND pattern IN ('late_sender', 'wrong_order_same_source', 'wrong_order_other_source') "
                                "AND causeNbr > 0"),
              0);
    // Ts is the run's own sequential time.
    EXPECT_EQ(SelectNumber(*db, "SELECT Ts FROM Experiments WHERE ID = " + id),
              SelectNumber(*db, "SELECT Tp FROM Experiments WHERE ID = " + sequential));
    const double Ts = SelectNumber(*db, "SELECT Ts FROM Experiments WHERE ID = " + id);
    const double Tp = SelectNumber(*db, "SELECT Tp FROM Experiments WHERE ID = " + id);
    EXPECT_NEAR(std::stod(db->QueryFirst("SELECT speedup FROM Experiments WHERE ID = " + id)), Ts / Tp, 1e-3 * Ts / Tp);
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM PhaseDurations WHERE expID = " + id + " AND processID = -1 AND "
                                "duration = (SELECT SUM(duration) FROM Phases WHERE expID = " + id +
                                " AND typeID = 3) AND phaseTypeID = 3"),
              1);

    const std::string first = StoredFindings(*db, id);
    const CommandResult again = RunKova("analyse " + id + " --sequential " + sequential + " --other-reference --json");
    ASSERT_EQ(again.status, 0) << again.errors;
    EXPECT_EQ(StoredFindings(*db, id), first);
    const nlohmann::json summary = nlohmann::json::parse(again.output);
    EXPECT_EQ(summary["status"], 5);
    EXPECT_EQ(summary["messages"]["received"], receives);
    EXPECT_EQ(summary["messages"]["unreceived"], sends - receives);
    EXPECT_GT(summary["criticalPath"]["length"].get<long long>(), 0);
    EXPECT_LE(summary["criticalPath"]["length"].get<long long>(), Tp * 1.05);
}

TEST(KovaAnalyse, AnnpipeRunIsCheckedAndTotalledWithItsIdleUnexplained) {
    auto db = ConnectToMeasurementDb();
    DeleteExperimentsOf(*db, "ANN_exemple", LoginName());
    ScratchFolder folder;
    const ClusterRun run = RunMeasured(3, "annpipe -m -w 3", "annpipe", folder.path());
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    const std::string id = db->QueryFirst("SELECT MAX(ID) FROM Experiments WHERE name = 'ANN_exemple' AND p = 2");
    ASSERT_FALSE(id.empty());
    const CommandResult analysed = RunKova("analyse " + id);
    ASSERT_EQ(analysed.status, 0) << analysed.output << analysed.errors;
    // Its own sequential experiment (p = 1, same W) is found without being named.
    EXPECT_NE(analysed.output.find("flags: IDLE_CAUSES\n"), std::string::npos) << analysed.output;
    EXPECT_EQ(SelectNumber(*db, "SELECT statusData FROM Experiments WHERE ID = " + id), 5);
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Messages WHERE expID = " + id), 0);
    const long long idles = SelectNumber(*db, "SELECT COUNT(*) FROM Phases WHERE expID = " + id +
                                              " AND typeID = 2 AND duration > 0");
    EXPECT_GT(idles, 0);
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM WaitStates WHERE expID = " + id +
                                " AND pattern = 'unexplained' AND causeProcessID = -1"),
              idles);
    // Every stored total has its ratio: duration over its process's phases.
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM PhaseDurations d WHERE expID = " + id +
                                " AND processID <> -1 AND ABS(ratio - duration / (SELECT SUM(duration) FROM Phases p "
                                "WHERE p.expID = d.expID AND p.processID = d.processID)) > 1e-4"),
              0);
    DeleteExperimentsOf(*db, "ANN_exemple", LoginName());
}

TEST(KovaInput, UnknownExperimentsBrokenRunsAndWrongOptionsEndClearly) {
    const CommandResult unknown = RunKova("analyse 999999999");
    EXPECT_EQ(unknown.status, 3);
    EXPECT_EQ(unknown.errors, "kova: there is no experiment 999999999 in the measurement database\n");
    EXPECT_EQ(RunKova("analyse").status, 2);
    EXPECT_EQ(RunKova("analyse abc").status, 2);
    EXPECT_EQ(RunKova("frobnicate").status, 2);

    // The rows of a run that broke off: never finished, a gap in its phases, no totals.
    auto db = ConnectToMeasurementDb();
    const std::string application = "KovaBroken" + std::to_string(getpid());
    db->Query("INSERT INTO Experiments (ID, name, user, date, p, W, nbrProcesses, Tp, statusData) VALUES (0, '" +
              application + "', 'tester', 'then', 2, 5, 2, 0, 0)");
    const std::string id = db->QueryFirst("SELECT LAST_INSERT_ID()");
    db->Query("INSERT INTO Processes (expID, ID, processor, pvmTid, startTimeSec, startTimeMicroSec) VALUES (" + id + ", 11, 'node1', 11, 1000, 0), (" + id +
              ", 12, 'node2', 12, 1000, 5)");
    db->Query("INSERT INTO Phases VALUES (" + id + ", 11, 1, 3, 100, 0, 0, 0, -1, 0, 0, ''), (" + id +
              ", 11, 3, 3, 50, 0, 0, 0, -1, 0, 0, ''), (" + id + ", 12, 1, 6, 7, 0, 4, 0, 11, 0, 0, '')");
    db->Query("INSERT INTO PhaseDurations VALUES (" + id + ", 11, 3, 150, 0)");

    // While its master holds the experiment's lock, the experiment still runs.
    {
        auto master = ConnectToMeasurementDb();
        ASSERT_EQ(master->QueryFirst("SELECT GET_LOCK('KOVA experiment " + id + "', 0)"), "1");
        const CommandResult running = RunKova("analyse " + id);
        EXPECT_EQ(running.status, 4);
        EXPECT_EQ(running.errors, "kova: experiment " + id + " is still running; analyse it when it has finished\n");
        EXPECT_EQ(SelectNumber(*db, "SELECT statusData FROM Experiments WHERE ID = " + id), 0);
    }
    const CommandResult broken = RunKova("analyse " + id + " --json");
    ASSERT_EQ(broken.status, 0) << broken.errors;
    const nlohmann::json summary = nlohmann::json::parse(broken.output);
    EXPECT_EQ(summary["errorFlags"], 1 | 2 | 4 | 32);
    EXPECT_EQ(SelectNumber(*db, "SELECT errorFlags FROM Experiments WHERE ID = " + id), 1 | 2 | 4 | 32);
    EXPECT_EQ(SelectNumber(*db, "SELECT statusData FROM Experiments WHERE ID = " + id), 5);
    const CommandResult listed = RunKova("list --application " + application);
    EXPECT_NE(listed.output.find("EXP_CRASHED, PROCESS_CRASHED, TSEQ_NOT_IN_DB, WRONG_COMM_POINTERS"),
              std::string::npos)
        << listed.output;
    DeleteExperiment(std::stoi(id), *db);
}

TEST(KovaInput, HostileStoredValuesAndReferencesThatAreNotSequential) {
    // Stored through SQL as an attacker with write access would: a total of type
    // 1 000 000 000, phases of types 70 000 and -1, a negative duration.
    auto db = ConnectToMeasurementDb();
    const std::string application = "KovaHostile" + std::to_string(getpid());
    auto experiment = [&](int p, int W) {
        db->Query("INSERT INTO Experiments (ID, name, user, date, p, W, nbrProcesses, Tp, statusData) VALUES (0, '" +
                  application + "', 'tester', 'then', " + std::to_string(p) + ", " + std::to_string(W) + ", " +
                  std::to_string(p) + ", 500, 1)");
        return db->QueryFirst("SELECT LAST_INSERT_ID()");
    };
    const std::string id = experiment(2, 5);
    db->Query("INSERT INTO Processes (expID, ID, processor, pvmTid, startTimeSec, startTimeMicroSec) VALUES (" + id + ", 11, 'node1', 11, 1000, 0), (" + id +
              ", 12, 'node2', 12, 1000, 5)");
    db->Query("INSERT INTO Phases VALUES (" + id + ", 11, 1, 3, 100, 0, 0, 0, -1, 0, 0, ''), (" + id +
              ", 11, 2, 70000, 20, 0, 0, 0, -1, 0, 0, ''), (" + id + ", 11, 3, -1, 5, 0, 0, 0, -1, 0, 0, ''), (" +
              id + ", 12, 1, 3, -30, 0, 0, 0, -1, 0, 0, '')");
    db->Query("INSERT INTO PhaseDurations VALUES (" + id + ", 11, 3, 100, 0), (" + id + ", 11, 70000, 20, 0), (" +
              id + ", 11, -1, 5, 0), (" + id + ", 12, 3, -30, 0), (" + id + ", 12, 1000000000, 7, 0)");
    const CommandResult analysed = RunKova("analyse " + id + " --json");
    ASSERT_EQ(analysed.status, 0) << analysed.errors;
    const nlohmann::json summary = nlohmann::json::parse(analysed.output);
    EXPECT_EQ(summary["errorFlags"].get<int>() & 2, 2);
    EXPECT_TRUE(summary["speedup"].is_null());  // no sequential reference: not known
    const std::string problems = summary["problems"].dump();
    EXPECT_NE(problems.find("process 11: phase 3 has type -1 (a wrong call of the probe)"), std::string::npos)
        << problems;
    EXPECT_NE(problems.find("process 12: phase 1 has a negative duration (-30 us)"), std::string::npos) << problems;
    EXPECT_NE(problems.find("its type 1000000000 phases add up to 0 us, its total is 7 us"), std::string::npos)
        << problems;
    // Each type keeps its own experiment-wide total.
    EXPECT_EQ(SelectNumber(*db, "SELECT duration FROM PhaseDurations WHERE expID = " + id +
                                " AND processID = -1 AND phaseTypeID = 70000"),
              20);
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM PhaseDurations WHERE expID = " + id +
                                " AND processID = -1 AND phaseTypeID = 4464"),
              0);
    ScratchFolder folder;
    const CommandResult perfetto =
        RunKova("export " + id + " --format perfetto -o " + ShellQuoted((folder.path() / "trace.json").string()));
    ASSERT_EQ(perfetto.status, 0) << perfetto.errors;
    const nlohmann::json trace = nlohmann::json::parse(ReadFile(folder.path() / "trace.json"));
    std::set<std::string> names;
    for (const nlohmann::json& event : trace["traceEvents"])
        if (event["ph"] == "X") names.insert(event["name"].get<std::string>());
    EXPECT_EQ(names, (std::set<std::string>{"work", "type 70000", "type -1 (wrong call)"}));

    // Sequential references: one with p = 3, one of another W, one of another application.
    const std::string parallel = experiment(3, 5), otherW = experiment(1, 6);
    const CommandResult notSequential = RunKova("analyse " + id + " --sequential " + parallel);
    EXPECT_EQ(notSequential.status, 5);
    EXPECT_EQ(notSequential.errors,
              "kova: experiment " + parallel + " is not sequential (p = 3); a sequential reference has p = 1\n");
    const CommandResult wrongW = RunKova("analyse " + id + " --sequential " + otherW);
    EXPECT_EQ(wrongW.status, 5);
    EXPECT_EQ(wrongW.errors, "kova: experiment " + otherW + " has W = 6, experiment " + id +
                                 " has W = 5; give --other-reference to take it all the same\n");
    const CommandResult anyW = RunKova("analyse " + id + " --sequential " + otherW + " --other-reference");
    EXPECT_EQ(anyW.status, 0) << anyW.errors;
    EXPECT_NE(anyW.output.find("speedup: 1\n"), std::string::npos) << anyW.output;
    db->Query("UPDATE Experiments SET name = 'another', p = 1, W = 5 WHERE ID = " + parallel);
    const CommandResult otherApplication = RunKova("analyse " + id + " --sequential " + parallel);
    EXPECT_EQ(otherApplication.status, 5);
    EXPECT_NE(otherApplication.errors.find("is another of tester, not " + application), std::string::npos)
        << otherApplication.errors;
    for (const std::string& e : {id, parallel, otherW}) DeleteExperiment(std::stoi(e), *db);
}
