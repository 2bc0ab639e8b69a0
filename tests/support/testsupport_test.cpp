// Tests of the shared test helpers where a fault would make other tests pass or fail
// for the wrong reason: exit statuses, the error stream, quoting, the pvmd log's
// task lines, what a cluster run reports and keeps, and the private measurement
// server.
#include "tests/support/measurementdb.h"
#include "tests/support/privateserver.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <kova_site.h>

#include <signal.h>

#include <fstream>

namespace fs = std::filesystem;

TEST(TestSupportCommand, StatusOutputAndErrorStream) {
    const CommandResult merged = RunCommand("echo out; echo err >&2; echo more; exit 3");
    EXPECT_EQ(merged.status, 3);
    EXPECT_EQ(merged.output, "out\nerr\nmore\n");
    EXPECT_EQ(merged.errors, "");

    // The whole line is one group: the first command's errors are kept apart too.
    const CommandResult apart = RunCommand("echo first >&2 && echo out; echo second >&2", ErrorStream::Apart);
    EXPECT_EQ(apart.status, 0);
    EXPECT_EQ(apart.output, "out\n");
    EXPECT_EQ(apart.errors, "first\nsecond\n");

    EXPECT_EQ(RunCommand("kill -9 $$").status, 128 + 9);
    // A line that ends in a comment still runs.
    EXPECT_EQ(RunCommand("exit 4 # done").status, 4);
}

TEST(TestSupportCommand, QuotedWordsReachTheProgramUnchanged) {
    for (const std::string word : {"plain", "two words", "it's", "'", "$HOME `id` \"x\"", ""})
        EXPECT_EQ(RunCommand("printf %s " + ShellQuoted(word)).output, word);
}

TEST(TestSupportFiles, ScratchFolderIsRemovedWithWhatItHolds) {
    fs::path path;
    {
        const ScratchFolder folder("testsupport");
        path = folder.path();
        ASSERT_TRUE(fs::is_directory(path));
        EXPECT_EQ(path.parent_path(), fs::path(KOVA_BINARY_DIR));
        fs::create_directories(path / "sub");
        std::ofstream(path / "sub" / "file") << "text";
        EXPECT_EQ(ReadFile(path / "sub" / "file"), "text");
    }
    EXPECT_FALSE(fs::exists(path));
    const ScratchFolder temporary("testsupport", ScratchFolder::SystemTemp);
    EXPECT_EQ(temporary.path().parent_path(), fs::temp_directory_path());
}

TEST(TestSupportText, TaskLinesOfAPvmdLog) {
    const std::string log =
        "[t80040000] 12/08 02:30:00 node1 (10.0.0.1:33000) LINUX64 3.4.6\n"
        "[t80040000] 12/08 02:30:01 [t40001] hello from one\n"
        "[t80040000] 12/08 02:30:01 [t80002] hello from two\n"
        "[t80040000] 12/08 02:30:02 [t40001]\n"
        "[t80040000] 12/08 02:30:02 [t40001]   indented\n"
        "[t80040000] 12/08 02:30:03 pvmd shutting down\n";
    const std::map<int, std::vector<std::string>> expected = {
        {0x40001, {"hello from one", "", "  indented"}}, {0x80002, {"hello from two"}}};
    EXPECT_EQ(TaskLines(log), expected);
}

TEST(TestSupportCluster, RunReportsTheCommandAndKeepsItsFolderWhileCopiesLive) {
    const ScratchFolder folder("testsupport");
    ClusterOptions options;
    options.workingFolder = folder.path();
    options.input = "typed\n";
    fs::path runFolder;
    {
        ClusterRun copy;
        {
            const ClusterRun run = RunOnCluster(
                2, "read line; echo \"$line in $(pwd) on $(hostname)\"; echo warning >&2; touch here; exit 7", options);
            EXPECT_EQ(run.clusterStatus, 0) << run.clusterErrors;
            EXPECT_EQ(run.status, 7);
            EXPECT_EQ(run.output, "typed in " + folder.path().string() + " on node1\n");
            EXPECT_EQ(run.errors, "warning\n");
            EXPECT_TRUE(fs::exists(folder.path() / "here"));
            runFolder = run.runFolder;
            ASSERT_TRUE(fs::is_directory(runFolder / "node2"));
            copy = run;
        }
        EXPECT_TRUE(fs::is_directory(runFolder)) << "removed while a copy of the run lives";
    }
    EXPECT_FALSE(fs::exists(runFolder));
}

TEST(TestSupportCluster, TimeOutIsTheClustersNotTheCommands) {
    ClusterOptions options;
    options.timeoutSeconds = 1;
    const ClusterRun run = RunOnCluster(1, "sleep 30", options);
    EXPECT_EQ(run.clusterStatus, 124);
    EXPECT_EQ(run.status, -1);
}

TEST(TestSupportPrivateServer, HasTheTablesSurvivesACrashAndGoesWithTheObject) {
    const std::string sharedPort = ConnectToMeasurementDb()->QueryFirst("SELECT @@port");
    fs::path state;
    pid_t pid = 0;
    {
        PrivateMeasurementServer server;
        state = server.stateFolder();
        pid = server.pid();
        ASSERT_GT(pid, 0);
        EXPECT_NE(std::to_string(server.port()), sharedPort);
        server.UseInThisProcess();
        auto db = ConnectToMeasurementDb();
        EXPECT_EQ(db->QueryFirst("SELECT @@port"), std::to_string(server.port()));
        EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Experiments"), 0);
        db->Query("INSERT INTO Experiments (name) VALUES ('kept')");

        server.Kill();
        EXPECT_EQ(server.pid(), 0);
        server.Start();
        db = server.Connect();
        EXPECT_EQ(db->QueryFirst("SELECT name FROM Experiments"), "kept");
        // The programs of a command line reach it too.
        const CommandResult listed = RunCommand(server.Environment() + ShellQuoted(KOVA_BINARY_DIR "/bin/kova") + " list");
        EXPECT_NE(listed.output.find("kept"), std::string::npos) << listed.output;
        pid = server.pid();
    }
    EXPECT_FALSE(fs::exists(state));
    EXPECT_NE(kill(pid, 0), 0);
    // The earlier address is back.
    EXPECT_EQ(ConnectToMeasurementDb()->QueryFirst("SELECT @@port"), sharedPort);
}
