// End-to-end tests of the tourga program as a user runs it: sequentially against the
// stand-in legacy database server, and in parallel on the virtual PVM cluster.
#include "kova_site.h"
#include "ga/tests/ga_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

const std::string TOURGA = TOURGA_PATH;
const std::string BIN_DIR = TOURGA.substr(0, TOURGA.rfind('/'));
const char* const SOLUTION = "The best solution to the problem is: ";

// The experiment number a parallel master announces, or -1.
int AnnouncedExperiment(const std::string& output)
{
    const std::string marker = "I'll create experiment nr ";
    const std::size_t at = output.find(marker);
    return at == std::string::npos ? -1 : std::atoi(output.c_str() + at + marker.size());
}

// Position of the end of the last printed solution.
std::size_t EndOfSolutions(const std::string& output)
{
    const std::size_t at = output.rfind("With a total lenght of ");
    return at == std::string::npos ? 0 : output.find('\n', at);
}

class TourgaTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(db.Connected());
        db.StoreExperiment(94, 2, REFERENCE_TOTALS);
    }

    // Runs tourga on a virtual cluster of `hosts` hosts; `prefix` goes before tourga
    // (e.g. "env -u USER"), `bin` is PVM's executable folder.
    ClusterRun OnCluster(int hosts, const std::string& arguments, const std::string& prefix = "",
                         const std::string& bin = BIN_DIR)
    {
        ClusterOptions options;
        options.binFolder = bin;
        options.errors = ErrorStream::Merged;
        return RunOnCluster(hosts, prefix + " " + TOURGA + " " + arguments, options);
    }

    int NewestExperiment()
    {
        const std::vector<Row> rows = db.Rows("SELECT Experiment_No FROM experiments ORDER BY Experiment_No DESC");
        return rows.empty() ? 0 : std::atoi(rows[0][0].c_str());
    }

    static constexpr long long REFERENCE_TOTALS[5] = {400000, 20000, 30000, 10000, 40000};
    LegacyDatabase db;
    const KeptExperiment reference{db, 94};
};

using TourgaCommandLine = TourgaTest;
using TourgaSequential = TourgaTest;
using TourgaParallel = TourgaTest;

TEST_F(TourgaCommandLine, EchoesSettingsInTheirOrderAndReadsAnyBase)
{
    const CommandResult run = RunCommand(TOURGA + " -o 60 -g 0x64 -m 010 -s 30 -c 7 -p 1 -x");
    EXPECT_EQ(run.status, 0) << run.output;
    const std::vector<std::string> echoed = {"Size of Population: 60", "Number of Generations: 100",
                                             "Percentage of Mutation: 8", "Percentage of Selection: 30",
                                             "Generations to Synchronize: 7"};
    std::vector<std::string> lines;
    std::istringstream stream(run.output);
    for (std::string line; std::getline(stream, line) && line.rfind("City ", 0) != 0;)
        if (line.find("invalid option") == std::string::npos)
            lines.push_back(line);
    EXPECT_EQ(lines, echoed) << run.output;
    EXPECT_EQ(LinesStartingWith(run.outputLines(), "City ").size(), 20u);
    // 100 generations: after 0, 10, ..., 90 and at the end.
    EXPECT_EQ(CountOccurrences(run.output, SOLUTION), 11) << run.output;
    EXPECT_EQ(CountOccurrences(run.output, "Hi, I am"), 0);
}

TEST_F(TourgaCommandLine, WithoutOptionsRunsTheDefaultSearch)
{
    const CommandResult run = RunCommand(TOURGA);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind("City 0: 1364, 9536\nCity 1: 5050, 1957\n", 0), 0u) << run.output;
    EXPECT_EQ(CountOccurrences(run.output, SOLUTION), 11);
    for (const std::string& route : LinesStartingWith(run.outputLines(), SOLUTION)) {
        const std::size_t at = run.output.find(route) + route.size() + 1;
        EXPECT_EQ(run.output.compare(at, 2, "1 "), 0) << run.output.substr(at, 80);
    }
    EXPECT_NE(run.output.find("\nspeedup = "), std::string::npos);
}

