// kova analyse on experiments stored through SQL as the new measuring paths store
// them (PhaseDetails, ProbeCosts): barriers lined up over their members, a wildcard
// receive, the probe's cost compensated, the findings stored and stored again the
// same; and two first analyses of the newest experiments at once.
#include "probe/replacement.h"
#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <unistd.h>

namespace {

const std::string KOVA = std::string(KOVA_BIN_DIR) + "/kova";

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        db = ConnectToMeasurementDb();
        // The tables of the new measuring paths, as they are defined for every engineer.
        db->Query("CREATE TABLE IF NOT EXISTS PhaseDetails (expID int, processID int, nbr int, askedSource int, "
                  "askedTag int, bytes bigint, groupName varchar(64), instance int, collective varchar(16), root int, "
                  "PRIMARY KEY (expID, processID, nbr))");
        db->Query("CREATE TABLE IF NOT EXISTS ProbeCosts (expID int, processID int, recordedCalls bigint, "
                  "nsPerCall double, PRIMARY KEY (expID, processID))");
        application = "KovaStore" + std::to_string(getpid());
    }
    void TearDown() override {
        for (const std::string& id : ids) {
            DeleteExperiment(std::stoi(id), *db);
            db->Query("DELETE FROM PhaseDetails WHERE expID = " + id);
            db->Query("DELETE FROM ProbeCosts WHERE expID = " + id);
        }
    }

    // Three processes (tids 11, 12, 13) that meet at a barrier of group "workers" in
    // each of rounds rounds of 195 us: 11 works 100, 12 works 50, 13 works 150 before
    // it, so 11 and 12 wait for 13; after it 11 sends 12 a message of 64 bytes, which
    // 12 waits 20 us for with a receive of any source and tag. The probe took 1 us per
    // phase.
    std::string StoreExperiment(int rounds) {
        db->Query("INSERT INTO Experiments (ID, name, user, date, p, W, nbrProcesses, Tp, statusData) VALUES (0, '" +
                  application + "', 'tester', 'today', 3, 5, 3, " + std::to_string(195 * rounds) + ", 1)");
        const std::string id = db->QueryFirst("SELECT LAST_INSERT_ID()");
        ids.push_back(id);
        db->Query("INSERT INTO Processes (expID, ID, processor, pvmTid, startTimeSec, startTimeMicroSec) VALUES (" +
                  id + ", 11, 'node1', 11, 1000, 0), (" + id + ", 12, 'node2', 12, 1000, 0), (" + id +
                  ", 13, 'node3', 13, 1000, 0)");
        struct Step {
            int process, type, duration, tag, partner, sending;
            std::string details;  // askedSource, askedTag, bytes, groupName, collective, root
        };
        const std::string barrier = "-2, -2, 0, 'workers', 'barrier', -1";
        const std::vector<Step> round = {
            {11, 3, 100, 0, -1, 0, ""}, {11, 9, 60, 0, -1, 0, barrier}, {11, 3, 20, 0, -1, 0, ""},
            {11, 5, 5, 1, 12, 1, "-2, -2, 64, '', '', -1"}, {11, 3, 10, 0, -1, 0, ""},
            {12, 3, 50, 0, -1, 0, ""}, {12, 9, 110, 0, -1, 0, barrier}, {12, 2, 30, 0, -1, 0, ""},
            {12, 6, 5, 1, 11, 0, "-1, -1, 64, '', '', -1"},
            {13, 3, 150, 0, -1, 0, ""}, {13, 9, 10, 0, -1, 0, barrier}, {13, 3, 35, 0, -1, 0, ""}};
        std::string phases, details;
        std::map<std::pair<int, int>, long long> totals;
        std::map<int, int> next;
        for (int r = 0; r < rounds; ++r)
            for (const Step& step : round) {
                const std::string key = id + ", " + std::to_string(step.process) + ", " + std::to_string(++next[step.process]);
                phases += (phases.empty() ? "(" : ", (") + key + ", " + std::to_string(step.type) + ", " +
                          std::to_string(step.duration) + ", 0, " + std::to_string(step.tag) + ", 0, " +
                          std::to_string(step.partner) + ", " + std::to_string(step.sending) + ", 0, '')";
                totals[{step.process, step.type}] += step.duration;
                if (step.details.empty()) continue;
                std::string row = step.details;
                const std::size_t root = row.rfind(", ");
                const std::size_t kind = row.rfind(", ", root - 1);
                row.insert(kind, ", " + std::to_string(step.type == 9 ? r : -1));  // the instance before the kind
                details += (details.empty() ? "(" : ", (") + key + ", " + row + ")";
            }
        db->Query("INSERT INTO Phases (expID, processID, nbr, typeID, duration, startTime, nbrQuantums, nbrOperations, "
                  "commPartnerTid, commIsSending, commDelay, comment) VALUES " + phases);
        db->Query("INSERT INTO PhaseDetails (expID, processID, nbr, askedSource, askedTag, bytes, groupName, instance, "
                  "collective, root) VALUES " + details);
        std::string sums;
        for (const auto& [key, total] : totals)
            sums += (sums.empty() ? "(" : ", (") + id + ", " + std::to_string(key.first) + ", " +
                    std::to_string(key.second) + ", " + std::to_string(total) + ", 0)";
        db->Query("INSERT INTO PhaseDurations VALUES " + sums);
        db->Query("INSERT INTO ProbeCosts VALUES (" + id + ", 11, " + std::to_string(5 * rounds) + ", 1000), (" + id +
                  ", 12, " + std::to_string(4 * rounds) + ", 1000), (" + id + ", 13, " + std::to_string(3 * rounds) +
                  ", 1000)");
        return id;
    }

    // What an analysis stored, in one text.
    std::string StoredFindings(const std::string& id) {
        std::string text;
        for (const std::string& query :
             {"SELECT Tp, statusData, errorFlags, errors FROM Experiments WHERE ID = " + id,
              "SELECT * FROM Messages WHERE expID = " + id + " ORDER BY sendProcessID, sendNbr",
              "SELECT * FROM WaitStates WHERE expID = " + id + " ORDER BY processID, nbr, pattern"})
            for (const Row& row : SelectRows(*db, query))
                for (const auto& [column, value] : row) text += column + "=" + value + ";";
        return text;
    }

    std::unique_ptr<StandardDatabase> db;
    std::string application;
    std::vector<std::string> ids;
};

}  // namespace

