#include "scaling/series.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
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

// The metrics of a configuration with p processes, parallel time Tp, time by phase
// type `totals` and sequential time Ts (0: none), by name: "Tp", "speedup", ...,
// "overhead:<type>" (the split only when the phases' totals are known).
std::map<std::string, double> MetricsOf(int p, double Tp, double Ts, const std::map<std::string, double>& totals) {
    std::map<std::string, double> values = {{"Tp", Tp}};
    if (Ts <= 0) return values;
    values["speedup"] = Ts / Tp;
    values["efficiency"] = Ts / Tp / p;
    if (p > 1) values["karpFlatt"] = KarpFlatt(Ts / Tp, p);
    values["overhead"] = p * Tp - Ts;
    if (totals.empty()) return values;  // no phases: how the overhead splits is not known
    double covered = 0;
    for (const auto& [type, time] : totals) {
        covered += time;
        values[kOverheadPrefix + type] = type == kWorkType ? time - Ts : time;
    }
    if (totals.find(kWorkType) == totals.end()) values[kOverheadPrefix + kWorkType] = -Ts;
    values[kOverheadPrefix + kOutsidePhases] = p * Tp - covered;
    return values;
}

// The runs that can enter a series, of each configuration (W, p), fastest first; the
// others go to leftOut.
std::map<std::pair<int, int>, std::vector<const Run*>> Configurations(const std::vector<Run>& runs,
                                                                      std::vector<LeftOutRun>& leftOut) {
    std::map<std::pair<int, int>, std::vector<const Run*>> byConfiguration;
    for (const Run& run : runs) {
        std::string reason = run.leftOut;
        if (reason.empty() && run.Tp <= 0) reason = "never finished";
        if (reason.empty() && run.p < 1) reason = "p below 1";
        if (!reason.empty()) {
            leftOut.push_back({run.expID, run.p, run.W, reason});
            continue;
        }
        byConfiguration[{run.W, run.p}].push_back(&run);
    }
    for (auto& [configuration, candidates] : byConfiguration)
        std::stable_sort(candidates.begin(), candidates.end(), [](const Run* a, const Run* b) { return a->Tp < b->Tp; });
    return byConfiguration;
}

// The runs (of a configuration, fastest first) whose mean Tp is its Tp.
std::vector<const Run*> Chosen(const std::vector<const Run*>& runs, Aggregation aggregation) {
    if (aggregation == Aggregation::fastest) return {runs.front()};
    const std::size_t middle = (runs.size() - 1) / 2;
    if (runs.size() % 2 == 1) return {runs[middle]};
    return {runs[middle], runs[middle + 1]};
}

std::vector<int> IDs(const std::vector<const Run*>& runs) {
    std::vector<int> ids;
    for (const Run* run : runs) ids.push_back(run->expID);
    return ids;
}

// The sequential time of a W: its p = 1 configuration's Tp, the runs it comes from and
// the relative spread of that configuration's runs.
struct Reference {
    double Ts = 0;
    std::vector<int> runs;
    double spread = 0;
};

// The smallest relative spread a value may pass its bound by.
constexpr double kLeastNoise = 0.01;