TEST_F(TourgaCommandLine, UnusableSettingsAreRefusedBeforeTheRun)
{
    const std::map<std::string, std::string> refusals = {
        {"-m 150", "tourga: the percentage of mutation must lie between 0 and 100 (-m 150)"},
        {"-s -1", "tourga: the percentage of selection must lie between 0 and 100 (-s -1)"},
        {"-o 0", "tourga: the size of the population must lie between 1 and 2147483647 (-o 0)"},
        {"-g -3", "tourga: the number of generations must lie between 0 and 2147483647 (-g -3)"},
        {"-g 0x100000000", "tourga: the number of generations must lie between 0 and 2147483647 (-g 4294967296)"},
    };
    for (const auto& [arguments, message] : refusals) {
        const CommandResult run = RunCommand(TOURGA + " " + arguments);
        EXPECT_EQ(run.status, 1) << arguments;
        EXPECT_NE(run.output.find(message + "\n"), std::string::npos) << run.output;
        EXPECT_EQ(CountOccurrences(run.output, "City "), 0) << arguments;
    }
}

TEST_F(TourgaSequential, ShortRunPrintsEveryGeneration)
{
    const CommandResult run = RunCommand(TOURGA + " -g 5");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(CountOccurrences(run.output, SOLUTION), 6) << run.output;
}

TEST_F(TourgaSequential, StoresTheSpeedupOfTheReferenceExperiment)
{
    const CommandResult run = RunCommand(TOURGA + " -g 200");
    ASSERT_EQ(run.status, 0) << run.output;
    const std::vector<Row> rows = db.Rows("SELECT sequential_time, speed_up FROM experiments WHERE Experiment_No = 94");
    ASSERT_EQ(rows.size(), 1u);
    const long long sequential = std::atoll(rows[0][0].c_str());
    const double speedup = std::atof(rows[0][1].c_str());
    EXPECT_NE(run.output.find("\n or " + std::to_string(sequential) + "\n"), std::string::npos) << run.output;
    // Parallel time: all totals over the 2 CPUs of the reference run.
    EXPECT_NEAR(speedup, sequential / 250000.0, 1e-5 * speedup);
    std::ostringstream printed;
    printed << "speedup = " << static_cast<float>(speedup) << "\n";
    EXPECT_NE(run.output.find(printed.str()), std::string::npos) << run.output;
    EXPECT_LT(EndOfSolutions(run.output), run.output.find("seq time is "));
    EXPECT_NE(run.output.find("Experiment 94 with name stored GA of user tester and comment ='reference run'\n"
                              "made on Mon Jan  5 10:00:00 2026\n is updated for its sequential time and speedup "
                              "in database \n"),
              std::string::npos)
        << run.output;
}

TEST_F(TourgaSequential, MissingReferenceExperimentFailsAfterEverySolution)
{
    db.DeleteExperiment(94);
    const CommandResult run = RunCommand(TOURGA + " -g 20");
    EXPECT_EQ(run.status, 255) << run.output;
    EXPECT_EQ(CountOccurrences(run.output, SOLUTION), 11) << run.output;
    const std::size_t failure =
        run.output.find("Experiment 94 is not in the table experiments of database parallel_performance\n");
    ASSERT_NE(failure, std::string::npos) << run.output;
    EXPECT_LT(EndOfSolutions(run.output), failure);
}

