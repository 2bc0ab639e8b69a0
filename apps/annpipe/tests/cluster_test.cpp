// End-to-end tests of annpipe as a user runs it: on a three-host virtual PVM
// cluster against the real measurement database, checking what the master and
// the slaves print and what the probes store.
#include "probe/replacement.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <tuple>
#include <string>
#include <vector>

#include "apps/annpipe/tests/cluster.h"

namespace {

const std::string ANNPIPE = ANNPIPE_PATH;
const std::string BIN_DIR = ANNPIPE.substr(0, ANNPIPE.rfind('/'));
const char* const APPLICATION = "ANN_exemple";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// Position of the first line equal to line, or the number of lines.
std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& line, std::size_t from = 0) {
    return std::find(lines.begin() + std::min(from, lines.size()), lines.end(), line) - lines.begin();
}

// The two slaves, as the master announces them with their process tables.
std::vector<int> SlaveTids(const std::vector<std::string>& masterLines) {
    std::vector<int> tids;
    for (const std::string& line : masterLines)
        if (StartsWith(line, "send to tid:") && line.find(" taskTag(1)") != std::string::npos)
            tids.push_back(std::stoi(line.substr(12)));
    return tids;
}

// A whole run of the master with the facts the tests read from it.
struct ProgramRun {
    ClusterRun cluster;
    std::vector<std::string> masterLines;
    std::vector<int> slaves;
    // What the slaves were started with, one line each.
    std::vector<std::string> slaveArguments;
};

// Runs "annpipe <arguments>" on the cluster, its slaves started through the
// argument log, after removing the stored experiments of annpipe.
std::unique_ptr<ProgramRun> RunProgram(const std::string& arguments) {
    auto db = ConnectToMeasurementDb();
    DeleteExperimentsOf(*db, APPLICATION);
    ScratchFolder folder;
    auto run = std::make_unique<ProgramRun>();
    const std::string dir = folder.path().string();
    run->cluster = RunOnCluster(3, "'" + ANNPIPE + "' " + arguments, AnnpipeRun(dir, ArgumentLoggingPath(dir)));
    run->masterLines = Lines(run->cluster.output);
    run->slaves = SlaveTids(run->masterLines);
    run->slaveArguments = Lines(ReadFile(folder.path() / "slave-arguments"));
    return run;
}

// The lines that show the lock step of one training example on the master.
std::vector<std::string> MasterStepLines(int n, int slave1, int slave2) {
    const std::string num = std::to_string(n);
    return {"mater forwardTraining...data num=" + num,
            "mater send(forward) data to slave1...data num=" + num,
            "send to tid:" + std::to_string(slave1) + " taskTag(3)",
            "master1 receive(forward) data from\t\t\t\t\tslave2....data num" + num,
            "  received from tid:" + std::to_string(slave2) + " taskTag(3)",
            "master1 backwardTraining...",
            "send to tid:" + std::to_string(slave2) + " taskTag(4)",
            "  received from tid:" + std::to_string(slave1) + " taskTag(4)"};
}

bool IsStepLine(const std::string& line) {
    for (const char* prefix : {"mater ", "master1 ", "send to tid:", "  received from tid:"})
        if (StartsWith(line, prefix)) return true;
    return false;
}

