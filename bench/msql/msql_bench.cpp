// Round trips per second of a one-row INSERT and a 100-row SELECT through the
// mSQL client and a private msqld, over the UNIX socket and over TCP, beside the
// same statements run directly on SQLite (the floor). Rates are of wall-clock time.
#include "msql/msql.h"
#include "msql/tests/support/private_server.h"
#include "tests/support/testsupport.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sqlite3.h>
#include <string>

namespace {

const char* const schema =
    "CREATE TABLE samples (id int NOT NULL, name char(32), value real);"
    "CREATE TABLE inserts (id int, name char(32), value real);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
    "INSERT INTO samples SELECT i, 'sample ' || i, i * 0.5 FROM n;";
const char* const insertStatement = "INSERT INTO inserts VALUES (1, 'one row', 2.5)";
const char* const selectStatement = "SELECT id, name, value FROM samples ORDER BY id DESC";

std::unique_ptr<msqltest::PrivateServer> server;
std::unique_ptr<ScratchFolder> sqliteDir;

// 0: UNIX socket, 1: TCP.
int connectServer(benchmark::State& state)
{
    int sock = msqlConnect(state.range(0) ? "127.0.0.1" : nullptr);
    if (sock < 0 || msqlSelectDB(sock, "bench") < 0)
        state.SkipWithError(msqlErrMsg);
    state.SetLabel(state.range(0) ? "TCP" : "UNIX socket");
    return sock;
}

void BM_MsqlInsert(benchmark::State& state)
{
    int sock = connectServer(state);
    for (auto _ : state)
        if (msqlQuery(sock, insertStatement) != 1)
            state.SkipWithError(msqlErrMsg);
    state.SetItemsProcessed(state.iterations());
    msqlClose(sock);
}

void BM_MsqlSelect100(benchmark::State& state)
{
    int sock = connectServer(state);
    for (auto _ : state) {
        if (msqlQuery(sock, selectStatement) != 100) {
            state.SkipWithError(msqlErrMsg);
            break;
        }
        m_result* result = msqlStoreResult();
        size_t bytes = 0;
        while (m_row row = msqlFetchRow(result))
            bytes += std::strlen(row[1]);
        benchmark::DoNotOptimize(bytes);
        msqlFreeResult(result);
    }
    state.SetItemsProcessed(state.iterations());
    msqlClose(sock);
}

// The same database settings as the server's (WAL, NORMAL synchronisation), and
// each statement prepared from its text as the server does.
sqlite3* openDirect()
{
    sqlite3* db = nullptr;
    sqlite3_open((sqliteDir->path() / "direct.db").c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    return db;
}

void BM_SqliteInsert(benchmark::State& state)
{
    sqlite3* db = openDirect();
    for (auto _ : state) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, insertStatement, -1, &statement, nullptr);
        if (sqlite3_step(statement) != SQLITE_DONE)
            state.SkipWithError(sqlite3_errmsg(db));
        sqlite3_finalize(statement);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("SQLite directly");
    sqlite3_close(db);
}

void BM_SqliteSelect100(benchmark::State& state)
{
    sqlite3* db = openDirect();
    for (auto _ : state) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, selectStatement, -1, &statement, nullptr);
        size_t bytes = 0;
        int rows = 0;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            for (int column = 0; column < 3; column++)
                bytes += static_cast<size_t>(sqlite3_column_bytes(statement, column));
            bytes += std::strlen(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
            rows++;
        }
        if (rows != 100)
            state.SkipWithError("the select did not give 100 rows");
        benchmark::DoNotOptimize(bytes);
        sqlite3_finalize(statement);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("SQLite directly");
    sqlite3_close(db);
}

BENCHMARK(BM_MsqlInsert)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_SqliteInsert)->UseRealTime();
BENCHMARK(BM_MsqlSelect100)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_SqliteSelect100)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    server = std::make_unique<msqltest::PrivateServer>();
    server->createDatabase("bench", schema);
    std::string error;
    if (!server->start(error) || msqlLoadConfigFile(server->configPath().c_str()) < 0) {
        std::fprintf(stderr, "msql_bench: %s\n", error.c_str());
        return 1;
    }
    sqliteDir = std::make_unique<ScratchFolder>("msql-bench-sqlite", ScratchFolder::SystemTemp);
    sqlite3* db = nullptr;
    sqlite3_open((sqliteDir->path() / "direct.db").c_str(), &db);
    sqlite3_exec(db, schema, nullptr, nullptr, nullptr);
    sqlite3_close(db);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    server.reset();
    sqliteDir.reset();
    return 0;
}
