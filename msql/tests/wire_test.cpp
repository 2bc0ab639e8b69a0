// Wire-level tests of the mSQL client against a scripted peer: exact bytes in
// both directions, broken replies and lost connections.
#include "msql/msql.h"
#include "msql/tests/support/scripted_peer.h"
#include "tests/support/testsupport.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

namespace {

using msqltest::packet;
using Peer = msqltest::ScriptedPeer;
using Steps = std::vector<Peer::Step>;

// The greeting and the acceptance of the user line, then the steps of a test.
Steps afterHandshake(Steps steps)
{
    Steps all{Peer::send("0:23:scripted peer\n"), Peer::take(), Peer::send("0:\n")};
    all.insert(all.end(), steps.begin(), steps.end());
    return all;
}

std::string userLine()
{
    return packet(LoginName() + "\n");
}

int connectTo(const Peer& peer)
{
    EXPECT_EQ(msqlLoadConfigFile(peer.configPath().c_str()), 0);
    return msqlConnect(nullptr);
}

// A reply that is a list of two-column rows: header, rows, end, fields, end.
Steps twoColumnReply(std::vector<std::string> rows)
{
    Steps steps{Peer::take(), Peer::send(std::to_string(rows.size()) + ":2\n")};
    for (const auto& row : rows)
        steps.push_back(Peer::send(row));
    steps.push_back(Peer::send("-100:\n"));
    steps.push_back(Peer::send("1:a1:t1:22:101:Y1:N"));
    steps.push_back(Peer::send("1:b1:t1:11:41:N1:Y"));
    steps.push_back(Peer::send("-100:\n"));
    return steps;
}

TEST(MsqlWire, SessionSendsExactBytesAndReadsRowsAndFields)
{
    Steps steps{Peer::take(), Peer::send("0:\n")};
    for (const auto& step : twoColumnReply({"3:abc-2:", "1:x0:"}))
        steps.push_back(step);
    Peer peer(afterHandshake(steps));
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_STREQ(msqlGetServerInfo(), "scripted peer");
    EXPECT_EQ(msqlGetProtoInfo(), 23);
    EXPECT_STREQ(msqlGetHostInfo(), "Localhost via UNIX socket");

    EXPECT_EQ(msqlSelectDB(sock, "parallel_performance"), 0);
    ASSERT_EQ(msqlQuery(sock, "SELECT a, b FROM t"), 2) << msqlErrMsg;
    m_result* result = msqlStoreResult();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(msqlStoreResult(), nullptr) << "the pending result is handed over once";
    EXPECT_EQ(msqlNumRows(result), 2);
    EXPECT_EQ(msqlNumFields(result), 2);

    m_row row = msqlFetchRow(result);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "abc");
    EXPECT_EQ(row[1], nullptr) << "-2 is a NULL";
    row = msqlFetchRow(result);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "x");
    EXPECT_STREQ(row[1], "");
    EXPECT_EQ(msqlFetchRow(result), nullptr);

    m_field* field = msqlFetchField(result);
    ASSERT_NE(field, nullptr);
    EXPECT_STREQ(field->name, "a");
    EXPECT_STREQ(field->table, "t");
    EXPECT_EQ(field->type, CHAR_TYPE);
    EXPECT_EQ(field->length, 10);
    EXPECT_EQ(field->flags, NOT_NULL_FLAG);
    field = msqlFetchField(result);
    ASSERT_NE(field, nullptr);
    EXPECT_STREQ(field->name, "b");
    EXPECT_EQ(field->type, INT_TYPE);
    EXPECT_EQ(field->flags, UNIQUE_FLAG);
    EXPECT_EQ(msqlFetchField(result), nullptr);

    msqlDataSeek(result, 1);
    row = msqlFetchRow(result);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "x");
    msqlDataSeek(result, 5);
    EXPECT_EQ(msqlFetchRow(result), nullptr);
    msqlFieldSeek(result, 1);
    EXPECT_STREQ(msqlFetchField(result)->name, "b");
    msqlFreeResult(result);

    msqlClose(sock);
    EXPECT_EQ(peer.received(), userLine() + packet("2:parallel_performance\n") +
                                   packet("3:SELECT a, b FROM t\n") + packet("1:\n"));
}