TEST_F(Store, BarriersWildcardReceivesAndTheProbesCostFromTheStoredDetails) {
    constexpr int kRounds = 3;
    const std::string id = StoreExperiment(kRounds);
    const CommandResult analysed = RunKova("analyse " + id + " --json");
    ASSERT_EQ(analysed.status, 0) << analysed.errors;
    const nlohmann::json summary = nlohmann::json::parse(analysed.output);
    EXPECT_EQ(summary["errorFlags"], 4) << summary["problems"];  // only no sequential reference
    const nlohmann::json& byPattern = summary["waitStates"]["byPattern"];
    EXPECT_EQ(byPattern["wait_at_barrier"], nlohmann::json({{"count", 2 * kRounds}, {"time", 150.0 * kRounds}}));
    EXPECT_EQ(byPattern["barrier_completion"], nlohmann::json({{"count", 3 * kRounds}, {"time", 30.0 * kRounds}}));
    // The wildcard receive waited late, never in the wrong order.
    EXPECT_EQ(byPattern["late_sender"], nlohmann::json({{"count", kRounds}, {"time", 20.0 * kRounds}}));
    EXPECT_EQ(byPattern["wrong_order_same_source"]["count"], 0);
    EXPECT_EQ(summary["collectives"]["count"], kRounds);
    EXPECT_EQ(summary["waitStates"]["largest"][0]["causeProcessID"], 13);
    EXPECT_EQ(summary["compensation"]["correction"], 12 * kRounds);
    EXPECT_EQ(summary["runLength"], 195 * kRounds);
    EXPECT_LE(summary["criticalPath"]["length"].get<long long>(), 195 * kRounds);

    // A barrier member's phase holds both its wait and its completion.
    EXPECT_EQ(SelectRows(*db, "SELECT pattern, waitTime, causeProcessID FROM WaitStates WHERE expID = " + id +
                                  " AND processID = 11 AND nbr = 2 ORDER BY pattern"),
              (std::vector<Row>{{{"pattern", "barrier_completion"}, {"waitTime", "10"}, {"causeProcessID", "-1"}},
                                {{"pattern", "wait_at_barrier"}, {"waitTime", "50"}, {"causeProcessID", "13"}}}));
    EXPECT_EQ(SelectRows(*db, "SELECT askedSource, askedTag, bytes FROM Messages WHERE expID = " + id +
                                  " AND sendNbr = 4"),
              (std::vector<Row>{{{"askedSource", "-1"}, {"askedTag", "-1"}, {"bytes", "64"}}}));
    const std::string first = StoredFindings(id);
    ASSERT_EQ(RunKova("analyse " + id).status, 0);
    EXPECT_EQ(StoredFindings(id), first);
}

// Experiments of 12 000 phases, so that the two stores overlap: taking gap locks, the
// stores of the two newest experiments deadlock in most pairs.
TEST_F(Store, TwoFirstAnalysesOfTheNewestExperimentsAtOnceBothSucceed) {
    constexpr int kPairs = 6;
    for (int pair = 0; pair < kPairs; ++pair) {
        const std::string a = StoreExperiment(1000), b = StoreExperiment(1000);
        const std::string line = ShellQuoted(KOVA) + " analyse " + a + " >/dev/null & first=$!; " + ShellQuoted(KOVA) +
                                 " analyse " + b + " >/dev/null & second=$!; wait $first; s1=$?; wait $second; "
                                 "echo \"$s1 $?\"";
        const CommandResult both = RunCommand(line, ErrorStream::Apart);
        EXPECT_EQ(both.output, "0 0\n") << "pair " << pair << ": " << both.errors.substr(0, 300);
        for (const std::string& id : {a, b})
            EXPECT_EQ(SelectNumber(*db, "SELECT statusData FROM Experiments WHERE ID = " + id), 5) << id;
    }
}
