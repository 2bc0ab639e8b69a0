// kova report and kova export as a user runs them, on an exeKOVA run from the virtual
// cluster: the report opened in headless Chromium and compared with the database, the
// exports read back, and bad input.
#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"
#include "report/tests/otf2_events.h"

#include <gtest/gtest.h>
#include <kova_site.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string KOVA = std::string(KOVA_BIN_DIR) + "/kova";


// What headless Chromium saw of a page (report/tests/browser_check.js).
json OpenInBrowser(const fs::path& page, const fs::path& screenshot) {
    const CommandResult run = RunCommand("node " + ShellQuoted(KOVA_SOURCE_DIR "/report/tests/browser_check.js") +
                                             " " + ShellQuoted(page.string()) + " " +
                                             ShellQuoted(screenshot.string()),
                                         ErrorStream::Apart);
    EXPECT_EQ(run.status, 0) << run.errors;
    return json::parse(run.output, nullptr, false);
}

class KovaReport : public ::testing::Test {
protected:
    void SetUp() override { db = ConnectToMeasurementDb(); }
    long long Count(const std::string& query) { return SelectNumber(*db, query); }

    // Runs program on a 3-host cluster in folder; returns the newest experiment of
    // application stored for this user with p matching pCondition ("" when none).
    std::string RunAndFind(const std::string& program, const std::string& arguments, const fs::path& folder,
                           const std::string& application, const std::string& pCondition) {
        const ClusterRun run = RunMeasured(3, program + " " + arguments, program, folder);
        EXPECT_EQ(run.status, 0) << run.output << run.errors;
        return LatestExperiment(*db, application, "p " + pCondition);
    }

