#include "measure/tests/measured_run.h"

#include "tests/support/measurementdb.h"

#include <gtest/gtest.h>

#include <regex>

void Build(const std::filesystem::path& folder, const std::string& commands) {
    const CommandResult built = RunCommand("cd " + ShellQuoted(folder.string()) + " && " + commands);
    ASSERT_EQ(built.status, 0) << commands << "\n" << built.output;
}

int StoredExperiment(const std::string& errors) {
    std::smatch found;
    static const std::regex stored("kova measure: experiment ([0-9]+) stored");
    return std::regex_search(errors, found, stored) ? std::stoi(found[1]) : -1;
}

nlohmann::json Analysed(int id) {
    const CommandResult analysed = RunKova("analyse " + std::to_string(id) + " --json");
    EXPECT_EQ(analysed.status, 0) << analysed.errors;
    return nlohmann::json::parse(analysed.output, nullptr, false);
}

long long Number(const std::string& query) {
    auto db = ConnectToMeasurementDb();
    return SelectNumber(*db, query);
}

void ExpectEveryMessageMatched(int id, int messages) {
    const nlohmann::json summary = Analysed(id);
    EXPECT_EQ(summary["messages"]["received"], messages) << summary.dump(2);
    EXPECT_EQ(summary["messages"]["unreceived"], 0);
    EXPECT_EQ(summary["errorFlags"].get<int>() & 16, 0) << summary["errorFlagNames"];
    // Receives that seem to start before their send (WRONG_COMM_POINTERS) come from
    // the error of the clock offsets between hosts, not from what was recorded.
    for (const auto& problem : summary["problems"])
        EXPECT_EQ(problem.get<std::string>().find("have no send to match"), std::string::npos) << problem;
}
