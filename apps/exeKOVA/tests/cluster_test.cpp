// exeKOVA run as a user runs it: on the virtual cluster against the real database
// server, checking its report, its weight files and what it stored.
#include <gtest/gtest.h>
#include <kova_site.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <set>
#include <sstream>

#include "apps/exeKOVA/tests/exekova_test_support.h"

namespace {

const std::string EXE = std::string(KOVA_BINARY_DIR) + "/bin/exeKOVA";
const std::size_t WEIGHT_FILE_SIZE = 1127128;

// What the master's console report says, and what does not fit it.
struct Report {
    std::vector<std::string> problems;
    int parallelExpID = -1;  // -1 when the parallel experiment was not written
    int sequentialExpID = -1;
    std::vector<double> parallelOutputs;
    int parallelClass = -1;
    long long parallelTime = 0;
    std::vector<std::string> sequentialLines;
    long long sequentialTime = 0;
    double speedup = 0;
    double efficiency = 0;
};

const std::string NUMBER = R"([-+]?[0-9]*\.?[0-9]+(?:e[-+]?[0-9]+)?)";

// Matches the report line by line: the parallel experiment's storage line, the
// parallel block, the parallel time, the sequential block with its storage line,
// the sequential time, the speedup and the efficiency, and nothing else.
Report ParseReport(const std::vector<std::string>& lines) {
    Report report;
    std::size_t next = 0;
    std::smatch match;
    auto expect = [&](const std::string& pattern) -> bool {
        if (next >= lines.size()) {
            report.problems.push_back("missing line " + std::to_string(next + 1) + " /" + pattern + "/");
            return false;
        }
        const std::string& line = lines[next++];
        if (std::regex_match(line, match, std::regex(pattern))) return true;
        report.problems.push_back("line " + std::to_string(next) + " '" + line + "' is not /" + pattern + "/");
        return false;
    };
    auto tenValues = [&](std::vector<double>* values, std::vector<std::string>* texts) {
        for (int i = 0; i < 10; ++i) {
            if (!expect(NUMBER)) continue;
            if (values) values->push_back(std::stod(match[0]));
            if (texts) texts->push_back(match[0]);
        }
    };
    const std::string stored = R"( \*\*\* KOVA Instrumentation: experiment ([0-9]+) written to database )";
    if (next < lines.size() && lines[next].find("is NOT written") != std::string::npos) {
        expect(R"( \*\*\* KOVA Instrumentation: experiment is NOT written to database, because it was slower )"
               R"(than similar experiments \(ANN_example p=3 W=100\))");
    } else if (expect(stored + R"(\(it replaces all slower similar experiments\))")) {
        report.parallelExpID = std::stoi(match[1]);
    }
    tenValues(&report.parallelOutputs, nullptr);
    if (expect("parallel result, the number is:([0-9])")) report.parallelClass = std::stoi(match[1]);
    if (expect("parallel time:([0-9]+)s ([0-9]+)us"))
        report.parallelTime = std::stoll(match[1]) * 1000000 + std::stoll(match[2]);
    tenValues(nullptr, &report.sequentialLines);
    if (expect("seqential result, the number is:[0-9]")) report.sequentialLines.push_back(match[0]);
    if (expect(stored + R"(\(it replaces all similar experiments\))")) report.sequentialExpID = std::stoi(match[1]);
    if (expect("sequential time: ([0-9]+)s ([0-9]+)us"))
        report.sequentialTime = std::stoll(match[1]) * 1000000 + std::stoll(match[2]);
    if (expect("Speedup         : (" + NUMBER + ")")) report.speedup = std::stod(match[1]);
    if (expect("Efficiency      : (" + NUMBER + ")")) report.efficiency = std::stod(match[1]);
    for (; next < lines.size(); ++next) report.problems.push_back("unexpected line '" + lines[next] + "'");
    return report;
}

std::string Joined(const std::vector<std::string>& problems) {
    std::string text;
    for (const auto& problem : problems) text += problem + "\n";
    return text;
}

// The class that the ten-class report must name: the largest value, later index on a tie.
int WinningClass(const std::vector<double>& outputs) {
    int winner = 0;
    double best = 0.0;
    for (int i = 0; i < static_cast<int>(outputs.size()); ++i)
        if (outputs[i] >= best) best = outputs[i], winner = i;
    return winner;
}

// The figures of the report agree with each other and with the fixed seed.
void ExpectConsistentReport(const Report& report) {
    EXPECT_TRUE(report.problems.empty()) << Joined(report.problems);
    ASSERT_EQ(report.parallelOutputs.size(), 10u);
    for (double value : report.parallelOutputs) EXPECT_TRUE(value > 0.0 && value < 1.0) << value;
    EXPECT_EQ(report.parallelClass, WinningClass(report.parallelOutputs));
    EXPECT_EQ(report.sequentialLines, ExpectedSequentialResult(TaskRole::Master).reportLines);
    ASSERT_GT(report.parallelTime, 0);
    const double speedup = static_cast<double>(report.sequentialTime) / report.parallelTime;
    EXPECT_NEAR(report.speedup, speedup, speedup * 1e-5);
    EXPECT_NEAR(report.efficiency, speedup / 3.0, speedup * 1e-5);
}

// The sequential experiments' storage lines of the slaves, from the pvmd log.
std::vector<int> SlaveSequentialExpIDs(const ClusterRun& run) {
    std::vector<int> ids;
    const std::regex stored(R"( \*\*\* KOVA Instrumentation: experiment ([0-9]+) written to database \(it replaces all similar experiments\))");
    const std::string& log = run.pvmLog;
    for (std::sregex_iterator it(log.begin(), log.end(), stored), end; it != end; ++it)
        ids.push_back(std::stoi((*it)[1]));
    return ids;
}

class ExeKOVACluster : public ::testing::Test {
protected:
    void SetUp() override {
        db = ConnectToMeasurementDb();
        // Stored experiments of the same configuration would decide what the
        // replacement policies keep.
        DeleteExperimentsOf(*db, "ANN_example", LoginName());
        DeleteExperimentsOf(*db, "nn", LoginName());
    }

