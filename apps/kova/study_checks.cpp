#include "apps/kova/study_checks.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

namespace study {

std::optional<double> Check::Error() const {
    if (!predicted || !measured || predicted->value == 0) return std::nullopt;
    return 100 * (*measured - predicted->value) / predicted->value;
}

bool Check::Held() const { return predicted && measured && predicted->low <= *measured && *measured <= predicted->high; }

std::vector<Check> Checks(const std::vector<Configuration>& points, const scaling::Study& fitted,
                          const std::optional<scaling::Study>& measured) {
    std::vector<Check> checks;
    for (const Configuration& point : points) {
        Check check;
        check.configuration = point;
        for (const scaling::PredictionResult& result : fitted.predictions)
            if (result.metric == "Tp" && result.p == point.p && result.W == point.W &&
                (!check.predicted || result.overPAndW)) {
                check.predicted = result.prediction;
                check.overPAndW = result.overPAndW;
            }
        if (measured)
            for (const scaling::Row& row : measured->rows)
                if (row.p == point.p && row.W == point.W) {
                    check.measured = row.Tp;
                    check.runs = row.nbrRuns;
                }
        checks.push_back(check);
    }
    return checks;
}

namespace {

// The predicted value, or an end of its interval, when there is a prediction.
std::optional<double> Predicted(const Check& check, double scaling::Prediction::*part) {
    return check.predicted ? std::optional<double>((*check.predicted).*part) : std::nullopt;
}

nlohmann::json Json(const std::optional<double>& value) { return value ? nlohmann::json(*value) : nlohmann::json(); }

std::string Figure(const std::optional<double>& value, const char* format = "%.0f") {
    if (!value) return "";
    char text[32];
    std::snprintf(text, sizeof text, format, *value);
    return text;
}

// What became of the check, in words.
std::string Verdict(const Check& check) {
    if (!check.predicted) return "no model predicts Tp here";
    if (!check.measured) return "not measured";
    return check.Held() ? "held" : "missed";
}

}  // namespace

nlohmann::json ChecksJson(const std::vector<Check>& checks) {
    nlohmann::json out = nlohmann::json::array();
    for (const Check& check : checks)
        out.push_back({{"metric", "Tp"},
                       {"p", check.configuration.p},
                       {"W", check.configuration.W},
                       {"predicted", Json(Predicted(check, &scaling::Prediction::value))},
                       {"low", Json(Predicted(check, &scaling::Prediction::low))},
                       {"high", Json(Predicted(check, &scaling::Prediction::high))},
                       {"measured", Json(check.measured)},
                       {"error", Json(check.Error())},
                       {"held", check.Held()},
                       {"runs", check.runs},
                       {"overPAndW", check.overPAndW}});
    return out;
}

std::string ChecksText(const std::vector<Check>& checks) {
    std::ostringstream out;
    out << "Checks: Tp measured after the fit beside its prediction (us)\n";
    char line[200];
    std::snprintf(line, sizeof line, "  %6s %10s %5s %14s %14s %14s %14s %9s  %s\n", "p", "W", "runs", "predicted",
                  "low", "high", "measured", "error %", "interval");
    out << line;
    for (const Check& check : checks) {
        std::snprintf(line, sizeof line, "  %6d %10d %5d %14s %14s %14s %14s %9s  %s\n", check.configuration.p,
                      check.configuration.W, check.runs,
                      Figure(Predicted(check, &scaling::Prediction::value)).c_str(),
                      Figure(Predicted(check, &scaling::Prediction::low)).c_str(),
                      Figure(Predicted(check, &scaling::Prediction::high)).c_str(), Figure(check.measured).c_str(), Figure(check.Error(), "%+.1f").c_str(),
                      Verdict(check).c_str());
        out << line;
    }
    return out.str();
}

std::string ChecksCsv(const std::vector<Check>& checks) {
    std::ostringstream out;
    out << "check,p,W,runs,predicted,low,high,measured,error,held\n";
    for (const Check& check : checks) {
        const auto field = [](const std::optional<double>& value) { return Figure(value, "%.17g"); };
        out << "Tp," << check.configuration.p << "," << check.configuration.W << "," << check.runs << ","
            << field(Predicted(check, &scaling::Prediction::value)) << ","
            << field(Predicted(check, &scaling::Prediction::low)) << ","
            << field(Predicted(check, &scaling::Prediction::high)) << ","
            << field(check.measured) << "," << field(check.Error()) << "," << (check.Held() ? "yes" : "no")
            << "\n";
    }
    return out.str();
}

}  // namespace study
