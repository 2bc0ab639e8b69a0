// testLumo and foreachtest as a user runs them: started from a shell on node1 of a
// private virtual cluster, checking what the master prints, its exit status, and what
// the slaves print into the pvmd log.
#include "kova_site.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kBinDir = std::string(KOVA_BINARY_DIR) + "/bin";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// What a program run printed and stored: its standard output, its exit status and, per
// slave task id, the lines the slave printed.
struct ProgramRun {
    int status = -1;
    std::string output;
    std::map<std::string, std::vector<std::string>> slaveLines;

    std::vector<std::string> OutputLines() const { return Lines(output); }
    // The lines of output that begin with prefix, without it.
    std::vector<std::string> After(const std::string& prefix) const {
        std::vector<std::string> rest;
        for (const std::string& line : OutputLines())
            if (line.rfind(prefix, 0) == 0) rest.push_back(line.substr(prefix.size()));
        return rest;
    }
};

// Splits a pvmd log into the lines of each task: "[t80040000] date time [t80001] text".
std::map<std::string, std::vector<std::string>> TaskLines(const std::string& log) {
    static const std::regex taskLine(R"(^\[t[0-9a-f]+\] \S+ \S+ \[(t[0-9a-f]+)\] (.*)$)");
    std::map<std::string, std::vector<std::string>> lines;
    std::smatch match;
    for (const std::string& line : Lines(log))
        if (std::regex_match(line, match, taskLine)) lines[match[1]].push_back(match[2]);
    return lines;
}

// A scratch folder outside /tmp, which each cluster host replaces by its own.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = std::string(KOVA_BINARY_DIR) + "/container-run-XXXXXX";
        path = mkdtemp(pattern.data()) ? pattern : "";
    }
    ~ScratchFolder() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string path;
};

int ExitStatus(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus); }

// Runs commandLine on node1 of a virtual cluster of the given number of hosts, with the
// programs of binDir as PVM's executables. Once it has ended, waits until the slaves'
// output in the pvmd log stops growing.
ProgramRun RunOnCluster(int hosts, const std::string& commandLine, const std::string& binDir = kBinDir) {
    ScratchFolder scratch;
    EXPECT_FALSE(scratch.path.empty());
    const std::string dir = scratch.path;
    std::ofstream(dir + "/run.sh") << "cd '" << dir << "'\n"
                                   << commandLine << " >output 2>errors\n"
                                   << "echo $? >status\n"
                                   << "last=-1\n"
                                   << "for _ in $(seq 50); do\n"
                                   << "  size=$(wc -c <\"$VCLUSTER_PVMLOG\")\n"
                                   << "  [ \"$size\" = \"$last\" ] && break\n"
                                   << "  last=$size; sleep 0.3\n"
                                   << "done\n"
                                   << "cp \"$VCLUSTER_PVMLOG\" slaves.log\n";
    const std::string cluster = std::string(KOVA_SOURCE_DIR) + "/scripts/vcluster.sh " + std::to_string(hosts) +
                                " --bin '" + binDir + "' --timeout 60 -- bash '" + dir + "/run.sh'";
    const int clusterStatus = ExitStatus(std::system(cluster.c_str()));
    EXPECT_EQ(clusterStatus, 0) << "the virtual cluster failed: " << cluster;

    ProgramRun run;
    run.output = ReadFile(dir + "/output");
    run.status = std::atoi(ReadFile(dir + "/status").c_str());
    run.slaveLines = TaskLines(ReadFile(dir + "/slaves.log"));
    return run;
}