    std::string ExperimentsOf(const std::string& application) {
        return "SELECT * FROM Experiments WHERE name = '" + application + "' AND user = " +
               db->QuotedValue(LoginName()) + " ORDER BY ID";
    }

    // The master's and the slaves' files lie in their own working directories.
    void ExpectWeightFiles(const fs::path& masterFolder, const ClusterRun& run, const std::set<std::string>& slaveHosts) {
        const std::string masterFile = ReadFile(masterFolder / "backprop.nnw");
        EXPECT_EQ(masterFile.size(), WEIGHT_FILE_SIZE);
        EXPECT_TRUE(masterFile == ExpectedSequentialResult(TaskRole::Master).weightFile)
            << "the master's backprop.nnw is not the master's sequential network";
        for (int k = 1; k <= 3; ++k) {
            const std::string host = "node" + std::to_string(k);
            const fs::path file = run.runFolder / host / "backprop.nnw";
            if (!slaveHosts.count(host)) {
                EXPECT_FALSE(fs::exists(file)) << file;
                continue;
            }
            EXPECT_TRUE(ReadFile(file) == ExpectedSequentialResult(TaskRole::Slave).weightFile)
                << file << " is not a slave's sequential network";
        }
    }

    // The tasks measure the sequential network at the same time; each replaces only
    // the finished ones, so exactly one of the three stays: the last to finish.
    void ExpectOneSequentialExperiment(const Report& report, const ClusterRun& run) {
        std::vector<int> ids = SlaveSequentialExpIDs(run);
        EXPECT_EQ(ids.size(), 2u) << run.pvmLog;
        ids.push_back(report.sequentialExpID);
        const auto sequential = SelectRows(*db, ExperimentsOf("nn"));
        ASSERT_EQ(sequential.size(), 1u);
        const Row& kept = sequential[0];
        EXPECT_NE(std::find(ids.begin(), ids.end(), std::stoi(kept.at("ID"))), ids.end()) << kept.at("ID");
        EXPECT_EQ(kept.at("p"), "1");
        EXPECT_EQ(kept.at("W"), "10");
        EXPECT_EQ(kept.at("nbrProcesses"), "1");
        EXPECT_EQ(kept.at("statusData"), "1");
        EXPECT_GT(std::stoll(kept.at("Tp")), 0);
        const std::string id = kept.at("ID");
        EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Processes WHERE expID = " + id + " AND ID = 0 AND pvmTid = 0"), 1);
        EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Phases WHERE expID = " + id + " AND typeID = 3"), 1);
    }

