// msqld: a small mSQL protocol server over SQLite files.
//
//   msqld [-f config-file] [-c clients] [-t statement-ms] [-r result-bytes]
//         [-m held-bytes] [-i idle-s] [-w idle-when-full-s] [-x transfer-s] [-p per-peer]
//
// Takes its settings from the mSQL configuration file (the default one, or the
// file named with -f): general/tcp_port, general/unix_port, general/db_dir,
// general/pid_file, system/remote_access (listen on every address instead of
// 127.0.0.1) and system/local_access (listen on the UNIX socket). Serves every
// client in a thread of its own. What one client may hold is bounded (defaults in
// brackets): -c the clients served at once [256]; -t a statement's time [60000
// ms]; -r one result's memory [64 MiB] and -m all results' memory at once [256
// MiB]; -i how long a connection may stay idle [3600 s], and -w how long while a
// client waits for a slot [30 s]; -x how long a request may stall half-way or a
// reply wait to be taken [30 s]; -p the connections of one peer (an address, or a
// local user on the UNIX socket) at once [64]. A connection takes its slot once its
// first request has arrived; a new client waits for one at most 2 s, never holding
// up the others. SIGTERM or SIGINT stops it.
#include "msql/server/client_session.h"
#include "msql/server/storage.h"

#include "msql/msql.h"

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int stopPipe[2] = {-1, -1};

void requestStop(int)
{
    char byte = 0;
    [[maybe_unused]] ssize_t written = write(stopPipe[1], &byte, 1);
}

[[noreturn]] void fail(const std::string& message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "msqld: %s\n", message.c_str());
    std::exit(1);
}

std::string textSetting(const char* section, const char* name)
{
    const char* value = msqlGetCharConf(section, name);
    if (value == nullptr || std::strcmp(value, "NULL") == 0)
        fail(std::string("the configuration has no ") + section + "/" + name);
    return value;
}

int listenTcp(int port, bool everyAddress)
{
    if (port <= 0 || port > 65535)
        fail("invalid TCP port " + std::to_string(port));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(everyAddress ? INADDR_ANY : INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        listen(fd, 128) < 0)
        fail("can't listen on TCP port " + std::to_string(port) + ": " + std::strerror(errno));
    return fd;
}

int listenLocal(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        fail("UNIX socket path too long: " + path);
    std::strcpy(address.sun_path, path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        fail(std::string("can't create UNIX socket: ") + std::strerror(errno));
    // A socket file that nobody answers on is left over from a server that died.
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        fail("another server answers on " + path);
    close(fd);
    unlink(path.c_str());
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || listen(fd, 128) < 0)
        fail("can't listen on " + path + ": " + std::strerror(errno));
    return fd;
}

// Who is at the other end of a connection: its address, or the user of a local one.
std::string peerOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.ss_family == AF_INET) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr, text, sizeof text);
        return text;
    }
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0)
        return "uid " + std::to_string(credentials.uid);
    return "unknown";
}

// Serves a new client in a thread of its own, which also waits for its slot, so
// that the next client is accepted at once.
void startSession(int fd, msqld::Storage& storage, msqld::ClientSlots& slots, msqld::PeerConnections& peers,
                  const msqld::SessionLimits& limits)
{
    const std::string peer = peerOf(fd);
    if (!peers.enter(peer)) {
        msqld::Session::refuse(fd, "Too many connections from your address");
        return;
    }
    try {
        std::thread([fd, &storage, &slots, &peers, peer, limits] {
            {
                msqld::Session session(fd, storage, slots, limits);
                session.run();
            }
            peers.leave(peer);
        }).detach();
    } catch (const std::system_error&) {
        peers.leave(peer);
        msqld::Session::refuse(fd, "Server out of resources");
    }
}

