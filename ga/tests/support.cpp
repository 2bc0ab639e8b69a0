#include "support.h"

#include "kova_site.h"
#include "msql.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

void LegacyDatabase::DeleteExperiment(int number)
{
    const std::string where = " WHERE Experiment_No = " + std::to_string(number);
    Execute("DELETE FROM experiments" + where);
    Execute("DELETE FROM analysis" + where);
    Execute("DELETE FROM time_measurements WHERE Experiment_No = " + std::to_string(number));
}

PrivateLegacyServer::PrivateLegacyServer()
{
    const std::string folder = mFolder.path().string();
    mStateDir = folder + "/state";
    const std::string socketPath = folder + "/msql2.sock";
    const std::string config = folder + "/msql.conf";
    const CommandResult schema = RunCommand("mkdir -p " + folder + "/msqldb " + mStateDir + "/forward && sqlite3 -bail " +
                                            folder + "/msqldb/parallel_performance.db < " KOVA_SOURCE_DIR
                                            "/msql/server/parallel_performance.sql");
    if (schema.status != 0) {
        ADD_FAILURE() << "cannot create the private database: " << schema.output;
        return;
    }
    std::ofstream(mStateDir + "/forward/1114") << socketPath << "\n";

    // A TCP port of its own (the server always listens on one); tried again when taken.
    for (int attempt = 0; attempt < 5 && mPid < 0; ++attempt) {
        const int port = 20000 + (getpid() * 7 + attempt * 131) % 20000;
        std::ofstream(config) << "[general]\ninst_dir = " << folder << "\ntcp_port = " << port
                              << "\nunix_port = " << socketPath << "\npid_file = " << folder
                              << "/msql2.pid\ndb_dir = " << folder << "/msqldb\n[system]\nremote_access = false\n"
                              << "local_access = true\n";
        const int pid = fork();
        if (pid == 0) {
            const std::string log = folder + "/msqld.log";
            freopen(log.c_str(), "a", stderr);
            execl(MSQLD_PATH, "msqld", "-f", config.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int wait = 0; wait < 100; ++wait) {
            if (AcceptsConnections(socketPath)) {
                mPid = pid;
                break;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                break;
            usleep(50000);
        }
    }
    if (mPid < 0)
        ADD_FAILURE() << "the private msqld did not start: " << ReadFile(mFolder.path() / "msqld.log");
}

PrivateLegacyServer::~PrivateLegacyServer()
{
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        waitpid(mPid, nullptr, 0);
    }
}

std::vector<std::string> PrivateLegacyServer::Query(const std::string& select) const
{
    const CommandResult result = RunCommand("sqlite3 -readonly " + mFolder.path().string() +
                                            "/msqldb/parallel_performance.db \"" + select + "\"");
    EXPECT_EQ(result.status, 0) << result.output;
    return result.outputLines();
}
