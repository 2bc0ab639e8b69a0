// testLumo measured on the virtual cluster, a study over host counts, and kova scaling
// and kova compare over the stored series, as a user runs them.
#include "kova_site.h"
#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "probe/KOVAInstrumentation.h"

#include <map>
#include <regex>
#include <set>

namespace {

const std::string kBin = std::string(KOVA_BINARY_DIR) + "/bin";


class MeasuredSeries : public ::testing::Test {
protected:
    void SetUp() override { DeleteExperimentsOf(*db, "testLumo", user); }
    void TearDown() override { DeleteExperimentsOf(*db, "testLumo", user); }

    ClusterRun TestLumo(int hosts, const std::string& arguments) {
        ClusterRun run = RunMeasured(hosts, ShellQuoted(kBin + "/testLumo") + " " + arguments, "testLumo", {}, 60);
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
        const CommandResult analysed = RunCommand(KovaCommand("analyse " + exp + " --json"), ErrorStream::Apart);
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

TEST_F(MeasuredSeries, StudyKeepingEveryRunThenScalingPredictionsPageAndCompare) {
    // 1..6 hosts, two sizes, three kept repetitions each: 36 stored runs, made by kova
    // study on a cluster of six hosts that it shrinks to each p.
    ClusterOptions options;
    options.timeoutSeconds = 280;
    const ClusterRun sweep =
        RunOnCluster(6, KovaCommand("study --p 1..6 --W 2000,20000 --timeout 60 -- testLumo -m -s {W}") + " >/dev/null",
                     options);
    ASSERT_EQ(sweep.status, 0) << sweep.errors;
    const std::vector<std::string> progress = LinesStartingWith(Lines(sweep.errors), "kova study: run ");
    ASSERT_EQ(progress.size(), 36u) << sweep.errors;
    EXPECT_EQ(progress[10].rfind("kova study: run 11 of 36 (p=6, W=2000, repetition 1 of 3): ", 0), 0u) << progress[10];
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Experiments WHERE name = 'testLumo' AND user = '" + user + "'"), 36);

    // Every configuration with its three runs and their spread; five p > 1 give the
    // Karp-Flatt fraction a model too; the predictions at p = 8 for both sizes.
    const CommandResult json = RunCommand(KovaCommand("scaling testLumo --user " + ShellQuoted(user) +
                                               " --predict p=8 --format json"),
                                          ErrorStream::Apart);
    ASSERT_EQ(json.status, 0) << json.errors;
    const nlohmann::json study = nlohmann::json::parse(json.output);
    EXPECT_EQ(study["aggregation"], "median");
    std::vector<int> ps;
    for (const auto& row : study["rows"]) {
        ps.push_back(row["p"]);
        EXPECT_EQ(row["runs"], 3);
        EXPECT_LE(row["TpMin"].get<double>(), row["Tp"].get<double>());
        EXPECT_GE(row["TpMax"].get<double>(), row["Tp"].get<double>());
        if (row["p"] == 1) continue;
        const double S = row["speedup"], p = row["p"];
        EXPECT_NEAR(row["karpFlatt"].get<double>(), (1 / S - 1 / p) / (1 - 1 / p), 1e-9);
        double split = 0;
        for (const auto& [type, time] : row["overheadByType"].items()) split += time.get<double>();
        EXPECT_NEAR(split, row["overhead"].get<double>(), 1e-6);
    }
    EXPECT_EQ(ps, (std::vector<int>{1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6}));
    int modelled = 0;
    for (const auto& model : study["models"]) {
        EXPECT_FALSE(model["overPAndW"].get<bool>());  // two sizes: no model over both
        if (!model.contains("model")) continue;
        ++modelled;
        EXPECT_EQ(model["model"]["runs"], model["metric"] == "karpFlatt" ? 15 : 18) << model;
        EXPECT_GE(model["model"]["error"]["cvSmape"].get<double>(), 0);
    }
    EXPECT_GE(modelled, 10);
    int predictedTp = 0;
    for (const auto& prediction : study["predictions"]) {
        EXPECT_EQ(prediction["p"], 8);
        EXPECT_LE(prediction["low"].get<double>(), prediction["value"].get<double>()) << prediction;
        EXPECT_GE(prediction["high"].get<double>(), prediction["value"].get<double>()) << prediction;
        if (prediction["metric"] == "Tp") {
            ++predictedTp;
            EXPECT_GT(prediction["value"].get<double>(), 0);
        }
    }
    EXPECT_EQ(predictedTp, 2);

    // The csv: a header and one line per configuration, then the models, then the predictions.
    const CommandResult csv = RunCommand(KovaCommand("scaling testLumo --user " + ShellQuoted(user) +
                                              " --predict p=8,W=2000 --format csv"),
                                         ErrorStream::Apart);
    ASSERT_EQ(csv.status, 0);
    EXPECT_EQ(csv.outputLines()[0].rfind("W,p,expID,runs,Tp,TpMin,TpMax,Ts,speedup,efficiency,karpFlatt,overhead", 0), 0u);
    EXPECT_EQ(csv.outputLines()[13], "");
    EXPECT_EQ(csv.outputLines()[14].rfind("parameters,W,metric,model,smape,cvSmape,adjustedRSquared,", 0), 0u);
    EXPECT_EQ(LinesStartingWith(csv.outputLines(), "Tp,8,2000,").size(), 1u) << csv.output;

    // The page in headless Chromium: every metric charted, each W's points and model in
    // one colour, the curves out to the predicted p = 8, the predictions marked.
    const ScratchFolder folder("scaling-page");
    const std::string page = (folder.path() / "scaling.html").string();
    const CommandResult html = RunCommand(KovaCommand("scaling testLumo --user " + ShellQuoted(user) +
                                               " --predict p=8 --format html -o " + ShellQuoted(page)));
    ASSERT_EQ(html.status, 0) << html.output;
    const std::string text = ReadFile(page);
    EXPECT_EQ(text.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(text.find("<script src"), std::string::npos);
    const CommandResult browser =
        RunCommand("node " + ShellQuoted(std::string(KOVA_SOURCE_DIR) + "/report/tests/browser_check.js") + " " +
                       ShellQuoted(page) + " " + ShellQuoted((folder.path() / "scaling.png").string()),
                   ErrorStream::Apart);
    ASSERT_EQ(browser.status, 0) << browser.errors;
    const nlohmann::json seen = nlohmann::json::parse(browser.output);
    EXPECT_FALSE(seen.contains("failure")) << seen;
    EXPECT_TRUE(seen["pageErrors"].empty()) << seen;
    EXPECT_TRUE(seen["consoleErrors"].empty()) << seen;
    EXPECT_TRUE(seen["outsideRequests"].empty()) << seen;
    EXPECT_EQ(seen["title"], "Scaling of testLumo");
    const nlohmann::json charts = nlohmann::json::parse(seen["figures"]["charts"].get<std::string>());
    for (const char* metric : {"Tp", "speedup", "efficiency", "overhead", "overhead:idle", "overhead:comm_send"})
        EXPECT_TRUE(charts.contains(metric)) << metric << " " << charts;
    std::map<std::string, std::set<std::string>> coloursOfW;
    int predictionMarks = 0, curvesToEight = 0;
    for (const auto& series : charts["Tp"]) {
        coloursOfW[series["name"]].insert(series["colour"].get<std::string>());
        predictionMarks += series["kind"] == "prediction";
        curvesToEight += series["kind"] == "model" && series["largestP"].get<double>() >= 8;
    }
    EXPECT_EQ(coloursOfW.size(), 2u);
    for (const auto& [W, colours] : coloursOfW) EXPECT_EQ(colours.size(), 1u) << W;
    EXPECT_EQ(predictionMarks, 2);
    EXPECT_EQ(curvesToEight, 2);
    const std::string tpLine = seen["figures"]["model W 2000: Tp(p)"];
    EXPECT_NE(tpLine.find("SMAPE "), std::string::npos) << tpLine;
    EXPECT_NE(tpLine.find(" 6 configurations, 18 runs)"), std::string::npos) << tpLine;

    // Compare: A and B as the only stored runs of their configurations get no spread
    // to judge by.
    auto experimentsAt = [&](int p) {
        std::vector<std::string> ids;
        for (const Row& row : SelectRows(*db, "SELECT ID FROM Experiments WHERE name = 'testLumo' AND W = 2000 AND p = " +
                                                  std::to_string(p) + " AND user = '" + user + "' ORDER BY ID"))
            ids.push_back(row.at("ID"));
        return ids;
    };
    for (int p : {2, 4})
        for (const std::string& id : experimentsAt(p))
            if (id != experimentsAt(p).front()) db->Query("DELETE FROM Experiments WHERE ID = " + id);
    const std::string a = experimentsAt(2).front(), b = experimentsAt(4).front();
    const CommandResult compared = RunCommand(KovaCommand("compare " + a + " " + b), ErrorStream::Apart);
    ASSERT_EQ(compared.status, 0) << compared.errors;
    EXPECT_TRUE(HasLine(compared.outputLines(), "Unreceived messages: A 0, B 0")) << compared.output;
    EXPECT_EQ(LinesStartingWith(compared.outputLines(), "Tp: A ").size(), 1u);
    EXPECT_EQ(LinesStartingWith(compared.outputLines(), "  B process ").size(), 4u);
    EXPECT_TRUE(HasLine(compared.outputLines(), "A's configuration has 1 stored run: no spread to judge B against "
                                                "(store several runs: policy DO_NOT_REPLACE, or a sweep that keeps "
                                                "every run)"))
        << compared.output;

    // Three more stored runs of each configuration, A's all faster than any of B's:
    // every pair ranks B above A, U = 16 of 16, exact p = 1 / C(8, 4). B's measured
    // run, which on a busy machine may have been the faster one, is made slower than A's.
    const std::string aTp = db->QueryFirst("SELECT Tp FROM Experiments WHERE ID = " + a);
    db->Query("UPDATE Experiments SET Tp = GREATEST(Tp, " + aTp + " + 1) WHERE ID = " + b);
    for (const auto& [p, Tp] : {std::pair{2, 1}, {2, 2}, {2, 3}, {4, 900000000}, {4, 900000001}, {4, 900000002}})
        db->Query("INSERT INTO Experiments (project, name, version, user, date, comment, p, W, nbrProcesses, Tp, Ts, "
                  "speedup, efficiency, statusData, errorFlags, errors) VALUES ('', 'testLumo', '', '" + user +
                  "', '', '', " + std::to_string(p) + ", 2000, 1, " + std::to_string(Tp) + ", 0, 0, 0, 1, 0, '')");
    const CommandResult ranked = RunCommand(KovaCommand("compare " + a + " " + b), ErrorStream::Apart);
    ASSERT_EQ(ranked.status, 0) << ranked.errors;
    EXPECT_TRUE(HasLine(ranked.outputLines(), "Stored runs of the configuration: A 4, B 4")) << ranked.output;
    EXPECT_TRUE(HasLine(ranked.outputLines(), "B is slower than A beyond the spread of A's runs "
                                              "(Mann-Whitney U = 16.0, one-sided p = 0.0143, exact)"))
        << ranked.output;
    // The other way round, B is not slower.
    const CommandResult reversed = RunCommand(KovaCommand("compare " + b + " " + a), ErrorStream::Apart);
    EXPECT_EQ(LinesStartingWith(reversed.outputLines(), "B is not slower than A").size(), 1u) << reversed.output;

    // A series with p = 3 missing: said, not filled in; the five other p still get a model.
    for (const std::string& id : experimentsAt(3)) db->Query("DELETE FROM Experiments WHERE ID = " + id);
    const CommandResult gap = RunCommand(KovaCommand("scaling testLumo --user " + ShellQuoted(user)), ErrorStream::Apart);
    ASSERT_EQ(gap.status, 0) << gap.errors;
    EXPECT_TRUE(HasLine(gap.outputLines(),
                        "Note: W = 2000: no run at p = 3 (measured p = 1 2 4 5 6); nothing is filled in for them"))
        << gap.output;
    EXPECT_EQ(LinesStartingWith(gap.outputLines(), "  W = 2000  Tp(p) = ").size(), 1u) << gap.output;
    EXPECT_TRUE(LinesStartingWith(gap.outputLines(), "  W = 2000  Tp(p) = too few points").empty()) << gap.output;

    // Wrong predictions are refused before anything is read.
    const CommandResult wrong = RunCommand(KovaCommand("scaling testLumo --predict p=0"), ErrorStream::Apart);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.errors.find("--predict p=0: '0' is not a positive number"), std::string::npos) << wrong.errors;
}

TEST_F(MeasuredSeries, ScalingOfAnApplicationWithoutExperimentsSaysSo) {
    const CommandResult none = RunCommand(KovaCommand("scaling no-such-application"), ErrorStream::Apart);
    EXPECT_EQ(none.status, 3);
    EXPECT_EQ(none.errors, "kova: no stored experiments of application no-such-application\n");
    EXPECT_EQ(none.output, "");
    const CommandResult unknown = RunCommand(KovaCommand("compare 999999999 1"), ErrorStream::Apart);
    EXPECT_EQ(unknown.status, 3) << unknown.errors;
}

TEST_F(MeasuredSeries, StoredSeriesWithACrashedRunAndAnImplausibleValueIsFlaggedInEveryOutput) {
    // Stored by hand: Ts = 1000 us (experiment at p = 1), p = 2..6 on 1000/p + 20 p,
    // but p = 3 at 200 us (speedup 5), and a crashed run at p = 2 that was fast.
    const std::string application = "scaling-golden";
    DeleteExperimentsOf(*db, application, user);
    auto store = [&](int p, long long Tp, int status, int flags) {
        db->Query("INSERT INTO Experiments (project, name, version, user, date, comment, p, W, nbrProcesses, Tp, Ts, "
                  "speedup, efficiency, statusData, errorFlags, errors) VALUES ('', '" + application + "', '', '" +
                  user + "', '', '', " + std::to_string(p) + ", 100, " + std::to_string(p) + ", " +
                  std::to_string(Tp) + ", 0, 0, 0, " + std::to_string(status) + ", " + std::to_string(flags) + ", '')");
        return static_cast<int>(Number("SELECT MAX(ID) FROM Experiments WHERE name = '" + application + "'"));
    };
    const int sequential = store(1, 1000, 1, 0);
    std::map<int, int> ids;
    for (int p = 2; p <= 6; ++p) ids[p] = store(p, p == 3 ? 200 : 1000 / p + 20 * p, 1, 0);
    const int crashed = store(2, 10, 1, 1);
    const int unfinished = store(4, 0, 0, 0);

    const CommandResult json = RunCommand(KovaCommand("scaling " + application + " --user " + ShellQuoted(user) +
                                               " --predict p=12 --format json"),
                                          ErrorStream::Apart);
    ASSERT_EQ(json.status, 0) << json.errors;
    const nlohmann::json study = nlohmann::json::parse(json.output);
    ASSERT_EQ(study["rows"].size(), 6u);
    EXPECT_EQ(study["rows"][0]["speedup"], 1.0);
    EXPECT_EQ(study["rows"][0]["efficiency"], 1.0);
    EXPECT_EQ(study["rows"][1]["runs"], 1);
    EXPECT_EQ(study["rows"][1]["Tp"], 540);
    EXPECT_EQ(study["leftOut"], nlohmann::json::parse("[{\"expID\": " + std::to_string(crashed) +
                                                      ", \"p\": 2, \"W\": 100, \"reason\": \"crashed\"}, {\"expID\": " +
                                                      std::to_string(unfinished) +
                                                      ", \"p\": 4, \"W\": 100, \"reason\": \"never finished\"}]"));
    std::set<std::string> flagged;
    for (const auto& value : study["implausible"]) {
        EXPECT_EQ(value["p"], 3);
        EXPECT_EQ(value["tpRuns"], nlohmann::json({ids[3]}));
        EXPECT_EQ(value["tsRuns"], nlohmann::json({sequential}));
        flagged.insert(value["metric"].get<std::string>() + " " + value["why"].get<std::string>());
    }
    EXPECT_EQ(flagged, (std::set<std::string>{"speedup above p", "efficiency above 1", "karpFlatt below 0",
                                              "overhead below 0"}));
    // Every prediction of efficiency is the predicted speedup over p.
    std::map<std::string, double> predicted;
    for (const auto& prediction : study["predictions"])
        predicted[prediction["metric"].get<std::string>()] = prediction["value"].get<double>();
    ASSERT_TRUE(predicted.count("speedup") && predicted.count("efficiency") && predicted.count("Tp")) << study;
    EXPECT_DOUBLE_EQ(predicted["speedup"], 1000 / predicted["Tp"]);
    EXPECT_DOUBLE_EQ(predicted["efficiency"], predicted["speedup"] / 12);

    const CommandResult text = RunCommand(KovaCommand("scaling " + application + " --user " + ShellQuoted(user)),
                                          ErrorStream::Apart);
    ASSERT_EQ(text.status, 0) << text.errors;
    EXPECT_TRUE(HasLine(text.outputLines(), "  W = 100, p = 3: efficiency 1.667 above 1 (Tp of run(s) " +
                                                std::to_string(ids[3]) + "; Ts of run(s) " +
                                                std::to_string(sequential) + ")"))
        << text.output;
    EXPECT_TRUE(HasLine(text.outputLines(), "Left out: run " + std::to_string(crashed) + " (W = 100, p = 2): crashed"))
        << text.output;
    const CommandResult csv = RunCommand(KovaCommand("scaling " + application + " --user " + ShellQuoted(user) +
                                              " --format csv"),
                                         ErrorStream::Apart);
    EXPECT_TRUE(HasLine(csv.outputLines(), "efficiency,3,100,1.66667,above 1," + std::to_string(ids[3]) + "," +
                                               std::to_string(sequential)))
        << csv.output;

    // The page names them too.
    const ScratchFolder folder("scaling-golden");
    const std::string page = (folder.path() / "scaling.html").string();
    ASSERT_EQ(RunCommand(KovaCommand("scaling " + application + " --user " + ShellQuoted(user) +
                              " --predict p=12 --format html -o " + ShellQuoted(page)))
                  .status,
              0);
    const CommandResult browser =
        RunCommand("node " + ShellQuoted(std::string(KOVA_SOURCE_DIR) + "/report/tests/browser_check.js") + " " +
                       ShellQuoted(page) + " " + ShellQuoted((folder.path() / "scaling.png").string()),
                   ErrorStream::Apart);
    ASSERT_EQ(browser.status, 0) << browser.errors;
    const nlohmann::json seen = nlohmann::json::parse(browser.output);
    EXPECT_TRUE(seen["pageErrors"].empty()) << seen;
    EXPECT_EQ(seen["figures"]["left out " + std::to_string(crashed)], "crashed") << seen["figures"];
    const std::string efficiency = seen["figures"]["implausible efficiency p 3 W 100"];
    EXPECT_NE(efficiency.find("1.667 above 1 (Tp of run(s) " + std::to_string(ids[3])), std::string::npos) << efficiency;
    const std::string prediction = seen["figures"]["prediction efficiency p 12 W 100"];
    EXPECT_NE(prediction.find("from the predicted Tp"), std::string::npos) << prediction;
    DeleteExperimentsOf(*db, application, user);
}