// Checks that the master trained passes x 10 examples in lock step with its
// slaves, and that each slave served every one of them.
void ExpectLockStepTraining(const ProgramRun& run, int passes) {
    ASSERT_EQ(run.slaves.size(), 2u);
    const int slave1 = run.slaves[0], slave2 = run.slaves[1];
    std::vector<std::string> steps;
    const std::size_t trainingEnd = IndexOf(run.masterLines, "Runing the ANN !!!!!");
    ASSERT_LT(trainingEnd, run.masterLines.size());
    for (std::size_t i = 0; i < trainingEnd; ++i)
        if (IsStepLine(run.masterLines[i])) steps.push_back(run.masterLines[i]);
    std::vector<std::string> expected = {"send to tid:" + std::to_string(slave1) + " taskTag(1)",
                                         "send to tid:" + std::to_string(slave2) + " taskTag(1)",
                                         "send to tid:" + std::to_string(slave1) + " taskTag(2)",
                                         "send to tid:" + std::to_string(slave2) + " taskTag(2)"};
    for (int pass = 0; pass < passes; ++pass)
        for (int n = 0; n < 10; ++n)
            for (const std::string& line : MasterStepLines(n, slave1, slave2)) expected.push_back(line);
    EXPECT_EQ(steps, expected);

    for (int slave : run.slaves) {
        ASSERT_TRUE(run.cluster.taskLines.count(slave)) << "no output of slave " << slave;
        const std::vector<std::string>& lines = run.cluster.taskLines.at(slave);
        EXPECT_EQ(CountLines(lines, " for slave1 forward training"), passes * 10) << slave;
        EXPECT_EQ(CountLines(lines, " for slave1 backforward training"), passes * 10) << slave;
        EXPECT_EQ(CountLines(lines, "I am slave 1 myTid=" + std::to_string(slave)), 1);
        EXPECT_EQ(CountLines(lines, "slave1LayerSizes:10,10"), 1);
        EXPECT_EQ(LinesStartingWith(lines, "Time for task on Slave1: ").size(), 1u) << slave;
    }
    // Forward messages go master -> slave 1 -> slave 2 -> master, backward ones the other way.
    const std::vector<std::string>& first = run.cluster.taskLines.at(slave1);
    const std::vector<std::string>& second = run.cluster.taskLines.at(slave2);
    EXPECT_EQ(CountLines(first, "send to tid:" + std::to_string(slave2) + " taskTag(3)"), passes * 10);
    EXPECT_EQ(CountLines(second, "  received from tid:" + std::to_string(slave1) + " taskTag(3)"), passes * 10);
    EXPECT_EQ(CountLines(second, "send to tid:" + std::to_string(slave1) + " taskTag(4)"), passes * 10);
    EXPECT_EQ(CountLines(first, "  received from tid:" + std::to_string(slave2) + " taskTag(4)"), passes * 10);
    EXPECT_EQ(CountLines(first, "send to tid:" + std::to_string(slave2) + " taskTag(5)"), 1);
    EXPECT_EQ(CountLines(second, "  received from tid:" + std::to_string(slave1) + " taskTag(5)"), 1);
}

// The number printed after label on a line of its own.
double ReportedNumber(const std::vector<std::string>& lines, const std::string& label) {
    const std::vector<std::string> found = LinesStartingWith(lines, label);
    return found.size() == 1 ? std::stod(found[0].substr(label.size())) : -1;
}

// The microseconds of a stopwatch printed as "<s>s <us>us" after label.
double ReportedTime(const std::vector<std::string>& lines, const std::string& label) {
    const std::vector<std::string> found = LinesStartingWith(lines, label);
    if (found.size() != 1) return -1;
    long long seconds = 0, microseconds = 0;
    if (sscanf(found[0].c_str() + label.size(), "%llds %lldus", &seconds, &microseconds) != 2) return -1;
    return seconds * 1e6 + microseconds;
}

// Checks the closing report: the two blocks of ten outputs in order, then the
// times, the speedup and the efficiency.
void ExpectReport(const std::vector<std::string>& lines) {
    const std::size_t parallel = IndexOf(lines, "result Parallel Run :");
    const std::size_t sequential = IndexOf(lines, "result Sequntial Run :", parallel);
    ASSERT_LT(sequential, lines.size()) << "both result blocks, the parallel one first";
    EXPECT_EQ(sequential, parallel + 13);
    for (std::size_t block : {parallel, sequential})
        for (std::size_t i = block + 1; i <= block + 10; ++i) {
            const double value = std::stod(lines[i]);
            EXPECT_GT(value, 0.0) << lines[i];
            EXPECT_LT(value, 1.0) << lines[i];
        }
    EXPECT_EQ(lines[sequential + 14], std::string(61, '='));
    const double parallelTime = ReportedTime(lines, "Parallel Time    : ");
    const double sequentialTime = ReportedTime(lines, "Sequential Time  : ");
    const double speedup = ReportedNumber(lines, "Speedup         : ");
    const double efficiency = ReportedNumber(lines, "Efficiency      : ");
    ASSERT_GT(parallelTime, 0);
    ASSERT_GT(sequentialTime, 0);
    EXPECT_NEAR(speedup, sequentialTime / parallelTime, speedup * 1e-5);
    EXPECT_NEAR(efficiency, speedup / 2, speedup * 1e-5);
    EXPECT_EQ(lines.back(), LinesStartingWith(lines, "Efficiency      : ").at(0));
}