// A bound given on the command line: a whole number from 1 up.
long long bound(const char* text, char option)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1)
        fail(std::string("option -") + option + " needs a whole number from 1 up, not '" + text + "'");
    return value;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* const usage = "usage: msqld [-f config-file] [-c clients] [-t statement-ms] [-r result-bytes]\n"
                              "             [-m held-bytes] [-i idle-s] [-w idle-when-full-s] [-x transfer-s]\n"
                              "             [-p connections-per-peer]\n";
    const char* configFile = nullptr;
    int clients = 256;
    int perPeer = 64;
    msqld::StatementLimits statementLimits;
    msqld::SessionLimits sessionLimits;
    int option;
    while ((option = getopt(argc, argv, "f:c:t:r:m:i:w:x:p:")) != -1) {
        switch (option) {
        case 'f': configFile = optarg; break;
        case 'c': clients = static_cast<int>(std::min(bound(optarg, 'c'), 100000LL)); break;
        case 't': statementLimits.time = std::chrono::milliseconds(bound(optarg, 't')); break;
        case 'r': statementLimits.resultBytes = static_cast<size_t>(bound(optarg, 'r')); break;
        case 'm': statementLimits.heldBytes = static_cast<size_t>(bound(optarg, 'm')); break;
        case 'i': sessionLimits.idle = std::chrono::seconds(bound(optarg, 'i')); break;
        case 'w': sessionLimits.idleWhenFull = std::chrono::seconds(bound(optarg, 'w')); break;
        case 'x': sessionLimits.transfer = std::chrono::seconds(bound(optarg, 'x')); break;
        case 'p': perPeer = static_cast<int>(std::min(bound(optarg, 'p'), 100000LL)); break;
        default: std::fprintf(stderr, "%s", usage); return 2;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    if (msqlLoadConfigFile(configFile) < 0 && configFile != nullptr)
        fail(std::string("can't read the configuration file ") + configFile);

    std::signal(SIGPIPE, SIG_IGN);
    if (pipe(stopPipe) < 0)
        fail(std::string("pipe: ") + std::strerror(errno));
    struct sigaction stop {};
    stop.sa_handler = requestStop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    const std::string dataDir = textSetting("general", "db_dir");
    if (mkdir(dataDir.c_str(), 0700) < 0 && errno != EEXIST)
        fail("can't create the data directory " + dataDir + ": " + std::strerror(errno));
    const std::string pidFile = textSetting("general", "pid_file");
    const int port = msqlGetIntConf("general", "tcp_port");
    std::vector<int> listeners{listenTcp(port, msqlGetIntConf("system", "remote_access") > 0)};
    std::string socketPath;
    if (msqlGetIntConf("system", "local_access") != 0) {
        socketPath = textSetting("general", "unix_port");
        listeners.push_back(listenLocal(socketPath));
    }

    if (FILE* pid = std::fopen(pidFile.c_str(), "w")) {
        std::fprintf(pid, "%d\n", static_cast<int>(getpid()));
        std::fclose(pid);
    } else {
        fail("can't write " + pidFile + ": " + std::strerror(errno));
    }
    std::printf("msqld: serving %s on port %d and %s\n", dataDir.c_str(), port,
                socketPath.empty() ? "no UNIX socket" : socketPath.c_str());
    std::fflush(stdout);

    msqld::Storage storage(dataDir, statementLimits);
    msqld::ClientSlots slots(clients);
    msqld::PeerConnections peers(perPeer);
    std::vector<pollfd> watched;
    for (int fd : listeners)
        watched.push_back({fd, POLLIN, 0});
    watched.push_back({stopPipe[0], POLLIN, 0});
    for (;;) {
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            fail(std::string("poll: ") + std::strerror(errno));
        }
        if (watched.back().revents)
            break;
        for (size_t i = 0; i + 1 < watched.size(); i++) {
            if (!watched[i].revents)
                continue;
            int client = accept(watched[i].fd, nullptr, nullptr);
            if (client >= 0)
                startSession(client, storage, slots, peers, sessionLimits);
            else if (errno == EMFILE || errno == ENFILE)
                usleep(10000);  // out of descriptors: let sessions end before the next try
        }
    }

    for (int fd : listeners)
        close(fd);
    if (!socketPath.empty())
        unlink(socketPath.c_str());
    unlink(pidFile.c_str());
    // Waits for running statements and closes the files; sessions still connected
    // end with the process.
    storage.closeAll();
    std::printf("msqld: stopped\n");
    std::fflush(stdout);
    _exit(0);
}