    // kova report of experiment id (analysed now, with sequentialArgument) opened in
    // headless Chromium, compared with the database; the three exports read back.
    void ExpectReportAndExportsAsStored(const std::string& id, const std::string& sequentialArgument,
                                        const fs::path& folder, const std::string& screenshotName) {
        const fs::path page = folder / "report.html";
        const CommandResult reported = RunKova("report " + id + sequentialArgument + " -o " + ShellQuoted(page.string()));
        ASSERT_EQ(reported.status, 0) << reported.errors;
        EXPECT_EQ(reported.output, "report of experiment " + id + ": " + page.string() + "\n");
        const auto rows = SelectRows(*db, "SELECT * FROM Experiments WHERE ID = " + id);
        ASSERT_EQ(rows.size(), 1u);
        const Row& experiment = rows[0];
        EXPECT_EQ(experiment.at("statusData"), "5");
        EXPECT_NE(experiment.at("Ts"), "0");

        const fs::path artifacts = fs::path(KOVA_BINARY_DIR) / "test-artifacts";
        fs::create_directories(artifacts);
        const fs::path screenshot = artifacts / screenshotName;
        fs::remove(screenshot);
        const json seen = OpenInBrowser(page, screenshot);
        ASSERT_FALSE(seen.is_discarded());
        ASSERT_FALSE(seen.contains("failure")) << seen.dump();
        EXPECT_EQ(seen["consoleErrors"], json::array()) << seen.dump();
        EXPECT_EQ(seen["pageErrors"], json::array()) << seen.dump();
        EXPECT_EQ(seen["outsideRequests"], json::array()) << seen.dump();
        EXPECT_GT(fs::file_size(screenshot), 10000u);

        const std::string where = " WHERE expID = " + id;
        const long long messages = Count("SELECT COUNT(*) FROM Messages" + where);
        const long long received = Count("SELECT COUNT(*) FROM Messages" + where + " AND recvNbr <> -1");
        EXPECT_EQ(seen["lanes"], Count("SELECT COUNT(*) FROM Processes" + where));
        EXPECT_EQ(seen["messageLines"], received);
        const json& figures = seen["figures"];
        for (const auto& [figure, column] : std::map<std::string, std::string>{
                 {"p", "p"}, {"W", "W"}, {"processes", "nbrProcesses"}, {"Tp", "Tp"}, {"Ts", "Ts"},
                 {"status", "statusData"}, {"errorFlags", "errorFlags"}, {"application", "name"}, {"user", "user"}})
            EXPECT_EQ(figures.value(figure, ""), experiment.at(column)) << figure;
        EXPECT_NEAR(std::stod(figures.value("speedup", "0")), std::stod(experiment.at("speedup")), 1e-3);
        EXPECT_NEAR(std::stod(figures.value("efficiency", "0")), std::stod(experiment.at("efficiency")), 1e-3);
        EXPECT_EQ(figures.value("unreceived", ""), std::to_string(messages - received));

        // Perfetto: a slice per stored phase, a flow per received message.
        const long long phases = Count("SELECT COUNT(*) FROM Phases" + where);
        const fs::path trace = folder / "trace.json";
        ASSERT_EQ(RunKova("export " + id + " --format perfetto -o " + ShellQuoted(trace.string())).status, 0);
        long long slices = 0, flowsIn = 0, flowsOut = 0;
        const json parsed = json::parse(ReadFile(trace));
        for (const json& event : parsed["traceEvents"]) {
            slices += event["ph"] == "X";
            flowsIn += event.contains("flow_in");
            flowsOut += event.contains("flow_out");
        }
        EXPECT_EQ(slices, phases);
        EXPECT_EQ(flowsIn, received);
        EXPECT_EQ(flowsOut, received);
        // A window: one process's phases (all of them: its window spans the run).
        const std::string process = db->QueryFirst("SELECT MAX(ID) FROM Processes" + where);
        const CommandResult windowed = RunKova("export " + id + " --format perfetto --from 0 --to 1000000000000 "
                                            "--processes " + process + " -o " + ShellQuoted(trace.string()));
        ASSERT_EQ(windowed.status, 0) << windowed.errors;
        long long windowSlices = 0, otherSlices = 0;
        const json window = json::parse(ReadFile(trace));
        for (const json& event : window["traceEvents"]) {
            if (event["ph"] != "X") continue;
            ++(event["pid"] == std::stoll(process) ? windowSlices : otherSlices);
        }
        EXPECT_EQ(otherSlices, 0);
        EXPECT_EQ(windowSlices, Count("SELECT COUNT(*) FROM Phases" + where + " AND processID = " + process));
        const CommandResult stranger = RunKova("export " + id + " --format perfetto --processes 1 -o " +
                                            ShellQuoted((folder / "stranger.json").string()));
        EXPECT_EQ(stranger.status, 2);
        EXPECT_EQ(stranger.errors, "kova: experiment " + id + " has no process 1\n");

        // OTF2, read back by the OTF2 tools.
        const fs::path archive = folder / "otf2";
        const CommandResult exported = RunKova("export " + id + " --format otf2 -o " + ShellQuoted(archive.string()));
        ASSERT_EQ(exported.status, 0) << exported.errors;
        EXPECT_EQ(exported.output, "otf2 export of experiment " + id + ": " + archive.string() + "/traces.otf2\n");
        const CommandResult printed = RunCommand("otf2-print " + ShellQuoted((archive / "traces.otf2").string()));
        ASSERT_EQ(printed.status, 0) << printed.output;
        const auto lines = printed.outputLines();
        EXPECT_EQ(static_cast<long long>(LinesStartingWith(lines, "ENTER ").size()), phases);
        EXPECT_EQ(static_cast<long long>(LinesStartingWith(lines, "LEAVE ").size()), phases);
        EXPECT_EQ(static_cast<long long>(LinesStartingWith(lines, "MPI_RECV ").size()), received);
        EXPECT_EQ(static_cast<long long>(LinesStartingWith(lines, "MPI_SEND ").size()), messages);
        ExpectMessagesInOrder(ReadOtf2Events(archive / "traces.otf2"));

        // CSV: a row per phase, message and wait state.
        const fs::path csv = folder / "csv";
        ASSERT_EQ(RunKova("export " + id + " --format csv -o " + ShellQuoted(csv.string())).status, 0);
        EXPECT_EQ(static_cast<long long>(Lines(ReadFile(csv / "phases.csv")).size()), phases + 1);
        EXPECT_EQ(static_cast<long long>(Lines(ReadFile(csv / "messages.csv")).size()), messages + 1);
        EXPECT_EQ(static_cast<long long>(Lines(ReadFile(csv / "wait_states.csv")).size()),
                  Count("SELECT COUNT(*) FROM WaitStates" + where) + 1);
    }