// The row of one configuration (runs fastest first): its Tp and time by type
// aggregated, every other metric derived from them and Ts (the reference of its W,
// else the chosen runs' own), with the variance of each metric over the runs.
Row Aggregate(const std::vector<const Run*>& runs, const Reference* reference, Aggregation aggregation) {
    Row row;
    row.W = runs.front()->W;
    row.p = runs.front()->p;
    row.nbrRuns = static_cast<int>(runs.size());
    row.TpLow = runs.front()->Tp;
    row.TpHigh = runs.back()->Tp;
    const std::vector<const Run*> chosen = Chosen(runs, aggregation);
    row.expID = chosen.front()->expID;
    row.tpRuns = IDs(chosen);
    const double share = 1.0 / chosen.size();
    std::map<std::string, double> totals;
    double ownTs = 0, probeCost = 0;
    bool allOwnTs = true, allProbeCosts = true;
    for (const Run* run : chosen) {
        row.Tp += share * run->Tp;
        probeCost += share * run->probeCost.value_or(0);
        allProbeCosts &= run->probeCost.has_value();
        for (const auto& [type, time] : run->totals) totals[type] += share * time;
        ownTs += share * run->Ts;
        allOwnTs &= run->Ts > 0;
    }
    double Ts = 0;
    if (reference) {
        Ts = reference->Ts;
        row.tsRuns = reference->runs;
    } else if (allOwnTs) {
        Ts = ownTs;
        row.tsRuns = row.tpRuns;
    }
    if (Ts > 0) row.Ts = Ts;
    if (allProbeCosts) {
        row.probeCost = probeCost;
        row.TpWithoutProbe = row.Tp - probeCost;
    }
    row.noise = std::max(kLeastNoise, (row.TpHigh - row.TpLow) / row.Tp + (reference ? reference->spread : 0));

    std::map<std::string, std::vector<double>> byMetric;
    for (const Run* run : runs)
        for (const auto& [metric, value] : MetricsOf(run->p, run->Tp, Ts, run->totals)) byMetric[metric].push_back(value);
    for (const auto& [metric, all] : byMetric) {
        double mean = 0, squares = 0;
        for (double value : all) mean += value / all.size();
        for (double value : all) squares += (value - mean) * (value - mean);
        row.variance[metric] = all.size() > 1 ? squares / (all.size() - 1) : 0;
    }

    const std::map<std::string, double> values = MetricsOf(row.p, row.Tp, Ts, totals);
    auto optional = [&values](const std::string& metric) {
        const auto found = values.find(metric);
        return found == values.end() ? std::nullopt : std::optional<double>(found->second);
    };
    row.speedup = optional("speedup");
    row.efficiency = optional("efficiency");
    row.karpFlatt = optional("karpFlatt");
    row.overhead = optional("overhead");
    for (const auto& [metric, value] : values)
        if (metric.rfind(kOverheadPrefix, 0) == 0) row.overheadByType[metric.substr(kOverheadPrefix.size())] = value;
    return row;
}

