// kova on an experiment stored through SQL as someone with write access to the
// measurement database would store it: latin1 names, escape sequences, CSV
// specials. Every output is UTF-8 with the names decoded (checked by a JSON parser
// and in headless Chromium), the terminal sees no control character, and outputs to
// devices, pipes and a full disk end as a user expects.
#include "probe/replacement.h"
#include <kova_site.h>
#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string KOVA = std::string(KOVA_BIN_DIR) + "/kova";


// No byte of an ASCII control character (line feeds aside) and no C1 control.
bool FreeOfControls(const std::string& text) {
    for (std::size_t k = 0; k < text.size(); ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
        if (c == 0xC2 && k + 1 < text.size() && static_cast<unsigned char>(text[k + 1]) < 0xA0) return false;
    }
    return true;
}

class StoredText : public ::testing::Test {
protected:
    // Two processes: the master works, sends one message to the slave and works on;
    // the slave waits, receives it and works. The names are latin1 ("café",
    // "résumé", "nœud" is not latin1 but "néud" is), with a title-setting and a
    // screen-clearing escape sequence, a comma, quotes and a line feed.
    void SetUp() override {
        db = ConnectToMeasurementDb();
        application = "caf\xE9 " + std::to_string(getpid()) + " \x1B]0;pwned\x07\x1B[2J";
        db->Query("INSERT INTO Experiments (ID, name, user, date, comment, p, W, nbrProcesses, Tp, statusData) "
                  "VALUES (0, " + db->QuotedValue(application) + ", 'tester', 'today', 'r\xE9sum\xE9', 2, 5, 2, 300, 1)");
        id = db->QueryFirst("SELECT LAST_INSERT_ID()");
        db->Query("INSERT INTO Processes (expID, ID, processor, pvmTid, startTimeSec, startTimeMicroSec) VALUES (" +
                  id + ", 11, " + db->QuotedValue("n\xE9ud,\"1\"\nx") + ", 11, 1000, 0), (" + id + ", 12, " +
                  db->QuotedValue("node2\x1B[2J") + ", 12, 1000, 5)");
        db->Query("INSERT INTO Phases (expID, processID, nbr, typeID, duration, startTime, nbrQuantums, nbrOperations, "
                  "commPartnerTid, commIsSending, commDelay, comment) VALUES "
                  "(" + id + ", 11, 1, 3, 100, 0, 0, 0, -1, 0, 0, " + db->QuotedValue("d\xE9" "but") + "), "
                  "(" + id + ", 11, 2, 5, 10, 0, 1, 0, 12, 1, 0, ''), "
                  "(" + id + ", 11, 3, 3, 190, 0, 0, 0, -1, 0, 0, ''), "
                  "(" + id + ", 12, 1, 2, 120, 0, 0, 0, -1, 0, 0, ''), "
                  "(" + id + ", 12, 2, 6, 10, 0, 1, 0, 11, 0, 0, ''), "
                  "(" + id + ", 12, 3, 3, 165, 0, 0, 0, -1, 0, 0, '')");
        db->Query("INSERT INTO PhaseDurations (expID, processID, phaseTypeID, duration, ratio) VALUES (" + id +
                  ", 11, 3, 290, 0), (" + id + ", 11, 5, 10, 0), (" + id + ", 12, 2, 120, 0), (" + id +
                  ", 12, 6, 10, 0), (" + id + ", 12, 3, 165, 0)");
    }
    void TearDown() override { DeleteExperiment(std::stoi(id), *db); }

    std::unique_ptr<StandardDatabase> db;
    std::string application, id;
};

}  // namespace