TEST_F(TourgaSequential, ReferenceExperimentWithoutCpusOrTimeIsAFailure)
{
    db.StoreExperiment(94, 0, REFERENCE_TOTALS);
    const CommandResult noCpus = RunCommand(TOURGA + " -g 10");
    EXPECT_EQ(noCpus.status, 255) << noCpus.output;
    EXPECT_EQ(CountOccurrences(noCpus.output, SOLUTION), 11);
    EXPECT_NE(noCpus.output.find("Experiment 94 has 0 CPUs in the database"), std::string::npos) << noCpus.output;

    const long long none[5] = {0, 0, 0, 0, 0};
    db.StoreExperiment(94, 3, none);
    const CommandResult noTime = RunCommand(TOURGA + " -g 10");
    EXPECT_EQ(noTime.status, 255) << noTime.output;
    EXPECT_NE(noTime.output.find("Experiment 94 has no parallel time stored (its totals are 0)"), std::string::npos)
        << noTime.output;
    const std::vector<Row> rows = db.Rows("SELECT sequential_time, speed_up FROM experiments WHERE Experiment_No = 94");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(std::atof(rows[0][0].c_str()), 0) << "nothing is stored for a failed comparison";
    EXPECT_EQ(std::atof(rows[0][1].c_str()), 0);
}

TEST_F(TourgaSequential, MissingServerIsReportedBeforeTheRun)
{
    // A network of its own, where nothing listens.
    const CommandResult run = RunCommand("unshare --net " + TOURGA + " -g 10");
    EXPECT_EQ(run.status, 255) << run.output;
    EXPECT_NE(run.output.find("Failed to connect to the database server " KOVA_MSQL_HOST "\nCan't connect to MSQL server on " KOVA_MSQL_HOST),
              std::string::npos)
        << run.output;
    EXPECT_EQ(CountOccurrences(run.output, SOLUTION), 0);
}

// One parallel run on three hosts, with what it printed, what its slaves printed and
// what it stored.
struct ParallelRun
{
    CommandResult master;
    std::string slaves;
    int experiment = -1;
};

// Runs a shell script on node1 of three hosts, with $TOURGA naming the program; the
// master's output is what the script printed, the slaves' is node1's pvmd log, once
// the slaves have ended.
ParallelRun RunScriptOnThreeHosts(const std::string& script)
{
    ClusterOptions options;
    options.binFolder = BIN_DIR;
    options.errors = ErrorStream::Merged;
    options.awaitProgram = "tourga";
    options.awaitQuietLog = true;
    const ClusterRun cluster = RunOnCluster(3, "TOURGA=" + ShellQuoted(TOURGA) + "; " + script, options);
    EXPECT_EQ(cluster.clusterStatus, 0) << cluster.clusterErrors;
    ParallelRun run;
    run.master = cluster;
    run.slaves = cluster.pvmLog;
    run.experiment = AnnouncedExperiment(run.master.output);
    return run;
}

ParallelRun RunOnThreeHosts(const std::string& arguments)
{
    return RunScriptOnThreeHosts("$TOURGA " + arguments);
}

// Phase rows of one process: how many of each kind and their summed lengths.
struct Phases
{
    std::map<std::string, int> count;
    std::map<std::string, long long> length;
    std::vector<int> counters;
};

