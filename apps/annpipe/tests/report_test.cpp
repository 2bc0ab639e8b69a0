// Tests of annpipe's closing report: its blocks in order and the speedup and
// efficiency computed from the two stopwatches.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "apps/annpipe/report.h"

namespace {

using NeuralNetwork::real;

// A stopped stopwatch that shows microseconds.
Chrono StoppedAt(TIME microseconds) {
    Chrono chrono;
    chrono.mTimeValue = microseconds;
    chrono.mStopped = true;
    return chrono;
}

std::vector<std::string> ReportLines(TIME parallel, TIME sequential) {
    real parallelOutput[10];
    real sequentialOutput[10];
    for (int i = 0; i < 10; ++i) {
        parallelOutput[i] = 0.125f * i;
        sequentialOutput[i] = 0.5f + 0.03125f * i;
    }
    std::ostringstream out;
    PrintReport(out, parallelOutput, sequentialOutput, StoppedAt(parallel), StoppedAt(sequential));
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(AnnpipeReport, ParallelBlockComesBeforeTheSequentialBlockAndTheTimes) {
    const std::string dashes(59, '-');
    const std::vector<std::string> expected = {
        "", dashes, "result Parallel Run :",
        "0", "0.125", "0.25", "0.375", "0.5", "0.625", "0.75", "0.875", "1", "1.125",
        dashes, dashes, "result Sequntial Run :",
        "0.5", "0.53125", "0.5625", "0.59375", "0.625", "0.65625", "0.6875", "0.71875", "0.75", "0.78125",
        dashes, "", "", std::string(61, '='),
        "Parallel Time    : 2s 500000us",
        "Sequential Time  : 7s 500000us", "", "",
        "Speedup         : 3",
        "Efficiency      : 1.5"};
    EXPECT_EQ(ReportLines(2500000, 7500000), expected);
}

TEST(AnnpipeReport, EfficiencyIsTheSpeedupDividedByTwo) {
    std::vector<std::string> lines = ReportLines(3000000, 1000000);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Speedup         : 0.333333");
    EXPECT_EQ(lines.back(), "Efficiency      : 0.166667");
    lines = ReportLines(1000000, 2000000);
    EXPECT_EQ(lines[lines.size() - 2], "Speedup         : 2");
    EXPECT_EQ(lines.back(), "Efficiency      : 1");
}

}  // namespace