// Runs commandLine here, without a virtual machine.
ProgramRun RunDirectly(const std::string& commandLine) {
    ProgramRun run;
    FILE* pipe = popen((commandLine + " 2>/dev/null").c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << commandLine;
        return run;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
    run.status = ExitStatus(pclose(pipe));
    return run;
}

std::string Program(const std::string& name) { return "'" + kBinDir + "/" + name + "'"; }

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The hosts the slaves report in their greeting, sorted.
std::vector<std::string> TestLumoSlaveHosts(const ProgramRun& run, const std::string& masterTid) {
    static const std::regex greeting(R"(hello, I'm a slave with tid \d+, my parent is (\d+) and my machine name is (\S+)\.\.\.\.\.\.)");
    std::vector<std::string> hosts;
    std::smatch match;
    for (const auto& [task, lines] : run.slaveLines)
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
    const ProgramRun run = RunOnCluster(3, Program("testLumo"));
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = run.OutputLines();
    ASSERT_EQ(lines.size(), 2u) << run.output;
    const std::string master = TestLumoMasterTid(lines[0]);
    EXPECT_EQ(lines[1], "Compare parallel & sequential algorithms:");
    // One slave per host after the first; each also runs the program's own check.
    EXPECT_EQ(TestLumoSlaveHosts(run, master), (std::vector<std::string>{"node2", "node3"}));
    for (const auto& [task, slaveLines] : run.slaveLines)
        EXPECT_TRUE(Contains(slaveLines, "Compare parallel & sequential algorithms:")) << task;
}

TEST(TestLumo, TenElementsOnFourHostsUseThreeSlaves) {
    const ProgramRun run = RunOnCluster(4, Program("testLumo") + " -s 10");
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = run.OutputLines();
    ASSERT_EQ(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[0], "Vector Size 10");
    const std::string master = TestLumoMasterTid(lines[1]);
    EXPECT_EQ(lines[2], "Compare parallel & sequential algorithms:");
    EXPECT_EQ(TestLumoSlaveHosts(run, master), (std::vector<std::string>{"node2", "node3", "node4"}));
}

TEST(TestLumo, OneHostRemovesSequentiallyAndSaysSo) {
    const ProgramRun run = RunOnCluster(1, Program("testLumo") + " -s 50");
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = run.OutputLines();
    ASSERT_EQ(lines.size(), 4u) << run.output;
    TestLumoMasterTid(lines[1]);
    EXPECT_EQ(lines[2], "The virtual machine has no host for a slave: removing sequentially");
    EXPECT_EQ(lines[3], "Compare parallel & sequential algorithms:");
    EXPECT_TRUE(run.slaveLines.empty());
}

TEST(TestLumo, DebugModeStartsTheSlavesUnderTheDebuggerOnTheMastersHost) {
    const ProgramRun run = RunOnCluster(3, Program("testLumo") + " -d -m -p 7");
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = run.OutputLines();
    ASSERT_EQ(lines.size(), 5u) << run.output;
    EXPECT_EQ(lines[0], "debug-mode on");
    EXPECT_EQ(lines[1], "KOVA measuring on");
    EXPECT_EQ(lines[2], "Number of processors 7");
    const std::string master = TestLumoMasterTid(lines[3]);
    EXPECT_EQ(lines[4], "Compare parallel & sequential algorithms:");
    EXPECT_EQ(TestLumoSlaveHosts(run, master), (std::vector<std::string>{"node1", "node1"}));
    for (const auto& [task, slaveLines] : run.slaveLines) {
        // The slaves got -m, and ran under gdb.
        EXPECT_TRUE(Contains(slaveLines, "KOVA measuring on")) << task;
        bool underGdb = false;
        for (const std::string& line : slaveLines) underGdb |= line.find("libthread_db") != std::string::npos;
        EXPECT_TRUE(underGdb) << task;
    }
}

TEST(TestLumo, HelpPrintsTheFiveLinesAndExitsZero) {
    const ProgramRun plain = RunDirectly(Program("testLumo") + " -h");
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.output,
              "Use the following options: \n"
              "  -d        to start the slaves in debug mode (default=0)\n"
              "  -m        to measure performance with KOVA (default=0)\n"
              "  -p + nbr  to specify the number of processors (default=2)\n"
              "  -s + nbr  to give the size of the vector to be processed (default=100)\n");

    // Options before -h are in force and shown.
    const ProgramRun changed = RunDirectly(Program("testLumo") + " -s 0x10 -d -h -s 5");
    EXPECT_EQ(changed.status, 0);
    const std::vector<std::string> lines = changed.OutputLines();
    ASSERT_EQ(lines.size(), 7u) << changed.output;
    EXPECT_EQ(lines[0], "Vector Size 16");
    EXPECT_EQ(lines[1], "debug-mode on");
    EXPECT_EQ(lines[3], "  -d        to start the slaves in debug mode (default=1)");
    EXPECT_EQ(lines[6], "  -s + nbr  to give the size of the vector to be processed (default=16)");
}

TEST(TestLumo, NegativeSizeIsRefusedBeforePvm) {
    const ProgramRun run = RunDirectly(Program("testLumo") + " -s -4");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.output, "Vector Size -4\nVector size -4 is out of range (0 to 2147483647)\n");
}

