// Tests of msqld through the client library, as the legacy recorder uses it,
// and through raw sockets for broken requests. Each test runs its own server.
#include "kova_site.h"
#include "msql/msql.h"
#include "msql/tests/support/private_server.h"
#include "msql/tests/support/scripted_peer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using msqltest::packet;

// Every row of a select as texts ("NULL" for a NULL), or the error.
std::vector<std::vector<std::string>> selectRows(int sock, const std::string& statement)
{
    std::vector<std::vector<std::string>> rows;
    int count = msqlQuery(sock, statement.c_str());
    EXPECT_GE(count, 0) << statement << ": " << msqlErrMsg;
    m_result* result = msqlStoreResult();
    if (result == nullptr)
        return rows;
    while (m_row row = msqlFetchRow(result)) {
        std::vector<std::string> texts;
        for (int i = 0; i < msqlNumFields(result); i++)
            texts.push_back(row[i] ? row[i] : "NULL");
        rows.push_back(texts);
    }
    EXPECT_EQ(static_cast<int>(rows.size()), count);
    msqlFreeResult(result);
    return rows;
}

class MsqlServer : public testing::Test {
protected:
    void SetUp() override
    {
        server.createDatabase("parallel_performance", msqltest::recorderSchema());
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        ASSERT_EQ(msqlLoadConfigFile(server.configPath().c_str()), 0);
    }

    // A connection with "parallel_performance" selected; host null for the UNIX socket.
    int connectRecorder(const char* host = nullptr)
    {
        int sock = msqlConnect(host);
        EXPECT_GE(sock, 0) << msqlErrMsg;
        EXPECT_EQ(msqlSelectDB(sock, "parallel_performance"), 0) << msqlErrMsg;
        return sock;
    }

    msqltest::PrivateServer server;
};

// The recorder's statements as it sends them, over TCP and over the UNIX socket.
class Transport : public MsqlServer, public testing::WithParamInterface<const char*> {};

TEST_P(Transport, RecorderStatementsStoreAndReadBack)
{
    const char* host = GetParam();
    int sock = connectRecorder(host);
    ASSERT_GE(sock, 0);
    EXPECT_STREQ(msqlGetHostInfo(), host ? "127.0.0.1 via TCP/IP" : "Localhost via UNIX socket");
    EXPECT_EQ(msqlGetProtoInfo(), 23);

    EXPECT_TRUE(selectRows(sock, "SELECT Experiment_No FROM experiments ORDER BY Experiment_No DESC").empty());
    for (int number : {1, 2}) {
        std::string insert = "INSERT INTO experiments VALUES (" + std::to_string(number) +
                             ",4,'kova','Mon Dec  8 01:30:00 2025\n','tourga','run " + std::to_string(number) +
                             "',0,0,0,0,0,0,0,20)";
        EXPECT_EQ(msqlQuery(sock, insert.c_str()), 1) << msqlErrMsg;
    }
    auto newest = selectRows(sock, "SELECT Experiment_No FROM experiments WHERE user='kova' ORDER BY "
                                   "Experiment_No DESC");
    ASSERT_EQ(newest.size(), 2u);
    EXPECT_EQ(newest[0][0], "2");
    EXPECT_EQ(selectRows(sock, "SELECT Number_of_CPUs  FROM experiments WHERE Experiment_No=2"),
              (std::vector<std::vector<std::string>>{{"4"}}));

    EXPECT_EQ(msqlQuery(sock, "INSERT INTO time_measurements VALUES ('comp',2500000,2,0,1,7,0,0)"), 1)
        << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO analysis  VALUES (2, 'node1'  ,0,2500000,10,20,30,40,9,999800,"
                              "262145)"),
              1)
        << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "UPDATE experiments SET calculation_time=2500000, partitioning_time=10, "
                              "communication_time=20, synchronisation_time=30, blocking_time=40, "
                              "speed_up=1.5 WHERE Experiment_No=2"),
              1)
        << msqlErrMsg;

    ASSERT_EQ(msqlQuery(sock, "SELECT calculation_time, partitioning_time, communication_time, "
                              "synchronisation_time, blocking_time, Number_of_CPUs, Experiment_name, user, "
                              "datum, Comments, speed_up  FROM experiments  WHERE Experiment_No = 2 "),
              1)
        << msqlErrMsg;
    m_result* result = msqlStoreResult();
    ASSERT_NE(result, nullptr);
    m_row row = msqlFetchRow(result);
    const char* expected[] = {"2500000", "10",   "20",      "30", "40", "4", "tourga", "kova",
                              "Mon Dec  8 01:30:00 2025\n", "run 2", "1.5"};
    for (int i = 0; i < 11; i++)
        EXPECT_STREQ(row[i], expected[i]) << i;
    const struct {
        const char* name;
        int type;
        int length;
    } fields[] = {{"calculation_time", INT_TYPE, 4}, {"partitioning_time", INT_TYPE, 4},
                  {"communication_time", INT_TYPE, 4}, {"synchronisation_time", INT_TYPE, 4},
                  {"blocking_time", INT_TYPE, 4},  {"Number_of_CPUs", INT_TYPE, 4},
                  {"Experiment_name", CHAR_TYPE, 64}, {"user", CHAR_TYPE, 32},
                  {"datum", CHAR_TYPE, 32},        {"Comments", TEXT_TYPE, 255},
                  {"speed_up", REAL_TYPE, 8}};
    for (const auto& expectedField : fields) {
        m_field* field = msqlFetchField(result);
        ASSERT_NE(field, nullptr);
        EXPECT_STREQ(field->name, expectedField.name);
        EXPECT_STREQ(field->table, "experiments");
        EXPECT_EQ(field->type, expectedField.type) << field->name;
        EXPECT_EQ(field->length, expectedField.length) << field->name;
    }
    msqlFreeResult(result);

    EXPECT_EQ(selectRows(sock, "SELECT calculating, partitioning, communication, synchronisation, blocking, "
                               "CPU_No FROM analysis WHERE Experiment_No = 2"),
              (std::vector<std::vector<std::string>>{{"2500000", "10", "20", "30", "40", "0"}}));
    msqlClose(sock);
}