// Values of one column over rows.
std::multiset<std::string> Column(const std::vector<Row>& rows, const std::string& column) {
    std::multiset<std::string> values;
    for (const Row& row : rows) values.insert(row.at(column));
    return values;
}

class AnnpipeUnmeasuredRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() { run = RunProgram("").release(); }
    static void TearDownTestSuite() { delete run; }
    static ProgramRun* run;
};
ProgramRun* AnnpipeUnmeasuredRun::run = nullptr;

TEST_F(AnnpipeUnmeasuredRun, EndsWellStartsTheSlavesWithoutArgumentsAndStoresNothing) {
    EXPECT_EQ(run->cluster.status, 0);
    EXPECT_EQ(run->slaveArguments, (std::vector<std::string>{"0:", "0:"}));
    EXPECT_TRUE(LinesStartingWith(run->masterLines, " *** ").empty());
    auto db = ConnectToMeasurementDb();
    EXPECT_EQ(db->QueryFirst("SELECT COUNT(*) FROM Experiments WHERE name = '" + std::string(APPLICATION) +
                             "' AND user = " + db->QuotedValue(LoginName())),
              "0");
}

TEST_F(AnnpipeUnmeasuredRun, TrainsTheDefaultFivePassesInLockStep) { ExpectLockStepTraining(*run, 5); }

TEST_F(AnnpipeUnmeasuredRun, RunsTheTestImageThroughThePipelineThenReports) {
    const std::vector<std::string>& lines = run->masterLines;
    ASSERT_EQ(run->slaves.size(), 2u);
    const std::string dashes(37, '-');
    // The end of training, the test image through both stages and both slaves, then
    // the sequential run's trace right after "we are here".
    const std::vector<std::string> expected = {
        "", dashes, "Runing the ANN !!!!!", "",
        "begin propagate", "numLayers=2",
        "send to tid:" + std::to_string(run->slaves[0]) + " taskTag(5)",
        "  received from tid:" + std::to_string(run->slaves[1]) + " taskTag(5)",
        "begin propagate", "numLayers=2",
        "", dashes, "", dashes,
        "we are hereforwardTraining"};
    const std::size_t start = IndexOf(lines, "Runing the ANN !!!!!") - 2;
    ASSERT_LE(start + expected.size(), lines.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + start, lines.begin() + start + expected.size()), expected);
    ExpectReport(lines);
}

class AnnpipeMeasuredRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        run = RunProgram("-m -w 7").release();
        auto db = ConnectToMeasurementDb();
        experiments = SelectRows(*db, "SELECT * FROM Experiments WHERE name = '" + std::string(APPLICATION) +
                                          "' AND user = " + db->QuotedValue(LoginName()) + " ORDER BY p DESC");
    }
    static void TearDownTestSuite() {
        delete run;
        auto db = ConnectToMeasurementDb();
        DeleteExperimentsOf(*db, APPLICATION);
    }
    static std::vector<Row> Rows(const std::string& table, const std::string& expID, const std::string& order) {
        auto db = ConnectToMeasurementDb();
        return SelectRows(*db, "SELECT * FROM " + table + " WHERE expID = " + expID + " ORDER BY " + order);
    }
    // Checks a stored experiment of the run: the columns given, W = 7, finished
    // with a parallel time, empty project and version, and announced by the master.
    static void ExpectFinishedExperiment(const Row& experiment, const Row& columns) {
        for (const auto& [column, value] : columns) EXPECT_EQ(experiment.at(column), value) << column;
        EXPECT_EQ(experiment.at("W"), "7");
        EXPECT_EQ(experiment.at("statusData"), "1");
        EXPECT_GT(std::stoll(experiment.at("Tp")), 0);
        EXPECT_EQ(experiment.at("project"), "");
        EXPECT_EQ(experiment.at("version"), "");
        EXPECT_EQ(CountLines(run->masterLines, " *** KOVA Instrumentation: experiment " + experiment.at("ID") +
                                                   " written to database (it replaces all slower similar experiments)"),
                  1);
    }
    static ProgramRun* run;
    static std::vector<Row> experiments;
};
ProgramRun* AnnpipeMeasuredRun::run = nullptr;
std::vector<Row> AnnpipeMeasuredRun::experiments;

