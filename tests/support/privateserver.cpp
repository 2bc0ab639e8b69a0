#include "tests/support/privateserver.h"

#include "tests/support/testsupport.h"

#include <kova_site.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

// A TCP port of 127.0.0.1 that nothing listens on right now.
int FreePort() {
    const ListeningPort probe;
    return probe.port();
}

// The value of an environment variable, and whether it is set.
bool Getenv(const char* name, std::string& value) {
    const char* set = std::getenv(name);
    if (set != nullptr) value = set;
    return set != nullptr;
}

void Restore(const char* name, bool had, const std::string& value) {
    if (had)
        setenv(name, value.c_str(), 1);
    else
        unsetenv(name);
}

}  // namespace

PrivateMeasurementServer::PrivateMeasurementServer() {
    // Below the build tree, which every host of a virtual cluster sees; the socket
    // lies in the short socket folder that the script makes for the state folder.
    char pattern[] = KOVA_BINARY_DIR "/private-db-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error(std::string("cannot create a folder ") + pattern);
    mState = pattern;
    try {
        Start();
        const ScriptResult schema = RunScript("schema.sh");
        if (schema.status != 0) throw std::runtime_error("the measurement tables were not made:\n" + schema.output);
    } catch (...) {
        RunScript("mariadb.sh", "stop");
        std::error_code ignored;
        fs::remove_all(mState, ignored);
        throw;
    }
}

PrivateMeasurementServer::~PrivateMeasurementServer() {
    if (mUsedHere) {
        Restore("KOVA_DB_HOST", mHadHost, mEarlierHost);
        Restore("KOVA_DB_PORT", mHadPort, mEarlierPort);
    }
    Resume();
    RunScript("mariadb.sh", "stop");
    std::error_code ignored;
    fs::remove_all(mState, ignored);
}

fs::path PrivateMeasurementServer::socketPath() const { return fs::read_symlink(mState / "sockets") / "mysqld.sock"; }

std::string PrivateMeasurementServer::Environment() const {
    return "KOVA_DB_HOST=127.0.0.1 KOVA_DB_PORT=" + std::to_string(mPort) + " ";
}

void PrivateMeasurementServer::UseInThisProcess() {
    if (!mUsedHere) {
        mHadHost = Getenv("KOVA_DB_HOST", mEarlierHost);
        mHadPort = Getenv("KOVA_DB_PORT", mEarlierPort);
        mUsedHere = true;
    }
    setenv("KOVA_DB_HOST", "127.0.0.1", 1);
    setenv("KOVA_DB_PORT", std::to_string(mPort).c_str(), 1);
}

std::unique_ptr<StandardDatabase> PrivateMeasurementServer::Connect() const {
    return std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", "127.0.0.1", mPort);
}

pid_t PrivateMeasurementServer::pid() const {
    pid_t pid = 0;
    std::ifstream(mState / "mariadb" / "mysqld.pid") >> pid;
    return pid > 0 && kill(pid, 0) == 0 ? pid : 0;
}

void PrivateMeasurementServer::Kill() {
    const pid_t server = pid();
    if (server == 0 || kill(server, SIGKILL) != 0) return;
    for (int i = 0; i < 500 && kill(server, 0) == 0; ++i) usleep(10000);
}

void PrivateMeasurementServer::Pause() {
    if (const pid_t server = pid()) kill(server, SIGSTOP);
}

void PrivateMeasurementServer::Resume() {
    if (const pid_t server = pid()) kill(server, SIGCONT);
}

void PrivateMeasurementServer::Start() {
    // A port taken by another test between choosing it and starting is chosen again.
    ScriptResult start{3, ""};
    for (int attempt = 0; attempt < 5 && start.status == 3; ++attempt) {
        if (mPort == 0 || attempt > 0) mPort = FreePort();
        start = RunScript("mariadb.sh", "start");
    }
    if (start.status != 0) throw std::runtime_error("the private measurement server did not start:\n" + start.output);
}

PrivateMeasurementServer::ScriptResult PrivateMeasurementServer::RunScript(const std::string& script,
                                                                           const std::string& action) const {
    const CommandResult run = RunCommand("env -u KOVA_DB_SOCKET KOVA_STATE_DIR=" + ShellQuoted(mState.string()) +
                                         " KOVA_BUILD_DIR=" + ShellQuoted(KOVA_BINARY_DIR) +
                                         " KOVA_DB_HOST=127.0.0.1 KOVA_DB_PORT=" + std::to_string(mPort) + " bash " +
                                         ShellQuoted(std::string(KOVA_SOURCE_DIR) + "/scripts/" + script) + " " +
                                         action);
    return {run.status, run.output};
}