INSTANTIATE_TEST_SUITE_P(MsqlServer, Transport, testing::Values(nullptr, "127.0.0.1"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return info.param ? "Tcp" : "UnixSocket";
                         });

TEST_F(MsqlServer, NullsComputedColumnsAndEmptyResults)
{
    int sock = connectRecorder();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO analysis VALUES (5, NULL, 1, 0, 0, 0, 0, 0, 0, 0, 0)"), 1)
        << msqlErrMsg;
    EXPECT_EQ(selectRows(sock, "SELECT host, CPU_No FROM analysis"),
              (std::vector<std::vector<std::string>>{{"NULL", "1"}}));

    ASSERT_EQ(msqlQuery(sock, "SELECT count(*) AS n FROM analysis"), 1);
    m_result* result = msqlStoreResult();
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(msqlFetchRow(result)[0], "1");
    m_field* field = msqlFetchField(result);
    EXPECT_STREQ(field->name, "n");
    EXPECT_STREQ(field->table, "");
    EXPECT_EQ(field->type, INT_TYPE);
    msqlFreeResult(result);

    ASSERT_EQ(msqlQuery(sock, "SELECT Experiment_No, phase FROM time_measurements WHERE CPU_No = 99"), 0);
    result = msqlStoreResult();
    ASSERT_NE(result, nullptr) << "a select without rows still has a result";
    EXPECT_EQ(msqlNumRows(result), 0);
    EXPECT_EQ(msqlNumFields(result), 2);
    field = msqlFetchField(result);
    EXPECT_EQ(field->flags, NOT_NULL_FLAG);
    msqlFreeResult(result);
    msqlClose(sock);
}

TEST_F(MsqlServer, PhaseRowIsUniquePerExperimentCpuAndCounter)
{
    int sock = connectRecorder();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO time_measurements VALUES ('part',10,7,1,1,0,0,0)"), 1);
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO time_measurements VALUES ('comp',20,7,1,1,0,0,0)"), -1);
    EXPECT_NE(std::strstr(msqlErrMsg, "UNIQUE"), nullptr) << msqlErrMsg;
    // The recorder's next try, with the next CPU number, and the next phase.
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO time_measurements VALUES ('comp',20,7,2,1,0,0,0)"), 1);
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO time_measurements VALUES ('comm',30,7,1,2,0,0,0)"), 1);
    EXPECT_EQ(selectRows(sock, "SELECT phase, CPU_No, phase_counter FROM time_measurements ORDER BY "
                               "CPU_No, phase_counter"),
              (std::vector<std::vector<std::string>>{{"part", "1", "1"}, {"comm", "1", "2"}, {"comp", "2", "1"}}));
    msqlClose(sock);
}