TEST_F(StoredText, LatinNamesAreUtf8InEveryOutputAndControlsAreEscapedOnTheTerminal) {
    const std::string shownApplication = "caf\u00E9 " + std::to_string(getpid()) + " \\e]0;pwned\\x07\\e[2J";
    const CommandResult analysed = RunKova("analyse " + id);
    ASSERT_EQ(analysed.status, 0) << analysed.errors;
    EXPECT_TRUE(FreeOfControls(analysed.output)) << analysed.output;
    EXPECT_NE(analysed.output.find("experiment " + id + ": " + shownApplication + " of tester"), std::string::npos)
        << analysed.output;
    EXPECT_NE(analysed.output.find("(n\u00E9ud,\"1\"\\nx)"), std::string::npos) << analysed.output;

    const CommandResult listed = RunKova("list --user tester");
    ASSERT_EQ(listed.status, 0) << listed.errors;
    EXPECT_TRUE(FreeOfControls(listed.output)) << listed.output;
    EXPECT_NE(listed.output.find(shownApplication), std::string::npos) << listed.output;
    // The name as a UTF-8 terminal gives it finds the latin1 row.
    const CommandResult byName = RunKova("list --application " + ShellQuoted("caf\u00E9 " + std::to_string(getpid()) +
                                                                          " \x1B]0;pwned\x07\x1B[2J"));
    EXPECT_NE(byName.output.find(" " + id + "  tester"), std::string::npos) << byName.output;

    const CommandResult summary = RunKova("analyse " + id + " --json");
    ASSERT_EQ(summary.status, 0) << summary.errors;
    const json parsed = json::parse(summary.output);
    EXPECT_EQ(parsed["application"], "caf\u00E9 " + std::to_string(getpid()) + " \x1B]0;pwned\x07\x1B[2J");

    ScratchFolder folder("kova-stored-text");
    const fs::path page = folder.path() / "report.html", trace = folder.path() / "trace.json";
    ASSERT_EQ(RunKova("report " + id + " -o " + ShellQuoted(page.string())).status, 0);
    ASSERT_EQ(RunKova("export " + id + " --format perfetto -o " + ShellQuoted(trace.string())).status, 0);
    ASSERT_EQ(RunKova("export " + id + " --format csv -o " + ShellQuoted(folder.path().string())).status, 0);
    ASSERT_EQ(RunKova("export " + id + " --format otf2 -o " + ShellQuoted(folder.path().string())).status, 0);
    const json perfetto = json::parse(ReadFile(trace));
    EXPECT_NE(perfetto.dump().find("n\u00E9ud,\\\"1\\\"\\nx"), std::string::npos);
    const std::string phases = ReadFile(folder.path() / "phases.csv");
    EXPECT_NE(phases.find("11,\"n\u00E9ud,\"\"1\"\"\nx\",11,1,3,"), std::string::npos) << phases;
    EXPECT_NE(phases.find(",d\u00E9but\n"), std::string::npos) << phases;
    const CommandResult definitions =
        RunCommand("otf2-print -G " + ShellQuoted((folder.path() / "traces.otf2").string()), ErrorStream::Apart);
    ASSERT_EQ(definitions.status, 0) << definitions.errors;
    EXPECT_NE(definitions.output.find("\"n\u00E9ud,\"1\"\nx t11\""), std::string::npos) << definitions.output;

    // Headless Chromium reads the page's payload and titles it with the decoded name.
    const CommandResult browser = RunCommand("node " + ShellQuoted(KOVA_SOURCE_DIR "/report/tests/browser_check.js") +
                                                 " " + ShellQuoted(page.string()) + " " +
                                                 ShellQuoted((folder.path() / "report.png").string()),
                                             ErrorStream::Apart);
    ASSERT_EQ(browser.status, 0) << browser.errors;
    const json seen = json::parse(browser.output);
    EXPECT_EQ(seen["pageErrors"], json::array());
    // (The browser drops the control characters from the title.)
    const std::string title = seen["title"];
    EXPECT_EQ(title.rfind("KOVA experiment " + id + ": caf\u00E9 " + std::to_string(getpid()) + " ", 0), 0u) << title;
    EXPECT_EQ(seen["lanes"], 2);
}

TEST_F(StoredText, OutputsToDevicesPipesAndAFullDiskEndAsTheUserExpects) {
    ASSERT_EQ(RunKova("analyse " + id).status, 0);
    // Devices stay devices; /dev/full refuses the data.
    EXPECT_EQ(RunKova("report " + id + " -o /dev/null").status, 0);
    EXPECT_TRUE(fs::is_character_file(fs::symlink_status("/dev/null")));
    const CommandResult full = RunKova("report " + id + " -o /dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.errors, "kova: cannot write /dev/full: No space left on device\n");
    EXPECT_TRUE(fs::is_character_file(fs::symlink_status("/dev/full")));

    // Standard output as the output: the page alone, its confirmation on standard error.
    const CommandResult piped = RunKova("export " + id + " --format perfetto -o /dev/stdout");
    ASSERT_EQ(piped.status, 0) << piped.errors;
    EXPECT_EQ(json::parse(piped.output)["traceEvents"].size() > 0, true);
    EXPECT_EQ(piped.errors, "perfetto export of experiment " + id + ": /dev/stdout\n");

    // A disk that fills up half-way: status 1, the earlier report as it was, no temporary.
    ScratchFolder folder("kova-full-disk");
    const fs::path small = folder.path() / "small";
    fs::create_directory(small);
    const CommandResult run = RunCommand(
        "unshare -m sh -c " +
        ShellQuoted("mount -t tmpfs -o size=64k kova-full " + ShellQuoted(small.string()) +
                    " && head -c 40000 /dev/zero > " + ShellQuoted((small / "filler").string()) +
                    " && echo earlier > " + ShellQuoted((small / "report.html").string()) + " && " + ShellQuoted(KOVA) +
                    " report " + id + " -o " + ShellQuoted((small / "report.html").string()) +
                    "; echo status $?; ls -A " + ShellQuoted(small.string()) + "; cat " +
                    ShellQuoted((small / "report.html").string())),
        ErrorStream::Apart);
    EXPECT_EQ(run.output, "status 1\nfiller\nreport.html\nearlier\n") << run.errors;
    EXPECT_NE(run.errors.find("kova: cannot write " + (small / "report.html").string() + ": No space left on device"),
              std::string::npos)
        << run.errors;
}

TEST(StoredTextNul, ListShowsANameWithANulByteWhole) {
    auto db = ConnectToMeasurementDb();
    const std::string user = "nul" + std::to_string(getpid());
    const std::string name("before\0after\x1B[2J", 16);
    db->Query("INSERT INTO Experiments (ID, name, user, date, comment, p, W, nbrProcesses, Tp, statusData) VALUES (0, " +
              db->QuotedValue(name) + ", " + db->QuotedValue(user) + ", 'today', '', 1, 1, 1, 1, 1)");
    const int id = std::stoi(db->QueryFirst("SELECT LAST_INSERT_ID()"));
    const CommandResult listed = RunKova("list --user " + user);
    DeleteExperiment(id, *db);
    ASSERT_EQ(listed.status, 0) << listed.errors;
    EXPECT_NE(listed.output.find(user), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find(" before\\x00after\\e[2J "), std::string::npos) << listed.output;
    EXPECT_TRUE(FreeOfControls(listed.output)) << listed.output;
}