TEST(MsqlWire, StatementWithoutRowsReturnsTheReplyNumberAndLeavesNoResult)
{
    Peer peer(afterHandshake({Peer::take(), Peer::send("1"), Peer::take(), Peer::send("3:0\n")}));
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO t VALUES (1)"), 1);
    EXPECT_EQ(msqlStoreResult(), nullptr);
    EXPECT_EQ(msqlQuery(sock, "UPDATE t SET a=2"), 3) << "no columns: the first number";
    EXPECT_EQ(msqlStoreResult(), nullptr);
    msqlClose(sock);
    EXPECT_EQ(peer.received(), userLine() + packet("3:INSERT INTO t VALUES (1)\n") +
                                   packet("3:UPDATE t SET a=2\n") + packet("1:\n"));
}

TEST(MsqlWire, ServerErrorsBecomeTheErrorText)
{
    const std::string longText(500, 'e');
    Peer peer(afterHandshake({Peer::take(), Peer::send("-1:Unknown table \"x\"\n"), Peer::take(),
                              Peer::send("-1"), Peer::take(), Peer::send("-1:" + longText + "\n"),
                              Peer::take(), Peer::send("0\n")}));
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "SELECT * FROM x"), -1);
    EXPECT_STREQ(msqlErrMsg, "Unknown table \"x\"");
    EXPECT_EQ(msqlQuery(sock, "SELECT 1"), -1);
    EXPECT_STREQ(msqlErrMsg, "Unknown MSQL error");
    EXPECT_EQ(msqlQuery(sock, "SELECT 2"), -1);
    EXPECT_EQ(std::string(msqlErrMsg), longText.substr(0, 199));
    EXPECT_EQ(msqlQuery(sock, "DELETE FROM t"), 0);
    EXPECT_STREQ(msqlErrMsg, "") << "a new statement clears the error";
    msqlClose(sock);
}

TEST(MsqlWire, HandshakeFailuresCloseTheSocket)
{
    struct Case {
        Steps script;
        const char* error;
        bool sendsUserLine;
    };
    const Case cases[] = {
        {{Peer::send("0:22:old server\n")}, "Protocol mismatch. Server Version = 22 Client Version = 23", false},
        {{Peer::send("0 no colon\n")}, "Bad packet received from server", false},
        {{Peer::send("0:23\n")}, "Error in server handshake!", false},
        {{Peer::send("-1:Too many connections\n")}, "Too many connections", false},
        {{Peer::hangUp()}, "MSQL server has gone away", false},
        {{Peer::send("0:23:x\n"), Peer::take(), Peer::send("-1:Access denied\n")}, "Access denied", true},
        {{Peer::send("0:23:x\n"), Peer::take(), Peer::hangUp()}, "MSQL server has gone away", true},
    };
    for (const Case& c : cases) {
        Peer peer(c.script);
        EXPECT_EQ(connectTo(peer), -1) << c.error;
        EXPECT_STREQ(msqlErrMsg, c.error);
        EXPECT_EQ(peer.received(), c.sendsUserLine ? userLine() : "") << c.error;
    }
}