TEST_F(MsqlServer, SixteenClientsInsertingAtOnceLoseNoRow)
{
    constexpr int clients = 16, rowsEach = 1000;
    std::vector<pid_t> children;
    for (int client = 0; client < clients; client++) {
        pid_t pid = fork();
        if (pid == 0) {
            int sock = msqlConnect(client % 2 ? "127.0.0.1" : nullptr);
            if (sock < 0 || msqlSelectDB(sock, "parallel_performance") < 0)
                _exit(2);
            for (int i = 1; i <= rowsEach; i++) {
                std::string insert = "INSERT INTO time_measurements VALUES ('comp'," + std::to_string(i) +
                                     ",100," + std::to_string(client) + "," + std::to_string(i) + ",0,0,0)";
                if (msqlQuery(sock, insert.c_str()) != 1)
                    _exit(3);
            }
            msqlClose(sock);
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "client exit status " << status;
    }
    int sock = connectRecorder();
    ASSERT_GE(sock, 0);
    auto perClient = selectRows(sock, "SELECT CPU_No, count(*), min(phase_counter), max(phase_counter), "
                                      "sum(phase_length) FROM time_measurements WHERE Experiment_No=100 "
                                      "GROUP BY CPU_No ORDER BY CPU_No");
    ASSERT_EQ(perClient.size(), static_cast<size_t>(clients));
    for (int client = 0; client < clients; client++)
        EXPECT_EQ(perClient[client], (std::vector<std::string>{std::to_string(client), "1000", "1", "1000",
                                                               "500500"}));
    msqlClose(sock);
}

TEST_F(MsqlServer, CatalogueRequests)
{
    server.createDatabase("scratch", "");
    int sock = connectRecorder();
    ASSERT_GE(sock, 0);
    auto names = [](m_result* result) {
        std::vector<std::string> out;
        while (m_row row = msqlFetchRow(result))
            out.push_back(row[0]);
        msqlFreeResult(result);
        return out;
    };
    m_result* dbs = msqlListDBs(sock);
    ASSERT_NE(dbs, nullptr) << msqlErrMsg;
    EXPECT_EQ(names(dbs), (std::vector<std::string>{"parallel_performance", "scratch"}));
    m_result* tables = msqlListTables(sock);
    ASSERT_NE(tables, nullptr) << msqlErrMsg;
    EXPECT_EQ(names(tables), (std::vector<std::string>{"analysis", "experiments", "time_measurements"}));

    m_result* fields = msqlListFields(sock, "time_measurements");
    ASSERT_NE(fields, nullptr) << msqlErrMsg;
    EXPECT_EQ(msqlNumFields(fields), 8);
    const char* columns[] = {"phase", "phase_length", "Experiment_No", "CPU_No",
                             "phase_counter", "value", "partner_tid", "sent"};
    for (const char* column : columns) {
        m_field* field = msqlFetchField(fields);
        ASSERT_NE(field, nullptr);
        EXPECT_STREQ(field->name, column);
        EXPECT_STREQ(field->table, "time_measurements");
        EXPECT_EQ(field->type, std::strcmp(column, "phase") == 0 ? CHAR_TYPE : INT_TYPE) << column;
    }
    msqlFreeResult(fields);

    EXPECT_EQ(msqlListFields(sock, "no_such_table"), nullptr);
    EXPECT_STREQ(msqlErrMsg, "Unknown table \"no_such_table\"");
    EXPECT_EQ(msqlCreateDB(sock, "other"), -1);
    EXPECT_STREQ(msqlErrMsg, "Command 7 is not served by this server");
    EXPECT_EQ(selectRows(sock, "SELECT 1").size(), 1u) << "the connection goes on";
    msqlClose(sock);
}

TEST_F(MsqlServer, RefusedStatementsLeaveTheConnectionUsable)
{
    int sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "SELECT 1"), -1);
    EXPECT_STREQ(msqlErrMsg, "No database selected");
    for (const char* name : {"nope", "../db/parallel_performance", ""}) {
        EXPECT_EQ(msqlSelectDB(sock, name), -1);
        EXPECT_EQ(std::string(msqlErrMsg), std::string("Unknown database \"") + name + "\"");
    }
    ASSERT_EQ(msqlSelectDB(sock, "parallel_performance"), 0);

    const struct {
        const char* statement;
        const char* error;
    } refused[] = {
        {"SELEKT 1", "near \"SELEKT\": syntax error"},
        {"SELECT 1; DROP TABLE analysis", "Only one statement per query"},
        {"ATTACH DATABASE '/tmp/elsewhere.db' AS other", "not authorized"},
        {"VACUUM INTO '/tmp/kova-vacuum-copy.db'", "authorization denied"},
        {"BEGIN", "not authorized"},
        {"PRAGMA journal_mode=DELETE", "not authorized"},
        {"", "Empty query"},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(msqlQuery(sock, r.statement), -1) << r.statement;
        EXPECT_STREQ(msqlErrMsg, r.error) << r.statement;
        EXPECT_EQ(selectRows(sock, "SELECT count(*) FROM analysis"),
                  (std::vector<std::vector<std::string>>{{"0"}}))
            << "after " << r.statement;
    }
    EXPECT_NE(access("/tmp/kova-vacuum-copy.db", F_OK), 0) << "a statement wrote outside its database";
    // Statements may end in a semicolon, and mSQL's backslash escapes work.
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO analysis (Experiment_No, host) VALUES (1, 'it\\'s a\\\\b:c');"), 1)
        << msqlErrMsg;
    EXPECT_EQ(selectRows(sock, "SELECT host FROM analysis WHERE host = 'it''s a\\\\b:c'"),
              (std::vector<std::vector<std::string>>{{"it's a\\b:c"}}));
    msqlClose(sock);
}

