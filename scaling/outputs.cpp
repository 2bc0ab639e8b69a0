#include "scaling/outputs.h"

#include "csv/csv_writer.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace scaling {

namespace {

// The overhead types present in any row, in name order.
std::vector<std::string> OverheadTypes(const Study& study) {
    std::set<std::string> types;
    for (const Row& row : study.rows)
        for (const auto& [type, time] : row.overheadByType) types.insert(type);
    return {types.begin(), types.end()};
}

std::string Format(double value, const char* format) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Optional(const std::optional<double>& value, const char* format) {
    return value ? Format(*value, format) : "";
}

std::string Overhead(const Row& row, const std::string& type) {
    const auto found = row.overheadByType.find(type);
    return found == row.overheadByType.end() ? "" : Format(found->second, "%.0f");
}

// The cells of a row: W, p, experiment, runs, times in µs, ratios, overheads.
std::vector<std::string> Cells(const Row& row, const std::vector<std::string>& types) {
    std::vector<std::string> cells = {std::to_string(row.W),       std::to_string(row.p),
                                      std::to_string(row.expID),   std::to_string(row.nbrRuns),
                                      Format(row.Tp, "%.0f"),      Format(row.TpLow, "%.0f"),
                                      Format(row.TpHigh, "%.0f"),  Optional(row.Ts, "%.0f"),
                                      Optional(row.speedup, "%.4g"), Optional(row.efficiency, "%.4g"),
                                      Optional(row.karpFlatt, "%.4g"), Optional(row.overhead, "%.0f"),
                                      Optional(row.probeCost, "%.0f"), Optional(row.TpWithoutProbe, "%.0f")};
    for (const std::string& type : types) cells.push_back(Overhead(row, type));
    return cells;
}

std::vector<std::string> Header(const std::vector<std::string>& types) {
    std::vector<std::string> header = {"W", "p", "expID", "runs", "Tp", "TpMin", "TpMax", "Ts", "speedup", "efficiency", "karpFlatt",
                                       "overhead", "probeCost", "TpWithoutProbe"};
    for (const std::string& type : types) header.push_back("overhead:" + type);
    return header;
}

std::string CsvLine(const std::vector<std::string>& cells) {
    std::ostringstream line;
    csv::Writer csv(line);
    for (const std::string& cell : cells) csv << cell;
    csv.EndRow();
    return line.str();
}

std::string ModelText(const MetricModel& model) { return model.model ? model.model->Text() : model.note; }

const char* AggregationName(Aggregation aggregation) {
    return aggregation == Aggregation::fastest ? "fastest" : "median";
}

// "W = 100  Tp(p)" or "p, W  Tp(p, W)".
std::string ModelName(const MetricModel& model) {
    return model.overPAndW ? "p, W  " + model.metric + "(p, W)"
                           : "W = " + std::to_string(model.W) + "  " + model.metric + "(p)";
}

// The figures a model rests on and how well it fits, in words.
std::string ModelFigures(const Model& model) {
    std::string text = "(SMAPE " + Format(model.error.smape, "%.2f") + "%, cross-validated " +
                       Format(model.error.cvSmape, "%.2f") + "%, adjusted R^2 " +
                       Format(model.error.adjustedRSquared, "%.4f") + ", " + std::to_string(model.configurations) +
                       " configurations, " + std::to_string(model.runs) + " runs)";
    if (!model.warning.empty()) text += "  IMPLAUSIBLE: " + model.warning;
    return text;
}

std::string PredictionSource(const PredictionResult& result) {
    const std::string model = result.overPAndW ? "model over p and W" : "model over p at W = " + Format(result.W, "%g");
    if (!result.fromTp) return "by the " + model;
    return "from the predicted Tp (" + model + ") and Ts = " + Format(*result.Ts, "%.4g") +
           (result.TsPredicted ? " (that model's Tp at p = 1)" : "");
}

std::string Runs(const std::vector<int>& runs) {
    std::string text;
    for (int run : runs) text += (text.empty() ? "" : " ") + std::to_string(run);
    return text;
}

std::string ResponsibleRuns(const ImplausibleValue& value) {
    std::string text = "Tp of run(s) " + Runs(value.tpRuns);
    if (!value.tsRuns.empty()) text += "; Ts of run(s) " + Runs(value.tsRuns);
    return text;
}

std::string Where(int p, int W) { return "W = " + std::to_string(W) + ", p = " + std::to_string(p); }

nlohmann::json TextOrNull(const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); }

}  // namespace