TEST_F(AnnpipeMeasuredRun, HandsTheMeasuringFlagAndTheWorkSizeToTheSlaves) {
    EXPECT_EQ(run->cluster.status, 0);
    EXPECT_EQ(run->slaveArguments, (std::vector<std::string>{"3:-m -w 7", "3:-m -w 7"}));
    EXPECT_EQ(run->masterLines.at(0), "KOVA measuring on");
    for (int slave : run->slaves) EXPECT_EQ(CountLines(run->cluster.taskLines[slave], "KOVA measuring on"), 1);
}

TEST_F(AnnpipeMeasuredRun, EveryTaskPresentsSeventyExamples) {
    ExpectLockStepTraining(*run, 7);
    ExpectReport(run->masterLines);
}

TEST_F(AnnpipeMeasuredRun, StoresTheParallelExperimentWithItsThreeProcesses) {
    ASSERT_EQ(experiments.size(), 2u);
    const std::string id = experiments[0].at("ID");
    ExpectFinishedExperiment(experiments[0], {{"p", "2"}, {"nbrProcesses", "3"}, {"comment", "testing of new kova probe"}});

    const std::vector<Row> processes = Rows("Processes", id, "ID");
    ASSERT_EQ(processes.size(), 3u);
    ASSERT_EQ(run->slaves.size(), 2u);
    const std::multiset<std::string> slaveIDs = {std::to_string(run->slaves[0]), std::to_string(run->slaves[1])};
    std::multiset<std::string> ids = Column(processes, "ID");
    EXPECT_EQ(ids, Column(processes, "pvmTid"));
    for (const std::string& slave : slaveIDs) EXPECT_EQ(ids.count(slave), 1u) << slave;
    for (const Row& process : processes) {
        if (!slaveIDs.count(process.at("ID"))) {
            EXPECT_EQ(process.at("processor"), "node1");
        }
    }

    // Every process's phases tile its run, numbered from 1, and its totals add them up by type.
    auto db = ConnectToMeasurementDb();
    for (const Row& process : processes) {
        const bool isMaster = !slaveIDs.count(process.at("ID"));
        const std::string where = " WHERE expID = " + id + " AND processID = " + process.at("ID");
        const std::vector<Row> phases = SelectRows(*db, "SELECT * FROM Phases" + where + " ORDER BY nbr");
        // Master: two spawns, the partitioning, work and idle per example, then work,
        // idle and work for the test image. Slave: work and idle per example, then work.
        ASSERT_EQ(phases.size(), isMaster ? 3u + 70 * 2 + 3 : 70u * 2 + 1) << process.at("ID");
        std::map<std::string, long long> byType;
        for (std::size_t i = 0; i < phases.size(); ++i) {
            EXPECT_EQ(phases[i].at("nbr"), std::to_string(i + 1));
            byType[phases[i].at("typeID")] += std::stoll(phases[i].at("duration"));
        }
        std::map<std::string, std::size_t> countByType;
        for (const Row& phase : phases) ++countByType[phase.at("typeID")];
        const std::map<std::string, std::size_t> expectedCounts =
            isMaster ? std::map<std::string, std::size_t>{{"2", 71}, {"3", 72}, {"7", 2}, {"8", 1}}
                     : std::map<std::string, std::size_t>{{"2", 70}, {"3", 71}};
        EXPECT_EQ(countByType, expectedCounts) << process.at("ID");
        std::map<std::string, long long> totals;
        for (const Row& total : SelectRows(*db, "SELECT * FROM PhaseDurations" + where))
            totals[total.at("phaseTypeID")] = std::stoll(total.at("duration"));
        for (auto it = byType.begin(); it != byType.end();) it = it->second == 0 ? byType.erase(it) : ++it;
        EXPECT_EQ(totals, byType) << process.at("ID");
    }
}

TEST_F(AnnpipeMeasuredRun, StoresTheSequentialExperimentWithOneWorkPhase) {
    ASSERT_EQ(experiments.size(), 2u);
    const std::string id = experiments[1].at("ID");
    ExpectFinishedExperiment(experiments[1], {{"p", "1"}, {"nbrProcesses", "1"}, {"comment", " "}});
    const long long tp = std::stoll(experiments[1].at("Tp"));
    EXPECT_EQ(Rows("Processes", id, "ID").size(), 1u);
    const std::vector<Row> phases = Rows("Phases", id, "nbr");
    ASSERT_EQ(phases.size(), 1u);
    EXPECT_EQ(phases[0].at("typeID"), "3");
    EXPECT_LE(std::stoll(phases[0].at("duration")), tp);
}