TEST_F(MsqlServer, ValuesLongerThanAPacketAreRefusedBeforeTheyCostMemory)
{
    int sock = connectRecorder();
    ASSERT_GE(sock, 0);
    for (const char* statement : {"SELECT zeroblob(900000000)",
                                  "INSERT INTO analysis (Experiment_No, host) VALUES (1, zeroblob(200000000))"}) {
        EXPECT_EQ(msqlQuery(sock, statement), -1) << statement;
        EXPECT_STREQ(msqlErrMsg, "string or blob too big") << statement;
    }
    // A row packet holds at most 0x20000 bytes: "131065:" and the value.
    const int longest = 0x20000 - 7;
    const std::string zeros = "hex(zeroblob(" + std::to_string((longest - 1) / 2) + "))";
    const auto rows = selectRows(sock, "SELECT " + zeros + " || 'x'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], std::string(longest - 1, '0') + "x");
    EXPECT_EQ(msqlQuery(sock, ("SELECT " + zeros + " || 'xy'").c_str()), -1);
    EXPECT_STREQ(msqlErrMsg, "string or blob too big");
    // A long value that is stored can be read back.
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO analysis (Experiment_No, host) VALUES (2, hex(zeroblob(60000)))"), 1)
        << msqlErrMsg;
    EXPECT_EQ(selectRows(sock, "SELECT length(host) FROM analysis WHERE Experiment_No = 2"),
              (std::vector<std::vector<std::string>>{{"120000"}}));
    EXPECT_EQ(selectRows(sock, "SELECT count(*) FROM analysis"), (std::vector<std::vector<std::string>>{{"1"}}));
    msqlClose(sock);
}

// A connection that speaks the protocol by hand, for requests the client
// library never sends.
class RawClient {
public:
    explicit RawClient(const std::string& socketPath)
    {
        mFd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        connected = connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        greeting = readPacket();
        sendBytes(packet("tester\n"));
        userReply = readPacket();
    }
    // A TCP connection to port of 127.0.0.1 from sourceAddress (any of 127.0.0.0/8),
    // which reads the greeting and sends only firstBytes.
    RawClient(int port, const char* sourceAddress, const std::string& firstBytes)
    {
        mFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, sourceAddress, &source.sin_addr);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = bind(mFd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
                    connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        greeting = readPacket();
        sendBytes(firstBytes);
    }
    ~RawClient() { close(mFd); }
    void sendBytes(const std::string& bytes) { (void)!write(mFd, bytes.data(), bytes.size()); }
    // The text of the next packet, or "EOF" when the server closed.
    std::string readPacket()
    {
        std::string header = readBytes(4);
        if (header.size() < 4)
            return "EOF";
        uint32_t length = 0;
        for (int i = 0; i < 4; i++)
            length |= static_cast<uint32_t>(static_cast<unsigned char>(header[i])) << (8 * i);
        return readBytes(length);
    }

    // True when the server has closed the connection or closes it within 10 s;
    // what it sent before is read and dropped.
    bool hungUp()
    {
        pollfd watch{mFd, POLLIN, 0};
        char buffer[65536];
        while (poll(&watch, 1, 10000) > 0) {
            const ssize_t got = read(mFd, buffer, sizeof buffer);
            if (got <= 0)
                return got == 0 || errno == ECONNRESET;
        }
        return false;
    }
    // True once the server has begun to send (without taking anything).
    bool replyBegun(int milliseconds)
    {
        pollfd watch{mFd, POLLIN, 0};
        return poll(&watch, 1, milliseconds) > 0;
    }

    bool connected = false;
    std::string greeting, userReply;

private:
    std::string readBytes(size_t count)
    {
        std::string out;
        while (out.size() < count) {
            pollfd watch{mFd, POLLIN, 0};
            if (poll(&watch, 1, 5000) <= 0)
                break;
            char buffer[4096];
            ssize_t got = read(mFd, buffer, std::min(count - out.size(), sizeof buffer));
            if (got <= 0)
                break;
            out.append(buffer, static_cast<size_t>(got));
        }
        return out;
    }
    int mFd;
};

TEST_F(MsqlServer, BrokenRequestsEndOnlyTheirConnection)
{
    int sock = connectRecorder();
    ASSERT_GE(sock, 0);
    {
        RawClient raw(server.socketPath());
        ASSERT_TRUE(raw.connected);
        EXPECT_EQ(raw.greeting.rfind("0:23:msqld", 0), 0u) << raw.greeting;
        EXPECT_EQ(raw.userReply, "0:\n");
        raw.sendBytes(packet("no colon here\n"));
        EXPECT_EQ(raw.readPacket(), "-1:Malformed request\n");
        raw.sendBytes(packet("x1:\n"));
        EXPECT_EQ(raw.readPacket(), "-1:Malformed request\n");
        raw.sendBytes(packet("99:\n"));
        EXPECT_EQ(raw.readPacket(), "-1:Command 99 is not served by this server\n");
        raw.sendBytes(packet("4:\n"));
        EXPECT_EQ(raw.readPacket(), "20:parallel_performance") << "the connection goes on";
        EXPECT_EQ(raw.readPacket(), "-100:\n");
        raw.sendBytes(std::string("\xff\xff\xff\xff", 4));
        EXPECT_EQ(raw.readPacket(), "-1:Malformed packet\n");
        EXPECT_EQ(raw.readPacket(), "EOF");
    }
    {
        RawClient raw(server.socketPath());
        raw.sendBytes(std::string("\x01\x00\x02\x00", 4));
        EXPECT_EQ(raw.readPacket(), "-1:Packet too large\n");
        EXPECT_EQ(raw.readPacket(), "EOF");
    }
    {
        RawClient raw(server.socketPath());
        raw.sendBytes(std::string("\x20\x00\x00\x00" "3:SELECT", 12));  // cut short, then gone
    }
    EXPECT_EQ(selectRows(sock, "SELECT count(*) FROM experiments"),
              (std::vector<std::vector<std::string>>{{"0"}}))
        << "the other connection is still served";
    msqlClose(sock);
    EXPECT_EQ(server.stop(), 0);
}

// A server with small bounds, started by each test with the options it needs.
class BoundedServer : public testing::Test {
protected:
    void start(const std::vector<std::string>& options)
    {
        server.createDatabase("parallel_performance", msqltest::recorderSchema());
        std::string error;
        ASSERT_TRUE(server.start(error, options)) << error;
        ASSERT_EQ(msqlLoadConfigFile(server.configPath().c_str()), 0);
    }
    // A raw connection with the recorder's database selected.
    std::unique_ptr<RawClient> rawRecorder()
    {
        auto raw = std::make_unique<RawClient>(server.socketPath());
        raw->sendBytes(packet("2:parallel_performance\n"));
        EXPECT_EQ(raw->readPacket(), "0:\n");
        return raw;
    }
    msqltest::PrivateServer server;
};

// Rows of one 100-character text: about 3 MB of the server's memory for 10000 rows.
std::string TextRows(int count)
{
    return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count) +
           ") SELECT printf('%100d', i) FROM n";
}

