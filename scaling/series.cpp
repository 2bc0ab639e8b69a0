#include "series.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>
#include <stdexcept>

namespace scaling {

namespace {

const char* const kOutsidePhases = "outside phases";

std::string Join(const std::vector<int>& values) {
    std::ostringstream text;
    for (std::size_t k = 0; k < values.size(); ++k) text << (k ? " " : "") << values[k];
    return text.str();
}

// The fastest finished run of each configuration, with how many runs it had.
std::vector<Row> KeptRuns(const std::vector<Run>& runs, std::vector<const Run*>& kept,
                          std::vector<std::string>& notes) {
    std::map<std::pair<int, int>, std::vector<const Run*>> byConfiguration;
    int unfinished = 0;
    for (const Run& run : runs) {
        if (run.Tp <= 0 || run.p < 1) {
            ++unfinished;
            continue;
        }
        byConfiguration[{run.W, run.p}].push_back(&run);
    }
    if (unfinished > 0)
        notes.push_back(std::to_string(unfinished) + " run(s) without a parallel time (never finished) left out");
    std::vector<Row> rows;
    for (auto& [configuration, candidates] : byConfiguration) {
        const Run* fastest = *std::min_element(candidates.begin(), candidates.end(),
                                               [](const Run* a, const Run* b) { return a->Tp < b->Tp; });
        Row row;
        row.W = configuration.first;
        row.p = configuration.second;
        row.expID = fastest->expID;
        row.nbrRuns = static_cast<int>(candidates.size());
        row.Tp = fastest->Tp;
        rows.push_back(row);
        kept.push_back(fastest);
    }
    return rows;
}

// Speedup, efficiency, Karp-Flatt and the overhead split of a row with its Ts.
void Derive(Row& row, const Run& run, double Ts) {
    row.Ts = Ts;
    row.speedup = Ts / row.Tp;
    row.efficiency = *row.speedup / row.p;
    if (row.p > 1) row.karpFlatt = KarpFlatt(*row.speedup, row.p);
    row.overhead = row.p * row.Tp - Ts;
    double covered = 0;
    for (const auto& [type, time] : run.totals) {
        covered += time;
        row.overheadByType[type] = type == kWorkType ? time - Ts : time;
    }
    if (run.totals.find(kWorkType) == run.totals.end()) row.overheadByType[kWorkType] = -Ts;
    row.overheadByType[kOutsidePhases] = row.p * row.Tp - covered;
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
    const std::string prefix = "overhead:";
    // A run without phases of a type spent no time on it.
    if (metric.rfind(prefix, 0) == 0 && row.overhead) {
        const auto found = row.overheadByType.find(metric.substr(prefix.size()));
        return found != row.overheadByType.end() ? found->second : 0.0;
    }
    return std::nullopt;
}

MetricModel ModelOf(const std::string& metric, int W, const std::vector<Row>& rows) {
    MetricModel result;
    result.metric = metric;
    result.W = W;
    for (const Row& row : rows)
        if (row.W == W)
            if (const std::optional<double> value = Metric(row, metric)) result.points.push_back({double(row.p), *value});
    result.model = FitModel(result.points);
    if (!result.model)
        result.note = "too few points: " + std::to_string(DistinctP(result.points)) + " value(s) of p, a model needs " +
                      std::to_string(kMinModelPoints);
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
    iso.model = FitModel(iso.W);
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

}  // namespace

double KarpFlatt(double speedup, int p) { return (1 / speedup - 1.0 / p) / (1 - 1.0 / p); }

const std::vector<std::string>& ModelledMetrics() {
    static const std::vector<std::string> metrics = {"Tp", "speedup", "efficiency", "karpFlatt", "overhead"};
    return metrics;
}

Study StudyScaling(const std::string& application, const std::vector<Run>& runs) {
    Study study;
    study.application = application;
    if (runs.empty()) throw std::invalid_argument("no stored experiments of application " + application);
    std::vector<const Run*> kept;
    study.rows = KeptRuns(runs, kept, study.notes);
    if (study.rows.empty())
        throw std::invalid_argument("no finished experiment of application " + application +
                                    " (none has a parallel time)");

    std::set<int> Ws, grid;
    std::map<int, double> sequential;  // W -> Tp of its p = 1 run
    for (const Row& row : study.rows) {
        Ws.insert(row.W);
        grid.insert(row.p);
        if (row.p == 1) sequential[row.W] = row.Tp;
    }
    for (std::size_t k = 0; k < study.rows.size(); ++k) {
        Row& row = study.rows[k];
        const auto reference = sequential.find(row.W);
        const double Ts = reference != sequential.end() ? reference->second : kept[k]->Ts;
        if (Ts > 0) Derive(row, *kept[k], Ts);
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
    for (const std::string& type : overheadTypes) metrics.push_back("overhead:" + type);
    for (int W : Ws)
        for (const std::string& metric : metrics) {
            MetricModel model = ModelOf(metric, W, study.rows);
            if (!model.points.empty()) study.models.push_back(std::move(model));
        }

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