TEST(MsqlWire, LostServerClosesTheConnection)
{
    // The peer hangs up at once: the request meets a broken pipe.
    {
        Peer peer(afterHandshake({Peer::hangUp()}));
        int sock = connectTo(peer);
        ASSERT_GE(sock, 0) << msqlErrMsg;
        peer.received();
        EXPECT_EQ(msqlQuery(sock, "SELECT 1"), -1);
        EXPECT_STREQ(msqlErrMsg, "MSQL server has gone away");
        EXPECT_EQ(fcntl(sock, F_GETFD), -1) << "the socket is closed";
    }
    // The peer takes the statement and hangs up without a reply.
    {
        Peer peer(afterHandshake({Peer::take(), Peer::hangUp()}));
        int sock = connectTo(peer);
        ASSERT_GE(sock, 0) << msqlErrMsg;
        EXPECT_EQ(msqlQuery(sock, "SELECT 1"), -1);
        EXPECT_STREQ(msqlErrMsg, "MSQL server has gone away");
        EXPECT_EQ(peer.received(), userLine() + packet("3:SELECT 1\n"));

        // The number may now belong to another file: the library leaves it alone.
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        int reused = pipeEnds[0] == sock ? pipeEnds[0] : pipeEnds[1] == sock ? pipeEnds[1] : -1;
        ASSERT_GE(reused, 0) << "the pipe did not get the number of the closed socket";
        EXPECT_EQ(msqlQuery(sock, "SELECT 2"), -1);
        EXPECT_STREQ(msqlErrMsg, "MSQL server has gone away");
        msqlClose(sock);
        EXPECT_NE(fcntl(reused, F_GETFD), -1) << "msqlClose closed a file it does not own";
        pollfd watch{pipeEnds[0], POLLIN, 0};
        EXPECT_EQ(poll(&watch, 1, 0), 0) << "a request went into the pipe";
        close(pipeEnds[0]);
        close(pipeEnds[1]);
    }
}

TEST(MsqlWire, OversizedNegativeAndShortPacketsFail)
{
    struct Case {
        std::string bytes;
        const char* printed;
    };
    const Case cases[] = {
        {std::string("\x01\x00\x02\x00", 4), "Packet too large (131073)\n"},
        {std::string("\xfb\xff\xff\xff", 4), "Malformed packet\n"},
        {std::string("\x10\x00\x00\x00" "1:2\n", 8), ""},  // cut short
        {std::string("\x03\x00", 2), ""},                   // length cut short
    };
    for (const Case& c : cases) {
        Peer peer(afterHandshake({Peer::take(), Peer::sendRaw(c.bytes), Peer::hangUp()}));
        int sock = connectTo(peer);
        ASSERT_GE(sock, 0) << msqlErrMsg;
        testing::internal::CaptureStderr();
        EXPECT_EQ(msqlQuery(sock, "SELECT 1"), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
        EXPECT_STREQ(msqlErrMsg, "MSQL server has gone away");
        EXPECT_EQ(msqlStoreResult(), nullptr);
    }
    // A packet of exactly the largest size is taken whole.
    Peer peer(afterHandshake({Peer::take(), Peer::send("-1:" + std::string(0x20000 - 3, 'e'))}));
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "SELECT 1"), -1);
    EXPECT_EQ(std::string(msqlErrMsg), std::string(199, 'e'));
    msqlClose(sock);
}

TEST(MsqlWire, MalformedRowsFailWithoutAResult)
{
    const char* badRows[] = {
        "3:ab",               // item longer than its packet
        "3abc-2:",            // no colon after the length
        "1:a",                // fewer items than columns
        "1:a1:b1:c",          // more items than columns
        "-7:1:a",             // negative length other than NULL
        "99999999999:x1:a",   // length beyond any packet
        "",                   // empty packet
    };
    for (const char* bad : badRows) {
        Peer peer(afterHandshake(twoColumnReply({"1:a1:b", bad})));
        int sock = connectTo(peer);
        ASSERT_GE(sock, 0) << msqlErrMsg;
        EXPECT_EQ(msqlQuery(sock, "SELECT a, b FROM t"), -1) << bad;
        EXPECT_STREQ(msqlErrMsg, "Bad packet received from server") << bad;
        EXPECT_EQ(msqlStoreResult(), nullptr);
        // The rest of the reply cannot be trusted: the connection is closed.
        EXPECT_EQ(peer.received(), userLine() + packet("3:SELECT a, b FROM t\n")) << bad;
    }
}

