#include "series.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>

namespace scaling {

namespace {

const char* const kOutsidePhases = "outside phases";
const std::string kOverheadPrefix = "overhead:";

std::string Join(const std::vector<int>& values) {
    std::ostringstream text;
    for (std::size_t k = 0; k < values.size(); ++k) text << (k ? " " : "") << values[k];
    return text.str();
}

// The metrics of one run with the sequential time Ts (0: none), by name: "Tp", "Ts",
// "speedup", ..., "overhead:<type>".
std::map<std::string, double> RunMetrics(const Run& run, double Ts) {
    std::map<std::string, double> values = {{"Tp", run.Tp}};
    if (Ts <= 0) return values;
    values["Ts"] = Ts;
    values["speedup"] = Ts / run.Tp;
    values["efficiency"] = Ts / run.Tp / run.p;
    if (run.p > 1) values["karpFlatt"] = KarpFlatt(Ts / run.Tp, run.p);
    values["overhead"] = run.p * run.Tp - Ts;
    double covered = 0;
    for (const auto& [type, time] : run.totals) {
        covered += time;
        values[kOverheadPrefix + type] = type == kWorkType ? time - Ts : time;
    }
    if (run.totals.find(kWorkType) == run.totals.end()) values[kOverheadPrefix + kWorkType] = -Ts;
    values[kOverheadPrefix + kOutsidePhases] = run.p * run.Tp - covered;
    return values;
}

// The finished runs of each configuration (W, p), fastest first.
std::map<std::pair<int, int>, std::vector<const Run*>> Configurations(const std::vector<Run>& runs,
                                                                      std::vector<std::string>& notes) {
    std::map<std::pair<int, int>, std::vector<const Run*>> byConfiguration;
    int unfinished = 0;
    for (const Run& run : runs) {
        if (!run.leftOut.empty() || run.Tp <= 0 || run.p < 1) {
            ++unfinished;
            continue;
        }
        byConfiguration[{run.W, run.p}].push_back(&run);
    }
    if (unfinished > 0)
        notes.push_back(std::to_string(unfinished) + " run(s) without a parallel time (never finished) left out");
    for (auto& [configuration, candidates] : byConfiguration)
        std::stable_sort(candidates.begin(), candidates.end(), [](const Run* a, const Run* b) { return a->Tp < b->Tp; });
    return byConfiguration;
}

// The runs (of a configuration, fastest first) whose metrics make its value.
std::vector<const Run*> Chosen(const std::vector<const Run*>& runs, Aggregation aggregation) {
    if (aggregation == Aggregation::fastest) return {runs.front()};
    const std::size_t middle = (runs.size() - 1) / 2;
    if (runs.size() % 2 == 1) return {runs[middle]};
    return {runs[middle], runs[middle + 1]};
}

// The row of one configuration (runs fastest first): its runs' metrics aggregated,
// with their variance. referenceTs is the sequential time of the configuration's W,
// 0 when none was measured (each run's own Ts counts then).
Row Aggregate(const std::vector<const Run*>& runs, double referenceTs, Aggregation aggregation) {
    Row row;
    row.W = runs.front()->W;
    row.p = runs.front()->p;
    row.nbrRuns = static_cast<int>(runs.size());
    row.TpLow = runs.front()->Tp;
    row.TpHigh = runs.back()->Tp;
    auto metricsOf = [referenceTs](const Run* run) { return RunMetrics(*run, referenceTs > 0 ? referenceTs : run->Ts); };

    std::map<std::string, std::vector<double>> byMetric;
    for (const Run* run : runs)
        for (const auto& [metric, value] : metricsOf(run)) byMetric[metric].push_back(value);
    for (const auto& [metric, all] : byMetric) {
        double mean = 0, squares = 0;
        for (double value : all) mean += value / all.size();
        for (double value : all) squares += (value - mean) * (value - mean);
        if (metric != "Ts") row.variance[metric] = all.size() > 1 ? squares / (all.size() - 1) : 0;
    }

    const std::vector<const Run*> chosen = Chosen(runs, aggregation);
    row.expID = chosen.front()->expID;
    std::map<std::string, double> values;
    for (const Run* run : chosen)
        for (const auto& [metric, value] : metricsOf(run)) values[metric] += value / chosen.size();
    auto optional = [&values](const std::string& metric) {
        const auto found = values.find(metric);
        return found == values.end() ? std::nullopt : std::optional<double>(found->second);
    };
    row.Tp = values.at("Tp");
    row.Ts = optional("Ts");
    row.speedup = optional("speedup");
    row.efficiency = optional("efficiency");
    row.karpFlatt = optional("karpFlatt");
    row.overhead = optional("overhead");
    for (const auto& [metric, value] : values)
        if (metric.rfind(kOverheadPrefix, 0) == 0) row.overheadByType[metric.substr(kOverheadPrefix.size())] = value;
    return row;
}

// Holes in a series of p that is mostly filled: p values between the smallest and
// the largest that no run has, when they are fewer than half the measured ones.
std::vector<int> MissingP(const std::set<int>& ps, const std::set<int>& grid) {
    std::vector<int> missing;
    for (int p : grid)
        if (!ps.count(p)) missing.push_back(p);
    if (!missing.empty() || ps.size() < 2) return missing;
    for (int p = *ps.begin() + 1; p < *ps.rbegin(); ++p)
        if (!ps.count(p)) missing.push_back(p);
    if (2 * missing.size() > ps.size()) missing.clear();
    return missing;
}

std::optional<double> Metric(const Row& row, const std::string& metric) {
    if (metric == "Tp") return row.Tp;
    if (metric == "speedup") return row.speedup;
    if (metric == "efficiency") return row.efficiency;
    if (metric == "karpFlatt") return row.karpFlatt;
    if (metric == "overhead") return row.overhead;
    // A run without phases of a type spent no time on it.
    if (metric.rfind(kOverheadPrefix, 0) == 0 && row.overhead) {
        const auto found = row.overheadByType.find(metric.substr(kOverheadPrefix.size()));
        return found != row.overheadByType.end() ? found->second : 0.0;
    }
    return std::nullopt;
}

// The values a metric cannot take: times and ratios are not negative, a speedup is at
// most p and an efficiency at most 1; the overhead, its work beyond Ts, the time
// outside phases and the Karp-Flatt fraction go below 0 when the speedup is superlinear.
Plausibility PlausibilityOf(const std::string& metric, const StudySettings& settings) {
    Plausibility plausibility;
    plausibility.nonNegative = metric == "Tp" || metric == "speedup" || metric == "efficiency" ||
                               (metric.rfind(kOverheadPrefix, 0) == 0 && metric != kOverheadPrefix + kWorkType &&
                                metric != kOverheadPrefix + kOutsidePhases);
    if (metric == "speedup") {
        plausibility.upperBound = [](double p) { return p; };
        plausibility.upperBoundText = "p";
    }
    if (metric == "efficiency") {
        plausibility.upperBound = [](double) { return 1.0; };
        plausibility.upperBoundText = "1";
    }
    for (const PredictionRequest& request : settings.predictions) {
        plausibility.largestP = std::max(plausibility.largestP, request.p);
        plausibility.largestW = std::max(plausibility.largestW, request.W.value_or(0));
    }
    return plausibility;
}

std::vector<Point> PointsOf(const std::string& metric, const std::vector<Row>& rows, std::optional<int> W) {
    std::vector<Point> points;
    for (const Row& row : rows)
        if (!W || row.W == *W)
            if (const std::optional<double> value = Metric(row, metric)) {
                const auto variance = row.variance.find(metric);
                points.push_back({double(row.p), *value, double(row.W), row.nbrRuns,
                                  variance != row.variance.end() ? variance->second : 0.0});
            }
    return points;
}

MetricModel ModelOf(const std::string& metric, int W, const std::vector<Row>& rows, const StudySettings& settings) {
    MetricModel result;
    result.metric = metric;
    result.W = W;
    result.points = PointsOf(metric, rows, W);
    result.model = FitModel(result.points, PlausibilityOf(metric, settings));
    if (!result.model)
        result.note = "too few points: " + std::to_string(DistinctP(result.points)) + " value(s) of p, a model needs " +
                      std::to_string(kMinModelPoints);
    return result;
}

MetricModel ModelOverPAndW(const std::string& metric, const std::vector<Row>& rows, const StudySettings& settings) {
    MetricModel result;
    result.metric = metric;
    result.overPAndW = true;
    result.points = PointsOf(metric, rows, std::nullopt);
    result.model = FitModelOverPAndW(result.points, PlausibilityOf(metric, settings));
    if (!result.model)
        result.note = "too few points: a model over p and W needs " + std::to_string(kMinModelWs) +
                      " values of W, a series of " + std::to_string(kMinModelPoints) + " values of p and W > 0";
    return result;
}

// W holding `level` at each p > 1, interpolated on log W between the two measured W
// whose efficiencies enclose it.
Isoefficiency IsoefficiencyAt(double level, const std::vector<Row>& rows) {
    Isoefficiency iso;
    iso.efficiency = level;
    std::map<int, std::vector<const Row*>> byP;
    for (const Row& row : rows)
        if (row.p > 1 && row.efficiency) byP[row.p].push_back(&row);
    for (auto& [p, atP] : byP) {
        std::sort(atP.begin(), atP.end(), [](const Row* a, const Row* b) { return a->W < b->W; });
        for (std::size_t k = 0; k + 1 < atP.size(); ++k) {
            const double e0 = *atP[k]->efficiency, e1 = *atP[k + 1]->efficiency;
            if ((level - e0) * (level - e1) > 0 || e0 == e1 || atP[k]->W <= 0) continue;
            const double w0 = std::log(atP[k]->W), w1 = std::log(atP[k + 1]->W);
            iso.W.push_back({double(p), std::exp(w0 + (level - e0) / (e1 - e0) * (w1 - w0))});
            break;
        }
    }
    Plausibility plausibility;
    plausibility.nonNegative = true;
    iso.model = FitModel(iso.W, plausibility);
    if (!iso.model)
        iso.note = "too few points: " + std::to_string(iso.W.size()) + " value(s) of p, a model needs " +
                   std::to_string(kMinModelPoints);
    return iso;
}

// Efficiencies worth holding: five evenly spaced between the lowest and the highest
// measured at p > 1 (ends excluded), to two significant digits.
std::vector<double> EfficiencyLevels(const std::vector<Row>& rows) {
    std::optional<double> low, high;
    for (const Row& row : rows)
        if (row.p > 1 && row.efficiency) {
            low = std::min(low.value_or(*row.efficiency), *row.efficiency);
            high = std::max(high.value_or(*row.efficiency), *row.efficiency);
        }
    std::vector<double> levels;
    if (!low || *high <= *low) return levels;
    for (int k = 5; k >= 1; --k) {
        const double level = *low + (*high - *low) * k / 6;
        const double scale = std::pow(10, std::floor(std::log10(level)) - 1);
        levels.push_back(std::round(level / scale) * scale);
    }
    return levels;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// Every metric at every requested configuration: by the model over p and W when the
// request names a W and there is one, else by the model over p of that W (or of every
// measured W when the request names none). The interval ends at the values the metric
// cannot pass (below 0, a speedup above p). What cannot be predicted is said in a note.
void Predict(Study& study, const StudySettings& settings) {
    for (const PredictionRequest& request : settings.predictions) {
        const std::string at = "p = " + Number(request.p) + (request.W ? ", W = " + Number(*request.W) : "");
        std::vector<std::string> missing;
        std::set<std::string> metrics;
        for (const MetricModel& model : study.models) metrics.insert(model.metric);
        for (const std::string& metric : metrics) {
            const MetricModel* joint = nullptr;
            std::vector<const MetricModel*> byW;
            for (const MetricModel& model : study.models)
                if (model.metric == metric && model.model) {
                    if (model.overPAndW) joint = &model;
                    else if (!request.W || model.W == *request.W) byW.push_back(&model);
                }
            if (request.W && joint) byW = {joint};
            if (byW.empty()) missing.push_back(metric);
            const Plausibility plausibility = PlausibilityOf(metric, settings);
            for (const MetricModel* model : byW) {
                const double W = model->overPAndW ? *request.W : model->W;
                Prediction prediction = model->model->Predict(request.p, W);
                if (plausibility.nonNegative) prediction.low = std::max(prediction.low, std::min(0.0, prediction.value));
                if (plausibility.upperBound)
                    prediction.high = std::min(prediction.high, std::max(plausibility.upperBound(request.p), prediction.value));
                study.predictions.push_back({metric, request.p, W, model->overPAndW, prediction});
            }
        }
        if (!missing.empty()) {
            std::string names;
            for (const std::string& metric : missing) names += (names.empty() ? "" : ", ") + metric;
            study.notes.push_back("no model to predict " + names + " at " + at +
                                  (request.W ? " (a W not measured needs a model over p and W)" : ""));
        }
    }
}

}  // namespace

double KarpFlatt(double speedup, int p) { return (1 / speedup - 1.0 / p) / (1 - 1.0 / p); }

const std::vector<std::string>& ModelledMetrics() {
    static const std::vector<std::string> metrics = {"Tp", "speedup", "efficiency", "karpFlatt", "overhead"};
    return metrics;
}

PredictionRequest ParsePredictionRequest(const std::string& text) {
    PredictionRequest request;
    bool withP = false;
    std::istringstream parts(text);
    std::string part;
    auto fail = [&text](const std::string& why) {
        throw std::invalid_argument("--predict " + text + ": " + why + " (expected p=P or p=P,W=W)");
    };
    while (std::getline(parts, part, ',')) {
        const std::size_t equals = part.find('=');
        if (equals == std::string::npos) fail("'" + part + "' is not NAME=VALUE");
        std::string name = part.substr(0, equals), value = part.substr(equals + 1);
        auto trim = [](std::string& word) {
            word.erase(0, word.find_first_not_of(" \t"));
            word.erase(word.find_last_not_of(" \t") + 1);
        };
        trim(name);
        trim(value);
        std::size_t used = 0;
        double number = 0;
        try {
            number = std::stod(value, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (value.empty() || used != value.size() || !std::isfinite(number) || number <= 0)
            fail("'" + value + "' is not a positive number");
        if (name == "p" && !withP) {
            request.p = number;
            withP = true;
        } else if (name == "W" && !request.W) {
            request.W = number;
        } else {
            fail("'" + name + "' is not p or W, or is given twice");
        }
    }
    if (!withP) fail("no p");
    return request;
}

Study StudyScaling(const std::string& application, const std::vector<Run>& runs, const StudySettings& settings) {
    Study study;
    study.application = application;
    study.aggregation = settings.aggregation;
    if (runs.empty()) throw std::invalid_argument("no stored experiments of application " + application);
    const auto configurations = Configurations(runs, study.notes);
    if (configurations.empty())
        throw std::invalid_argument("no finished experiment of application " + application +
                                    " (none has a parallel time)");

    // The sequential time of each W: its p = 1 configuration's value.
    std::map<int, double> sequential;
    for (const auto& [configuration, candidates] : configurations)
        if (configuration.second == 1)
            sequential[configuration.first] = Aggregate(candidates, 0, settings.aggregation).Tp;
    std::set<int> Ws, grid;
    for (const auto& [configuration, candidates] : configurations) {
        const auto reference = sequential.find(configuration.first);
        study.rows.push_back(
            Aggregate(candidates, reference != sequential.end() ? reference->second : 0, settings.aggregation));
        Ws.insert(configuration.first);
        grid.insert(configuration.second);
    }

    std::set<std::string> overheadTypes;
    for (int W : Ws) {
        std::set<int> ps;
        bool withoutTs = false;
        for (const Row& row : study.rows)
            if (row.W == W) {
                ps.insert(row.p);
                withoutTs |= !row.Ts;
                for (const auto& [type, time] : row.overheadByType) overheadTypes.insert(type);
            }
        const std::string series = "W = " + std::to_string(W) + ": ";
        const std::vector<int> missing = MissingP(ps, grid);
        if (!missing.empty())
            study.notes.push_back(series + "no run at p = " + Join(missing) + " (measured p = " +
                                  Join(std::vector<int>(ps.begin(), ps.end())) + "); nothing is filled in for them");
        if (withoutTs)
            study.notes.push_back(series + "no sequential time (no run at p = 1, no stored Ts) for some p: their speedup, "
                                  "efficiency, Karp-Flatt fraction and overhead are not given");
    }

    std::vector<std::string> metrics = ModelledMetrics();
    for (const std::string& type : overheadTypes) metrics.push_back(kOverheadPrefix + type);
    for (int W : Ws)
        for (const std::string& metric : metrics) {
            MetricModel model = ModelOf(metric, W, study.rows, settings);
            if (!model.points.empty()) study.models.push_back(std::move(model));
        }
    if (static_cast<int>(Ws.size()) >= kMinModelWs)
        for (const std::string& metric : metrics) {
            MetricModel model = ModelOverPAndW(metric, study.rows, settings);
            if (!model.points.empty()) study.models.push_back(std::move(model));
        }
    for (const MetricModel& model : study.models)
        if (model.model && !model.model->warning.empty())
            study.notes.push_back((model.overPAndW ? std::string("over p and W") : "W = " + std::to_string(model.W)) +
                                  ": no plausible model of " + model.metric + " found; the one shown " +
                                  model.model->warning);
    Predict(study, settings);

    if (Ws.size() > 1) {
        for (double level : EfficiencyLevels(study.rows)) {
            Isoefficiency iso = IsoefficiencyAt(level, study.rows);
            if (iso.W.size() >= 2) study.isoefficiency.push_back(std::move(iso));
        }
        const bool anyEfficiency = std::any_of(study.rows.begin(), study.rows.end(),
                                               [](const Row& row) { return row.p > 1 && row.efficiency; });
        if (!anyEfficiency)
            study.notes.push_back("no efficiency at p > 1 (no sequential time): no isoefficiency");
        else if (study.isoefficiency.empty())
            study.notes.push_back("no efficiency is reached at two values of p between measured W: no isoefficiency");
    }
    return study;
}

}  // namespace scaling
