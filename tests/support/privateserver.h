// A measurement database server of one test's own, for tests that kill, stop or
// otherwise harm their server while other tests run beside them on the shared one.
#pragma once

#include "persist/standarddatabase.h"

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

// A private MariaDB server started by scripts/mariadb.sh on a state folder and a free
// TCP port of its own, with database KOVAData, user KOVAUser and the measurement
// tables; stopped, and its data removed, when the object goes.
class PrivateMeasurementServer {
public:
    // Starts the server; throws std::runtime_error with what the scripts said when it
    // does not come up.
    PrivateMeasurementServer();
    ~PrivateMeasurementServer();
    PrivateMeasurementServer(const PrivateMeasurementServer&) = delete;
    PrivateMeasurementServer& operator=(const PrivateMeasurementServer&) = delete;

    int port() const { return mPort; }
    // The server's UNIX socket.
    std::filesystem::path socketPath() const;
    // Its state folder; as ClusterOptions::stateFolder it makes this server the one
    // that a virtual cluster reaches (on port() inside the cluster too).
    const std::filesystem::path& stateFolder() const { return mState; }
    // Settings that send the programs of a shell command line to this server, as a
    // prefix: "KOVA_DB_HOST=127.0.0.1 KOVA_DB_PORT=<port> ".
    std::string Environment() const;
    // Sets KOVA_DB_HOST and KOVA_DB_PORT in this process's environment, so that the
    // probe, ConnectToMeasurementDb and the programs it starts use this server, until
    // the object goes (the earlier values are then restored).
    void UseInThisProcess();
    // A new connection as KOVAUser on KOVAData.
    std::unique_ptr<StandardDatabase> Connect() const;

    // The server's process id (0 when it does not run).
    pid_t pid() const;
    // Ends the server as a crash does (SIGKILL) and waits until it is gone.
    void Kill();
    // Freezes the server (SIGSTOP) and lets it go on (SIGCONT).
    void Pause();
    void Resume();
    // Starts it again on its data (after Kill: its crash recovery rolls back what was
    // not committed); throws std::runtime_error when it does not come up.
    void Start();

private:
    std::filesystem::path mState;
    int mPort = 0;
    bool mUsedHere = false;
    std::string mEarlierHost, mEarlierPort;
    bool mHadHost = false, mHadPort = false;

    // Runs scripts/<script> <action> for this server's state folder and port.
    struct ScriptResult {
        int status;
        std::string output;
    };
    ScriptResult RunScript(const std::string& script, const std::string& action = "") const;
};
