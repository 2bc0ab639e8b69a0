// kova study as a user runs it on the virtual cluster, of study_law, a PVM program
// whose run time is 20 ms + W/p ms (and the start of its slave): the sweep stored with its p and W, the law's term
// found, a check beyond the sweep inside its interval, on the page too; a second call
// that measures nothing; an interrupted study resumed; a failing configuration; a
// program that takes no p, run on p hosts of the machine.
#include "kova_site.h"
#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string KOVA = ShellQuoted(std::string(KOVA_BIN_DIR) + "/kova");

class KovaStudy : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    void Clear() {
        for (const char* application : {"study_law", "study_law_failing", "study_law_hosts"})
            DeleteExperimentsOf(*db, application, user);
    }

    // The finished, not crashed runs of the application by "p,W".
    std::map<std::string, int> FinishedRuns(const std::string& application) {
        std::map<std::string, int> runs;
        for (const Row& row : SelectRows(*db, "SELECT p, W, COUNT(*) AS n FROM Experiments WHERE name = '" +
                                                  application + "' AND user = '" + user +
                                                  "' AND statusData >= 1 AND Tp > 0 AND (errorFlags & 1) = 0 "
                                                  "GROUP BY p, W"))
            runs[row.at("p") + "," + row.at("W")] = std::stoi(row.at("n"));
        return runs;
    }

    long long Number(const std::string& query) { return SelectNumber(*db, query); }

    ClusterRun OnCluster(int hosts, const std::string& commands, const ScratchFolder& folder) {
        ClusterOptions options;
        options.workingFolder = folder.path();
        options.timeoutSeconds = 240;
        ClusterRun run = RunOnCluster(hosts, commands, options);
        EXPECT_EQ(run.clusterStatus, 0) << run.clusterErrors;
        return run;
    }

    std::unique_ptr<StandardDatabase> db = ConnectToMeasurementDb();
    const std::string user = LoginName();
};

const std::string kLawStudy = KOVA + " study --p 1..6 --W 100,400,1600 --repeat 2 --check p=8,W=400 --predict p=10,W=1600";

}  // namespace