TEST(AnnpipeSlowerRun, IsNotStoredWhenASimilarExperimentWasFaster) {
    auto db = ConnectToMeasurementDb();
    DeleteExperimentsOf(*db, APPLICATION);
    db->Query("INSERT INTO Experiments (ID, project, name, version, user, date, comment, p, W, nbrProcesses, Tp, "
              "Ts, speedup, efficiency, statusData, errorFlags, errors) VALUES (0, '', '" +
              std::string(APPLICATION) + "', '', " + db->QuotedValue(LoginName()) +
              ", 'earlier', 'fastest', 2, 9, 3, 1, 0, 0, 0, 1, 0, '')");
    const std::string fastest = db->QueryFirst("SELECT LAST_INSERT_ID()");

    ScratchFolder folder;
    const ClusterRun run = RunOnCluster(3, "'" + ANNPIPE + "' -m -w 9", AnnpipeRun(folder.path().string(), BIN_DIR));
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> lines = Lines(run.output);
    EXPECT_EQ(CountLines(lines, " *** KOVA Instrumentation: experiment is NOT written to database, because it was "
                                "slower than similar experiments"),
              1);
    const std::vector<Row> stored = SelectRows(
        *db, "SELECT ID, p, Tp FROM Experiments WHERE name = '" + std::string(APPLICATION) + "' AND user = " +
                 db->QuotedValue(LoginName()) + " AND W = 9 ORDER BY p DESC");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].at("ID"), fastest);
    EXPECT_EQ(stored[0].at("Tp"), "1");
    EXPECT_EQ(stored[1].at("p"), "1");

    // The slaves store their rows when they stop, which may be after their master
    // removed the experiment; those rows are cleared here.
    for (const std::string& expID : db->QueryStrings(
             "SELECT DISTINCT expID FROM Processes WHERE expID > " + fastest +
             " AND expID NOT IN (SELECT ID FROM Experiments) AND processor IN ('node2', 'node3')"))
        DeleteExperiment(std::stoi(expID), *db);
    DeleteExperimentsOf(*db, APPLICATION);
}

TEST(AnnpipeFailures, HelpAndAWrongWorkSizeEndBeforeAnyPvmCall) {
    // Without a PVM daemon any PVM call would complain; none may be made.
    ScratchFolder folder;
    const std::string dir = ShellQuoted(folder.path().string());
    const std::string run = "cd " + dir + " && PVM_TMP=" + dir + " " + ShellQuoted(ANNPIPE) + " ";
    for (const auto& [arguments, status, firstLine] :
         std::vector<std::tuple<std::string, int, std::string>>{
             {"-h", 0, "Use the following options: "},
             {"-w 0", 2, "annpipe: -w needs at least 1 training pass, not 0"},
             {"-m -w 0x0", 2, "KOVA measuring on"}}) {
        const CommandResult result = RunCommand(run + arguments, ErrorStream::Apart);
        EXPECT_EQ(result.status, status) << arguments;
        const std::vector<std::string> lines = result.outputLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], firstLine);
        EXPECT_EQ(LinesStartingWith(lines, "  -w  +  nbr  to give the size of the Work").size(), 1u) << arguments;
        EXPECT_EQ(result.errors, "") << arguments;
    }
}

TEST(AnnpipeFailures, WithoutAPvmDaemonTheProgramSaysSo) {
    ScratchFolder folder;
    const std::string dir = ShellQuoted(folder.path().string());
    const CommandResult result =
        RunCommand("cd " + dir + " && PVM_TMP=" + dir + " PVM_ALLOW_ROOT=1 " + ShellQuoted(ANNPIPE), ErrorStream::Apart);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.output, "error annpipe cannot reach the PVM daemon of this host\n");
}

TEST(AnnpipeFailures, AMissingSlaveExecutableEndsTheMaster) {
    ScratchFolder folder;
    const std::string empty = (folder.path() / "empty").string();
    ASSERT_EQ(std::system(("mkdir '" + empty + "'").c_str()), 0);
    const ClusterRun run = RunOnCluster(3, "'" + ANNPIPE + "'", AnnpipeRun(folder.path().string(), empty));
    EXPECT_EQ(run.status, 255);
    const std::vector<std::string> lines = Lines(run.output);
    EXPECT_EQ(CountLines(lines, " Error in spawn slave : negative tid -7"), 1);
    EXPECT_EQ(lines.back(), "error Slave executable annpipe cannot be found, at line 115 of file parallel");
}

}  // namespace
