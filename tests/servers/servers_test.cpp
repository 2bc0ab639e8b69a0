// Tests of the servers' scripts as a user runs them, on a state folder of the test's
// own: a port that another program holds is left alone, with what to do instead; a
// socket folder that is not this user's own is refused before any socket in it is
// asked, by the scripts and by the programs.
#include "kova_site.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

TEST(MariadbScript, PortOfAnotherProgramIsLeftAloneWithWhatToDo)
{
    const ListeningPort other;
    ASSERT_TRUE(other.held());
    const std::string port = std::to_string(other.port());
    // A build whose cache names that port: the script takes the port from there.
    const ScratchFolder state("mariadb-state", ScratchFolder::SystemTemp);
    const std::string build = state.path().string() + "/build";
    fs::create_directories(build);
    std::ofstream(build + "/CMakeCache.txt") << "KOVA_DB_HOST:STRING=127.0.0.1\nKOVA_DB_PORT:STRING=" << port << "\n";

    const CommandResult run = RunCommand("env -u KOVA_DB_HOST -u KOVA_DB_PORT KOVA_STATE_DIR=" +
                                         ShellQuoted(state.path().string()) +
                                         " KOVA_BUILD_DIR=" + ShellQuoted(build) + " bash " KOVA_SOURCE_DIR
                                         "/scripts/mariadb.sh start",
                                         ErrorStream::Apart);
    EXPECT_EQ(run.status, 3) << run.output << run.errors;
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors.rfind("mariadb: port " + port + " of 127.0.0.1 is in use by ", 0), 0u) << run.errors;
    EXPECT_NE(run.errors.find("    cmake -S " KOVA_SOURCE_DIR " -B " + build + " -DKOVA_DB_PORT="), std::string::npos)
        << run.errors;
    EXPECT_NE(run.errors.find("    KOVA_BUILD_DIR=" + build + " bash " KOVA_SOURCE_DIR "/scripts/mariadb.sh start\n"),
              std::string::npos)
        << run.errors;
    // Nothing was set up for a server.
    EXPECT_FALSE(fs::exists(state.path() / "mariadb/data"));
    EXPECT_FALSE(fs::exists(state.path() / "forward" / port));
}

// A listening UNIX socket, as another user's server holds it, that counts the
// clients that connected.
class CountingSocket {
public:
    explicit CountingSocket(const fs::path& path) : mFd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        mListening = bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(mFd, 16) == 0;
    }
    ~CountingSocket() { close(mFd); }
    bool listening() const { return mListening; }
    // The clients that connected since the last call.
    int Connections() {
        int count = 0;
        for (int client; (client = accept(mFd, nullptr, nullptr)) >= 0; ++count) close(client);
        return count;
    }

private:
    int mFd;
    bool mListening = false;
};

// The socket folder of a state folder, as the scripts name it.
fs::path SocketFolderOf(const fs::path& state) {
    std::string folder = RunCommand("KOVA_STATE_DIR=" + ShellQuoted(state.string()) + " bash -c " +
                                    ShellQuoted("source " KOVA_SOURCE_DIR "/scripts/common.sh && echo $KOVA_SOCKET_DIR"))
                             .output;
    while (!folder.empty() && folder.back() == '\n') folder.pop_back();
    return folder;
}

// How another user gets the socket folder first: a folder of that user's own, or
// a symbolic link to one.
enum class ForeignFolder { OtherUsersFolder, LinkToOtherUsersFolder };

class SocketFolder : public testing::TestWithParam<ForeignFolder> {};

