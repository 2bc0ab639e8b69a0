// tourga's runs in the legacy database read back into the analysis model, and through
// kova --source legacy, without a byte written to the legacy tables.
#include "kova_site.h"
#include "tests/support/testsupport.h"

#include "analysis/error.h"
#include "analysis/legacy_db.h"
#include "msql/msql.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <unistd.h>

namespace {

const std::string kBin = std::string(KOVA_BINARY_DIR) + "/bin";

// The rows of a statement on the legacy database, every column as text.
std::vector<std::vector<std::string>> LegacyRows(const std::string& statement) {
    std::vector<std::vector<std::string>> rows;
    const int sock = msqlConnect(KOVA_MSQL_HOST);
    EXPECT_GE(sock, 0) << msqlErrMsg;
    if (sock < 0) return rows;
    EXPECT_EQ(msqlSelectDB(sock, "parallel_performance"), 0) << msqlErrMsg;
    EXPECT_GE(msqlQuery(sock, statement.c_str()), 0) << msqlErrMsg;
    if (m_result* result = msqlStoreResult()) {
        while (m_row row = msqlFetchRow(result)) {
            auto& values = rows.emplace_back();
            for (int k = 0; k < msqlNumFields(result); ++k) values.emplace_back(row[k] ? row[k] : "");
        }
        msqlFreeResult(result);
    }
    msqlClose(sock);
    return rows;
}

}  // namespace

TEST(LegacyExperiments, TourgaRunReadsBackWithTheTotalsOfItsSummaryRows) {
    ClusterOptions options;
    options.errors = ErrorStream::Merged;
    options.awaitProgram = "tourga";
    const ClusterRun run = RunOnCluster(3, ShellQuoted(kBin + "/tourga") + " -p 2 -g 20", options);
    ASSERT_EQ(run.status, 0) << run.output;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.output, match, std::regex("I'll create experiment nr (\\d+)"))) << run.output;
    const int id = std::stoi(match[1]);
    const std::string where = " WHERE Experiment_No = " + std::to_string(id);
    const auto before = LegacyRows("SELECT * FROM experiments" + where);
    const auto phaseRows = LegacyRows("SELECT * FROM time_measurements" + where);

    const analysis::ExperimentModel model = analysis::LoadLegacyExperiment(id);
    EXPECT_EQ(model.header.source, analysis::Source::kLegacy);
    EXPECT_EQ(model.header.application, "test GA");
    EXPECT_EQ(model.header.p, 2);
    EXPECT_EQ(model.header.W, 100);
    EXPECT_EQ(model.header.statusData, analysis::kFinished);
    EXPECT_EQ(model.phases.Size(), phaseRows.size());

    // Per process: the model's totals are the summary row's (communication split by
    // direction where the phases say it), and its phases add up to them.
    const auto summaries = LegacyRows("SELECT tid, calculating, partitioning, communication, synchronisation, "
                                      "blocking, CPU_No FROM analysis" + where);
    ASSERT_EQ(summaries.size(), 3u);
    ASSERT_EQ(model.processes.size(), 3u);
    analysis::Time masterTotal = 0;
    for (const auto& summary : summaries) {
        const int tid = std::atoi(summary[0].c_str());
        const int index = model.ProcessOfTid(tid);
        ASSERT_GE(index, 0) << tid;
        const analysis::ProcessModel& process = model.processes[index];
        const auto t = [&](int type) {
            const auto found = process.totals.find(type);
            return found == process.totals.end() ? analysis::Time{0} : found->second;
        };
        const analysis::Time stored[5] = {t(analysis::kWork), t(analysis::kPart),
                                          t(analysis::kComm) + t(analysis::kSend) + t(analysis::kRecv),
                                          t(analysis::kSync), t(analysis::kIdle)};
        analysis::Time sum = 0;
        for (int kind = 0; kind < 5; ++kind) {
            EXPECT_EQ(stored[kind], std::atoll(summary[1 + kind].c_str())) << "tid " << tid << " kind " << kind;
            sum += stored[kind];
        }
        analysis::Time phases = 0;
        for (int k = process.firstPhase; k < process.firstPhase + process.nbrPhases; ++k)
            phases += model.phases.duration[k];
        EXPECT_EQ(phases, sum) << "tid " << tid;
        if (summary[6] == "0") masterTotal = sum;
    }
    EXPECT_EQ(model.header.Tp, masterTotal);

    // Through the program: listed, analysed, and the legacy tables as they were.
    const CommandResult list = RunCommand(ShellQuoted(kBin + "/kova") + " --source legacy list", ErrorStream::Apart);
    ASSERT_EQ(list.status, 0) << list.errors;
    bool listed = false;
    for (const std::string& line : list.outputLines())
        listed |= std::regex_search(line, std::regex("^ *" + std::to_string(id) + " .*test GA +p=2 +W=100 "));
    EXPECT_TRUE(listed) << list.output;
    const CommandResult analysed =
        RunCommand(ShellQuoted(kBin + "/kova") + " --source legacy analyse " + std::to_string(id), ErrorStream::Apart);
    EXPECT_EQ(analysed.status, 0) << analysed.errors;
    EXPECT_EQ(LegacyRows("SELECT * FROM experiments" + where), before);
    EXPECT_EQ(LegacyRows("SELECT * FROM time_measurements" + where), phaseRows);

    for (const char* table : {"experiments", "analysis", "time_measurements"})
        LegacyRows(std::string("DELETE FROM ") + table + where);

    try {
        analysis::LoadLegacyExperiment(-5);
        FAIL() << "an unknown experiment was loaded";
    } catch (const analysis::Error& e) {
        EXPECT_EQ(e.ExitStatus(), analysis::kExitNotFound);
        EXPECT_STREQ(e.what(), "no legacy experiment -5");
    }
}

// A name that a latin1 program stored, with an escape sequence in it: kova lists
// it as UTF-8 and prints the escape sequence escaped.
TEST(LegacyExperiments, Latin1NamesAreDecodedAndControlsEscaped) {
    const std::string number = std::to_string(900000 + getpid() % 90000);
    LegacyRows("INSERT INTO experiments (Experiment_No, Number_of_CPUs, user, datum, Experiment_name, Comments, W) "
               "VALUES (" + number + ", 1, 'tester', 'today', 'caf\xE9 \x1B[2J', 'none', 5)");
    const CommandResult list = RunCommand(ShellQuoted(kBin + "/kova") + " --source legacy list --user tester",
                                          ErrorStream::Apart);
    LegacyRows("DELETE FROM experiments WHERE Experiment_No = " + number);
    ASSERT_EQ(list.status, 0) << list.errors;
    EXPECT_NE(list.output.find(number + "  tester       caf\u00E9 \\e[2J"), std::string::npos) << list.output;
    EXPECT_EQ(list.output.find('\x1B'), std::string::npos) << list.output;
}
