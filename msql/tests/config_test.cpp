// Tests of the mSQL configuration file: defaults, sections and elements,
// "%I" expansion, error lines, and where the file is looked for.
#include "msql/msql.h"
#include "tests/support/testsupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

const std::string inst = MSQL_TEST_INST_DIR;

// A configuration file with the given text in a temporary folder.
class ConfigFile {
public:
    explicit ConfigFile(const std::string& text) { std::ofstream(path()) << text; }
    std::string path() const { return (mDir.path() / "msql.conf").string(); }

private:
    const ScratchFolder mDir{"msql-conf", ScratchFolder::SystemTemp};
};

// Loads text as the configuration; returns what it printed on standard error.
std::string load(const std::string& text)
{
    ConfigFile file(text);
    testing::internal::CaptureStderr();
    EXPECT_EQ(msqlLoadConfigFile(file.path().c_str()), 0);
    return testing::internal::GetCapturedStderr();
}

std::string text(const char* section, const char* name)
{
    const char* value = msqlGetCharConf(section, name);
    return value ? value : "(null)";
}

TEST(MsqlConfig, DefaultsForEverythingTheFileDoesNotSet)
{
    EXPECT_EQ(load("# nothing set\n"), "");
    EXPECT_EQ(text("general", "unix_port"), inst + "/msql2.sock");
    EXPECT_EQ(text("general", "pid_file"), inst + "/msql2.pid");
    EXPECT_EQ(text("general", "db_dir"), inst + "/msqldb");
    EXPECT_EQ(text("general", "inst_dir"), inst);
    EXPECT_EQ(text("general", "msql_user"), "msql");
    EXPECT_EQ(text("general", "admin_user"), "root");
    EXPECT_EQ(text("system", "query_log_file"), inst + "/query.log");
    EXPECT_EQ(text("w3-msql", "auth_host"), "(null)");
    EXPECT_EQ(text("w3-msql", "force_suffix"), "(null)");
    const struct {
        const char* section;
        const char* name;
        int value;
    } numbers[] = {{"general", "tcp_port", 1114}, {"system", "msync_timer", 120},
                   {"system", "host_lookup", 1},  {"system", "read_only", 0},
                   {"system", "remote_access", 0}, {"system", "local_access", 1},
                   {"system", "query_log", 0},    {"w3-msql", "footer", 1},
                   {"w3-msql", "force_private", 0}};
    for (const auto& n : numbers)
        EXPECT_EQ(msqlGetIntConf(n.section, n.name), n.value) << n.section << "/" << n.name;
    // Unknown elements, and elements asked for as the other kind.
    EXPECT_EQ(msqlGetIntConf("general", "no_such"), -1);
    EXPECT_EQ(msqlGetCharConf("nowhere", "unix_port"), nullptr);
    EXPECT_EQ(msqlGetIntConf("general", "unix_port"), -1);
    EXPECT_EQ(msqlGetCharConf("general", "tcp_port"), nullptr);
}

TEST(MsqlConfig, SectionsElementsAndValues)
{
    const std::string printed = load(
        "# a comment\n"
        "\n"
        "[general]\n"
        "  Tcp_Port = 4333\n"
        "\tunix_port\t/tmp/kova test.sock  \n"
        "msql_user NULL\n"
        "db_dir=%I/data-%I\n"
        "[system]\n"
        "read_only = TRUE\n"
        "local_access = false\n"
        "msync_timer 30\r\n"
        "[w3-msql]\n"
        "auth_host NULL\n"
        "force_suffix .html\n");
    EXPECT_EQ(printed, "");
    EXPECT_EQ(msqlGetIntConf("general", "tcp_port"), 4333);
    EXPECT_EQ(text("general", "unix_port"), "/tmp/kova test.sock");
    EXPECT_EQ(text("general", "msql_user"), "NULL") << "an element that must have a value";
    EXPECT_EQ(text("general", "db_dir"), inst + "/data-" + inst);
    EXPECT_EQ(msqlGetIntConf("system", "read_only"), 1);
    EXPECT_EQ(msqlGetIntConf("system", "local_access"), 0);
    EXPECT_EQ(msqlGetIntConf("system", "msync_timer"), 30);
    EXPECT_EQ(text("w3-msql", "auth_host"), "(null)") << "an element that may stay empty";
    EXPECT_EQ(text("w3-msql", "force_suffix"), ".html");
}

TEST(MsqlConfig, ErrorsNameTheirLine)
{
    const std::string printed = load(
        "[general]\n"
        "tcp_port\n"                      // 2: no value
        "[bogus]\n"
        "foo 1\n"                         // 4: unknown section
        "[system]\n"
        "read_only maybe\n"               // 6: not a number
        "REMOTE_ACCESS 1\n"
        "local_access 0 " + std::string(200, 'x') + "\n"  // 8: too long, skipped whole
        "host_lookup 0\n"
        "footer 1\n");                    // 10: element of another section
    EXPECT_EQ(printed,
              "\nConfig Error : Invalid Value at line 2\n"
              "\nConfig Error : Unknown section 'bogus' or element 'foo' at line 4\n"
              "\nConfig Error : Invalid value at line 6\n"
              "\nConfig Error : Line too long at line 8\n"
              "\nConfig Error : Unknown section 'system' or element 'footer' at line 10\n");
    EXPECT_EQ(msqlGetIntConf("general", "tcp_port"), 1114);
    EXPECT_EQ(msqlGetIntConf("system", "read_only"), 0);
    EXPECT_EQ(msqlGetIntConf("system", "remote_access"), 1) << "element names are lowered";
    EXPECT_EQ(msqlGetIntConf("system", "local_access"), 1) << "the long line set nothing";
    EXPECT_EQ(msqlGetIntConf("system", "host_lookup"), 0) << "the line after the long one counts";
}

TEST(MsqlConfig, LoadingReplacesTheEarlierFile)
{
    load("[general]\ntcp_port 1200\n");
    load("[system]\nread_only 1\n");
    EXPECT_EQ(msqlGetIntConf("general", "tcp_port"), 1114);
    EXPECT_EQ(msqlGetIntConf("system", "read_only"), 1);
}

TEST(MsqlConfig, NamedFileIsLookedForInTheInstallationDirectory)
{
    std::filesystem::create_directories(inst);
    const std::string name = "kova-test-" + std::to_string(getpid());
    std::ofstream(inst + "/" + name + ".conf") << "[general]\ntcp_port 1201\n";
    EXPECT_EQ(msqlLoadConfigFile(name.c_str()), 0);
    EXPECT_EQ(msqlGetIntConf("general", "tcp_port"), 1201);
    EXPECT_EQ(msqlLoadConfigFile((name + ".conf").c_str()), 0);
    std::filesystem::remove(inst + "/" + name + ".conf");

    testing::internal::CaptureStdout();
    EXPECT_EQ(msqlLoadConfigFile("/no/such/file.conf"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Load of /no/such/file.conf failed\n");
}

TEST(MsqlConfig, DefaultFileFallsBackToTheEnvironment)
{
    ASSERT_FALSE(std::filesystem::exists(inst + "/msql.conf"));
    ConfigFile file("[general]\ntcp_port 1300\n");
    setenv("MSQL_CONF_FILE", file.path().c_str(), 1);
    EXPECT_EQ(msqlLoadConfigFile(nullptr), 0);
    EXPECT_EQ(msqlGetIntConf("general", "tcp_port"), 1300);
    unsetenv("MSQL_CONF_FILE");
    EXPECT_EQ(msqlLoadConfigFile(nullptr), -1);
}

}  // namespace
