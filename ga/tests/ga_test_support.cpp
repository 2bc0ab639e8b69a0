#include "ga/tests/ga_test_support.h"

#include "kova_site.h"
#include "msql/msql.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

LegacyDatabase::LegacyDatabase()
{
    mSock = msqlConnect(KOVA_MSQL_HOST);
    if (mSock == -1) {
        ADD_FAILURE() << "no legacy database server at " << KOVA_MSQL_HOST << ": " << msqlErrMsg
                      << " (start it with scripts/msqld.sh start)";
        return;
    }
    if (msqlSelectDB(mSock, "parallel_performance") == -1) {
        ADD_FAILURE() << "no database parallel_performance: " << msqlErrMsg;
        msqlClose(mSock);
        mSock = -1;
    }
}

LegacyDatabase::~LegacyDatabase()
{
    if (mSock != -1)
        msqlClose(mSock);
}

bool LegacyDatabase::Execute(const std::string& statement)
{
    if (msqlQuery(mSock, statement.c_str()) != -1)
        return true;
    ADD_FAILURE() << statement << ": " << msqlErrMsg;
    return false;
}

std::vector<Row> LegacyDatabase::Rows(const std::string& select)
{
    std::vector<Row> rows;
    if (!Execute(select))
        return rows;
    m_result* result = msqlStoreResult();
    if (!result)
        return rows;
    while (m_row row = msqlFetchRow(result)) {
        Row texts;
        for (int column = 0; column < result->numFields; ++column)
            texts.push_back(row[column] ? row[column] : "NULL");
        rows.push_back(texts);
    }
    msqlFreeResult(result);
    return rows;
}

void LegacyDatabase::StoreExperiment(int number, int cpus, const long long totals[5])
{
    DeleteExperiment(number);
    std::ostringstream insert;
    insert << "INSERT INTO experiments VALUES (" << number << "," << cpus
           << ",'tester','Mon Jan  5 10:00:00 2026\n','stored GA','reference run',0,0,0,0,0,0,0,100)";
    Execute(insert.str());
    std::ostringstream update;
    update << "UPDATE experiments SET calculation_time=" << totals[0] << ", partitioning_time=" << totals[1]
           << ", communication_time=" << totals[2] << ", synchronisation_time=" << totals[3]
           << ", blocking_time=" << totals[4] << " WHERE Experiment_No=" << number;
    Execute(update.str());
}

const char* const EXPERIMENT_TABLES[] = {"experiments", "analysis", "time_measurements"};

void LegacyDatabase::DeleteExperiment(int number)
{
    for (const char* table : EXPERIMENT_TABLES)
        Execute(std::string("DELETE FROM ") + table + " WHERE Experiment_No = " + std::to_string(number));
}

KeptExperiment::KeptExperiment(LegacyDatabase& db, int number) : mDb(db), mNumber(number)
{
    if (!mDb.Connected())
        return;
    for (const char* table : EXPERIMENT_TABLES)
        mTables.emplace_back(table, mDb.Rows(std::string("SELECT * FROM ") + table +
                                             " WHERE Experiment_No = " + std::to_string(number)));
}

KeptExperiment::~KeptExperiment()
{
    if (!mDb.Connected())
        return;
    mDb.DeleteExperiment(mNumber);
    for (const auto& [table, rows] : mTables) {
        for (const Row& row : rows) {
            std::string insert = "INSERT INTO " + table + " VALUES (";
            for (std::size_t column = 0; column < row.size(); ++column) {
                insert += column ? "," : "";
                if (row[column] == "NULL") {
                    insert += "NULL";
                    continue;
                }
                // The server reads mSQL's backslash escapes.
                insert += '\'';
                for (char c : row[column])
                    insert += c == '\'' || c == '\\' ? std::string{'\\', c} : std::string{c};
                insert += '\'';
            }
            mDb.Execute(insert + ")");
        }
    }
}

PrivateLegacyServer::PrivateLegacyServer() : mStateDir(mServer.folder() + "/state")
{
    try {
        mServer.createDatabase("parallel_performance", msqltest::recorderSchema());
    } catch (const std::exception& failure) {
        ADD_FAILURE() << failure.what();
        return;
    }
    // Forwarded at the port where the recorder's client looks: the one of the
    // installation's configuration (msql.conf, as msqld.sh wrote it).
    msqlLoadConfigFile(nullptr);
    const int port = msqlGetIntConf("general", "tcp_port");
    std::filesystem::create_directories(mStateDir + "/forward");
    std::ofstream(mStateDir + "/forward/" + std::to_string(port)) << mServer.socketPath() << "\n";
    std::string error;
    if (!mServer.start(error))
        ADD_FAILURE() << "the private msqld did not start: " << error;
}

std::vector<std::string> PrivateLegacyServer::Query(const std::string& select) const
{
    const CommandResult result =
        RunCommand("sqlite3 -readonly " + mServer.dataDir() + "/parallel_performance.db \"" + select + "\"");
    EXPECT_EQ(result.status, 0) << result.output;
    return result.outputLines();
}