TEST_F(KovaStudy, LawIsStoredModelledAndCheckedBeyondTheSweepAndASecondCallMeasuresNothing) {
    const ScratchFolder folder("study");
    const ClusterRun run = OnCluster(
        3, kLawStudy + " --format json --page page.html -- study_law {p} {W} && " + kLawStudy + " -- study_law {p} {W}",
        folder);
    ASSERT_EQ(run.status, 0) << run.errors;

    // Every configuration twice, the check point twice, each stored with its p and W.
    std::map<std::string, int> expected = {{"8,400", 2}};
    for (int p = 1; p <= 6; ++p)
        for (int W : {100, 400, 1600}) expected[std::to_string(p) + "," + std::to_string(W)] = 2;
    EXPECT_EQ(FinishedRuns("study_law"), expected);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Experiments WHERE name = 'study_law' AND user = '" + user + "'"), 38);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Experiments WHERE name = 'study_law' AND p = 6 AND W = 1600 AND "
                     "nbrProcesses = 2 AND user = '" + user + "'"),
              2);

    // Progress: a line per run, in rounds, the second in reverse; the check after the fit.
    const std::vector<std::string> errors = Lines(run.errors);
    const std::vector<std::string> progress = LinesStartingWith(errors, "kova study: run ");
    ASSERT_EQ(progress.size(), 38u) << run.errors;
    EXPECT_EQ(progress[0].rfind("kova study: run 1 of 38 (p=1, W=100, repetition 1 of 2): ", 0), 0u) << progress[0];
    EXPECT_EQ(progress[18].rfind("kova study: run 19 of 38 (p=6, W=1600, repetition 2 of 2): ", 0), 0u) << progress[18];
    EXPECT_EQ(progress[36].rfind("kova study: run 37 of 38 (p=8, W=400, repetition 1 of 2): ", 0), 0u) << progress[36];
    EXPECT_NE(progress[35].find(" so far, about "), std::string::npos) << progress[35];
    std::size_t predicted = 0, checkRun = 0;
    for (std::size_t k = 0; k < errors.size(); ++k) {
        if (errors[k].rfind("kova study: p=8, W=400: predicted Tp ", 0) == 0) predicted = k;
        if (errors[k].rfind("kova study: run 37 of 38 ", 0) == 0) checkRun = k;
    }
    EXPECT_GT(predicted, 0u) << run.errors;
    EXPECT_LT(predicted, checkRun) << run.errors;
    // The second call found every run stored.
    EXPECT_TRUE(HasLine(errors, "kova study: every configuration has its 2 runs stored: nothing to measure "
                                "(--again measures again)"))
        << run.errors;

    const std::size_t end = run.output.find("\n}\n");
    ASSERT_NE(end, std::string::npos) << run.output;
    // The JSON of kova scaling, with the checks: the model over p and W has the law's
    // 1/p term, times a factor of W that grows with W (noise of tens of ms on a busy
    // machine lets it pick, say, W^(3/4) * log2(W)^2 over W), and its interval at
    // p = 10, W = 1600 holds the law's 20 ms + 160 ms and the slave's start (the
    // median over the configurations of their Tp beyond the law); the models over p
    // at one W are left to that noise. The check point lies inside its interval.
    const nlohmann::json study = nlohmann::json::parse(run.output.substr(0, end + 2));
    std::vector<double> beyondTheLaw;
    for (const auto& row : study["rows"])
        beyondTheLaw.push_back(row["Tp"].get<double>() -
                               (20000 + row["W"].get<double>() * 1000 / row["p"].get<double>()));
    ASSERT_FALSE(beyondTheLaw.empty()) << study["rows"];
    std::sort(beyondTheLaw.begin(), beyondTheLaw.end());
    const double startOfSlave = beyondTheLaw[beyondTheLaw.size() / 2];
    const double lawAtTenAnd1600 = 180000 + startOfSlave;
    int overPAndW = 0;
    for (const auto& model : study["models"]) {
        if (model["metric"] != "Tp" || !model["overPAndW"].get<bool>()) continue;
        ++overPAndW;
        ASSERT_TRUE(model.contains("model")) << model;
        int lawTerms = 0;
        for (const auto& term : model["model"]["terms"])
            lawTerms += term["pExponent"] == -1 && term["logExponent"] == 0 && term["wExponent"] > 0 &&
                        term["coefficient"] > 0;
        EXPECT_EQ(lawTerms, 1) << model;
    }
    EXPECT_EQ(overPAndW, 1) << study["models"];
    int tpPredictions = 0;
    for (const auto& prediction : study["predictions"])
        if (prediction["metric"] == "Tp") {
            ++tpPredictions;
            if (prediction["p"] == 10) {
                EXPECT_EQ(prediction["W"], 1600);
                EXPECT_LT(prediction["low"].get<double>(), lawAtTenAnd1600) << prediction;
                EXPECT_GT(prediction["high"].get<double>(), lawAtTenAnd1600) << prediction;
            } else {
                EXPECT_EQ(prediction["p"], 8);
                EXPECT_EQ(prediction["W"], 400);
            }
        }
    EXPECT_EQ(tpPredictions, 2) << study["predictions"];
    ASSERT_EQ(study["checks"].size(), 1u) << study;
    const nlohmann::json& check = study["checks"][0];
    EXPECT_EQ(check["p"], 8);
    EXPECT_EQ(check["W"], 400);
    EXPECT_EQ(check["runs"], 2);
    EXPECT_TRUE(check["held"].get<bool>()) << check;
    EXPECT_LE(check["low"].get<double>(), check["measured"].get<double>()) << check;
    EXPECT_GE(check["high"].get<double>(), check["measured"].get<double>()) << check;
    EXPECT_NEAR(check["error"].get<double>(),
                100 * (check["measured"].get<double>() - check["predicted"].get<double>()) / check["predicted"].get<double>(),
                1e-6);
    // 20 ms + 400/8 ms, and the start of the slave.
    EXPECT_GT(check["measured"].get<double>(), 70000) << check;
    EXPECT_TRUE(study["missing"].empty());

    // The second call's text: the same models, the check beside its prediction.
    const std::string text = run.output.substr(end + 3);
    EXPECT_NE(text.find("Checks: Tp measured after the fit beside its prediction (us)\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" held\n"), std::string::npos) << text;

    // The page in headless Chromium: kova scaling's charts and the checks' table.
    const CommandResult browser = RunCommand("node " + ShellQuoted(std::string(KOVA_SOURCE_DIR) +
                                                                   "/report/tests/browser_check.js") +
                                                 " " + ShellQuoted((folder.path() / "page.html").string()) + " " +
                                                 ShellQuoted((folder.path() / "page.png").string()),
                                             ErrorStream::Apart);
    ASSERT_EQ(browser.status, 0) << browser.errors;
    const nlohmann::json seen = nlohmann::json::parse(browser.output);
    EXPECT_TRUE(seen["pageErrors"].empty()) << seen;
    EXPECT_TRUE(seen["consoleErrors"].empty()) << seen;
    EXPECT_EQ(seen["title"], "Scaling of study_law");
    const nlohmann::json shownChecks = nlohmann::json::parse(seen["figures"]["checks"].get<std::string>());
    ASSERT_EQ(shownChecks.size(), 1u) << shownChecks;
    EXPECT_EQ(shownChecks[0]["p"], 8);
    EXPECT_TRUE(shownChecks[0]["held"].get<bool>()) << shownChecks;
    EXPECT_TRUE(nlohmann::json::parse(seen["figures"]["charts"].get<std::string>()).contains("Tp"));
}

TEST_F(KovaStudy, InterruptedStudyGoesOnWhereItStoppedAndAFailingConfigurationIsRetriedAndReportedMissing) {
    const ScratchFolder folder("study-resume");
    const std::string study = KOVA + " study --p 1..5 --repeat 1 -- study_law {p} 300";
    const ClusterRun run = OnCluster(
        3,
        study + " 2>first.err & pid=$!; "
                "for i in $(seq 600); do [ $(grep -c '^kova study: run ' first.err) -ge 2 ] && break; sleep 0.05; done; "
                "kill -TERM $pid; wait $pid; echo \"first $?\"; " +
            study + " >/dev/null 2>second.err; echo \"second $?\"; " + KOVA +
            " study --application study_law_failing --p 1..4 --repeat 1 -- study_law {p} 100 3 >failing.out "
            "2>failing.err; echo \"failing $?\"",
        folder);
    ASSERT_EQ(run.status, 0) << run.errors;
    const std::vector<std::string> lines = run.outputLines();
    ASSERT_EQ(lines.size(), 3u) << run.output;

    // Interrupted: ends with the signal's status and says how to go on.
    EXPECT_EQ(lines[0], "first 143");
    const std::string first = ReadFile(folder.path() / "first.err");
    EXPECT_NE(first.find("kova study: interrupted by signal 15; the same command goes on where the study stopped\n"),
              std::string::npos)
        << first;
    const int before = static_cast<int>(LinesStartingWith(Lines(first), "kova study: run ").size());
    // Resumed: only the configurations without a finished run, each p once in the end.
    EXPECT_EQ(lines[1], "second 0");
    const std::vector<std::string> second = LinesStartingWith(Lines(ReadFile(folder.path() / "second.err")),
                                                              "kova study: run ");
    ASSERT_FALSE(second.empty());
    const std::map<std::string, int> finished = FinishedRuns("study_law");
    EXPECT_EQ(finished, (std::map<std::string, int>{{"1,0", 1}, {"2,0", 1}, {"3,0", 1}, {"4,0", 1}, {"5,0", 1}}));
    EXPECT_GE(before, 2);
    EXPECT_LE(static_cast<int>(second.size()), 5 - 2);
    EXPECT_NE(second[0].find(" of " + std::to_string(second.size()) + " ("), std::string::npos) << second[0];

    // A configuration whose runs fail: shown with its output, tried once more, missing
    // in the summary; the others are stored and modelled.
    EXPECT_EQ(lines[2], "failing 1");
    const std::string failing = ReadFile(folder.path() / "failing.err");
    EXPECT_NE(failing.find("kova study: warning: 4 values of p cannot support a model over p (it needs at least 5)\n"),
              std::string::npos)
        << failing;
    EXPECT_NE(failing.find("kova study: the run of p=3, W=0 failed: the program ended with exit status 3 "),
              std::string::npos)
        << failing;
    EXPECT_EQ(CountOccurrences(failing, "    study_law: p = 3 fails, as asked\n"), 2) << failing;
    EXPECT_NE(failing.find("kova study: trying it once more\n"), std::string::npos) << failing;
    EXPECT_NE(failing.find("kova study: p=3, W=0 gets no more runs in this study\n"), std::string::npos) << failing;
    EXPECT_NE(failing.find("; configurations that lack runs:\n  p=3, W=0: 0 of 1 runs\n"), std::string::npos)
        << failing;
    EXPECT_EQ(FinishedRuns("study_law_failing"), (std::map<std::string, int>{{"1,0", 1}, {"2,0", 1}, {"4,0", 1}}));
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Experiments WHERE name = 'study_law_failing' AND p = 3 AND "
                     "(errorFlags & 1) = 1 AND user = '" + user + "'"),
              2);
    const std::string output = ReadFile(folder.path() / "failing.out");
    EXPECT_NE(output.find("\nConfigurations that lack runs:\n  p=3, W=0: 0 of 1 runs\n"), std::string::npos) << output;
}

