// testLumo measured on the virtual cluster, a sweep over host counts, and kova scaling
// and kova compare over the stored series, as a user runs them.
#include "kova_site.h"
#include "measurementdb.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <KOVAInstrumentation.h>

#include <regex>
#include <set>

namespace {

const std::string kBin = std::string(KOVA_BINARY_DIR) + "/bin";

std::string Kova(const std::string& arguments) { return ShellQuoted(kBin + "/kova") + " " + arguments; }

// The experiment a measured master reports as written, -1 when none.
int WrittenExperiment(const std::string& output) {
    static const std::regex written(R"( \*\*\* KOVA Instrumentation: experiment (\d+) written to database)");
    std::smatch match;
    return std::regex_search(output, match, written) ? std::stoi(match[1]) : -1;
}

class MeasuredSeries : public ::testing::Test {
protected:
    void SetUp() override { DeleteExperimentsOf(*db, "testLumo", user); }
    void TearDown() override { DeleteExperimentsOf(*db, "testLumo", user); }

    ClusterRun TestLumo(int hosts, const std::string& arguments) {
        ClusterOptions options;
        options.timeoutSeconds = 60;
        options.awaitProgram = "testLumo";
        ClusterRun run = RunOnCluster(hosts, ShellQuoted(kBin + "/testLumo") + " " + arguments, options);
        EXPECT_EQ(run.clusterStatus, 0) << run.clusterErrors;
        return run;
    }

    long long Number(const std::string& query) { return SelectNumber(*db, query); }

    std::unique_ptr<StandardDatabase> db = ConnectToMeasurementDb();
    const std::string user = LoginName();
};

}  // namespace

TEST_F(MeasuredSeries, MeasuredTestLumoTimesEveryTaskAndItsMessagesMatch) {
    // Unmeasured, the program prints what it always printed and stores nothing.
    const ClusterRun plain = TestLumo(3, "-s 3000");
    EXPECT_EQ(plain.status, 1);
    ASSERT_EQ(plain.outputLines().size(), 3u) << plain.output;
    EXPECT_EQ(plain.outputLines()[2], "Compare parallel & sequential algorithms:");
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Experiments WHERE name = 'testLumo' AND user = '" + user + "'"), 0);

    for (int hosts : {3, 5}) {
        SCOPED_TRACE(std::to_string(hosts) + " hosts");
        const ClusterRun run = TestLumo(hosts, "-m -s 3000");
        EXPECT_EQ(run.status, 1);
        const int id = WrittenExperiment(run.output);
        ASSERT_GT(id, 0) << run.output;
        const std::vector<std::string> lines = run.outputLines();
        ASSERT_EQ(lines.size(), 5u) << run.output;
        EXPECT_EQ(lines[0], "KOVA measuring on");
        EXPECT_EQ(lines[4], "Compare parallel & sequential algorithms:");

        const std::string exp = std::to_string(id);
        const std::vector<Row> experiment = SelectRows(*db, "SELECT p, W, nbrProcesses, Tp FROM Experiments WHERE ID = " + exp);
        ASSERT_EQ(experiment.size(), 1u);
        EXPECT_EQ(experiment[0].at("p"), std::to_string(hosts));
        EXPECT_EQ(experiment[0].at("W"), "3000");
        EXPECT_EQ(experiment[0].at("nbrProcesses"), std::to_string(hosts));
        // One process per task, each on its own host.
        std::set<std::string> hostsSeen;
        for (const Row& process : SelectRows(*db, "SELECT processor FROM Processes WHERE expID = " + exp))
            hostsSeen.insert(process.at("processor"));
        EXPECT_EQ(hostsSeen.size(), static_cast<std::size_t>(hosts));

        // The phases of every task tile its time: numbered 1..n, adding up to its totals.
        for (const Row& process : SelectRows(*db, "SELECT ID FROM Processes WHERE expID = " + exp)) {
            const std::string where = " WHERE expID = " + exp + " AND processID = " + process.at("ID");
            const long long phases = Number("SELECT COUNT(*) FROM Phases" + where);
            EXPECT_GT(phases, 0);
            EXPECT_EQ(Number("SELECT MAX(nbr) FROM Phases" + where), phases);
            EXPECT_EQ(Number("SELECT SUM(duration) FROM Phases" + where),
                      Number("SELECT SUM(duration) FROM PhaseDurations" + where));
        }
        // Master: partitioning, per slave a spawn and two sends, a wait and a receive;
        // each slave: two waits and receives, the work, one send.
        const int slaves = hosts - 1;
        auto count = [&](int type) {
            return Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp + " AND typeID = " + std::to_string(type));
        };
        EXPECT_EQ(count(KOVAProbe::PH_PART), 1);
        EXPECT_EQ(count(KOVAProbe::PH_SPAWN), slaves);
        EXPECT_EQ(count(KOVAProbe::PH_COMM_SEND), 3 * slaves);
        EXPECT_EQ(count(KOVAProbe::PH_COMM_RECV), 3 * slaves);
        EXPECT_EQ(count(KOVAProbe::PH_IDLE), 3 * slaves);
        EXPECT_EQ(count(KOVAProbe::PH_WORK), slaves);

        // The analyser matches every send with its receive.
        const CommandResult analysed = RunCommand(Kova("analyse " + exp + " --json"), ErrorStream::Apart);
        ASSERT_EQ(analysed.status, 0) << analysed.errors;
        const nlohmann::json summary = nlohmann::json::parse(analysed.output);
        EXPECT_EQ(summary["p"], hosts);
        EXPECT_EQ(summary["messages"]["received"], 3 * slaves);
        EXPECT_EQ(summary["messages"]["unreceived"], 0);
        EXPECT_EQ(summary["status"], 5);
        EXPECT_EQ(summary["errorFlags"].get<int>() & 16, 0) << summary["errorFlagNames"];
        // Every receive found its send; a receive that the stored clocks show starting
        // a few microseconds before its send's phase ended (the probe times the send
        // after pvm_send returns, and the slaves' offsets are measured) is a clock
        // violation, repaired and flagged, not a missing message.
        const bool violations = summary["messages"]["clockViolations"].get<int>() > 0;
        EXPECT_EQ((summary["errorFlags"].get<int>() & 32) != 0, violations) << analysed.output;
    }
}