// Checks one parallel run of `generations` generations with 2 slaves: the output of
// both sides, the message counts per slave, and the experiment it stored.
void ExpectParallelRun(LegacyDatabase& db, const ParallelRun& run, int cycles)
{
    ASSERT_EQ(run.master.status, 0) << run.master.output;
    ASSERT_GT(run.experiment, 0) << run.master.output;
    const std::string& out = run.master.output;
    EXPECT_NE(out.find("Hi, I am the master\n"), std::string::npos) << out;
    EXPECT_NE(out.find("I'll create experiment nr " + std::to_string(run.experiment) +
                       ": geen commentaar\nuser : " + LoginName() + "\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Finding Solution\n"), std::string::npos);
    EXPECT_EQ(CountOccurrences(out, SOLUTION), cycles + 1) << out;

    EXPECT_EQ(CountOccurrences(run.slaves, "Hi, I am a slave"), 2) << run.slaves;
    EXPECT_EQ(CountOccurrences(run.slaves, "I'll use exp #" + std::to_string(run.experiment)), 2) << run.slaves;
    EXPECT_EQ(CountOccurrences(run.slaves, "Beginning to Work"), 2) << run.slaves;
    EXPECT_EQ(CountOccurrences(run.slaves, "Parameters Received"), 2) << run.slaves;
    EXPECT_EQ(CountOccurrences(run.slaves, "synchronising"), 2 * cycles) << run.slaves;
    EXPECT_EQ(CountOccurrences(run.slaves, "finished"), 2) << run.slaves;

    const std::string number = std::to_string(run.experiment);
    const std::vector<Row> experiment = db.Rows("SELECT * FROM experiments WHERE Experiment_No = " + number);
    ASSERT_EQ(experiment.size(), 1u);
    EXPECT_EQ(experiment[0][1], "2");
    EXPECT_EQ(experiment[0][2], LoginName());
    EXPECT_EQ(experiment[0][4], "test GA");
    EXPECT_EQ(experiment[0][5], "geen commentaar");
    EXPECT_EQ(experiment[0].back(), "100");

    // One summary row per process, the master 0 on node1, every slave on the host its
    // task runs on (the host part of a PVM task id, bits 18 and up).
    const std::vector<Row> analysis =
        db.Rows("SELECT * FROM analysis WHERE Experiment_No = " + number + " ORDER BY CPU_No");
    ASSERT_EQ(analysis.size(), 3u);
    long long totals[5] = {0, 0, 0, 0, 0};
    for (int cpu = 0; cpu < 3; ++cpu) {
        const Row& row = analysis[cpu];
        EXPECT_EQ(row[2], std::to_string(cpu));
        const int tid = std::atoi(row[10].c_str());
        EXPECT_EQ(row[1], "node" + std::to_string((tid >> 18) & 0xfff)) << "CPU " << cpu;
        for (int kind = 0; kind < 5; ++kind)
            totals[kind] += std::atoll(row[3 + kind].c_str());
    }
    EXPECT_EQ(analysis[0][1], "node1");
    long long masterTime = 0;
    for (int kind = 0; kind < 5; ++kind)
        masterTime += std::atoll(analysis[0][3 + kind].c_str());

    const std::vector<Row> stored =
        db.Rows("SELECT calculation_time, partitioning_time, communication_time, synchronisation_time, "
                "blocking_time, speed_up FROM experiments WHERE Experiment_No = " + number);
    ASSERT_EQ(stored.size(), 1u);
    for (int kind = 0; kind < 5; ++kind)
        EXPECT_EQ(std::atoll(stored[0][kind].c_str()), totals[kind]) << "total " << kind;
    ASSERT_GT(masterTime, 0);
    EXPECT_NEAR(std::atof(stored[0][5].c_str()), static_cast<double>(totals[0]) / masterTime,
                1e-4 * (1 + std::atof(stored[0][5].c_str())));

    // Phase rows: numbered 1.. per process, summing to the process's totals. A slave
    // receives one slice per cycle (tag 4) and the stop (tag 5), each ending a blocking
    // phase, and returns one slice per cycle (tag 3) after each computation.
    std::map<int, Phases> phases;
    for (const Row& row : db.Rows("SELECT * FROM time_measurements WHERE Experiment_No = " + number +
                                  " ORDER BY CPU_No, phase_counter")) {
        Phases& process = phases[std::atoi(row[3].c_str())];
        process.count[row[0]] += 1;
        process.length[row[0]] += std::atoll(row[1].c_str());
        process.counters.push_back(std::atoi(row[4].c_str()));
    }
    ASSERT_EQ(phases.size(), 3u);
    const char* kinds[] = {"comp", "part", "comm", "sync", "blok"};
    for (int cpu = 0; cpu < 3; ++cpu) {
        Phases& process = phases[cpu];
        for (std::size_t i = 0; i < process.counters.size(); ++i)
            EXPECT_EQ(process.counters[i], static_cast<int>(i) + 1) << "CPU " << cpu;
        for (int kind = 0; kind < 5; ++kind)
            EXPECT_EQ(process.length[kinds[kind]], std::atoll(analysis[cpu][3 + kind].c_str()))
                << "CPU " << cpu << " " << kinds[kind];
    }
    for (int cpu = 1; cpu < 3; ++cpu) {
        EXPECT_EQ(phases[cpu].count["blok"], cycles + 1) << "CPU " << cpu;
        EXPECT_EQ(phases[cpu].count["comp"], cycles) << "CPU " << cpu;
        EXPECT_EQ(phases[cpu].count["comm"], 2 * cycles) << "CPU " << cpu;
        EXPECT_EQ(phases[cpu].counters.size(), 4u * cycles + 1) << "CPU " << cpu;
    }
    // The master: the first slices (when there is a cycle), a receive from each slave
    // per cycle, a broadcast after every cycle but the last, and the partitioning at
    // both ends.
    EXPECT_EQ(phases[0].count["blok"], 2 * cycles);
    EXPECT_EQ(phases[0].count["sync"], std::max(cycles - 1, 0));
    EXPECT_EQ(phases[0].count["part"], 2);
    EXPECT_EQ(phases[0].count["comm"], cycles > 0 ? 1 + 2 * cycles + cycles - 1 : 0);
}

