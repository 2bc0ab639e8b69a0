// testLumo and foreachtest as a user runs them: started from a shell on node1 of a
// private virtual cluster, checking what the master prints, its exit status, and what
// the slaves print into the pvmd log.
#include "kova_site.h"
#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string kBinDir = std::string(KOVA_BINARY_DIR) + "/bin";

// Runs commandLine in a scratch folder on node1 of a virtual cluster of the given number
// of hosts, with the programs of binDir as PVM's executables. Once it has ended, waits
// until the slaves' output in the pvmd log stops growing.
ClusterRun RunOnHosts(int hosts, const std::string& commandLine, const std::string& binDir = kBinDir) {
    const ScratchFolder folder("container-run");
    ClusterOptions options;
    options.workingFolder = folder.path();
    options.binFolder = binDir;
    options.timeoutSeconds = 60;
    options.awaitQuietLog = true;
    ClusterRun run = RunOnCluster(hosts, commandLine, options);
    EXPECT_EQ(run.clusterStatus, 0) << "the virtual cluster failed: " << commandLine;
    return run;
}

// Runs commandLine here, without a virtual machine.
CommandResult RunDirectly(const std::string& commandLine) { return RunCommand(commandLine, ErrorStream::Apart); }

std::string Program(const std::string& name) { return "'" + kBinDir + "/" + name + "'"; }

// The hosts the slaves report in their greeting, sorted.
std::vector<std::string> TestLumoSlaveHosts(const ClusterRun& run, const std::string& masterTid) {
    static const std::regex greeting(R"(hello, I'm a slave with tid \d+, my parent is (\d+) and my machine name is (\S+)\.\.\.\.\.\.)");
    std::vector<std::string> hosts;
    std::smatch match;
    for (const auto& [task, lines] : run.taskLines)
        for (const std::string& line : lines)
            if (std::regex_match(line, match, greeting)) {
                EXPECT_EQ(match[1], masterTid) << task;
                hosts.push_back(match[2]);
            }
    std::sort(hosts.begin(), hosts.end());
    return hosts;
}

// The master's task id from its greeting, checking the greeting names node1.
std::string TestLumoMasterTid(const std::string& line) {
    static const std::regex greeting(R"(hello, I'm the master with tid (\d+) and machine name node1)");
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, greeting)) << line;
    return match.size() > 1 ? match[1].str() : "";
}

// foreachtest's reverse-order input after the run: every value 7 larger.
std::vector<std::string> ReverseInputPlusSeven(long size) {
    std::vector<long> input(size);
    for (long i = 0; i < size; ++i) input[i] = size - i;
    input[1] = 251;
    input[17] = -250;
    input[2] = 9999;
    input[3] = 150;
    std::vector<std::string> text;
    for (long value : input) text.push_back(std::to_string(value + 7));
    return text;
}

}  // namespace

TEST(TestLumo, DefaultsOnThreeHostsAgreeWithTheStandardAlgorithm) {
    const ClusterRun run = RunOnHosts(3, Program("testLumo"));
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = run.outputLines();
    ASSERT_EQ(lines.size(), 2u) << run.output;
    const std::string master = TestLumoMasterTid(lines[0]);
    EXPECT_EQ(lines[1], "Compare parallel & sequential algorithms:");
    // One slave per host after the first; each also runs the program's own check.
    EXPECT_EQ(TestLumoSlaveHosts(run, master), (std::vector<std::string>{"node2", "node3"}));
    for (const auto& [task, slaveLines] : run.taskLines)
        EXPECT_TRUE(HasLine(slaveLines, "Compare parallel & sequential algorithms:")) << task;
}

TEST(TestLumo, TenElementsOnFourHostsUseThreeSlaves) {
    const ClusterRun run = RunOnHosts(4, Program("testLumo") + " -s 10");
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = run.outputLines();
    ASSERT_EQ(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[0], "Vector Size 10");
    const std::string master = TestLumoMasterTid(lines[1]);
    EXPECT_EQ(lines[2], "Compare parallel & sequential algorithms:");
    EXPECT_EQ(TestLumoSlaveHosts(run, master), (std::vector<std::string>{"node2", "node3", "node4"}));
}

