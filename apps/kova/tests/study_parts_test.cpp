// What kova study plans, shows and checks, on hand-made data with known answers:
// the value lists, the interleaved and resumed order of the runs, the placeholders,
// the estimate of the time left, and the checks of a model against measured runs.
#include "apps/kova/study_checks.h"
#include "apps/kova/study_plan.h"
#include "apps/kova/study_progress.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

using study::Configuration;

TEST(StudyPlan, ValueListsAreRangesOrListsAndBadOnesAreRefusedWithTheOptionsName) {
    EXPECT_EQ(study::ParseValues("1..5", "--p", 1), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(study::ParseValues("8, 2,4 2", "--p", 1), (std::vector<int>{2, 4, 8}));
    EXPECT_EQ(study::ParseValues("0 100", "--W", 0), (std::vector<int>{0, 100}));
    for (const char* bad : {"", "0..3", "5..2", "1,x", "-1", "1.5", "99999999999"}) {
        try {
            study::ParseValues(bad, "--p", 1);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).rfind("--p: ", 0), 0u) << e.what();
        }
    }
}

TEST(StudyPlan, RoundsRunEveryConfigurationOnceAlternatingDirectionAndResumeFromStoredRuns) {
    const std::vector<Configuration> configurations = study::Configurations({1, 2}, {10, 20});
    ASSERT_EQ(configurations, (std::vector<Configuration>{{1, 10}, {1, 20}, {2, 10}, {2, 20}}));
    auto order = [](const std::vector<study::PlannedRun>& plan) {
        std::vector<std::pair<Configuration, int>> runs;
        for (const study::PlannedRun& run : plan) runs.push_back({run.configuration, run.repetition});
        return runs;
    };
    const std::vector<std::pair<Configuration, int>> fresh = order(study::PlanRuns(configurations, {}, 2));
    EXPECT_EQ(fresh, (std::vector<std::pair<Configuration, int>>{{{1, 10}, 1}, {{1, 20}, 1}, {{2, 10}, 1},
                                                                {{2, 20}, 1}, {{2, 20}, 2}, {{2, 10}, 2},
                                                                {{1, 20}, 2}, {{1, 10}, 2}}));
    // An interrupted study: (1,10) has both runs, (1,20) one, (2,10) more than asked.
    const std::map<Configuration, int> stored = {{{1, 10}, 2}, {{1, 20}, 1}, {{2, 10}, 5}};
    EXPECT_EQ(order(study::PlanRuns(configurations, stored, 2)),
              (std::vector<std::pair<Configuration, int>>{{{1, 20}, 2}, {{2, 20}, 1}, {{2, 20}, 2}}));
    EXPECT_TRUE(study::PlanRuns(configurations, {{{1, 10}, 3}, {{1, 20}, 3}, {{2, 10}, 3}, {{2, 20}, 3}}, 3).empty());
}

TEST(StudyPlan, PlaceholdersAreReplacedWhereverTheyStand) {
    const std::vector<std::string> command = {"prog", "-n", "{p}", "--size={W}", "{p}x{p}", "{P}"};
    EXPECT_TRUE(study::UsesPlaceholder(command, "{p}"));
    EXPECT_TRUE(study::UsesPlaceholder(command, "{W}"));
    EXPECT_FALSE(study::UsesPlaceholder({"prog", "{w}"}, "{W}"));
    EXPECT_EQ(study::Substituted(command, {12, 3000}),
              (std::vector<std::string>{"prog", "-n", "12", "--size=3000", "12x12", "{P}"}));
}

TEST(StudyProgress, TimeLeftComesFromEachConfigurationsRunsAndTheMeanForOthers) {
    const std::vector<study::PlannedRun> plan = study::PlanRuns(study::Configurations({1, 2, 4}, {0}), {}, 2);
    study::Progress progress(plan);
    EXPECT_FALSE(progress.SecondsLeft(0));
    progress.Finished(0, 3.0);  // p=1
    progress.Finished(1, 1.0);  // p=2
    // Left: p=4 (the mean, 2 s), then p=4 again, p=2 (1 s), p=1 (3 s).
    ASSERT_TRUE(progress.SecondsLeft(2));
    EXPECT_DOUBLE_EQ(*progress.SecondsLeft(2), 2 + 2 + 1 + 3);
    progress.Finished(2, 8.0);  // p=4
    EXPECT_DOUBLE_EQ(*progress.SecondsLeft(3), 8 + 1 + 3);
    EXPECT_EQ(progress.Line(2, 2, 8.0, 12.0),
              "kova study: run 3 of 6 (p=4, W=0, repetition 1 of 2): 8.0 s; 12 s so far, about 12 s left");
    EXPECT_EQ(progress.Bar(3, 2, 75, 12), "[######......] 4/6 p=4, W=0 (2 of 2)  1 min 15 s so far, about 12 s left");
    EXPECT_EQ(study::Duration(3725), "1 h 02 min");
}

TEST(StudyChecks, EachPointGetsItsTpPredictionAndMeasurementAndWhetherTheIntervalHeld) {
    scaling::Study fitted;
    // A prediction by the model over p at W = 100, and one by the model over p and W
    // at the same point, which the check prefers; another metric is not a check's.
    auto predicted = [&fitted](const char* metric, double p, bool overPAndW, scaling::Prediction prediction) {
        scaling::PredictionResult result;
        result.metric = metric, result.p = p, result.W = 100, result.overPAndW = overPAndW;
        result.prediction = prediction;
        fitted.predictions.push_back(result);
    };
    predicted("Tp", 8, false, {900, 800, 1000});
    predicted("Tp", 8, true, {1000, 950, 1050});
    predicted("speedup", 8, true, {5, 4, 6});
    predicted("Tp", 16, true, {600, 550, 650});
    scaling::Study measured;
    scaling::Row row;
    row.p = 8, row.W = 100, row.Tp = 1100, row.nbrRuns = 3;
    measured.rows.push_back(row);
    row.p = 16, row.Tp = 640, row.nbrRuns = 2;
    measured.rows.push_back(row);

    const std::vector<study::Check> checks = study::Checks({{8, 100}, {16, 100}, {32, 100}}, fitted, measured);
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_TRUE(checks[0].overPAndW);
    EXPECT_DOUBLE_EQ(checks[0].predicted->value, 1000);
    EXPECT_DOUBLE_EQ(*checks[0].Error(), 10);
    EXPECT_FALSE(checks[0].Held());
    EXPECT_TRUE(checks[1].Held());
    EXPECT_EQ(checks[1].runs, 2);
    EXPECT_FALSE(checks[2].predicted);
    EXPECT_FALSE(checks[2].Held());

    const nlohmann::json json = study::ChecksJson(checks);
    EXPECT_EQ(json[0], nlohmann::json::parse(R"({"metric": "Tp", "p": 8, "W": 100, "predicted": 1000.0, "low": 950.0, "high": 1050.0,
        "measured": 1100.0, "error": 10.0, "held": false, "runs": 3, "overPAndW": true})"));
    EXPECT_TRUE(json[2]["predicted"].is_null());
    EXPECT_TRUE(json[2]["measured"].is_null());
    const std::string text = study::ChecksText(checks);
    EXPECT_NE(text.find("missed\n"), std::string::npos) << text;
    EXPECT_NE(text.find("held\n"), std::string::npos) << text;
    EXPECT_NE(text.find("no model predicts Tp here\n"), std::string::npos) << text;
    EXPECT_EQ(study::ChecksCsv(checks).rfind("check,p,W,runs,predicted,low,high,measured,error,held\nTp,8,100,3,1000,", 0),
              0u);
}