    std::unique_ptr<StandardDatabase> db;
};

// Counts the phases of one process of an experiment that match condition.
long long CountPhases(StandardDatabase& db, const std::string& expID, const std::string& tid,
                      const std::string& condition) {
    return SelectNumber(db, "SELECT COUNT(*) FROM Phases WHERE expID = " + expID + " AND processID = " + tid +
                                " AND " + condition);
}

std::string Comm(int type, int tag, const std::string& partner) {
    return "typeID = " + std::to_string(type) + " AND nbrQuantums = " + std::to_string(tag) +
           " AND commPartnerTid = " + partner;
}

constexpr int IDLE = 2, WORK = 3, SEND = 5, RECV = 6, SPAWN = 7, PART = 8;

TEST_F(ExeKOVACluster, ThreeHostRunsReportStoreAndSaveReproducibly) {
    ScratchFolder first, second;
    const auto run = RunOnCluster(3, "exeKOVA", ExeKOVARun(first.path()));
    ASSERT_EQ(run.status, 0) << run.output;
    const Report report = ParseReport(Lines(run.output));
    ExpectConsistentReport(report);

    // The parallel experiment: three processes on three hosts, every message and
    // every stretch of work closed as a phase.
    ASSERT_GT(report.parallelExpID, 0);
    const std::string expID = std::to_string(report.parallelExpID);
    const auto experiments = SelectRows(*db, ExperimentsOf("ANN_example"));
    ASSERT_EQ(experiments.size(), 1u);
    const Row& experiment = experiments[0];
    EXPECT_EQ(experiment.at("ID"), expID);
    EXPECT_EQ(experiment.at("p"), "3");
    EXPECT_EQ(experiment.at("W"), "100");
    EXPECT_EQ(experiment.at("nbrProcesses"), "3");
    EXPECT_EQ(experiment.at("statusData"), "1");
    EXPECT_EQ(experiment.at("comment"), "testing of new kova probe");
    EXPECT_GT(std::stoll(experiment.at("Tp")), 0);
    EXPECT_LE(std::stoll(experiment.at("Tp")), report.parallelTime);

    const auto processes = SelectRows(*db, "SELECT * FROM Processes WHERE expID = " + expID);
    ASSERT_EQ(processes.size(), 3u);
    std::set<std::string> hosts;
    std::string master;
    for (const Row& process : processes) {
        hosts.insert(process.at("processor"));
        EXPECT_EQ(process.at("ID"), process.at("pvmTid"));
        if (process.at("processor") == "node1") master = process.at("ID");
    }
    EXPECT_EQ(hosts, (std::set<std::string>{"node1", "node2", "node3"}));
    ASSERT_FALSE(master.empty());

    // The master's set-up: spawning, both process tables, then both stage layouts.
    const auto setUp = SelectRows(*db, "SELECT typeID, nbrQuantums, commPartnerTid FROM Phases WHERE expID = " + expID +
                                           " AND processID = " + master + " AND nbr <= 8 ORDER BY nbr");
    ASSERT_EQ(setUp.size(), 8u);
    const std::string slave1 = setUp[1].at("commPartnerTid"), slave2 = setUp[2].at("commPartnerTid");
    const std::vector<std::vector<std::string>> expectedSetUp = {
        {"8", "0", "-1"},         {"7", "0", slave1},       {"7", "0", slave2}, {"5", "1", slave1},
        {"5", "1", slave2},       {"5", "2", slave1},       {"5", "2", slave2}, {"3", "0", "-1"}};
    for (std::size_t i = 0; i < setUp.size(); ++i)
        EXPECT_EQ((std::vector<std::string>{setUp[i].at("typeID"), setUp[i].at("nbrQuantums"),
                                             setUp[i].at("commPartnerTid")}),
                  expectedSetUp[i])
            << "set-up phase " << i + 1;
    EXPECT_EQ(CountPhases(*db, expID, master, "typeID = " + std::to_string(PART)), 1);
    EXPECT_EQ(CountPhases(*db, expID, master, "typeID = " + std::to_string(SPAWN)), 2);

    // The master's training: 1000 examples in, one receive per example, a backward
    // message for every forward result of the second slave.
    EXPECT_EQ(CountPhases(*db, expID, master, Comm(SEND, 3, slave1)), 1000);
    const long long results = CountPhases(*db, expID, master, Comm(RECV, 3, slave2));
    EXPECT_EQ(results + CountPhases(*db, expID, master, Comm(RECV, 4, slave1)), 1000);
    EXPECT_GE(results, 500);
    EXPECT_EQ(CountPhases(*db, expID, master, Comm(SEND, 4, slave2)), results);
    for (const std::string& slave : {slave1, slave2}) {
        EXPECT_EQ(CountPhases(*db, expID, master, Comm(SEND, 6, slave)), 1);
        EXPECT_EQ(CountPhases(*db, expID, master, Comm(RECV, 7, slave)), 1);
    }
    EXPECT_EQ(CountPhases(*db, expID, master, Comm(SEND, 5, slave1)), 1);
    EXPECT_EQ(CountPhases(*db, expID, master, Comm(RECV, 5, slave2)), 1);

    // The slaves: the first forwards all 1000 examples; both handle at least 100
    // backward messages, each answered, then report once.
    EXPECT_EQ(CountPhases(*db, expID, slave1, Comm(RECV, 3, master)), 1000);
    EXPECT_EQ(CountPhases(*db, expID, slave1, Comm(SEND, 3, slave2)), 1000);
    EXPECT_EQ(CountPhases(*db, expID, slave2, Comm(SEND, 3, master)),
              CountPhases(*db, expID, slave2, Comm(RECV, 3, slave1)));
    const std::vector<std::pair<std::string, std::string>> neighbours = {{slave1, master}, {slave2, slave1}};
    for (const auto& [slave, predecessor] : neighbours) {
        const long long backward = CountPhases(*db, expID, slave, "typeID = 6 AND nbrQuantums = 4");
        EXPECT_GE(backward, 100);
        EXPECT_EQ(CountPhases(*db, expID, slave, Comm(SEND, 4, predecessor)), backward);
        EXPECT_EQ(CountPhases(*db, expID, slave, Comm(RECV, 1, master)), 1);
        EXPECT_EQ(CountPhases(*db, expID, slave, Comm(RECV, 2, master)), 1);
        EXPECT_EQ(CountPhases(*db, expID, slave, Comm(RECV, 6, master)), 1);
        EXPECT_EQ(CountPhases(*db, expID, slave, Comm(SEND, 7, master)), 1);
        EXPECT_EQ(CountPhases(*db, expID, slave, Comm(RECV, 5, predecessor)), 1);
    }
    for (const Row& process : processes) {
        const std::string tid = process.at("ID");
        // Every receive waits first, and the totals are the sums of the phases.
        EXPECT_EQ(CountPhases(*db, expID, tid, "typeID = " + std::to_string(IDLE)),
                  CountPhases(*db, expID, tid, "typeID = " + std::to_string(RECV)));
        EXPECT_GT(CountPhases(*db, expID, tid, "typeID = " + std::to_string(WORK)), 0);
        const auto totals = SelectRows(*db, "SELECT t.phaseTypeID, t.duration, SUM(p.duration) AS summed FROM "
                                            "PhaseDurations t JOIN Phases p ON p.expID = t.expID AND p.processID = "
                                            "t.processID AND p.typeID = t.phaseTypeID WHERE t.expID = " +
                                                expID + " AND t.processID = " + tid + " GROUP BY t.phaseTypeID");
        EXPECT_GE(totals.size(), 4u);
        for (const Row& total : totals) EXPECT_EQ(total.at("duration"), total.at("summed")) << total.at("phaseTypeID");
    }

    ExpectWeightFiles(first.path(), run, {"node2", "node3"});
    ExpectOneSequentialExperiment(report, run);

    // A second run computes the same sequential network; the faster of the two
    // parallel experiments stays.
    const auto again = RunOnCluster(3, "exeKOVA", ExeKOVARun(second.path()));
    ASSERT_EQ(again.status, 0) << again.output;
    const Report secondReport = ParseReport(Lines(again.output));
    ExpectConsistentReport(secondReport);
    EXPECT_EQ(secondReport.sequentialLines, report.sequentialLines);
    EXPECT_TRUE(ReadFile(second.path() / "backprop.nnw") == ReadFile(first.path() / "backprop.nnw"));
    const auto kept = SelectRows(*db, ExperimentsOf("ANN_example"));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].at("ID"),
              std::to_string(secondReport.parallelExpID > 0 ? secondReport.parallelExpID : report.parallelExpID));
    ExpectOneSequentialExperiment(secondReport, again);
}