TEST(Foreach, ReverseModeOnThreeHostsAddsSevenToEveryElement) {
    const ProgramRun run = RunOnCluster(3, Program("foreachtest"));
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> lines = run.OutputLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Size = 30");
    EXPECT_EQ(lines.back(), "end of task");
    EXPECT_EQ(run.After("master for_each after task is done:    "), ReverseInputPlusSeven(30));
    EXPECT_EQ(run.After("Starting slave on: "), (std::vector<std::string>{"node2", "node3"}));
    EXPECT_EQ(run.After("part = "), (std::vector<std::string>{"15"}));
    EXPECT_EQ(run.After("packed size: "), (std::vector<std::string>{"15", "15"}));
    // The range ends printed are the last elements, not the values after them.
    EXPECT_EQ(run.After("MASTER: From and to: "), (std::vector<std::string>{"30------21"}));
    EXPECT_EQ(run.After("from and to "), (std::vector<std::string>{"30--- 21"}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "TRUE") + std::count(lines.begin(), lines.end(), "FALSE"), 1);

    // Both slaves answered their trial waves and stayed enrolled for their part; the
    // role-0 slave answered both waves before working.
    ASSERT_EQ(run.slaveLines.size(), 2u);
    std::vector<std::string> slaveRanges;
    for (const auto& [task, slaveLines] : run.slaveLines) {
        EXPECT_TRUE(Contains(slaveLines, "Testing == 2 entered ")) << task;
        EXPECT_TRUE(Contains(slaveLines, "test-par == 2")) << task;
        for (const std::string& line : slaveLines)
            if (line.rfind("SLAVE: From and to: ", 0) == 0) slaveRanges.push_back(line);
    }
    std::sort(slaveRanges.begin(), slaveRanges.end());
    EXPECT_EQ(slaveRanges, (std::vector<std::string>{"SLAVE: From and to: 15------1", "SLAVE: From and to: 30------16"}));
    int slavesThatAnsweredTwice = 0;
    for (const auto& [task, slaveLines] : run.slaveLines) slavesThatAnsweredTwice += Contains(slaveLines, "test-par == 1");
    EXPECT_EQ(slavesThatAnsweredTwice, 1);
}

TEST(Foreach, ThirtyOneElementsSplitFifteenAndSixteen) {
    const ProgramRun run = RunOnCluster(3, Program("foreachtest") + " -s 31");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.OutputLines().front(), "Size of array to sort 31");
    EXPECT_EQ(run.After("part = "), (std::vector<std::string>{"15"}));
    EXPECT_EQ(run.After("packed size: "), (std::vector<std::string>{"15", "16"}));
    EXPECT_EQ(run.After("master for_each after task is done:    "), ReverseInputPlusSeven(31));
}

TEST(Foreach, NineElementsTakeTheSequentialPath) {
    const ProgramRun run = RunOnCluster(3, Program("foreachtest") + " -r -s 9");
    EXPECT_EQ(run.status, 0);
    // The same generator, unseeded, gives the program's random input.
    std::vector<std::string> expected;
    for (int i = 0; i < 9; ++i) expected.push_back(std::to_string(std::rand() % 1000 + 7));
    EXPECT_EQ(run.After("after task is done:    "), expected);
    EXPECT_TRUE(Contains(run.OutputLines(), "just one cpu"));
    EXPECT_TRUE(run.After("Starting slave on: ").empty());
    EXPECT_TRUE(run.slaveLines.empty());
}

TEST(Foreach, OneSlaveHostTakesTheSequentialPath) {
    const ProgramRun run = RunOnCluster(2, Program("foreachtest"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.After("after task is done:    "), ReverseInputPlusSeven(30));
    EXPECT_TRUE(Contains(run.OutputLines(), "just one cpu"));
    EXPECT_TRUE(run.slaveLines.empty());
}

TEST(Foreach, MoreHostsThanTheSpawnLoopServesAreRefused) {
    const ProgramRun run = RunOnCluster(4, Program("foreachtest"));
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.OutputLines().back(),
              "error foreachtest needs a virtual machine of 3 hosts, the first of them node1; this one has 4 host(s), "
              "the first node1");
    EXPECT_TRUE(run.slaveLines.empty());
}

TEST(Foreach, SlavesThatCannotStartAreReported) {
    // PVM's executable path holds the master under another name only.
    ScratchFolder bin;
    const std::string master = bin.path + "/foreachtest-alone";
    ASSERT_EQ(std::system(("cp " + Program("foreachtest") + " '" + master + "'").c_str()), 0);
    const ProgramRun run = RunOnCluster(3, "'" + master + "'", bin.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.OutputLines().back(), "error Master: no slave started on node2");
}

TEST(Foreach, ShortReverseArrayIsRefused) {
    const ProgramRun run = RunDirectly(Program("foreachtest") + " -s 17");
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output,
              "Size of array to sort 17\nSize = 17\n"
              "error the reverse-order array needs at least 18 elements; give a larger -s or choose -r\n");
}

TEST(Foreach, HelpListsTheOptionsAndExitsZero) {
    const ProgramRun run = RunDirectly(Program("foreachtest") + " -r -h");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "Random mode selected \n"
              "Use the following options: \n"
              "  -d to debug the slaves\n"
              "  -s + nbr  to specify the size of array (default = 100000)\n"
              "  -r        to choose the random input array (default = reverse order array)\n");
}
