// The project's scripts from a copy at a path deeper than a UNIX socket's path may
// be: both private servers start there and a virtual cluster reaches them.
#include "kova_site.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

int FreePort() {
    const ListeningPort probe;
    return probe.port();
}

TEST(DeepClone, ServersAndTheVirtualClusterWorkBeyondTheSocketPathLimit) {
    const ScratchFolder base("deep-clone");
    fs::path root = base.path();
    while (root.string().size() < 130) root /= "a-folder-that-makes-the-path-longer";
    root /= "kova";
    fs::create_directories(root / "msql");
    fs::copy(KOVA_SOURCE_DIR "/scripts", root / "scripts", fs::copy_options::recursive);
    fs::copy(KOVA_SOURCE_DIR "/msql/server", root / "msql" / "server", fs::copy_options::recursive);
    const fs::path state = root / ".state";
    const int dbPort = FreePort(), msqlPort = FreePort();
    const std::string environment = "env -u KOVA_MSQL_INST_DIR -u KOVA_DB_HOST KOVA_STATE_DIR=" +
                                    ShellQuoted(state.string()) + " KOVA_BUILD_DIR=" KOVA_BINARY_DIR
                                    " KOVA_DB_PORT=" + std::to_string(dbPort) +
                                    " KOVA_MSQL_PORT=" + std::to_string(msqlPort) + " bash " +
                                    ShellQuoted((root / "scripts").string()) + "/";
    struct Servers {
        std::string environment;
        ~Servers() {
            RunCommand(environment + "msqld.sh stop");
            RunCommand(environment + "mariadb.sh stop");
        }
    } servers{environment};

    const CommandResult msqld = RunCommand(environment + "msqld.sh start");
    ASSERT_EQ(msqld.status, 0) << msqld.output;
    const CommandResult mariadb = RunCommand(environment + "mariadb.sh start");
    ASSERT_EQ(mariadb.status, 0) << mariadb.output;
    for (const char* socket : {"msql2.sock", "mysqld.sock"}) {
        const fs::path path = fs::read_symlink(state / "sockets") / socket;
        EXPECT_TRUE(fs::is_socket(path)) << path;
        EXPECT_LT(path.string().size(), 108u) << path;
    }
    // Inside the cluster both answer on their ports: the mSQL greeting and the
    // MariaDB handshake.
    const CommandResult cluster = RunCommand(
        environment + "vcluster.sh 2 --timeout 60 -- sh -c " +
            ShellQuoted("socat -t2 - TCP:127.0.0.1:" + std::to_string(msqlPort) +
                        " </dev/null | head -c 64 | grep -ac 0:23:; socat -t2 - TCP:127.0.0.1:" +
                        std::to_string(dbPort) + " </dev/null | head -c 200 | grep -ac MariaDB"),
        ErrorStream::Apart);
    EXPECT_EQ(cluster.status, 0) << cluster.errors;
    EXPECT_EQ(cluster.output, "1\n1\n") << cluster.errors;
}

}  // namespace