TEST_F(TourgaParallel, RunsOnThreeHostsAndStoresTheExperiment)
{
    const ParallelRun run = RunOnThreeHosts("-p 2 -g 100");
    ExpectParallelRun(db, run, 10);
}

TEST_F(TourgaParallel, ShortRunSynchronisesEveryGeneration)
{
    const ParallelRun run = RunOnThreeHosts("-p 2 -g 5");
    ExpectParallelRun(db, run, 5);
}

TEST_F(TourgaParallel, NoGenerationsStopsTheSlavesAfterTheParameters)
{
    const ParallelRun run = RunOnThreeHosts("-p 2 -g 0");
    ExpectParallelRun(db, run, 0);
    EXPECT_EQ(CountOccurrences(run.slaves, "Unexpected message"), 0) << run.slaves;
}

TEST_F(TourgaParallel, MoreMachinesThanIndividualsAreRefusedBeforeSpawning)
{
    const int before = NewestExperiment();
    const ClusterRun run = OnCluster(1, "-p 5 -o 3");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Cannot give each of 5 machines a slice of a population of 3 individuals\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(CountOccurrences(run.output, "Finding Solution"), 0);
    EXPECT_EQ(NewestExperiment(), before);
}

TEST_F(TourgaParallel, UnsetUserOrHostIsAFailure)
{
    const int before = NewestExperiment();
    const ClusterRun noUser = OnCluster(1, "-p 2 -g 10", "env -u USER");
    EXPECT_EQ(noUser.status, 255) << noUser.output;
    EXPECT_NE(noUser.output.find("The environment variable USER is not set: cannot tell whose experiment this is\n"),
              std::string::npos)
        << noUser.output;
    const ClusterRun noHost = OnCluster(1, "-p 2 -g 10", "env -u HOST");
    EXPECT_EQ(noHost.status, 255) << noHost.output;
    EXPECT_NE(noHost.output.find("The environment variable HOST is not set: cannot tell which host this process "
                                 "runs on\n"),
              std::string::npos)
        << noHost.output;
    EXPECT_EQ(NewestExperiment(), before);
}

TEST_F(TourgaParallel, MissingServerIsReportedBeforeSpawning)
{
    // A state folder of its own: the cluster then forwards no server port.
    ScratchFolder state;
    ClusterOptions options;
    options.binFolder = BIN_DIR;
    options.stateFolder = state.path();
    options.timeoutSeconds = 60;
    options.errors = ErrorStream::Merged;
    const ClusterRun run = RunOnCluster(1, TOURGA + " -p 2 -g 10", options);
    EXPECT_EQ(run.status, 255) << run.output;
    EXPECT_NE(run.output.find("Failed to connect to the database server " KOVA_MSQL_HOST "\n"), std::string::npos)
        << run.output;
    EXPECT_EQ(CountOccurrences(run.output, "Finding Solution"), 0);
}

