// How far a study is and how long it still takes, for its progress on standard
// error: the runs of a configuration made so far predict its runs to come, and the
// mean of every run made so far predicts a configuration not yet run.
#pragma once
#include "apps/kova/study_plan.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace study {

// "8.2 s", "42 s", "3 min 05 s", "1 h 02 min".
std::string Duration(double seconds);

class Progress {
public:
    explicit Progress(std::vector<PlannedRun> plan) : mPlan(std::move(plan)) {}

    // Run `index` of the plan took that long (also when it failed).
    void Finished(std::size_t index, double seconds);
    // The time the runs from `next` on will take; none before a run has ended.
    std::optional<double> SecondsLeft(std::size_t next) const;

    // After run `index` ended, having taken `seconds`: "kova study: run 5 of 30 (p=3, W=200, repetition 2 of 3):
    // 1.3 s; 12 s so far, about 1 min 05 s left".
    std::string Line(std::size_t index, int repeat, double seconds, double elapsed) const;
    // While run `index` runs, a bar of the given width in characters:
    // "[#####...............] 5/30 p=3, W=200 (2 of 3)  12 s so far, about 1 min 05 s left".
    std::string Bar(std::size_t index, int repeat, double elapsed, int width) const;

private:
    std::string Times(double elapsed, std::size_t next) const;

    std::vector<PlannedRun> mPlan;
    std::map<Configuration, std::pair<double, int>> mByConfiguration;  // seconds and runs
    double mSeconds = 0;
    int mRuns = 0;
};

}  // namespace study