TEST(TestLumo, OneHostRemovesSequentiallyAndSaysSo) {
    const ClusterRun run = RunOnHosts(1, Program("testLumo") + " -s 50");
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = run.outputLines();
    ASSERT_EQ(lines.size(), 4u) << run.output;
    TestLumoMasterTid(lines[1]);
    EXPECT_EQ(lines[2], "The virtual machine has no host for a slave: removing sequentially");
    EXPECT_EQ(lines[3], "Compare parallel & sequential algorithms:");
    EXPECT_TRUE(run.taskLines.empty());
}

TEST(TestLumo, DebugModeStartsTheSlavesUnderTheDebuggerOnTheMastersHost) {
    const ClusterRun run = RunOnHosts(3, Program("testLumo") + " -d -m -p 7");
    // -m measures: the master stores an experiment (or reports it slower than one stored).
    DeleteExperimentsOf(*ConnectToMeasurementDb(), "testLumo", LoginName());
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = run.outputLines();
    ASSERT_EQ(lines.size(), 6u) << run.output;
    EXPECT_EQ(lines[0], "debug-mode on");
    EXPECT_EQ(lines[1], "KOVA measuring on");
    EXPECT_EQ(lines[2], "Number of processors 7");
    const std::string master = TestLumoMasterTid(lines[3]);
    EXPECT_EQ(lines[4].rfind(" *** KOVA Instrumentation: experiment ", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5], "Compare parallel & sequential algorithms:");
    EXPECT_EQ(TestLumoSlaveHosts(run, master), (std::vector<std::string>{"node1", "node1"}));
    for (const auto& [task, slaveLines] : run.taskLines) {
        // The slaves got -m, and ran under gdb.
        EXPECT_TRUE(HasLine(slaveLines, "KOVA measuring on")) << task;
        bool underGdb = false;
        for (const std::string& line : slaveLines) underGdb |= line.find("libthread_db") != std::string::npos;
        EXPECT_TRUE(underGdb) << task;
    }
}

TEST(TestLumo, HelpPrintsTheFiveLinesAndExitsZero) {
    const CommandResult plain = RunDirectly(Program("testLumo") + " -h");
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.output,
              "Use the following options: \n"
              "  -d        to start the slaves in debug mode (default=0)\n"
              "  -m        to measure performance with KOVA (default=0)\n"
              "  -p + nbr  to specify the number of processors (default=2)\n"
              "  -s + nbr  to give the size of the vector to be processed (default=100)\n");

    // Options before -h are in force and shown.
    const CommandResult changed = RunDirectly(Program("testLumo") + " -s 0x10 -d -h -s 5");
    EXPECT_EQ(changed.status, 0);
    const std::vector<std::string> lines = changed.outputLines();
    ASSERT_EQ(lines.size(), 7u) << changed.output;
    EXPECT_EQ(lines[0], "Vector Size 16");
    EXPECT_EQ(lines[1], "debug-mode on");
    EXPECT_EQ(lines[3], "  -d        to start the slaves in debug mode (default=1)");
    EXPECT_EQ(lines[6], "  -s + nbr  to give the size of the vector to be processed (default=16)");
}

TEST(TestLumo, NegativeSizeIsRefusedBeforePvm) {
    const CommandResult run = RunDirectly(Program("testLumo") + " -s -4");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.output, "Vector Size -4\nVector size -4 is out of range (0 to 2147483647)\n");
}

TEST(Foreach, ReverseModeOnThreeHostsAddsSevenToEveryElement) {
    const ClusterRun run = RunOnHosts(3, Program("foreachtest"));
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> lines = run.outputLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Size = 30");
    EXPECT_EQ(lines.back(), "end of task");
    EXPECT_EQ(LinesAfter(run.outputLines(), "master for_each after task is done:    "), ReverseInputPlusSeven(30));
    EXPECT_EQ(LinesAfter(run.outputLines(), "Starting slave on: "), (std::vector<std::string>{"node2", "node3"}));
    EXPECT_EQ(LinesAfter(run.outputLines(), "part = "), (std::vector<std::string>{"15"}));
    EXPECT_EQ(LinesAfter(run.outputLines(), "packed size: "), (std::vector<std::string>{"15", "15"}));
    // The range ends printed are the last elements, not the values after them.
    EXPECT_EQ(LinesAfter(run.outputLines(), "MASTER: From and to: "), (std::vector<std::string>{"30------21"}));
    EXPECT_EQ(LinesAfter(run.outputLines(), "from and to "), (std::vector<std::string>{"30--- 21"}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "TRUE") + std::count(lines.begin(), lines.end(), "FALSE"), 1);

    // Both slaves answered their trial waves and stayed enrolled for their part; the
    // role-0 slave answered both waves before working.
    ASSERT_EQ(run.taskLines.size(), 2u);
    std::vector<std::string> slaveRanges;
    for (const auto& [task, slaveLines] : run.taskLines) {
        EXPECT_TRUE(HasLine(slaveLines, "Testing == 2 entered ")) << task;
        EXPECT_TRUE(HasLine(slaveLines, "test-par == 2")) << task;
        for (const std::string& line : slaveLines)
            if (line.rfind("SLAVE: From and to: ", 0) == 0) slaveRanges.push_back(line);
    }
    std::sort(slaveRanges.begin(), slaveRanges.end());
    EXPECT_EQ(slaveRanges, (std::vector<std::string>{"SLAVE: From and to: 15------1", "SLAVE: From and to: 30------16"}));
    int slavesThatAnsweredTwice = 0;
    for (const auto& [task, slaveLines] : run.taskLines) slavesThatAnsweredTwice += HasLine(slaveLines, "test-par == 1");
    EXPECT_EQ(slavesThatAnsweredTwice, 1);
}