TEST_F(BoundedServer, ResultsCountEveryCellAndClientsThatDoNotReadLetGo)
{
    start({"-r", "4000000", "-m", "7000000", "-x", "1"});
    int sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    ASSERT_EQ(msqlSelectDB(sock, "parallel_performance"), 0) << msqlErrMsg;
    // NULLs cost memory too.
    EXPECT_EQ(msqlQuery(sock, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000) "
                              "SELECT NULL, NULL, NULL, NULL FROM n"),
              -1);
    EXPECT_STREQ(msqlErrMsg, "Result too large");

    // Two clients ask for large results and never read them: the third's does not fit.
    auto first = rawRecorder(), second = rawRecorder(), third = rawRecorder();
    for (auto* idle : {first.get(), second.get()}) {
        idle->sendBytes(packet("3:" + TextRows(10000) + "\n"));
        ASSERT_TRUE(idle->replyBegun(10000));
    }
    third->sendBytes(packet("3:" + TextRows(10000) + "\n"));
    EXPECT_EQ(third->readPacket(), "-1:Server busy: the results of other clients fill its memory; try again later\n");
    // A small result still comes, and once the reply of a client that does not read
    // has waited its time, that client is let go and a large result fits again.
    EXPECT_EQ(selectRows(sock, "SELECT count(*) FROM experiments"), (std::vector<std::vector<std::string>>{{"0"}}));
    // (A send that makes some progress before the time is up counts as one that
    // did not stall, so a stalled reply ends within twice the time.)
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(first->hungUp());
    EXPECT_TRUE(second->hungUp());
    EXPECT_EQ(msqlQuery(sock, TextRows(10000).c_str()), 10000) << msqlErrMsg;
    msqlFreeResult(msqlStoreResult());
    msqlClose(sock);
}

