// Helpers of the recorder and program tests: reading and writing the legacy database
// "parallel_performance" through the mSQL client, and a private server of it.
#pragma once

#include "msql/tests/support/private_server.h"
#include "tests/support/testsupport.h"

#include <string>
#include <utility>
#include <vector>

typedef std::vector<std::string> Row;

// A connection to the legacy database on the stand-in server at the recorder's address.
// Failures are reported as test failures.
class LegacyDatabase
{
public:
    LegacyDatabase();
    ~LegacyDatabase();
    LegacyDatabase(const LegacyDatabase&) = delete;
    LegacyDatabase& operator=(const LegacyDatabase&) = delete;

    bool Connected() const { return mSock != -1; }
    // Sends a statement; true when the server accepted it.
    bool Execute(const std::string& statement);
    // The rows of a SELECT, every column as text ("NULL" for a NULL value).
    std::vector<Row> Rows(const std::string& select);

    // Stores experiment `number` as a finished parallel run of `cpus` CPUs whose five
    // totals are given, replacing any row of that number.
    void StoreExperiment(int number, int cpus, const long long totals[5]);
    // Removes every row of experiment `number` from the three tables.
    void DeleteExperiment(int number);

private:
    int mSock = -1;
};

// The rows of one experiment as a test found them, put back in place of whatever the
// test left when the object goes: tests that replace the reference experiment 94 keep
// a user's own.
class KeptExperiment
{
public:
    KeptExperiment(LegacyDatabase& db, int number);
    ~KeptExperiment();
    KeptExperiment(const KeptExperiment&) = delete;
    KeptExperiment& operator=(const KeptExperiment&) = delete;

private:
    LegacyDatabase& mDb;
    const int mNumber;
    std::vector<std::pair<std::string, std::vector<Row>>> mTables;
};

// A stand-in legacy database server of a test's own, with an empty database, that a
// virtual cluster started with StateDir() as KOVA_STATE_DIR reaches at the recorder's
// address. Its data are read back straight from the SQLite file, read-only.
class PrivateLegacyServer
{
public:
    PrivateLegacyServer();
    PrivateLegacyServer(const PrivateLegacyServer&) = delete;
    PrivateLegacyServer& operator=(const PrivateLegacyServer&) = delete;

    bool Running() const { return mServer.running(); }
    const std::string& StateDir() const { return mStateDir; }
    // The rows of a query on the database file, columns separated by '|'.
    std::vector<std::string> Query(const std::string& select) const;

private:
    msqltest::PrivateServer mServer{ScratchFolder::BuildTree};
    std::string mStateDir;
};