TEST(MsqlWire, BrokenResultsKeepNoHalfResult)
{
    // An error in the middle of the rows.
    Peer errorPeer(afterHandshake({Peer::take(), Peer::send("2:1\n"), Peer::send("1:a"),
                                   Peer::send("-1:Disk full\n")}));
    int sock = connectTo(errorPeer);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "SELECT a FROM t"), -1);
    EXPECT_STREQ(msqlErrMsg, "Disk full");
    EXPECT_EQ(msqlStoreResult(), nullptr);
    msqlClose(sock);
    EXPECT_EQ(errorPeer.received(), userLine() + packet("3:SELECT a FROM t\n") + packet("1:\n"));

    // Field descriptions that do not match the number of columns.
    Peer fieldPeer(afterHandshake({Peer::take(), Peer::send("1:2\n"), Peer::send("1:a1:b"),
                                   Peer::send("-100:\n"), Peer::send("1:a1:t1:22:101:Y1:N"),
                                   Peer::send("-100:\n")}));
    sock = connectTo(fieldPeer);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "SELECT a, b FROM t"), -1);
    EXPECT_STREQ(msqlErrMsg, "Bad packet received from server");
    EXPECT_EQ(msqlStoreResult(), nullptr);
}

TEST(MsqlWire, EachSelectReplacesThePendingResult)
{
    Steps steps = twoColumnReply({"1:a1:b"});
    for (const auto& step : twoColumnReply({"1:c1:d", "1:e1:f"}))
        steps.push_back(step);
    Peer peer(afterHandshake(steps));
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "SELECT 1"), 1);
    EXPECT_EQ(msqlQuery(sock, "SELECT 2"), 2);
    m_result* result = msqlStoreResult();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(msqlNumRows(result), 2);
    EXPECT_STREQ(msqlFetchRow(result)[0], "c");
    msqlFreeResult(result);
    msqlClose(sock);
}

TEST(MsqlWire, CatalogueAndAdministrationRequests)
{
    Peer peer(afterHandshake({
        Peer::take(), Peer::send("20:parallel_performance"), Peer::send("4:test"), Peer::send("-100:\n"),
        Peer::take(), Peer::send("8:analysis"), Peer::send("-100:\n"),
        Peer::take(), Peer::send("13:Experiment_No11:experiments1:11:41:Y1:N"), Peer::send("-100:\n"),
        Peer::take(), Peer::send("5:idx_a"), Peer::send("-100:\n"),
        Peer::take(), Peer::send("0:\n"),
        Peer::take(), Peer::send("-1:No such database\n"),
        Peer::take(), Peer::send("0:\n"),
        Peer::take(), Peer::send("0:\n"),
        Peer::take(), Peer::send("0:\n"),
        Peer::take(), Peer::send("0:\n"),
        Peer::take(), Peer::send("1:2:40\n"),
        Peer::take(), Peer::send("Uptime 5\n"), Peer::send("Clients 1\n"), Peer::send("-100:\n"),
    }));
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << msqlErrMsg;

    m_result* dbs = msqlListDBs(sock);
    ASSERT_NE(dbs, nullptr) << msqlErrMsg;
    EXPECT_EQ(msqlNumRows(dbs), 2);
    EXPECT_STREQ(msqlFetchRow(dbs)[0], "parallel_performance");
    EXPECT_STREQ(msqlFetchRow(dbs)[0], "test");
    m_field* field = msqlFetchField(dbs);
    EXPECT_STREQ(field->table, "mSQL Catalog");
    msqlFreeResult(dbs);

    m_result* tables = msqlListTables(sock);
    ASSERT_NE(tables, nullptr) << msqlErrMsg;
    EXPECT_STREQ(msqlFetchRow(tables)[0], "analysis");
    msqlFreeResult(tables);

    m_result* fields = msqlListFields(sock, "experiments");
    ASSERT_NE(fields, nullptr) << msqlErrMsg;
    EXPECT_EQ(msqlNumRows(fields), 0);
    EXPECT_EQ(msqlNumFields(fields), 1);
    field = msqlFetchField(fields);
    EXPECT_STREQ(field->name, "Experiment_No");
    EXPECT_STREQ(field->table, "experiments");
    EXPECT_EQ(field->type, INT_TYPE);
    EXPECT_EQ(field->flags, NOT_NULL_FLAG);
    msqlFreeResult(fields);

    m_result* index = msqlListIndex(sock, "experiments", "idx");
    ASSERT_NE(index, nullptr) << msqlErrMsg;
    EXPECT_STREQ(msqlFetchRow(index)[0], "idx_a");
    field = msqlFetchField(index);
    EXPECT_STREQ(field->name, "Index");
    EXPECT_STREQ(field->table, "mSQL Catalog");
    EXPECT_EQ(field->type, CHAR_TYPE);
    EXPECT_EQ(field->length, 35);
    msqlFreeResult(index);

    EXPECT_EQ(msqlCreateDB(sock, "newdb"), 0);
    EXPECT_EQ(msqlDropDB(sock, "newdb"), -1);
    EXPECT_STREQ(msqlErrMsg, "No such database");
    EXPECT_EQ(msqlReloadAcls(sock), 0);
    EXPECT_EQ(msqlShutdown(sock), 0);
    EXPECT_EQ(msqlMoveDB(sock, "a", "b"), 0);
    EXPECT_EQ(msqlCopyDB(sock, "b", "c"), 0);
    m_seq* sequence = msqlGetSequenceInfo(sock, "experiments");
    ASSERT_NE(sequence, nullptr) << msqlErrMsg;
    EXPECT_EQ(sequence->step, 2);
    EXPECT_EQ(sequence->value, 40);
    testing::internal::CaptureStdout();
    EXPECT_EQ(msqlGetServerStats(sock), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Uptime 5\nClients 1\n");
    msqlClose(sock);

    EXPECT_EQ(peer.received(), userLine() + packet("4:\n") + packet("5:\n") + packet("6:experiments\n") +
                                   packet("11:experiments:idx\n") + packet("7:newdb\n") +
                                   packet("8:newdb\n") + packet("9:\n") + packet("10:\n") +
                                   packet("14:a:b\n") + packet("15:b:c\n") + packet("13:experiments\n") +
                                   packet("12:\n") + packet("1:\n"));
}

TEST(MsqlWire, TooLongStatementIsNotSent)
{
    const std::string fits(0x20000 - 3, 'x');  // "3:" + text + "\n" fills a packet
    Peer peer(afterHandshake({Peer::take(), Peer::send("1\n")}));
    int sock = connectTo(peer);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, (fits + "y").c_str()), -1);
    EXPECT_STREQ(msqlErrMsg, "Request too long for a packet");
    EXPECT_EQ(msqlQuery(sock, fits.c_str()), 1) << msqlErrMsg;
    msqlClose(sock);
    EXPECT_EQ(peer.received(), userLine() + packet("3:" + fits + "\n") + packet("1:\n"));
}

