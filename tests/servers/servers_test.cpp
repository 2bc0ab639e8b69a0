// Tests of scripts/mariadb.sh as a user runs it, on a state folder of the test's own:
// a port that another program holds is left alone, with what to do instead.
#include "kova_site.h"
#include "testsupport.h"

#include <gtest/gtest.h>

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

}  // namespace