TEST_F(ExeKOVACluster, SingleHostRunPlacesEveryTaskOnThatHost) {
    ScratchFolder folder;
    const auto run = RunOnCluster(1, "exeKOVA", ExeKOVARun(folder.path()));
    ASSERT_EQ(run.status, 0) << run.output;
    const Report report = ParseReport(Lines(run.output));
    ExpectConsistentReport(report);
    ASSERT_GT(report.parallelExpID, 0);
    const auto processes =
        SelectRows(*db, "SELECT processor FROM Processes WHERE expID = " + std::to_string(report.parallelExpID));
    ASSERT_EQ(processes.size(), 3u);
    for (const Row& process : processes) EXPECT_EQ(process.at("processor"), "node1");
    EXPECT_EQ(SelectNumber(*db, "SELECT statusData FROM Experiments WHERE ID = " + std::to_string(report.parallelExpID)),
              1);
    // Both slaves work in node1's task folder, not in the folder exeKOVA was started from.
    ExpectWeightFiles(folder.path(), run, {"node1"});
    ExpectOneSequentialExperiment(report, run);
}

TEST_F(ExeKOVACluster, UnwritableWeightFileIsReportedAfterTheMeasurementsAreStored) {
    ScratchFolder folder;
    fs::create_directory(folder.path() / "backprop.nnw");
    const auto run = RunOnCluster(1, "exeKOVA", ExeKOVARun(folder.path()));
    EXPECT_EQ(run.status, 255);
    std::vector<std::string> lines = Lines(run.output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "error cannot write the weight file backprop.nnw");
    lines.pop_back();
    const Report report = ParseReport(lines);
    EXPECT_TRUE(report.problems.empty()) << Joined(report.problems);
    ASSERT_GT(report.parallelExpID, 0);
    EXPECT_EQ(SelectNumber(*db, "SELECT statusData FROM Experiments WHERE ID = " + std::to_string(report.parallelExpID)),
              1);
    ExpectOneSequentialExperiment(report, run);
}

