#include "support.h"

#include "kova_site.h"
#include "msql.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

Outcome RunCommand(const std::string& command)
{
    Outcome outcome;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return outcome;
    }
    char buffer[4096];
    std::size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        outcome.output.append(buffer, got);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

int CountOf(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

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

namespace {

// True when something accepts connections on the UNIX socket at `path`.
bool Listens(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

} // namespace

PrivateLegacyServer::PrivateLegacyServer()
{
    std::string pattern = std::string(KOVA_BINARY_DIR) + "/msqld-test-XXXXXX";
    mFolder = mkdtemp(pattern.data());
    mStateDir = mFolder + "/state";
    const std::string socketPath = mFolder + "/msql2.sock";
    const std::string config = mFolder + "/msql.conf";
    const Outcome schema = RunCommand("mkdir -p " + mFolder + "/msqldb " + mStateDir + "/forward && sqlite3 -bail " +
                                      mFolder + "/msqldb/parallel_performance.db < " KOVA_SOURCE_DIR
                                      "/msql/server/parallel_performance.sql");
    if (schema.status != 0) {
        ADD_FAILURE() << "cannot create the private database: " << schema.output;
        return;
    }
    std::ofstream(mStateDir + "/forward/1114") << socketPath << "\n";

    // A TCP port of its own (the server always listens on one); tried again when taken.
    for (int attempt = 0; attempt < 5 && mPid < 0; ++attempt) {
        const int port = 20000 + (getpid() * 7 + attempt * 131) % 20000;
        std::ofstream(config) << "[general]\ninst_dir = " << mFolder << "\ntcp_port = " << port
                              << "\nunix_port = " << socketPath << "\npid_file = " << mFolder
                              << "/msql2.pid\ndb_dir = " << mFolder << "/msqldb\n[system]\nremote_access = false\n"
                              << "local_access = true\n";
        const int pid = fork();
        if (pid == 0) {
            const std::string log = mFolder + "/msqld.log";
            freopen(log.c_str(), "a", stderr);
            execl(MSQLD_PATH, "msqld", "-f", config.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int wait = 0; wait < 100; ++wait) {
            if (Listens(socketPath)) {
                mPid = pid;
                break;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                break;
            usleep(50000);
        }
    }
    if (mPid < 0)
        ADD_FAILURE() << "the private msqld did not start: " << RunCommand("cat " + mFolder + "/msqld.log").output;
}

PrivateLegacyServer::~PrivateLegacyServer()
{
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        waitpid(mPid, nullptr, 0);
    }
    RunCommand("rm -rf '" + mFolder + "'");
}

std::vector<std::string> PrivateLegacyServer::Query(const std::string& select) const
{
    const Outcome result =
        RunCommand("sqlite3 -readonly " + mFolder + "/msqldb/parallel_performance.db \"" + select + "\"");
    EXPECT_EQ(result.status, 0) << result.output;
    std::vector<std::string> rows;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);)
        rows.push_back(line);
    return rows;
}
