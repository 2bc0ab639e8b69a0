// Test of the client's debug trace. A program of its own: MSQL_DEBUG is read at
// the first connection of a process.
#include "msql/msql.h"
#include "msql/tests/support/scripted_peer.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

using Peer = msqltest::ScriptedPeer;

TEST(MsqlDebug, TraceShowsTheLevelsStatementsAndClosing)
{
    setenv("MSQL_DEBUG", "msql_query:msql_api:unknown_word", 1);
    Peer peer({Peer::send("0:23:peer\n"), Peer::take(), Peer::send("0:\n"), Peer::take(), Peer::send("1\n")});
    ASSERT_EQ(msqlLoadConfigFile(peer.configPath().c_str()), 0);
    testing::internal::CaptureStderr();
    int sock = msqlConnect(nullptr);
    EXPECT_EQ(msqlQuery(sock, "DELETE FROM t WHERE a='x'"), 1);
    msqlClose(sock);
    const std::string trace = testing::internal::GetCapturedStderr();
    ASSERT_GE(sock, 0) << msqlErrMsg;

    const std::string dashes = "-------------------------------------------------------\n";
    EXPECT_EQ(trace.find(dashes + "MSQL_DEBUG found. libmsql started with the following:-\n\n"
                                  "Debug level : query\nDebug level : api\n" + dashes),
              0u)
        << trace;
    EXPECT_EQ(trace.find("Debug level : malloc"), std::string::npos);
    EXPECT_NE(trace.find("[libmsql] Query = \"DELETE FROM t WHERE a='x'\"\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("[libmsql] Server socket (" + std::to_string(sock) + ") closed\n"),
              std::string::npos)
        << trace;
}

}  // namespace