TEST(MsqlWire, TerminalIsNotAConnection)
{
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    EXPECT_EQ(msqlQuery(terminal, "SELECT 1"), -1);
    EXPECT_STREQ(msqlErrMsg, "Socket not connected to mSQL");
    msqlClose(terminal);
    EXPECT_NE(fcntl(terminal, F_GETFD), -1) << "msqlClose closed a terminal";
    close(terminal);
}

TEST(MsqlWire, ConnectFailuresNameTheServer)
{
    const ScratchFolder folder("msql-wire", ScratchFolder::SystemTemp);
    const std::string dir = folder.path().string();
    const std::string config = dir + "/msql.conf";
    std::ofstream(config) << "[general]\nunix_port = " << dir << "/nobody.sock\n";
    ASSERT_EQ(msqlLoadConfigFile(config.c_str()), 0);
    EXPECT_EQ(msqlConnect(nullptr), -1);
    EXPECT_STREQ(msqlErrMsg, "Can't connect to local MSQL server");
    // The default TCP port 1114 on an address that nothing serves.
    EXPECT_EQ(msqlConnect("127.0.0.3"), -1);
    EXPECT_STREQ(msqlErrMsg, "Can't connect to MSQL server on 127.0.0.3");
    EXPECT_EQ(msqlConnect("no-such-host.invalid"), -1);
    EXPECT_STREQ(msqlErrMsg, "Unknown MSQL Server Host (no-such-host.invalid)");
}

TEST(MsqlWire, TypeNames)
{
    const char* names[] = {"UNKNOWN", "INT",  "CHAR", "REAL",  "IDENT", "NULL",
                           "TEXT",    "DATE", "UINT", "MONEY", "TIME",  "UNKNOWN"};
    for (int type = 0; type <= 11; type++)
        EXPECT_STREQ(msqlTypeName(type), names[type]) << type;
}

}  // namespace