std::string StudyText(const Study& study) {
    const std::vector<std::string> types = OverheadTypes(study);
    std::vector<std::vector<std::string>> table = {Header(types)};
    for (const Row& row : study.rows) table.push_back(Cells(row, types));
    std::vector<std::size_t> width(table[0].size(), 0);
    for (const auto& cells : table)
        for (std::size_t k = 0; k < cells.size(); ++k) width[k] = std::max(width[k], cells[k].size());

    std::ostringstream out;
    out << "Scaling of " << study.application << " (times in microseconds; each configuration's Tp is "
        << (study.aggregation == Aggregation::fastest ? "its fastest run's" : "its median run's")
        << ", TpMin and TpMax the spread of its runs; speedup, efficiency, Karp-Flatt and overhead follow from "
           "that Tp and Ts; probeCost is the master's own probe cost within Tp, where its probe stored it, and "
           "TpWithoutProbe that Tp without it)\n";
    for (const auto& cells : table) {
        for (std::size_t k = 0; k < cells.size(); ++k)
            out << (k ? "  " : "") << std::string(width[k] - cells[k].size(), ' ') << cells[k];
        out << "\n";
    }
    if (!study.implausible.empty()) {
        out << "\nImplausible values (beyond the spread of the runs):\n";
        for (const ImplausibleValue& value : study.implausible)
            out << "  " << Where(value.p, value.W) << ": " << value.metric << " " << Format(value.value, "%.4g") << " "
                << value.why << " (" << ResponsibleRuns(value) << ")\n";
    }
    out << "\nModels:\n";
    for (const MetricModel& model : study.models) {
        out << "  " << ModelName(model) << " = " << ModelText(model);
        if (model.model) out << "   " << ModelFigures(*model.model);
        out << "\n";
    }
    if (!study.predictions.empty()) {
        out << "\nPredictions (95% prediction interval):\n";
        for (const PredictionResult& result : study.predictions) {
            out << "  " << result.metric << " at p = " << Format(result.p, "%g") << ", W = " << Format(result.W, "%g")
                << ": " << Format(result.prediction.value, "%.4g");
            if (result.uninformative.empty())
                out << " (" << Format(result.prediction.low, "%.4g") << " to " << Format(result.prediction.high, "%.4g")
                    << ")";
            else
                out << " (interval uninformative: " << result.uninformative << ")";
            out << "  " << PredictionSource(result);
            if (!result.implausible.empty()) out << "  IMPLAUSIBLE: " << result.implausible;
            out << "\n";
        }
    }
    if (!study.isoefficiency.empty()) {
        out << "\nIsoefficiency (W needed at p to hold the efficiency):\n";
        for (const Isoefficiency& iso : study.isoefficiency) {
            out << "  E = " << Format(iso.efficiency, "%.2g") << ":";
            for (const Point& point : iso.W) out << "  p " << point.p << ": W " << Format(point.value, "%.4g");
            out << "\n    W(p) = " << (iso.model ? iso.model->Text() : iso.note) << "\n";
        }
    }
    for (const LeftOutRun& run : study.leftOut)
        out << "Left out: run " << run.expID << " (" << Where(run.p, run.W) << "): " << run.reason << "\n";
    for (const std::string& note : study.notes) out << "Note: " << note << "\n";
    return out.str();
}

std::string StudyCsv(const Study& study) {
    const std::vector<std::string> types = OverheadTypes(study);
    std::string out = CsvLine(Header(types));
    for (const Row& row : study.rows) out += CsvLine(Cells(row, types));
    out += "\n" + CsvLine({"parameters", "W", "metric", "model", "smape", "cvSmape", "adjustedRSquared", "rSquared",
                           "rss", "configurations", "runs", "warning"});
    for (const MetricModel& model : study.models) {
        std::vector<std::string> cells = {model.overPAndW ? "p W" : "p", model.overPAndW ? "" : std::to_string(model.W),
                                          model.metric, ModelText(model)};
        if (model.model) {
            const FitError& error = model.model->error;
            for (double value : {error.smape, error.cvSmape, error.adjustedRSquared, error.rSquared, error.rss})
                cells.push_back(Format(value, "%.6g"));
            cells.push_back(std::to_string(model.model->configurations));
            cells.push_back(std::to_string(model.model->runs));
            cells.push_back(model.model->warning);
        }
        out += CsvLine(cells);
    }
    if (!study.predictions.empty()) {
        out += "\n" + CsvLine({"metric", "p", "W", "value", "low", "high", "model", "from", "Ts", "uninformative",
                               "implausible"});
        for (const PredictionResult& result : study.predictions)
            out += CsvLine({result.metric, Format(result.p, "%g"), Format(result.W, "%g"),
                            Format(result.prediction.value, "%.6g"), Format(result.prediction.low, "%.6g"),
                            Format(result.prediction.high, "%.6g"), result.overPAndW ? "p W" : "p",
                            result.fromTp ? "Tp" : "own", Optional(result.Ts, "%.6g"), result.uninformative,
                            result.implausible});
    }
    if (!study.implausible.empty()) {
        out += "\n" + CsvLine({"implausible", "p", "W", "value", "why", "tpRuns", "tsRuns"});
        for (const ImplausibleValue& value : study.implausible)
            out += CsvLine({value.metric, std::to_string(value.p), std::to_string(value.W), Format(value.value, "%.6g"),
                            value.why, Runs(value.tpRuns), Runs(value.tsRuns)});
    }
    if (!study.leftOut.empty()) {
        out += "\n" + CsvLine({"leftOut", "p", "W", "reason"});
        for (const LeftOutRun& run : study.leftOut)
            out += CsvLine({std::to_string(run.expID), std::to_string(run.p), std::to_string(run.W), run.reason});
    }
    return out;
}