// The values of a row that its metrics cannot take by more than the runs' spread.
void FlagImplausible(const Row& row, std::vector<ImplausibleValue>& flags) {
    auto flag = [&](const std::string& metric, double value, const std::string& why, bool withTs) {
        flags.push_back({metric, row.p, row.W, value, why, row.tpRuns, withTs ? row.tsRuns : std::vector<int>{}});
    };
    if (!row.speedup) return;
    const double S = *row.speedup, tolerance = 1 + row.noise;
    if (S > row.p * tolerance) flag("speedup", S, "above p", true);
    if (*row.efficiency > tolerance) flag("efficiency", *row.efficiency, "above 1", true);
    if (row.karpFlatt && S > row.p * tolerance) flag("karpFlatt", *row.karpFlatt, "below 0", true);
    if (row.karpFlatt && S * tolerance < 1) flag("karpFlatt", *row.karpFlatt, "above 1", true);
    const double slack = row.noise * row.p * row.Tp;
    if (*row.overhead < -slack) flag("overhead", *row.overhead, "below 0", true);
    for (const auto& [type, time] : row.overheadByType)
        if (time < -slack) flag(kOverheadPrefix + type, time, "below 0", type == kWorkType);
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
    // A run without phases of a type spent no time on it; one without phases tells nothing.
    if (metric.rfind(kOverheadPrefix, 0) == 0 && row.overhead && !row.overheadByType.empty()) {
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

bool IsDerived(const std::string& metric) {
    const std::vector<std::string>& derived = DerivedMetrics();
    return std::find(derived.begin(), derived.end(), metric) != derived.end();
}

// The sequential time of each W as the predictions use it: the median of its rows' Ts
// (all the same when the W has a p = 1 configuration).
std::map<double, double> SequentialTimes(const std::vector<Row>& rows) {
    std::map<double, std::vector<double>> byW;
    for (const Row& row : rows)
        if (row.Ts) byW[row.W].push_back(*row.Ts);
    std::map<double, double> times;
    for (auto& [W, all] : byW) {
        std::sort(all.begin(), all.end());
        const std::size_t middle = all.size() / 2;
        times[W] = all.size() % 2 == 1 ? all[middle] : (all[middle - 1] + all[middle]) / 2;
    }
    return times;
}

// The models of a metric that predict at the request: the model over p and W when the
// request names a W and there is one, else the models over p of that W (or of every
// measured W when the request names none).
std::vector<const MetricModel*> ModelsFor(const Study& study, const std::string& metric,
                                          const PredictionRequest& request) {
    const MetricModel* joint = nullptr;
    std::vector<const MetricModel*> byW;
    for (const MetricModel& model : study.models)
        if (model.metric == metric && model.model) {
            if (model.overPAndW) joint = &model;
            else if (!request.W || model.W == *request.W) byW.push_back(&model);
        }
    if (request.W && joint) return {joint};
    return byW;
}

// What a value of the metric at p cannot be, in words, empty when it can be. scale is
// the size below which a negative value counts as 0.
std::string ImplausibleAt(const std::string& metric, double p, double value, double scale) {
    const double tolerance = 1 + kLeastNoise;
    if (metric == "speedup" && value > p * tolerance) return "above p";
    if (metric == "efficiency" && value > tolerance) return "above 1";
    if (metric == "karpFlatt" && p > 1 && value > tolerance) return "above 1";
    if (metric == "karpFlatt" && p > 1 && value < -kLeastNoise) return "below 0";
    if (metric != "karpFlatt" && value < -kLeastNoise * scale) return "below 0";
    return "";
}

// Why an interval says nothing, empty when it says something: it reaches the metric's
// bound (0, or p for a speedup, 1 for an efficiency, 0 and 1 for the Karp-Flatt
// fraction) and is wider than the value. The reason is read off the model that made it.
std::string Uninformative(const std::string& metric, double p, const Prediction& prediction,
                          const MetricModel& source) {
    const double value = prediction.value;
    const double epsilon = 1e-9 * std::max(1.0, std::fabs(value));
    double upper = std::numeric_limits<double>::infinity();
    if (metric == "speedup") upper = p;
    if (metric == "efficiency" || metric == "karpFlatt") upper = 1;
    const bool atBound = (prediction.low <= epsilon && value > 0) || (prediction.high >= upper - epsilon && value < upper);
    if (!atBound || prediction.high - prediction.low <= std::fabs(value)) return "";
    const Model& model = *source.model;
    if (model.degreesOfFreedom <= 3)
        return "too few points (" + std::to_string(model.configurations) + " configurations for " +
               std::to_string(model.terms.size() + 1) + " coefficients)";
    const double scatter = std::sqrt(model.relativeVariance);
    if (scatter >= 0.1) return "too much noise (the values scatter by " + Number(std::round(100 * scatter)) +
                               " % about the model)";
    double largest = 0;
    for (const Point& point : source.points) largest = std::max(largest, point.p);
    if (p > 2 * largest) return "too far beyond the measured p (up to " + Number(largest) + ")";
    return "the models that fit nearly as well disagree there";
}

// A metric by its own model at the request, its interval ending at the values the
// metric cannot pass (below 0, a speedup above p).
PredictionResult OwnPrediction(const std::string& metric, const MetricModel& model, double p, double W,
                               const StudySettings& settings) {
    const Plausibility plausibility = PlausibilityOf(metric, settings);
    Prediction prediction = model.model->Predict(p, W);
    if (plausibility.nonNegative) prediction.low = std::max(prediction.low, std::min(0.0, prediction.value));
    if (plausibility.upperBound)
        prediction.high = std::min(prediction.high, std::max(plausibility.upperBound(p), prediction.value));
    PredictionResult result;
    result.metric = metric;
    result.p = p;
    result.W = W;
    result.overPAndW = model.overPAndW;
    result.prediction = prediction;
    double scale = 0;
    for (const Point& point : model.points) scale = std::max(scale, std::fabs(point.value));
    result.implausible = ImplausibleAt(metric, p, prediction.value, scale);
    result.uninformative = Uninformative(metric, p, prediction, model);
    return result;
}

// A derived metric from the predicted Tp and the sequential time Ts (both with their
// intervals): speedup Ts / Tp, efficiency speedup / p, the Karp-Flatt fraction of that
// speedup, overhead p * Tp - Ts. The interval holds every value the two intervals allow.
PredictionResult DerivedPrediction(const std::string& metric, const PredictionResult& tp, const Prediction& Ts,
                                   bool TsPredicted, const MetricModel& tpModel) {
    const double p = tp.p, infinity = std::numeric_limits<double>::infinity();
    const Prediction& time = tp.prediction;
    Prediction speedup{Ts.value / time.value, std::max(0.0, Ts.low) / time.high,
                       time.low > 0 ? Ts.high / time.low : infinity};
    speedup.high = std::min(speedup.high, std::max(p, speedup.value));
    Prediction derived = speedup;
    if (metric == "efficiency") derived = {speedup.value / p, speedup.low / p, speedup.high / p};
    if (metric == "karpFlatt") {
        const auto karpFlatt = [p](double S) { return (1 / S - 1 / p) / (1 - 1 / p); };
        derived = {karpFlatt(speedup.value), karpFlatt(speedup.high),
                   speedup.low > 0 ? karpFlatt(speedup.low) : infinity};
        derived.low = std::max(derived.low, std::min(0.0, derived.value));
        derived.high = std::min(derived.high, std::max(1.0, derived.value));
    }
    if (metric == "overhead") derived = {p * time.value - Ts.value, p * time.low - Ts.high, p * time.high - Ts.low};
    PredictionResult result = tp;
    result.metric = metric;
    result.fromTp = true;
    result.Ts = Ts.value;
    result.TsPredicted = TsPredicted;
    result.prediction = derived;
    result.implausible = ImplausibleAt(metric, p, derived.value, p * time.value);
    result.uninformative = Uninformative(metric, p, derived, tpModel);
    return result;
}

std::string Names(const std::vector<std::string>& metrics) {
    std::string names;
    for (const std::string& metric : metrics) names += (names.empty() ? "" : ", ") + metric;
    return names;
}

// Every metric at every requested configuration. Tp and the overhead by phase type
// come from their models (over p and W when the request names a W and there is one,
// else over p at that W, or at every measured W when the request names none); the
// derived metrics from the predicted Tp and the W's sequential time (at a W not
// measured, the model's Tp at p = 1), unless settings ask for their own models. What
// cannot be predicted is said in a note.
void Predict(Study& study, const StudySettings& settings) {
    std::vector<std::string> metrics;  // in the models' order
    for (const MetricModel& model : study.models)
        if (std::find(metrics.begin(), metrics.end(), model.metric) == metrics.end()) metrics.push_back(model.metric);
    const std::map<double, double> sequential = SequentialTimes(study.rows);
    for (const PredictionRequest& request : settings.predictions) {
        const std::string at = "p = " + Number(request.p) + (request.W ? ", W = " + Number(*request.W) : "");
        std::vector<std::string> missing;
        std::vector<std::string> withoutTs;
        for (const std::string& metric : metrics) {
            const bool fromTp = IsDerived(metric) && !settings.ownModels.count(metric);
            if (metric == "karpFlatt" && request.p <= 1) continue;
            const std::vector<const MetricModel*> models = ModelsFor(study, fromTp ? "Tp" : metric, request);
            std::size_t made = 0;
            for (const MetricModel* model : models) {
                const double W = model->overPAndW ? *request.W : model->W;
                if (!fromTp) {
                    study.predictions.push_back(OwnPrediction(metric, *model, request.p, W, settings));
                    ++made;
                    continue;
                }
                const PredictionResult tp = OwnPrediction("Tp", *model, request.p, W, settings);
                const auto measured = sequential.find(W);
                Prediction Ts;
                if (measured != sequential.end())
                    Ts = {measured->second, measured->second, measured->second};
                else if (model->overPAndW)
                    Ts = OwnPrediction("Tp", *model, 1, W, settings).prediction;
                if (Ts.value <= 0 || tp.prediction.value <= 0) continue;
                study.predictions.push_back(DerivedPrediction(metric, tp, Ts, measured == sequential.end(), *model));
                ++made;
            }
            if (made == 0) (fromTp && !models.empty() ? withoutTs : missing).push_back(metric);
        }
        if (!missing.empty())
            study.notes.push_back("no model to predict " + Names(missing) + " at " + at +
                                  (request.W ? " (a W not measured needs a model over p and W)" : ""));
        if (!withoutTs.empty())
            study.notes.push_back("no " + Names(withoutTs) + " predicted at " + at +
                                  ": no sequential time of that W, or the predicted Tp is not above 0");
    }
}

}  // namespace

double KarpFlatt(double speedup, int p) { return (1 / speedup - 1.0 / p) / (1 - 1.0 / p); }

const std::vector<std::string>& DerivedMetrics() {
    static const std::vector<std::string> metrics = {"speedup", "efficiency", "karpFlatt", "overhead"};
    return metrics;
}

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
    const auto configurations = Configurations(runs, study.leftOut);
    if (configurations.empty())
        throw std::invalid_argument("no finished experiment of application " + application +
                                    " (none has a parallel time)");

    // The sequential time of each W: its p = 1 configuration's Tp.
    std::map<int, Reference> sequential;
    for (const auto& [configuration, candidates] : configurations)
        if (configuration.second == 1) {
            const Row row = Aggregate(candidates, nullptr, settings.aggregation);
            sequential[configuration.first] = {row.Tp, row.tpRuns, (row.TpHigh - row.TpLow) / row.Tp};
        }
    std::set<int> Ws, grid;
    for (const auto& [configuration, candidates] : configurations) {
        const auto reference = sequential.find(configuration.first);
        study.rows.push_back(Aggregate(candidates, reference != sequential.end() ? &reference->second : nullptr,
                                       settings.aggregation));
        FlagImplausible(study.rows.back(), study.implausible);
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
