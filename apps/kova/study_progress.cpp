#include "apps/kova/study_progress.h"

#include <cmath>
#include <cstdio>

namespace study {

std::string Duration(double seconds) {
    char text[32];
    if (seconds < 10)
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    else if (seconds < 60)
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    else if (seconds < 3600) {
        const long whole = std::lround(seconds);
        std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    } else {
        const long minutes = std::lround(seconds / 60);
        std::snprintf(text, sizeof text, "%ld h %02ld min", minutes / 60, minutes % 60);
    }
    return text;
}

void Progress::Finished(std::size_t index, double seconds) {
    auto& [sum, runs] = mByConfiguration[mPlan.at(index).configuration];
    sum += seconds;
    ++runs;
    mSeconds += seconds;
    ++mRuns;
}

std::optional<double> Progress::SecondsLeft(std::size_t next) const {
    if (mRuns == 0) return std::nullopt;
    double left = 0;
    for (std::size_t k = next; k < mPlan.size(); ++k) {
        const auto found = mByConfiguration.find(mPlan[k].configuration);
        left += found != mByConfiguration.end() ? found->second.first / found->second.second : mSeconds / mRuns;
    }
    return left;
}

std::string Progress::Times(double elapsed, std::size_t next) const {
    const std::optional<double> left = SecondsLeft(next);
    return Duration(elapsed) + " so far" + (left ? ", about " + Duration(*left) + " left" : "");
}

std::string Progress::Line(std::size_t index, int repeat, double seconds, double elapsed) const {
    const PlannedRun& run = mPlan.at(index);
    return "kova study: run " + std::to_string(index + 1) + " of " + std::to_string(mPlan.size()) + " (" +
           Text(run.configuration) + ", repetition " + std::to_string(run.repetition) + " of " +
           std::to_string(repeat) + "): " + Duration(seconds) + "; " + Times(elapsed, index + 1);
}

std::string Progress::Bar(std::size_t index, int repeat, double elapsed, int width) const {
    const PlannedRun& run = mPlan.at(index);
    const std::size_t filled = mPlan.empty() ? 0 : index * static_cast<std::size_t>(width) / mPlan.size();
    return "[" + std::string(filled, '#') + std::string(static_cast<std::size_t>(width) - filled, '.') + "] " +
           std::to_string(index + 1) + "/" + std::to_string(mPlan.size()) + " " + Text(run.configuration) + " (" +
           std::to_string(run.repetition) + " of " + std::to_string(repeat) + ")  " + Times(elapsed, index);
}

}  // namespace study
