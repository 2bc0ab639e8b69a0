// A msqld instance of its own for a test or a benchmark.
#pragma once

#include "tests/support/testsupport.h"

#include <string>
#include <vector>
#include <sys/types.h>

namespace msqltest {

// Runs the built msqld on a temporary directory (configuration, data directory,
// UNIX socket, log) and a free TCP port of 127.0.0.1; stops it and removes the
// directory on destruction. The directory lies below the system's temporary folder,
// or in the build tree for a server that a virtual cluster must reach, unless the
// build tree's path is too long for a UNIX socket in it (the cluster then reaches
// the socket below the temporary folder through the forward file that names it).
class PrivateServer {
public:
    explicit PrivateServer(ScratchFolder::Place place = ScratchFolder::SystemTemp);
    ~PrivateServer();
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    // Starts the server (with msqld's options, say {"-t", "1000"}) and waits until
    // it accepts connections; false with the end of its log in error when it does
    // not come up.
    bool start(std::string& error, const std::vector<std::string>& options = {});
    // Stops it with SIGTERM; returns its exit status (-1 when it was not running
    // or died of a signal).
    int stop();
    bool running() const { return mPid > 0; }

    // Creates the database name (an SQLite file of the data directory) and runs
    // the statements of sql in it.
    void createDatabase(const std::string& name, const std::string& sql) const;

    const std::string& folder() const { return mDir; }
    const std::string& configPath() const { return mConfig; }
    const std::string& socketPath() const { return mSocket; }
    const std::string& dataDir() const { return mData; }
    const std::string& logPath() const { return mLog; }
    int port() const { return mPort; }

private:
    const ScratchFolder mFolder;
    std::string mDir, mConfig, mSocket, mData, mLog;
    int mPort = 0;
    pid_t mPid = -1;
};

// The statements of the legacy recorder's tables (the file msqld.sh applies).
std::string recorderSchema();
// A TCP port of 127.0.0.1 that nothing listens on just now.
int freePort();

}  // namespace msqltest