TEST_F(KovaStudy, ProgramWithoutPRunsOnPHostsOfTheMachineWhichGetsItsHostsBack) {
    const ScratchFolder folder("study-hosts");
    const ClusterRun run = OnCluster(3,
                                     KOVA + " study --application study_law_hosts --p 1..4 -- study_law; echo \"more $?\"; " +
                                         KOVA + " study --application study_law_hosts --p 1..3 --repeat 1 -- study_law "
                                                ">/dev/null && echo conf | pvm",
                                     folder);
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.errors.find("the command has no {p}, so the program runs on p hosts of the virtual machine, but it "
                              "has 3 and p goes up to 4: add hosts, or pass {p} to the program\n"),
              std::string::npos)
        << run.errors;
    EXPECT_NE(run.output.find("more 2\n"), std::string::npos) << run.output;
    EXPECT_EQ(FinishedRuns("study_law_hosts"), (std::map<std::string, int>{{"1,0", 1}, {"2,0", 1}, {"3,0", 1}}));
    // The program saw p hosts: a master and p - 1 slaves.
    for (int p = 1; p <= 3; ++p)
        EXPECT_EQ(Number("SELECT nbrProcesses FROM Experiments WHERE name = 'study_law_hosts' AND p = " +
                         std::to_string(p) + " AND user = '" + user + "'"),
                  p);
    EXPECT_NE(run.output.find("3 hosts, "), std::string::npos) << run.output;
}