TEST_F(TourgaParallel, SlavesThatCannotStartEndTheRun)
{
    // No tourga where PVM looks for it.
    ScratchFolder empty;
    const ClusterRun unstarted = OnCluster(1, "-p 2 -g 10", "", empty.path().string());
    EXPECT_EQ(unstarted.status, 1) << unstarted.output;
    EXPECT_NE(unstarted.output.find(" Error in spawn slave 0 : negative tid -7\n executable cannot be found\n"),
              std::string::npos)
        << unstarted.output;
    db.DeleteExperiment(AnnouncedExperiment(unstarted.output));

    // A slave that dies at once: the master notices instead of waiting for its slice.
    ScratchFolder dying;
    const std::string fake = dying.path().string() + "/tourga";
    std::ofstream(fake) << "#!/bin/sh\nexit 3\n";
    chmod(fake.c_str(), 0755);
    const ClusterRun abandoned = OnCluster(1, "-p 2 -g 10", "", dying.path().string());
    EXPECT_EQ(abandoned.status, 1) << abandoned.output;
    EXPECT_NE(abandoned.output.find(") ended before the run was over\n"), std::string::npos) << abandoned.output;
    EXPECT_EQ(CountOccurrences(abandoned.output, SOLUTION), 0);
    db.DeleteExperiment(AnnouncedExperiment(abandoned.output));
}

TEST_F(TourgaParallel, SlavesEndWhenTheMasterDies)
{
    // Long cycles, so that the master is killed while its slaves compute; they notice
    // at their next receive.
    const ParallelRun run = RunScriptOnThreeHosts(
        "$TOURGA -p 2 -g 200000 & sleep 1; kill -9 $!; "
        "for i in $(seq 300); do "
        "  [ $(grep -c \"ended before the run was over\" \"$VCLUSTER_PVMLOG\") -ge 2 ] && break; sleep 0.1; "
        "done");
    ASSERT_GT(run.experiment, 0) << run.master.output;
    EXPECT_EQ(CountOccurrences(run.slaves, "The master (task "), 2) << run.slaves;
    EXPECT_EQ(CountOccurrences(run.slaves, ") ended before the run was over"), 2) << run.slaves;
    db.DeleteExperiment(run.experiment);
}

TEST_F(TourgaParallel, SlavesWithoutTheirExperimentEndTheRun)
{
    // An empty database of its own; the master runs under another user name than its
    // slaves, so they find no experiment of theirs.
    PrivateLegacyServer server;
    ASSERT_TRUE(server.Running());
    ClusterOptions options;
    options.binFolder = BIN_DIR;
    options.stateFolder = server.StateDir();
    options.timeoutSeconds = 60;
    options.errors = ErrorStream::Merged;
    const ClusterRun run = RunOnCluster(3, "env USER=ga-test-stranger " + TOURGA + " -p 2 -g 10", options);
    EXPECT_EQ(run.status, 1) << run.output;
    // The first experiment of an empty table is number 1.
    EXPECT_NE(run.output.find("I'll create experiment nr 1: geen commentaar\nuser : ga-test-stranger\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(") ended before the run was over\n"), std::string::npos) << run.output;
    EXPECT_EQ(server.Query("SELECT Experiment_No, Number_of_CPUs, user FROM experiments"),
              std::vector<std::string>{"1|2|ga-test-stranger"});
    EXPECT_EQ(server.Query("SELECT CPU_No FROM analysis"), std::vector<std::string>{"0"});

    EXPECT_GE(CountOccurrences(run.pvmLog, "Experiment 0 is not in the table experiments of database "
                                           "parallel_performance"),
              1)
        << run.pvmLog;
}

TEST_F(TourgaParallel, WithoutAVirtualMachineItFailsInsteadOfPosingAsASlave)
{
    // A PVM folder where no daemon has left its address.
    ScratchFolder noDaemon;
    const CommandResult run = RunCommand("PVM_ALLOW_ROOT=1 PVM_TMP=" + noDaemon.path().string() + " " + TOURGA + " -p 2 -g 10");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(" calling pvm_parent: Can't contact local daemon"), std::string::npos) << run.output;
    EXPECT_EQ(CountOccurrences(run.output, "Hi, I am"), 0) << run.output;
    EXPECT_EQ(CountOccurrences(run.output, "I'll use exp #"), 0) << run.output;
}

} // namespace