nlohmann::json ModelJson(const Model& model) {
    nlohmann::json terms = nlohmann::json::array();
    for (const Term& term : model.terms)
        terms.push_back({{"coefficient", term.coefficient},
                         {"pExponent", term.pExponent.Value()},
                         {"pExponentText", term.pExponent.Text()},
                         {"logExponent", term.logExponent},
                         {"wExponent", term.wExponent.Value()},
                         {"wExponentText", term.wExponent.Text()},
                         {"wLogExponent", term.wLogExponent}});
    nlohmann::json json = {{"constant", model.constant},
                           {"terms", terms},
                           {"text", model.Text()},
                           {"overW", model.overW},
                           {"configurations", model.configurations},
                           {"runs", model.runs},
                           {"error",
                            {{"rss", model.error.rss},
                             {"rmse", model.error.rmse},
                             {"rSquared", model.error.rSquared},
                             {"adjustedRSquared", model.error.adjustedRSquared},
                             {"smape", model.error.smape},
                             {"cvSmape", model.error.cvSmape}}}};
    if (!model.warning.empty()) json["warning"] = model.warning;
    return json;
}

nlohmann::json StudyJson(const Study& study) {
    auto optional = [](const std::optional<double>& value) { return value ? nlohmann::json(*value) : nlohmann::json(); };
    nlohmann::json rows = nlohmann::json::array();
    for (const Row& row : study.rows)
        rows.push_back({{"W", row.W},
                        {"p", row.p},
                        {"expID", row.expID},
                        {"runs", row.nbrRuns},
                        {"Tp", row.Tp},
                        {"TpMin", row.TpLow},
                        {"TpMax", row.TpHigh},
                        {"tpRuns", row.tpRuns},
                        {"tsRuns", row.tsRuns},
                        {"noise", row.noise},
                        {"variance", row.variance},
                        {"Ts", optional(row.Ts)},
                        {"speedup", optional(row.speedup)},
                        {"efficiency", optional(row.efficiency)},
                        {"karpFlatt", optional(row.karpFlatt)},
                        {"overhead", optional(row.overhead)},
                        {"probeCost", optional(row.probeCost)},
                        {"TpWithoutProbe", optional(row.TpWithoutProbe)},
                        {"overheadByType", row.overheadByType}});
    nlohmann::json models = nlohmann::json::array();
    for (const MetricModel& model : study.models) {
        nlohmann::json points = nlohmann::json::array();
        for (const Point& point : model.points) points.push_back({point.p, point.value, point.W});
        nlohmann::json entry = {{"metric", model.metric}, {"overPAndW", model.overPAndW}, {"points", points}};
        if (!model.overPAndW) entry["W"] = model.W;
        if (model.model)
            entry["model"] = ModelJson(*model.model);
        else
            entry["note"] = model.note;
        models.push_back(entry);
    }
    nlohmann::json iso = nlohmann::json::array();
    for (const Isoefficiency& curve : study.isoefficiency) {
        nlohmann::json points = nlohmann::json::array();
        for (const Point& point : curve.W) points.push_back({point.p, point.value});
        nlohmann::json entry = {{"efficiency", curve.efficiency}, {"W", points}};
        if (curve.model)
            entry["model"] = ModelJson(*curve.model);
        else
            entry["note"] = curve.note;
        iso.push_back(entry);
    }
    nlohmann::json predictions = nlohmann::json::array();
    for (const PredictionResult& result : study.predictions)
        predictions.push_back({{"metric", result.metric},
                               {"p", result.p},
                               {"W", result.W},
                               {"value", result.prediction.value},
                               {"low", result.prediction.low},
                               {"high", result.prediction.high},
                               {"overPAndW", result.overPAndW},
                               {"from", result.fromTp ? "Tp" : "own"},
                               {"Ts", optional(result.Ts)},
                               {"TsPredicted", result.TsPredicted},
                               {"uninformative", TextOrNull(result.uninformative)},
                               {"implausible", TextOrNull(result.implausible)}});
    nlohmann::json implausible = nlohmann::json::array();
    for (const ImplausibleValue& value : study.implausible)
        implausible.push_back({{"metric", value.metric},
                               {"p", value.p},
                               {"W", value.W},
                               {"value", value.value},
                               {"why", value.why},
                               {"tpRuns", value.tpRuns},
                               {"tsRuns", value.tsRuns}});
    nlohmann::json leftOut = nlohmann::json::array();
    for (const LeftOutRun& run : study.leftOut)
        leftOut.push_back({{"expID", run.expID}, {"p", run.p}, {"W", run.W}, {"reason", run.reason}});
    return {{"application", study.application},
            {"aggregation", AggregationName(study.aggregation)},
            {"rows", rows},
            {"predictions", predictions},
            {"implausible", implausible},
            {"leftOut", leftOut},
            {"models", models},
            {"isoefficiency", iso},
            {"notes", study.notes}};
}

}  // namespace scaling
