// End-to-end test of scripts/msqld.sh as the test command runs it, on a private
// state folder and port: start, start again, the cluster's forwarding entry, the
// recorder's database, stop, and a leftover server without its pid file.
#include "kova_site.h"
#include "msql/msql.h"
#include "msql/tests/support/private_server.h"
#include "tests/support/testsupport.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// True while the process runs (an ended process not yet reaped does not count).
bool running(pid_t pid)
{
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

class MsqlScript : public testing::Test {
protected:
    void SetUp() override
    {
        port = msqltest::freePort();
        inst = state + "/msql";
    }
    void TearDown() override { run("stop"); }

    // Runs the script with an action; returns its exit status, output in output.
    int run(const std::string& action)
    {
        std::string command = "KOVA_STATE_DIR=" + state + " KOVA_BUILD_DIR=" KOVA_BINARY_DIR
                              " KOVA_MSQL_PORT=" + std::to_string(port) +
                              " bash " KOVA_SOURCE_DIR "/scripts/msqld.sh " + action;
        const CommandResult result = RunCommand(command);
        output = result.output;
        return result.status;
    }

    pid_t serverPid() { return static_cast<pid_t>(std::atoi(ReadFile(inst + "/msql2.pid").c_str())); }
    // The socket, in the short folder that the state folder links to.
    std::string socket() const { return std::filesystem::read_symlink(state + "/sockets").string() + "/msql2.sock"; }

    const ScratchFolder folder{"msql-state", ScratchFolder::SystemTemp};
    const std::string state = folder.path().string();
    std::string inst, output;
    int port = 0;
};

TEST_F(MsqlScript, StartsOnceServesTheRecorderDatabaseAndStops)
{
    ASSERT_EQ(run("start"), 0) << output;
    EXPECT_EQ(output, "msqld: started on 127.0.0.1:" + std::to_string(port) + " (" + socket() + ")\n");
    const pid_t first = serverPid();
    ASSERT_GT(first, 0);
    const std::string forward = state + "/forward/" + std::to_string(port);
    EXPECT_EQ(ReadFile(forward), socket() + "\n");
    EXPECT_LT(socket().size(), 108u);

    ASSERT_EQ(run("start"), 0) << output;
    EXPECT_EQ(output, "msqld: already running (" + socket() + ")\n");
    EXPECT_EQ(serverPid(), first);
    EXPECT_EQ(run("status"), 0);

    // The configuration the script wrote is the one the client reads.
    ASSERT_EQ(msqlLoadConfigFile((inst + "/msql.conf").c_str()), 0);
    EXPECT_EQ(msqlGetIntConf("general", "tcp_port"), port);
    int sock = msqlConnect("127.0.0.1");
    ASSERT_GE(sock, 0) << msqlErrMsg;
    ASSERT_EQ(msqlSelectDB(sock, "parallel_performance"), 0) << msqlErrMsg;
    m_result* tables = msqlListTables(sock);
    ASSERT_NE(tables, nullptr) << msqlErrMsg;
    EXPECT_EQ(msqlNumRows(tables), 3);
    msqlFreeResult(tables);
    const char* phase = "INSERT INTO time_measurements VALUES ('sync',5,1,0,1,0,0,0)";
    EXPECT_EQ(msqlQuery(sock, phase), 1) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, phase), -1) << "a second row of the same phase";
    msqlClose(sock);

    ASSERT_EQ(run("stop"), 0) << output;
    EXPECT_EQ(output, "msqld: stopped\n");
    EXPECT_NE(access(forward.c_str(), F_OK), 0) << "forwarding entry left behind";
    EXPECT_NE(access(socket().c_str(), F_OK), 0);
    EXPECT_FALSE(running(first)) << "the server still runs";
    EXPECT_NE(run("status"), 0);

    // A server whose pid file is lost is found, stopped and replaced; the data stay.
    ASSERT_EQ(run("start"), 0) << output;
    const pid_t leftover = serverPid();
    unlink((inst + "/msql2.pid").c_str());
    ASSERT_EQ(run("start"), 0) << output;
    EXPECT_EQ(output.rfind("msqld: started", 0), 0u) << output;
    EXPECT_FALSE(running(leftover)) << "the leftover server still runs";
    sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    ASSERT_EQ(msqlSelectDB(sock, "parallel_performance"), 0) << msqlErrMsg;
    ASSERT_EQ(msqlQuery(sock, "SELECT phase FROM time_measurements"), 1) << msqlErrMsg;
    msqlFreeResult(msqlStoreResult());
    msqlClose(sock);
}

TEST_F(MsqlScript, PortOfAnotherProgramIsLeftAlone)
{
    const ListeningPort other(port);
    ASSERT_TRUE(other.held());
    // A port asked for: refused, with what to do.
    EXPECT_EQ(run("start"), 3) << output;
    EXPECT_NE(output.find("msqld: port " + std::to_string(port) + " of 127.0.0.1 (KOVA_MSQL_PORT) is in use by "),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("leave KOVA_MSQL_PORT unset"), std::string::npos) << output;
    EXPECT_NE(run("status"), 0);

    // The default port 1114 held (by this test when nothing else holds it): the next
    // free one, written where the clients read it.
    const ListeningPort defaultPort(1114);
    const CommandResult started = RunCommand("env -u KOVA_MSQL_PORT -u KOVA_MSQL_INST_DIR KOVA_STATE_DIR=" + state +
                                             " KOVA_BUILD_DIR=" KOVA_BINARY_DIR
                                             " bash " KOVA_SOURCE_DIR "/scripts/msqld.sh start");
    ASSERT_EQ(started.status, 0) << started.output;
    ASSERT_EQ(msqlLoadConfigFile((inst + "/msql.conf").c_str()), 0);
    const int chosen = msqlGetIntConf("general", "tcp_port");
    EXPECT_GT(chosen, 1114);
    EXPECT_EQ(started.output.rfind("msqld: port 1114 is in use by ", 0), 0u) << started.output;
    EXPECT_NE(started.output.find("; using port " + std::to_string(chosen) + "\nmsqld: started on 127.0.0.1:" +
                                  std::to_string(chosen) + " "),
              std::string::npos)
        << started.output;
    EXPECT_EQ(ReadFile(state + "/forward/" + std::to_string(chosen)), socket() + "\n");
    const int sock = msqlConnect("127.0.0.1");
    EXPECT_GE(sock, 0) << msqlErrMsg;
    msqlClose(sock);
}

TEST_F(MsqlScript, MissingServerProgramIsReported)
{
    std::string command = "KOVA_STATE_DIR=" + state + " KOVA_BUILD_DIR=" + state + "/nobuild KOVA_MSQL_PORT=" +
                          std::to_string(port) + " bash " KOVA_SOURCE_DIR "/scripts/msqld.sh start";
    const CommandResult printed = RunCommand(command);
    EXPECT_EQ(printed.status, 1);
    EXPECT_EQ(printed.output, "msqld: " + state + "/nobuild/bin/msqld is not built\n");
}

}  // namespace
