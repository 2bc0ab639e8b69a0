// The scaling study of a synthetic series, 12 values of p x 5 values of W x 3
// repetitions with 2 % noise and six phase types, with every metric modelled over p
// for each W and over p and W together and a prediction asked for: its time, and,
// as counters, how far the models are from the laws the runs were made from (in
// percent): the strong-scaling law 200 + 400000/p + 30p (p = 1..64) at p = 32 and
// at p = 128, and the law 1000 + 0.01 W + 0.002 W log2 p at the corner p = 128,
// W = 2e6 beyond every measured point, with whether the laws' values lie inside the
// 95 % prediction intervals.
#include "scaling/empirical_model.h"
#include "scaling/series.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <functional>
#include <vector>

namespace {

const std::vector<int> kPs = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64};
const std::vector<int> kWs = {100000, 200000, 400000, 700000, 1000000};
constexpr int kRepetitions = 3;
constexpr double kNoise = 0.02;

// Uniform noise in -1..1 from a fixed sequence, so every run of the benchmark sees the same series.
class Noise {
public:
    double Next() {
        mState = mState * 1103515245u + 12345u;
        return ((mState >> 8) % 2001) / 1000.0 - 1;
    }
private:
    unsigned mState = 2024;
};

double JointLaw(double p, double W) { return 1000 + 0.01 * W + 0.002 * W * std::log2(p); }
double StrongLaw(double p) { return 200 + 400000 / p + 30 * p; }

// Runs whose Tp follows the joint law; the totals split p * Tp into work (the
// sequential time and a little more), idle, sending, receiving, spawning and
// partitioning time, each with its own noise.
std::vector<scaling::Run> Series() {
    Noise noise;
    std::vector<scaling::Run> runs;
    int id = 0;
    for (int W : kWs)
        for (int p : kPs)
            for (int k = 0; k < kRepetitions; ++k) {
                scaling::Run run;
                run.expID = ++id;
                run.p = p;
                run.W = W;
                run.Tp = JointLaw(p, W) * (1 + kNoise * noise.Next());
                const double Ts = JointLaw(1, W), spent = p * run.Tp;
                const double work = std::min(spent, Ts * (1 + 0.01 * std::log2(p)));
                const double rest = spent - work;
                run.totals = {{"work", work},
                              {"idle", rest * 0.5 * (1 + kNoise * noise.Next())},
                              {"comm_send", rest * 0.2 * (1 + kNoise * noise.Next())},
                              {"comm_recv", rest * 0.15 * (1 + kNoise * noise.Next())},
                              {"spawn", rest * 0.1 * (1 + kNoise * noise.Next())},
                              {"partition", rest * 0.04 * (1 + kNoise * noise.Next())}};
                runs.push_back(run);
            }
    return runs;
}

double ErrorPercent(double value, double law) { return 100 * std::fabs(value - law) / law; }

void BM_StudyOf12pBy5WBy3Repetitions(benchmark::State& state) {
    const std::vector<scaling::Run> runs = Series();
    scaling::StudySettings settings;
    settings.predictions = {scaling::ParsePredictionRequest("p=128,W=2000000")};
    scaling::Study study;
    for (auto _ : state) {
        study = scaling::StudyScaling("bench", runs, settings);
        benchmark::DoNotOptimize(study.models.data());
    }
    int models = 0;
    for (const scaling::MetricModel& model : study.models) models += model.model.has_value();
    state.counters["models"] = models;
    for (const scaling::PredictionResult& result : study.predictions)
        if (result.metric == "Tp" && result.overPAndW) {
            const double law = JointLaw(128, 2e6);
            state.counters["corner_error_pct"] = ErrorPercent(result.prediction.value, law);
            state.counters["corner_law_in_interval"] = result.prediction.low <= law && law <= result.prediction.high;
            state.counters["corner_interval_pct"] = 100 * (result.prediction.high - result.prediction.low) / law;
        }
}
BENCHMARK(BM_StudyOf12pBy5WBy3Repetitions)->Unit(benchmark::kMillisecond);

void BM_StrongScalingLaw(benchmark::State& state) {
    Noise noise;
    std::vector<scaling::Point> points;
    for (int p = 1; p <= 64; ++p) points.push_back({double(p), StrongLaw(p) * (1 + kNoise * noise.Next())});
    scaling::Plausibility plausibility;
    plausibility.nonNegative = true;
    plausibility.largestP = 128;
    std::optional<scaling::Model> model;
    for (auto _ : state) {
        model = scaling::FitModel(points, plausibility);
        benchmark::DoNotOptimize(model);
    }
    state.counters["at32_error_pct"] = ErrorPercent(model->Evaluate(32), StrongLaw(32));
    state.counters["at128_error_pct"] = ErrorPercent(model->Evaluate(128), StrongLaw(128));
    const scaling::Prediction at128 = model->Predict(128);
    state.counters["at128_law_in_interval"] = at128.low <= StrongLaw(128) && StrongLaw(128) <= at128.high;
    state.counters["smape_pct"] = model->error.smape;
    state.SetLabel(model->Text());
}
BENCHMARK(BM_StrongScalingLaw)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