TEST(Foreach, ThirtyOneElementsSplitFifteenAndSixteen) {
    const ClusterRun run = RunOnHosts(3, Program("foreachtest") + " -s 31");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.outputLines().front(), "Size of array to sort 31");
    EXPECT_EQ(LinesAfter(run.outputLines(), "part = "), (std::vector<std::string>{"15"}));
    EXPECT_EQ(LinesAfter(run.outputLines(), "packed size: "), (std::vector<std::string>{"15", "16"}));
    EXPECT_EQ(LinesAfter(run.outputLines(), "master for_each after task is done:    "), ReverseInputPlusSeven(31));
}

TEST(Foreach, NineElementsTakeTheSequentialPath) {
    const ClusterRun run = RunOnHosts(3, Program("foreachtest") + " -r -s 9");
    EXPECT_EQ(run.status, 0);
    // The same generator, unseeded, gives the program's random input.
    std::vector<std::string> expected;
    for (int i = 0; i < 9; ++i) expected.push_back(std::to_string(std::rand() % 1000 + 7));
    EXPECT_EQ(LinesAfter(run.outputLines(), "after task is done:    "), expected);
    EXPECT_TRUE(HasLine(run.outputLines(), "just one cpu"));
    EXPECT_TRUE(LinesAfter(run.outputLines(), "Starting slave on: ").empty());
    EXPECT_TRUE(run.taskLines.empty());
}

TEST(Foreach, OneSlaveHostTakesTheSequentialPath) {
    const ClusterRun run = RunOnHosts(2, Program("foreachtest"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(LinesAfter(run.outputLines(), "after task is done:    "), ReverseInputPlusSeven(30));
    EXPECT_TRUE(HasLine(run.outputLines(), "just one cpu"));
    EXPECT_TRUE(run.taskLines.empty());
}

TEST(Foreach, MoreHostsThanTheSpawnLoopServesAreRefused) {
    const ClusterRun run = RunOnHosts(4, Program("foreachtest"));
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.outputLines().back(),
              "error foreachtest needs a virtual machine of 3 hosts, the first of them node1; this one has 4 host(s), "
              "the first node1");
    EXPECT_TRUE(run.taskLines.empty());
}

TEST(Foreach, SlavesThatCannotStartAreReported) {
    // PVM's executable path holds the master under another name only.
    ScratchFolder bin;
    const std::string master = (bin.path() / "foreachtest-alone").string();
    ASSERT_EQ(std::system(("cp " + Program("foreachtest") + " '" + master + "'").c_str()), 0);
    const ClusterRun run = RunOnHosts(3, "'" + master + "'", bin.path().string());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.outputLines().back(), "error Master: no slave started on node2");
}

TEST(Foreach, ShortReverseArrayIsRefused) {
    const CommandResult run = RunDirectly(Program("foreachtest") + " -s 17");
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output,
              "Size of array to sort 17\nSize = 17\n"
              "error the reverse-order array needs at least 18 elements; give a larger -s or choose -r\n");
}

TEST(Foreach, HelpListsTheOptionsAndExitsZero) {
    const CommandResult run = RunDirectly(Program("foreachtest") + " -r -h");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "Random mode selected \n"
              "Use the following options: \n"
              "  -d to debug the slaves\n"
              "  -s + nbr  to specify the size of array (default = 100000)\n"
              "  -r        to choose the random input array (default = reverse order array)\n");
}