TEST_P(SocketFolder, OfAnotherUserIsRefusedBeforeAnySocketInItIsAsked) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    const ScratchFolder state("socket-folder", ScratchFolder::SystemTemp);
    const fs::path folder = SocketFolderOf(state.path());
    ASSERT_EQ(folder.string().rfind("/tmp/kova-", 0), 0u) << folder;
    // The other user's folder, with that user's servers listening in it.
    const fs::path real = GetParam() == ForeignFolder::OtherUsersFolder ? folder : state.path() / "elsewhere";
    fs::remove_all(folder);
    fs::create_directory(real);
    if (real != folder) fs::create_directory_symlink(real, folder);
    CountingSocket mariadb(real / "mysqld.sock"), msql(real / "msql2.sock");
    ASSERT_TRUE(mariadb.listening() && msql.listening());
    for (const fs::path& path : {real, real / "mysqld.sock", real / "msql2.sock"})
        ASSERT_EQ(lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << path;
    ASSERT_EQ(chmod(real.c_str(), 0755), 0);
    struct Remover {
        fs::path folder;
        ~Remover() { fs::remove_all(folder); }
    } remover{folder};

    const std::string environment = "env -u KOVA_DB_HOST -u KOVA_DB_SOCKET -u KOVA_MSQL_PORT KOVA_STATE_DIR=" +
                                    ShellQuoted(state.path().string()) + " KOVA_BUILD_DIR=" KOVA_BINARY_DIR
                                    " KOVA_DB_PORT=" + std::to_string(ListeningPort().port()) + " ";
    const std::string why = GetParam() == ForeignFolder::OtherUsersFolder
                                ? "(it belongs to nobody (uid " + std::to_string(nobody->pw_uid) + "), not to "
                                : "(it is a symbolic link)";
    for (const char* action : {"mariadb.sh start", "mariadb.sh status", "mariadb.sh sql -e 'SELECT 1'",
                               "msqld.sh start", "msqld.sh status"}) {
        const CommandResult run =
            RunCommand(environment + "bash " KOVA_SOURCE_DIR "/scripts/" + action, ErrorStream::Apart);
        EXPECT_NE(run.status, 0) << action;
        EXPECT_EQ(run.errors.rfind("kova: " + folder.string() + ", the folder of this project's sockets, is not\n"
                                   "this user's own " + why, 0),
                  0u)
            << action << ": " << run.errors;
        EXPECT_NE(run.errors.find("rm -rf " + folder.string() + ")"), std::string::npos) << run.errors;
    }
    // Stopping leaves the other user's sockets alone.
    RunCommand(environment + "bash " KOVA_SOURCE_DIR "/scripts/mariadb.sh stop");
    RunCommand(environment + "bash " KOVA_SOURCE_DIR "/scripts/msqld.sh stop");
    EXPECT_TRUE(fs::is_socket(real / "mysqld.sock"));
    EXPECT_TRUE(fs::is_socket(real / "msql2.sock"));
    EXPECT_FALSE(fs::exists(state.path() / "mariadb/data"));

    // kova and a measured program refuse that socket too.
    const std::string socket = "KOVA_DB_SOCKET=" + ShellQuoted((folder / "mysqld.sock").string()) + " ";
    const CommandResult list = RunCommand(socket + KOVA_BINARY_DIR "/bin/kova list", ErrorStream::Apart);
    EXPECT_EQ(list.status, 2) << list.errors;
    EXPECT_NE(list.errors.find("KOVA_DB_SOCKET names a socket in a folder that is not this user's own, so it is not "
                               "used: '" + (folder / "mysqld.sock").string() + "'"),
              std::string::npos)
        << list.errors;
    const CommandResult schema = RunCommand(socket + KOVA_BINARY_DIR "/bin/kovaschema");
    EXPECT_EQ(schema.status, 2) << schema.output;
    EXPECT_EQ(mariadb.Connections(), 0);
    EXPECT_EQ(msql.Connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(Foreign, SocketFolder,
                         testing::Values(ForeignFolder::OtherUsersFolder, ForeignFolder::LinkToOtherUsersFolder),
                         [](const testing::TestParamInfo<ForeignFolder>& info) {
                             return info.param == ForeignFolder::OtherUsersFolder ? "OtherUsersFolder"
                                                                                  : "LinkToOtherUsersFolder";
                         });

}  // namespace
