// A scaling study of one application: its stored runs over p (and W) turned into
// speedup, efficiency, the Karp-Flatt serial fraction and the total overhead split by
// phase type, with an empirical model of every metric over p and, where W varies,
// the isoefficiency (how W must grow with p to keep an efficiency).
#pragma once
#include "empirical_model.h"

#include <map>
#include <optional>
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
};

// The name of the useful-work phase type among the totals.
constexpr const char* kWorkType = "work";

// One configuration (p, W) of the series: the kept run and what follows from it.
struct Row {
    int p = 0;
    int W = 0;
    int expID = 0;
    int nbrRuns = 0;                     // stored runs of this configuration
    double Tp = 0;
    std::optional<double> Ts;            // from the p = 1 run of this W, else the run's own
    std::optional<double> speedup, efficiency;
    std::optional<double> karpFlatt;     // (1/S - 1/p) / (1 - 1/p), for p > 1
    std::optional<double> overhead;      // T_o = p * Tp - Ts
    // T_o by phase type: each non-work type's total, the work beyond Ts ("work"), and
    // the time within p * Tp that no phase of a process covers ("outside phases").
    std::map<std::string, double> overheadByType;
};

// A metric over p at one W, with its model or why there is none.
struct MetricModel {
    std::string metric;              // "Tp", "speedup", ..., "overhead:idle"
    int W = 0;
    std::vector<Point> points;
    std::optional<Model> model;
    std::string note;                // set when there is no model
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
    std::vector<MetricModel> models;
    std::vector<Isoefficiency> isoefficiency;   // empty unless W varies
    std::vector<std::string> notes;  // what the series lacks, in words
};

// The metrics modelled over p, in output order.
const std::vector<std::string>& ModelledMetrics();

// The study of the runs of one application. Of several runs of a configuration the
// fastest finished one is kept. Throws std::invalid_argument with a clear message
// when no run is usable.
Study StudyScaling(const std::string& application, const std::vector<Run>& runs);

// Karp-Flatt serial fraction of speedup S on p > 1 processes.
double KarpFlatt(double speedup, int p);

}  // namespace scaling
