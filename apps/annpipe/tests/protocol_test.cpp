// Tests of annpipe's slave against a stand-in master that sends it faulty set-up
// messages on the virtual cluster: every fault ends the slave with a clear
// message instead of a crash or a wait for good.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "apps/annpipe/tests/cluster.h"

namespace {

const std::string STANDIN = STANDIN_PATH;
const std::string BIN_DIR = STANDIN.substr(0, STANDIN.rfind('/'));

class AnnpipeSlaveSetUp : public ::testing::Test {
protected:
    // One cluster run for all cases, one stand-in master after the other.
    static void SetUpTestSuite() {
        ScratchFolder folder;
        const std::string standin = "'" + STANDIN + "' ";
        run = new ClusterRun(RunOnCluster(3,
                                          "{ " + standin + "short-table; " + standin + "foreign-table; " + standin +
                                              "wide-stage; " + standin + "silent-master -m; }",
                                          AnnpipeRun(folder.path().string(), BIN_DIR)));
        std::string scenario;
        for (const std::string& line : Lines(run->output)) {
            const std::string prefix = "case ";
            if (line.rfind(prefix, 0) == 0) {
                const std::size_t blank = line.find(' ', prefix.size());
                scenario = line.substr(prefix.size(), blank - prefix.size());
                slaves[scenario] = std::stoi(line.substr(line.rfind(' ') + 1));
            } else if (!scenario.empty()) {
                ended[scenario] = line == "slave ended";
            }
        }
    }
    static void TearDownTestSuite() { delete run; }

    // What the slave of a case printed; the case must have ended by itself.
    static std::vector<std::string> SlaveLines(const std::string& scenario) {
        EXPECT_TRUE(ended[scenario]) << scenario << ": the slave did not end by itself";
        if (!slaves.count(scenario) || !run->taskLines.count(slaves[scenario])) return {};
        return run->taskLines.at(slaves[scenario]);
    }

    static ClusterRun* run;
    static std::map<std::string, int> slaves;
    static std::map<std::string, bool> ended;
};
ClusterRun* AnnpipeSlaveSetUp::run = nullptr;
std::map<std::string, int> AnnpipeSlaveSetUp::slaves;
std::map<std::string, bool> AnnpipeSlaveSetUp::ended;

TEST_F(AnnpipeSlaveSetUp, AShortProcessTableEndsTheSlaveAfterItsTrace) {
    const std::vector<std::string> lines = SlaveLines("short-table");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Hello, This is slave!");
    EXPECT_EQ(lines[1].rfind("  received from tid:", 0), 0u) << lines[1];
    EXPECT_EQ(lines.back(), "error in send_slave_tids at line 73 of file parallel");
}

TEST_F(AnnpipeSlaveSetUp, AProcessTableWithoutTheSlaveIsRefused) {
    const std::vector<std::string> lines = SlaveLines("foreign-table");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "error annpipe slave: the process table from the master does not hold this task");
}

TEST_F(AnnpipeSlaveSetUp, AStageWiderThanTheMessagesIsRefused) {
    const std::vector<std::string> lines = SlaveLines("wide-stage");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(),
              "error annpipe slave: a stage layer of 11 units does not fit the messages of 10 values");
}

TEST_F(AnnpipeSlaveSetUp, AMeasuringSlaveWaitsTwoSecondsForItsExperimentNumber) {
    const std::vector<std::string> lines = SlaveLines("silent-master");
    const std::vector<std::string> expectedEnd = {
        " *** Error with KOVAInstrumentation!!",
        " ***  The KOVA function SlaveIsSpawned() is not called for this process, this should be done by its "
        "parent.",
        " ***  Or the measureming is not activated for the parent ",
        "error in KOVAProbe constructor of slave "};
    ASSERT_GE(lines.size(), expectedEnd.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - expectedEnd.size(), lines.end()), expectedEnd);
    EXPECT_EQ(lines[0], "KOVA measuring on");
}

}  // namespace