// Runs exeKOVA outside any cluster; returns its exit status and output.
std::pair<int, std::string> RunDirectly(const std::string& environment, const std::string& arguments,
                                        const fs::path& folder) {
    const CommandResult run = RunCommand("cd " + ShellQuoted(folder.string()) + " && " + environment + " " +
                                             ShellQuoted(EXE) + " " + arguments + " </dev/null",
                                         ErrorStream::Apart);
    return {run.status, run.output};
}

TEST(ExeKOVAInput, ArgumentsAreRefusedWithUsage) {
    ScratchFolder folder;
    const auto [status, output] = RunDirectly("", "-v", folder.path());
    EXPECT_EQ(status, 2);
    EXPECT_EQ(output, "usage: exeKOVA (takes no arguments)\n");
    EXPECT_FALSE(fs::exists(folder.path() / "backprop.nnw"));
}

TEST(ExeKOVAInput, NoVirtualMachineEndsBeforeAnythingIsStored) {
    ScratchFolder folder;
    fs::create_directory(folder.path() / "pvm");
    auto db = ConnectToMeasurementDb();
    const std::string count = "SELECT COUNT(*) FROM Experiments WHERE name IN ('ANN_example', 'nn')";
    const long long before = SelectNumber(*db, count);
    const auto [status, output] =
        RunDirectly("PVM_ALLOW_ROOT=1 PVM_TMP='" + (folder.path() / "pvm").string() + "'", "", folder.path());
    EXPECT_EQ(status, 255);
    EXPECT_TRUE(std::regex_match(output, std::regex("error in PalNet: this task cannot reach a PVM daemon \\(is the "
                                                    "virtual machine running\\?\\) at line [0-9]+ of file parallel\n")))
        << output;
    EXPECT_EQ(SelectNumber(*db, count), before);
    EXPECT_FALSE(fs::exists(folder.path() / "backprop.nnw"));
}

}  // namespace