TEST_F(BoundedServer, AnEndlessStatementHoldsUpOnlyItsOwnClient)
{
    start({"-t", "3000"});
    std::atomic<bool> endlessDone{false};
    std::string endlessError;
    std::thread endless([&] {
        auto raw = rawRecorder();
        raw->sendBytes(packet("3:WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) "
                              "SELECT count(*) FROM n\n"));
        endlessError = raw->readPacket();
        endlessDone = true;
    });
    // While it runs, another client is answered.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto other = rawRecorder();
    other->sendBytes(packet("3:SELECT count(*) FROM experiments\n"));
    EXPECT_EQ(other->readPacket(), "1:1\n");
    EXPECT_FALSE(endlessDone) << "answered only after the endless statement ended";
    endless.join();
    EXPECT_EQ(endlessError, "-1:Statement ran longer than 3000 ms\n");
}

TEST_F(BoundedServer, APeerTricklingManyConnectionsKeepsNoOtherClientWaiting)
{
    start({"-c", "6", "-p", "4"});
    // One peer opens ten connections and trickles one byte of its first request
    // into each: it gets its share of four, the others are refused at once.
    std::vector<std::unique_ptr<RawClient>> trickling;
    int greeted = 0, refused = 0;
    for (int k = 0; k < 10; k++) {
        trickling.push_back(std::make_unique<RawClient>(server.port(), "127.0.0.2", std::string(1, '\x07')));
        greeted += trickling.back()->greeting.rfind("0:23:", 0) == 0 ? 1 : 0;
        refused += trickling.back()->greeting == "-1:Too many connections from your address\n" ? 1 : 0;
    }
    EXPECT_EQ(greeted, 4);
    EXPECT_EQ(refused, 6);
    // Connections whose first request has not arrived hold no slot: all six serve others.
    int sock = msqlConnect("127.0.0.1");
    ASSERT_GE(sock, 0) << msqlErrMsg;
    ASSERT_EQ(msqlSelectDB(sock, "parallel_performance"), 0) << msqlErrMsg;
    EXPECT_EQ(selectRows(sock, "SELECT count(*) FROM experiments"), (std::vector<std::vector<std::string>>{{"0"}}));
    // (Each of the others from an address of its own.)
    const auto from = [](int k) { return "127.0.1." + std::to_string(k + 1); };
    std::vector<std::unique_ptr<RawClient>> served;
    for (int k = 0; k < 5; k++) {
        served.push_back(std::make_unique<RawClient>(server.port(), from(k).c_str(), packet("tester\n")));
        EXPECT_EQ(served.back()->readPacket(), "0:\n") << "client " << k;
    }
    // With every slot taken, ten newcomers at once are each refused after the slot
    // wait, side by side, instead of one after the other.
    const auto before = std::chrono::steady_clock::now();
    std::vector<std::thread> newcomers;
    std::atomic<int> tooMany{0};
    for (int k = 0; k < 10; k++)
        newcomers.emplace_back([&, k] {
            RawClient newcomer(server.port(), from(10 + k).c_str(), packet("tester\n"));
            if (newcomer.readPacket() == "-1:Too many connections\n")
                tooMany++;
        });
    for (std::thread& newcomer : newcomers)
        newcomer.join();
    EXPECT_EQ(tooMany, 10);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(8));
    msqlClose(sock);
}

