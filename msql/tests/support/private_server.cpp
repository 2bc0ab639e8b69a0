// A private msqld instance for tests and benchmarks.
#include "msql/tests/support/private_server.h"

#include "kova_site.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sqlite3.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace msqltest {

std::string recorderSchema()
{
    return ReadFile(KOVA_SOURCE_DIR "/msql/server/parallel_performance.sql");
}

int freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

namespace {

// The place asked for, or the system's temporary folder when a socket in the build
// tree would pass the length of a UNIX socket's path.
ScratchFolder::Place FittingPlace(ScratchFolder::Place place)
{
    const std::size_t socketPath = std::strlen(KOVA_BINARY_DIR "/msqld-XXXXXX/msql2.sock");
    return place == ScratchFolder::BuildTree && socketPath >= sizeof(sockaddr_un::sun_path) ? ScratchFolder::SystemTemp
                                                                                          : place;
}

}  // namespace

PrivateServer::PrivateServer(ScratchFolder::Place place) : mFolder("msqld", FittingPlace(place))
{
    mDir = mFolder.path().string();
    mConfig = mDir + "/msql.conf";
    mSocket = mDir + "/msql2.sock";
    mData = mDir + "/db";
    mLog = mDir + "/msqld.log";
    mPort = freePort();
    std::ofstream(mConfig) << "[general]\n"
                           << "tcp_port = " << mPort << "\n"
                           << "unix_port = " << mSocket << "\n"
                           << "db_dir = " << mData << "\n"
                           << "pid_file = " << mDir << "/msql2.pid\n";
}

PrivateServer::~PrivateServer()
{
    stop();
}

bool PrivateServer::start(std::string& error, const std::vector<std::string>& options)
{
    std::vector<std::string> arguments = {"msqld", "-f", mConfig};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    mPid = fork();
    if (mPid == 0) {
        int log = open(mLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(log, 1);
        dup2(log, 2);
        execv(KOVA_BINARY_DIR "/bin/msqld", argv.data());
        _exit(127);
    }
    for (int attempt = 0; attempt < 200; attempt++) {
        int status;
        if (waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            break;
        }
        if (AcceptsConnections(mSocket))
            return true;
        usleep(25000);
    }
    error = "msqld did not start: " + ReadFile(mLog);
    stop();
    return false;
}

int PrivateServer::stop()
{
    if (mPid <= 0)
        return -1;
    kill(mPid, SIGTERM);
    int status = 0;
    waitpid(mPid, &status, 0);
    mPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void PrivateServer::createDatabase(const std::string& name, const std::string& sql) const
{
    mkdir(mData.c_str(), 0700);
    sqlite3* db = nullptr;
    std::string path = mData + "/" + name + ".db";
    char* message = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
    std::string why = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    if (!ok)
        throw std::runtime_error("cannot create database " + name + ": " + why);
}

}  // namespace msqltest