    std::unique_ptr<StandardDatabase> db;
};

TEST_F(KovaReport, ExeKOVARunIsDrawnAsTheDatabaseHoldsItAndExportsReadBack) {
    DeleteExperimentsOf(*db, "ANN_example", LoginName());
    DeleteExperimentsOf(*db, "nn", LoginName());
    ScratchFolder folder;
    const std::string id = RunAndFind("exeKOVA", "", folder.path(), "ANN_example", "= 3");
    const std::string sequential = db->QueryFirst("SELECT MAX(ID) FROM Experiments WHERE name = 'nn' AND user = " +
                                                  db->QuotedValue(LoginName()));
    ASSERT_FALSE(id.empty() || sequential.empty());
    EXPECT_GT(Count("SELECT COUNT(*) FROM Phases WHERE expID = " + id + " AND typeID = 6"), 1000);
    ExpectReportAndExportsAsStored(id, " --sequential " + sequential + " --other-reference", folder.path(),
                                   "exekova-report.png");

    // An output path that cannot be written: status 1, a message, nothing left behind.
    const fs::path unwritable = folder.path() / "missing" / "report.html";
    const CommandResult failed = RunKova("report " + id + " -o " + ShellQuoted(unwritable.string()));
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.errors, "kova: cannot write " + unwritable.string() + ": No such file or directory\n");
    EXPECT_FALSE(fs::exists(unwritable.parent_path()));
    const fs::path page = folder.path() / "report.html";
    const CommandResult onFile = RunKova("export " + id + " --format csv -o " + ShellQuoted(page.string() + "/csv"));
    EXPECT_EQ(onFile.status, 1) << onFile.errors;
    EXPECT_TRUE(fs::is_regular_file(page));
}

// annpipe stores work, partitioning and idle phases and no messages.
TEST_F(KovaReport, AnnpipeRunWithoutMessagesIsDrawnAndExported) {
    DeleteExperimentsOf(*db, "ANN_exemple", LoginName());
    ScratchFolder folder;
    const std::string id = RunAndFind("annpipe", "-m -w 3", folder.path(), "ANN_exemple", "> 1");
    ASSERT_FALSE(id.empty());
    ExpectReportAndExportsAsStored(id, "", folder.path(), "annpipe-report.png");
}

TEST_F(KovaReport, UnknownExperimentAndBadFormatEndWithTheirStatus) {
    ScratchFolder folder("kova-report", ScratchFolder::SystemTemp);
    const fs::path page = folder.path() / "report.html";
    const CommandResult unknown = RunKova("report 2000000000 -o " + ShellQuoted(page.string()));
    EXPECT_EQ(unknown.status, 3);
    EXPECT_EQ(unknown.errors, "kova: there is no experiment 2000000000 in the measurement database\n");
    EXPECT_FALSE(fs::exists(page));
    const CommandResult format = RunKova("export 1 --format pdf -o " + ShellQuoted(page.string()));
    EXPECT_EQ(format.status, 2);
    EXPECT_NE(format.errors.find("--format"), std::string::npos) << format.errors;
    EXPECT_TRUE(fs::is_empty(folder.path()));
}

}  // namespace