TEST_F(BoundedServer, IdleConnectionsTimeOutAndGiveWayWhenTheServerIsFull)
{
    start({"-c", "3", "-w", "1", "-i", "4"});
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int k = 0; k < 3; k++) {
        idle.push_back(std::make_unique<RawClient>(server.socketPath()));
        ASSERT_EQ(idle.back()->userReply, "0:\n");
    }
    // All slots are taken by connections idle for more than a second: one gives way.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    RawClient newcomer(server.socketPath());
    EXPECT_EQ(newcomer.greeting.rfind("0:23:", 0), 0u) << newcomer.greeting;
    EXPECT_EQ(newcomer.userReply, "0:\n");
    int closed = 0;
    for (auto& client : idle)
        closed += client->replyBegun(0) ? 1 : 0;
    EXPECT_EQ(closed, 1);
    // Left idle, every connection ends after its time.
    for (auto& client : idle)
        EXPECT_TRUE(client->hungUp());
    EXPECT_TRUE(newcomer.hungUp());
    RawClient later(server.socketPath());
    EXPECT_EQ(later.userReply, "0:\n");
}

TEST_F(MsqlServer, StopsOnSigtermAndKeepsItsData)
{
    int sock = connectRecorder("127.0.0.1");
    ASSERT_GE(sock, 0);
    EXPECT_EQ(msqlQuery(sock, "INSERT INTO experiments (Experiment_No, W) VALUES (42, 20)"), 1) << msqlErrMsg;
    msqlClose(sock);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_NE(access(server.socketPath().c_str(), F_OK), 0) << "socket file left behind";
    EXPECT_NE(ReadFile(server.logPath()).find("msqld: stopped\n"), std::string::npos);

    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    sock = connectRecorder();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(selectRows(sock, "SELECT Experiment_No, W FROM experiments"),
              (std::vector<std::vector<std::string>>{{"42", "20"}}));
    msqlClose(sock);
}

// Runs msqld with the arguments; returns its exit status and what it printed.
int runServer(const std::string& arguments, std::string& output)
{
    const CommandResult result = RunCommand(KOVA_BINARY_DIR "/bin/msqld " + arguments);
    output = result.output;
    return result.status;
}

TEST_F(MsqlServer, StartupProblemsAreReportedWithAnExitStatus)
{
    std::string output;
    EXPECT_EQ(runServer("-f " + server.configPath(), output), 1) << output;
    EXPECT_EQ(output, "msqld: can't listen on TCP port " + std::to_string(server.port()) +
                          ": Address already in use\n");
    // Another port, but the UNIX socket of the running server.
    const std::string otherConfig = server.dataDir() + "-other.conf";
    std::ofstream(otherConfig) << "[general]\ntcp_port " << msqltest::freePort() << "\nunix_port "
                               << server.socketPath() << "\ndb_dir " << server.dataDir() << "\n";
    EXPECT_EQ(runServer("-f " + otherConfig, output), 1) << output;
    EXPECT_EQ(output, "msqld: another server answers on " + server.socketPath() + "\n");

    server.stop();
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    EXPECT_EQ(runServer("-f " + server.configPath(), output), 1);
    EXPECT_EQ(output, "msqld: can't listen on TCP port " + std::to_string(server.port()) +
                          ": Address already in use\n");
    close(blocker);

    EXPECT_EQ(runServer("-f /no/such.conf", output), 1);
    EXPECT_EQ(output, "Load of /no/such.conf failed\nmsqld: can't read the configuration file /no/such.conf\n");
    EXPECT_EQ(runServer("-x", output), 2);
    EXPECT_NE(output.find("usage: msqld [-f config-file]"), std::string::npos) << output;
}

}  // namespace