TEST_F(MeasuredSeries, SweepThenScalingAndCompare) {
    const CommandResult sweep =
        RunCommand("bash " + ShellQuoted(std::string(KOVA_SOURCE_DIR) + "/scripts/sweep.sh") +
                   " --hosts 1..5 --sizes 2000 --timeout 60 --bin " + ShellQuoted(kBin) + " -- testLumo -m -s {W}");
    ASSERT_EQ(sweep.status, 0) << sweep.output;
    const std::vector<std::string> progress = LinesStartingWith(sweep.outputLines(), "sweep: run ");
    ASSERT_EQ(progress.size(), 5u) << sweep.output;
    EXPECT_EQ(progress[3].rfind("sweep: run 4/5: 4 hosts, W 2000, repetition 1/1: exit 1, ", 0), 0u) << progress[3];

    // Every p listed; five points give every metric over all p a model, Karp-Flatt
    // (p > 1 only) has four and says so.
    const CommandResult json = RunCommand(Kova("scaling testLumo --user " + ShellQuoted(user) + " --format json"),
                                          ErrorStream::Apart);
    ASSERT_EQ(json.status, 0) << json.errors;
    const nlohmann::json study = nlohmann::json::parse(json.output);
    std::vector<int> ps;
    for (const auto& row : study["rows"]) ps.push_back(row["p"]);
    EXPECT_EQ(ps, (std::vector<int>{1, 2, 3, 4, 5}));
    for (const auto& row : study["rows"]) {
        if (row["p"] == 1) continue;
        const double S = row["speedup"], p = row["p"];
        EXPECT_NEAR(row["karpFlatt"].get<double>(), (1 / S - 1 / p) / (1 - 1 / p), 1e-9);
        double split = 0;
        for (const auto& [type, time] : row["overheadByType"].items()) split += time.get<double>();
        EXPECT_NEAR(split, row["overhead"].get<double>(), 1e-6);
    }
    for (const auto& model : study["models"]) {
        if (model["metric"] == "karpFlatt") {
            EXPECT_EQ(model["note"], "too few points: 4 value(s) of p, a model needs 5");
        } else if (model["metric"] == "Tp") {
            EXPECT_TRUE(model.contains("model") && model["model"].contains("terms")) << model;
        }
    }

    // The csv: a header and one line per p, then the models.
    const CommandResult csv = RunCommand(Kova("scaling testLumo --user " + ShellQuoted(user) + " --format csv"),
                                         ErrorStream::Apart);
    ASSERT_EQ(csv.status, 0);
    EXPECT_EQ(csv.outputLines()[0].rfind("W,p,expID,runs,Tp,Ts,speedup,efficiency,karpFlatt,overhead", 0), 0u);
    EXPECT_EQ(csv.outputLines()[6], "");

    // A and B of one run each: compared, with no spread to judge by.
    auto experimentAt = [&](int p) {
        return std::to_string(Number("SELECT ID FROM Experiments WHERE name = 'testLumo' AND W = 2000 AND p = " +
                                     std::to_string(p) + " AND user = '" + user + "'"));
    };
    const std::string a = experimentAt(2), b = experimentAt(4);
    const CommandResult compared = RunCommand(Kova("compare " + a + " " + b), ErrorStream::Apart);
    ASSERT_EQ(compared.status, 0) << compared.errors;
    EXPECT_TRUE(HasLine(compared.outputLines(), "Unreceived messages: A 0, B 0")) << compared.output;
    EXPECT_EQ(LinesStartingWith(compared.outputLines(), "Tp: A ").size(), 1u);
    EXPECT_EQ(LinesStartingWith(compared.outputLines(), "  B process ").size(), 4u);
    EXPECT_TRUE(HasLine(compared.outputLines(), "A's configuration has 1 stored run: no spread to judge B against "
                                                "(store several runs, policy DO_NOT_REPLACE)"))
        << compared.output;

    // Three more stored runs of each configuration, A's all faster than any of B's:
    // every pair ranks B above A, U = 16 of 16, exact p = 1 / C(8, 4).
    for (const auto& [p, Tp] : {std::pair{2, 1}, {2, 2}, {2, 3}, {4, 900000000}, {4, 900000001}, {4, 900000002}})
        db->Query("INSERT INTO Experiments (project, name, version, user, date, comment, p, W, nbrProcesses, Tp, Ts, "
                  "speedup, efficiency, statusData, errorFlags, errors) VALUES ('', 'testLumo', '', '" + user +
                  "', '', '', " + std::to_string(p) + ", 2000, 1, " + std::to_string(Tp) + ", 0, 0, 0, 1, 0, '')");
    const CommandResult ranked = RunCommand(Kova("compare " + a + " " + b), ErrorStream::Apart);
    ASSERT_EQ(ranked.status, 0) << ranked.errors;
    EXPECT_TRUE(HasLine(ranked.outputLines(), "Stored runs of the configuration: A 4, B 4")) << ranked.output;
    EXPECT_TRUE(HasLine(ranked.outputLines(), "B is slower than A beyond the spread of A's runs "
                                              "(Mann-Whitney U = 16.0, one-sided p = 0.0143, exact)"))
        << ranked.output;
    // The other way round, B is not slower.
    const CommandResult reversed = RunCommand(Kova("compare " + b + " " + a), ErrorStream::Apart);
    EXPECT_EQ(LinesStartingWith(reversed.outputLines(), "B is not slower than A").size(), 1u) << reversed.output;

    // A series with p = 3 missing: said, and no model from four points.
    db->Query("DELETE FROM Experiments WHERE ID = " + experimentAt(3));
    const CommandResult gap = RunCommand(Kova("scaling testLumo --user " + ShellQuoted(user)), ErrorStream::Apart);
    ASSERT_EQ(gap.status, 0) << gap.errors;
    EXPECT_TRUE(HasLine(gap.outputLines(),
                        "Note: W = 2000: no run at p = 3 (measured p = 1 2 4 5); nothing is filled in for them"))
        << gap.output;
    EXPECT_TRUE(HasLine(gap.outputLines(), "  W = 2000  Tp(p) = too few points: 4 value(s) of p, a model needs 5"))
        << gap.output;

    // The page: self-contained, with the study inlined.
    const ScratchFolder folder("scaling-page");
    const std::string page = (folder.path() / "scaling.html").string();
    const CommandResult html =
        RunCommand(Kova("scaling testLumo --user " + ShellQuoted(user) + " --format html -o " + ShellQuoted(page)));
    ASSERT_EQ(html.status, 0) << html.output;
    const std::string text = ReadFile(page);
    EXPECT_EQ(text.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(text.find("\"application\":\"testLumo\""), std::string::npos);
    EXPECT_EQ(text.find("<script src"), std::string::npos);
}

TEST_F(MeasuredSeries, ScalingOfAnApplicationWithoutExperimentsSaysSo) {
    const CommandResult none = RunCommand(Kova("scaling no-such-application"), ErrorStream::Apart);
    EXPECT_EQ(none.status, 3);
    EXPECT_EQ(none.errors, "kova: no stored experiments of application no-such-application\n");
    EXPECT_EQ(none.output, "");
    const CommandResult unknown = RunCommand(Kova("compare 999999999 1"), ErrorStream::Apart);
    EXPECT_EQ(unknown.status, 3) << unknown.errors;
}
