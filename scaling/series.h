// A scaling study of one application: its stored runs over p (and W) turned into
// speedup, efficiency, the Karp-Flatt serial fraction and the total overhead split by
// phase type, with an empirical model of every metric over p (and W), predictions
// with their uncertainty and, where W varies, the isoefficiency (how W must grow
// with p to keep an efficiency).
#pragma once
#include "scaling/empirical_model.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace scaling {

// One stored run, as the study needs it (times in microseconds).
struct Run {
    int expID = 0;
    int p = 0;
    int W = 0;
    double Tp = 0;                          // 0: never finished
    double Ts = 0;                          // the run's own sequential reference, 0 when none
    std::map<std::string, double> totals;   // experiment-wide time by phase type name
    // The master's own probe cost, which lies in Tp, where its probe stored it.
    std::optional<double> probeCost;
    // Why the run cannot enter a series ("crashed", "never finished"), empty when it can.
    std::string leftOut;
};

// The name of the useful-work phase type among the totals.
constexpr const char* kWorkType = "work";

// How the runs of one configuration make its value: the median run by Tp (the mean of
// the two middle ones for an even count), or the fastest run.
enum class Aggregation { median, fastest };

// One configuration (p, W) of the series: its runs aggregated and what follows from them.
// Tp comes first (the median or fastest run's); every other metric follows from that
// Tp and Ts, so that at p = 1 the speedup and the efficiency are exactly 1.
struct Row {
    int p = 0;
    int W = 0;
    int expID = 0;                       // the fastest run, or the (lower) median one
    int nbrRuns = 0;                     // stored finished runs of this configuration
    double Tp = 0;
    double TpLow = 0, TpHigh = 0;        // the fastest and the slowest run
    std::vector<int> tpRuns;             // the runs whose Tp (their mean) is the row's
    std::optional<double> Ts;            // from the p = 1 configuration of this W, else the runs' own
    std::vector<int> tsRuns;             // the runs Ts comes from
    // The relative spread that a value may pass its bound by before it is implausible:
    // the spread of this configuration's runs and of the p = 1 runs, at least 1 %.
    double noise = 0;
    std::optional<double> speedup, efficiency;
    std::optional<double> karpFlatt;     // (1/S - 1/p) / (1 - 1/p), for p > 1
    std::optional<double> overhead;      // T_o = p * Tp - Ts
    // The chosen runs' master probe cost and Tp without it, where every one stored it.
    std::optional<double> probeCost, TpWithoutProbe;
    // T_o by phase type: each non-work type's total, the work beyond Ts ("work"), and
    // the time within p * Tp that no phase of a process covers ("outside phases").
    std::map<std::string, double> overheadByType;
    // Sample variance of each metric ("Tp", "speedup", ..., "overhead:idle") over the
    // runs, 0 with one run.
    std::map<std::string, double> variance;
};

// A metric over p at one W, or over p and W together, with its model or why there is none.
struct MetricModel {
    std::string metric;              // "Tp", "speedup", ..., "overhead:idle"
    int W = 0;                       // of the series; unused when overPAndW
    bool overPAndW = false;
    std::vector<Point> points;
    std::optional<Model> model;
    std::string note;                // set when there is no model
};

// A configuration to predict every metric at; without W, at every measured W.
struct PredictionRequest {
    double p = 0;
    std::optional<double> W;
};

// "p=64" or "p=64,W=1000" (blanks allowed around the parts); throws
// std::invalid_argument with a clear message otherwise.
PredictionRequest ParsePredictionRequest(const std::string& text);

// A metric predicted at (p, W) with its 95 % prediction interval, and by which model.
// A derived metric comes from the predicted Tp and Ts unless asked for by its own model.
struct PredictionResult {
    std::string metric;
    double p = 0;
    double W = 0;
    bool overPAndW = false;          // by the model over p and W, else by the model over p at W
    bool fromTp = false;             // derived from the Tp predicted there and Ts
    std::optional<double> Ts;        // the Ts it was derived with
    bool TsPredicted = false;        // that Ts is the model's at p = 1 (a W not measured)
    Prediction prediction;
    // Why the interval says nothing (it reaches the metric's bound and is wider than
    // the value): "too few points (...)", "too much noise (...)", ...; empty when it does.
    std::string uninformative;
    std::string implausible;         // "below 0", "above p", ... when the value cannot be
};

// A measured value that the metric cannot take beyond the runs' spread (an efficiency
// above 1, a speedup above p, a Karp-Flatt fraction outside 0..1, a negative
// overhead), with the runs responsible.
struct ImplausibleValue {
    std::string metric;
    int p = 0;
    int W = 0;
    double value = 0;
    std::string why;                 // "above 1", "above p", "below 0"
    std::vector<int> tpRuns, tsRuns; // the runs its Tp and its Ts come from
};

// A stored run that no series holds, and why.
struct LeftOutRun {
    int expID = 0;
    int p = 0;
    int W = 0;
    std::string reason;
};

struct StudySettings {
    Aggregation aggregation = Aggregation::median;
    std::vector<PredictionRequest> predictions;
    // Derived metrics predicted by their own models; the others are derived from the
    // predicted Tp and Ts, so that the predictions agree with each other.
    std::set<std::string> ownModels;
};

// W needed at each p to hold one efficiency, interpolated between the measured W.
struct Isoefficiency {
    double efficiency = 0;
    std::vector<Point> W;            // (p, W); only where the efficiency lies between two measured W
    std::optional<Model> model;
    std::string note;
};

struct Study {
    std::string application;
    std::vector<Row> rows;           // by W, then p
    std::vector<MetricModel> models; // over p for each W, then over p and W
    std::vector<Isoefficiency> isoefficiency;   // empty unless W varies
    std::vector<PredictionResult> predictions;
    std::vector<ImplausibleValue> implausible;
    std::vector<LeftOutRun> leftOut;
    Aggregation aggregation = Aggregation::median;
    std::vector<std::string> notes;  // what the series lacks, in words
};

// The metrics modelled over p, in output order.
const std::vector<std::string>& ModelledMetrics();
// Those of them derived from Tp and Ts: "speedup", "efficiency", "karpFlatt", "overhead".
const std::vector<std::string>& DerivedMetrics();

// The study of the runs of one application: the finished runs of each configuration
// aggregated as settings say, a model of every metric over p for each W and, with at
// least kMinModelWs values of W, over p and W together, and the predictions asked
// for. Throws std::invalid_argument with a clear message when no run is usable.
Study StudyScaling(const std::string& application, const std::vector<Run>& runs, const StudySettings& settings = {});

// Karp-Flatt serial fraction of speedup S on p > 1 processes.
double KarpFlatt(double speedup, int p);

}  // namespace scaling
