// Tests of the scaling library: the model search on series made from known laws, the
// derived metrics and the overhead split on figures worked by hand, the rank test,
// and what a short or broken series yields.
#include "scaling/outputs.h"
#include "scaling/rank_test.h"
#include "scaling/series.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

using namespace scaling;

namespace {

std::vector<Point> Series(const std::vector<double>& ps, const std::function<double(double)>& law,
                          double noise = 0) {
    std::vector<Point> points;
    unsigned state = 12345;
    for (double p : ps) {
        state = state * 1103515245u + 12345u;
        const double unit = ((state >> 8) % 2001) / 1000.0 - 1;  // -1 .. 1
        points.push_back({p, law(p) * (1 + noise * unit)});
    }
    return points;
}

const std::vector<double> kPs = {1, 2, 4, 8, 16, 32, 64};

struct Law {
    const char* name;
    std::function<double(double)> f;
    Exponent i;
    int j;
    double c0, c1;
};

Run MakeRun(int expID, int p, int W, double Tp, std::map<std::string, double> totals = {}) {
    Run run;
    run.expID = expID;
    run.p = p;
    run.W = W;
    run.Tp = Tp;
    run.totals = std::move(totals);
    return run;
}

const Row& RowAt(const Study& study, int p, int W = 100) {
    for (const Row& row : study.rows)
        if (row.p == p && row.W == W) return row;
    throw std::runtime_error("no row");
}

const MetricModel& ModelOf(const Study& study, const std::string& metric, int W = 100) {
    for (const MetricModel& model : study.models)
        if (model.metric == metric && model.W == W) return model;
    throw std::runtime_error("no model of " + metric);
}

}  // namespace

TEST(ModelSearch, RecoversKnownLawsExactlyAndUnderNoise) {
    const std::vector<Law> laws = {
        {"3 + 0.5 p log2 p", [](double p) { return 3 + 0.5 * p * std::log2(p); }, {1, 1}, 1, 3, 0.5},
        {"100 + 20 sqrt p", [](double p) { return 100 + 20 * std::sqrt(p); }, {1, 2}, 0, 100, 20},
        {"50 - 4 log2^2 p", [](double p) { return 50 - 4 * std::pow(std::log2(p), 2); }, {0, 1}, 2, 50, -4},
        {"1 + 0.01 p^(5/3)", [](double p) { return 1 + 0.01 * std::pow(p, 5.0 / 3); }, {5, 3}, 0, 1, 0.01},
        {"10 + 1000 / sqrt p", [](double p) { return 10 + 1000 / std::sqrt(p); }, {-1, 2}, 0, 10, 1000},
    };
    for (const Law& law : laws)
        for (double noise : {0.0, 0.01}) {
            const std::optional<Model> model = FitModel(Series(kPs, law.f, noise));
            ASSERT_TRUE(model) << law.name;
            ASSERT_EQ(model->terms.size(), 1u) << law.name << " noise " << noise << ": " << model->Text();
            const Term& term = model->terms[0];
            EXPECT_EQ(term.pExponent.numerator, law.i.numerator) << law.name << " noise " << noise << ": " << model->Text();
            EXPECT_EQ(term.pExponent.denominator, law.i.denominator) << law.name << ": " << model->Text();
            EXPECT_EQ(term.logExponent, law.j) << law.name << " noise " << noise << ": " << model->Text();
            const double tolerance = noise == 0 ? 1e-9 : 0.05;
            EXPECT_NEAR(term.coefficient, law.c1, tolerance * std::fabs(law.c1)) << law.name;
            EXPECT_EQ(model->configurations, 7);
            if (noise == 0) {
                EXPECT_NEAR(model->constant, law.c0, 1e-9 * std::fabs(law.c0)) << law.name;
                EXPECT_NEAR(model->error.rSquared, 1, 1e-12) << law.name;
                EXPECT_NEAR(model->error.adjustedRSquared, 1, 1e-12) << law.name;
                EXPECT_NEAR(model->error.cvSmape, 0, 1e-6) << law.name;
            }
        }
    // The law asked for by name, printed in normal form.
    EXPECT_EQ(FitModel(Series(kPs, laws[0].f))->Text(), "3 + 0.5 * p * log2(p)");
    EXPECT_EQ(FitModel(Series(kPs, laws[4].f))->Text(), "10 + 1000 * p^(-1/2)");
}

TEST(ModelSearch, StrongScalingWithTwoTermsIsRecoveredAndPredicted) {
    // Tp = 200 + 400000 / p + 30 p over p = 1..64: exactly, the law itself. With 2 %
    // noise the 1/p term within 5 %, the value at p = 32 within 3 % of the law, positive
    // everywhere up to p = 128, and the law's value at p = 128 (beyond every measured
    // point) inside the prediction interval, which is narrower than the value.
    const auto law = [](double p) { return 200 + 400000 / p + 30 * p; };
    std::vector<double> ps;
    for (int p = 1; p <= 64; ++p) ps.push_back(p);
    Plausibility plausibility;
    plausibility.nonNegative = true;
    plausibility.largestP = 128;
    const std::optional<Model> exact = FitModel(Series(ps, law), plausibility);
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->Text(), "200 + 4e+05 * p^(-1) + 30 * p");

    const std::optional<Model> model = FitModel(Series(ps, law, 0.02), plausibility);
    ASSERT_TRUE(model);
    ASSERT_FALSE(model->terms.empty());
    EXPECT_EQ(model->terms[0].pExponent.Value(), -1) << model->Text();
    EXPECT_EQ(model->terms[0].logExponent, 0) << model->Text();
    EXPECT_NEAR(model->terms[0].coefficient, 400000, 0.05 * 400000) << model->Text();
    EXPECT_NEAR(model->Evaluate(32), law(32), 0.03 * law(32)) << model->Text();
    for (double p = 1; p <= 128; ++p) ASSERT_GT(model->Evaluate(p), 0) << model->Text() << " at " << p;
    const Prediction beyond = model->Predict(128);
    EXPECT_LT(beyond.low, law(128)) << model->Text();
    EXPECT_GT(beyond.high, law(128)) << model->Text();
    EXPECT_LT(beyond.high - beyond.low, law(128)) << model->Text();
    EXPECT_LT(model->error.smape, 2);
    EXPECT_TRUE(model->warning.empty());
}

TEST(ModelSearch, ModelOverPAndWPredictsBeyondEveryMeasuredPoint) {
    // Tp = 1000 + 0.01 W + 0.002 W log2 p on 12 p x 5 W with 2 % noise: the terms W
    // and W log2 p, and the corner p = 128, W = 2e6 (beyond both ranges) within 3 %.
    const auto law = [](double p, double W) { return 1000 + 0.01 * W + 0.002 * W * std::log2(p); };
    std::vector<Point> points;
    unsigned state = 99;
    for (double W : {1e5, 2e5, 4e5, 7e5, 1e6})
        for (double p : {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64}) {
            state = state * 1103515245u + 12345u;
            const double unit = ((state >> 8) % 2001) / 1000.0 - 1;
            points.push_back({p, law(p, W) * (1 + 0.02 * unit), W});
        }
    const std::optional<Model> model = FitModelOverPAndW(points);
    ASSERT_TRUE(model);
    EXPECT_TRUE(model->overW);
    ASSERT_EQ(model->terms.size(), 2u) << model->Text();
    std::set<std::string> terms;
    for (const Term& term : model->terms) terms.insert(term.OfP().Text("p") + term.OfW().Text("W"));
    EXPECT_EQ(terms, (std::set<std::string>{" * W", " * log2(p) * W"})) << model->Text();
    const Prediction corner = model->Predict(128, 2e6);
    EXPECT_NEAR(corner.value, law(128, 2e6), 0.03 * law(128, 2e6)) << model->Text();
    EXPECT_LT(corner.low, law(128, 2e6));
    EXPECT_GT(corner.high, law(128, 2e6));
    EXPECT_EQ(model->configurations, 60);

    // Two values of W are not enough for a model over both.
    std::vector<Point> twoW;
    for (const Point& point : points)
        if (point.W <= 2e5) twoW.push_back(point);
    EXPECT_FALSE(FitModelOverPAndW(twoW));
}

TEST(ModelSearch, ImplausibleModelsAreRefusedOrFlagged) {
    // 9.5 - 2 log2 p over p = 1..16 fits best as what it is, below 0 at p = 32:
    // for a metric that cannot be negative a model that stays positive is taken.
    const std::vector<Point> falling = Series({1, 2, 3, 4, 6, 8, 12, 16}, [](double p) { return 9.5 - 2 * std::log2(p); });
    const std::optional<Model> free = FitModel(falling);
    ASSERT_TRUE(free);
    EXPECT_EQ(free->Text(), "9.5 - 2 * log2(p)");
    Plausibility positive;
    positive.nonNegative = true;
    const std::optional<Model> plausible = FitModel(falling, positive);
    ASSERT_TRUE(plausible);
    EXPECT_NE(plausible->Text(), free->Text());
    EXPECT_TRUE(plausible->warning.empty());
    for (double p = 1; p <= 32; p += 0.5) EXPECT_GE(plausible->Evaluate(p), 0) << plausible->Text() << " at " << p;
    // Asked to predict at p = 64, the model must hold there too.
    positive.largestP = 64;
    const std::optional<Model> further = FitModel(falling, positive);
    ASSERT_TRUE(further);
    EXPECT_GE(further->Evaluate(64), 0) << further->Text();

    // Measured values below 0 of a metric that cannot be negative: nothing is
    // plausible, the best model comes with its fault in words.
    const std::optional<Model> flagged = FitModel(
        Series({1, 2, 3, 4, 5, 6}, [](double p) { return -p; }), positive);
    ASSERT_TRUE(flagged);
    EXPECT_EQ(flagged->warning.rfind("goes below 0 at p = ", 0), 0u) << flagged->warning;
    Plausibility atMostP;
    atMostP.upperBound = [](double p) { return p; };
    atMostP.nonNegative = true;
    // Speedups close to p stay within the bound; a model of them above p is refused.
    const std::optional<Model> speedup =
        FitModel(Series({1, 2, 3, 4, 5, 6, 7, 8}, [](double p) { return p / (1 + 0.01 * (p - 1)); }, 0.005), atMostP);
    ASSERT_TRUE(speedup);
    EXPECT_TRUE(speedup->warning.empty());
    for (double p = 1; p <= 16; p += 0.25) EXPECT_LE(speedup->Evaluate(p), 1.011 * p) << speedup->Text();
    // Speedups p (0.5 + 0.1 p), reaching p at p = 5: their best model passes p beyond
    // the measured range, so one that stays at most p is taken.
    const std::vector<Point> convex = Series({1, 2, 3, 4, 5}, [](double p) { return p * (0.5 + 0.1 * p); });
    const std::optional<Model> unbounded = FitModel(convex);
    ASSERT_TRUE(unbounded);
    EXPECT_GT(unbounded->Evaluate(10), 10.1) << unbounded->Text();
    const std::optional<Model> bounded = FitModel(convex, atMostP);
    ASSERT_TRUE(bounded);
    EXPECT_TRUE(bounded->warning.empty()) << bounded->Text() << ": " << bounded->warning;
    for (double p = 1; p <= 10; p += 0.25) EXPECT_LE(bounded->Evaluate(p), 1.01 * p + 1e-9) << bounded->Text();
}

TEST(ModelSearch, ConstantDataGetsNoTermAndShortSeriesNoModel) {
    const std::optional<Model> flat = FitModel(Series(kPs, [](double) { return 7.0; }));
    ASSERT_TRUE(flat);
    EXPECT_TRUE(flat->terms.empty());
    EXPECT_DOUBLE_EQ(flat->constant, 7);
    // Noise around a constant: no term predicts the left-out points better.
    const std::optional<Model> noisy = FitModel(Series(kPs, [](double) { return 7.0; }, 0.001));
    ASSERT_TRUE(noisy);
    EXPECT_TRUE(noisy->terms.empty()) << noisy->Text();

    // Four distinct p, however many points: too few.
    EXPECT_FALSE(FitModel(Series({1, 2, 4, 8}, [](double p) { return p; })));
    EXPECT_FALSE(FitModel(Series({2, 2, 4, 4, 8, 8, 16, 16}, [](double p) { return p; })));
    EXPECT_TRUE(FitModel(Series({2, 4, 8, 16, 32}, [](double p) { return p; })));
    EXPECT_EQ(PExponents().size(), 24u);
}

TEST(Metrics, KarpFlattAndOverheadSplitAsWorkedByHand) {
    // S = 3 on 4 processes: (1/3 - 1/4) / (1 - 1/4) = 1/9.
    EXPECT_NEAR(KarpFlatt(3, 4), 1.0 / 9, 1e-12);
    // Linear speedup: no serial fraction.
    EXPECT_NEAR(KarpFlatt(8, 8), 0, 1e-12);

    // Ts = 1000 from the p = 1 run. On 4 processes Tp = 400: p * Tp = 1600,
    // T_o = 600 = 200 extra work + 250 idle + 100 sending + 50 outside any phase.
    const Study study = StudyScaling(
        "app", {MakeRun(1, 1, 100, 1000, {{"work", 1000}}),
                MakeRun(2, 4, 100, 400, {{"work", 1200}, {"idle", 250}, {"comm_send", 100}})});
    const Row& row = RowAt(study, 4);
    EXPECT_DOUBLE_EQ(*row.Ts, 1000);
    EXPECT_DOUBLE_EQ(*row.speedup, 2.5);
    EXPECT_DOUBLE_EQ(*row.efficiency, 0.625);
    EXPECT_NEAR(*row.karpFlatt, 0.2, 1e-12);
    EXPECT_DOUBLE_EQ(*row.overhead, 600);
    const std::map<std::string, double> split = {
        {"work", 200}, {"idle", 250}, {"comm_send", 100}, {"outside phases", 50}};
    EXPECT_EQ(row.overheadByType, split);
    // The sequential run itself: speedup 1, no Karp-Flatt fraction.
    EXPECT_DOUBLE_EQ(*RowAt(study, 1).speedup, 1);
    EXPECT_FALSE(RowAt(study, 1).karpFlatt);
}

TEST(Series, RepetitionsAreAggregatedWithTheirSpreadAndEveryMetricModelled) {
    // Three runs of each p: 1.1, 1 and 1.3 times the law; median 1.1 (the first run),
    // fastest 1 (the second), spread 1 to 1.3.
    std::vector<scaling::Run> runs;
    int id = 0;
    for (int p = 1; p <= 6; ++p) {
        const double Tp = 3 + 0.5 * p * std::log2(p);
        for (double factor : {1.1, 1.0, 1.3}) runs.push_back(MakeRun(++id, p, 100, Tp * 1000 * factor, {{"work", 3000}}));
    }
    runs.push_back(MakeRun(++id, 3, 100, 0));  // never finished
    const Study median = StudyScaling("app", runs);
    ASSERT_EQ(median.rows.size(), 6u);
    const Row& row = RowAt(median, 3);
    const double law3 = (3 + 1.5 * std::log2(3)) * 1000;
    EXPECT_EQ(row.nbrRuns, 3);
    EXPECT_EQ(row.expID, 7);
    EXPECT_NEAR(row.Tp, 1.1 * law3, 1e-9);
    EXPECT_NEAR(row.TpLow, law3, 1e-9);
    EXPECT_NEAR(row.TpHigh, 1.3 * law3, 1e-9);
    // Sample variance of 1.1, 1.0, 1.3 times the law: 0.0233... * law^2.
    EXPECT_NEAR(row.variance.at("Tp"), 0.07 / 3 * law3 * law3, 1e-6 * law3 * law3);
    // Ts is the median p = 1 run: 3300; each run's speedup against it, the middle one kept.
    EXPECT_NEAR(*row.speedup, 3300 / (1.1 * law3), 1e-12);
    EXPECT_TRUE(median.notes.empty());
    ASSERT_EQ(median.leftOut.size(), 1u);
    EXPECT_EQ(median.leftOut[0].expID, id);
    EXPECT_EQ(median.leftOut[0].reason, "never finished");
    const MetricModel& Tp = ModelOf(median, "Tp");
    ASSERT_TRUE(Tp.model) << Tp.note;
    EXPECT_EQ(Tp.model->Text(), "3300 + 550 * p * log2(p)");
    EXPECT_EQ(Tp.model->configurations, 6);
    EXPECT_EQ(Tp.model->runs, 18);
    // The runs' spread widens the interval: a new configuration falls within it.
    const Prediction at8 = Tp.model->Predict(8);
    EXPECT_NEAR(at8.value, 3300 + 550 * 24, 1e-6);
    EXPECT_LT(at8.low, 1.0 * (3 + 12) * 1000 * 1.1 * 0.95);
    EXPECT_GT(at8.high, 1.3 * (3 + 12) * 1000 * 0.95);

    // The overhead is 0 at p = 1 by definition, where the runs scatter by 50 %: that
    // point neither decides the fit nor hides the growth behind its spread.
    std::vector<scaling::Run> scattered;
    for (int p = 1; p <= 8; ++p)
        for (double factor : {0.9, 1.0, p == 1 ? 1.5 : 1.05})
            scattered.push_back(MakeRun(++id, p, 100, (1000.0 / p + 100 * p) * factor));
    const Study noisy = StudyScaling("app", scattered);
    const MetricModel& overhead = ModelOf(noisy, "overhead");
    ASSERT_TRUE(overhead.model);
    ASSERT_FALSE(overhead.model->terms.empty()) << overhead.model->Text();
    for (int p : {2, 4, 8})
        EXPECT_NEAR(overhead.model->Evaluate(p), *RowAt(noisy, p).overhead, 0.1 * *RowAt(noisy, p).overhead)
            << overhead.model->Text();
    // Relative errors: the small value at p = 1 counts as much as the large ones.
    EXPECT_LT(std::fabs(overhead.model->Evaluate(1)), 0.1 * *RowAt(noisy, 2).overhead) << overhead.model->Text();

    // Even counts take the mean of the middle two; the split of the overhead still adds up.
    std::vector<scaling::Run> four = {MakeRun(1, 1, 10, 1000, {{"work", 1000}}), MakeRun(2, 2, 10, 600, {{"work", 1000}, {"idle", 100}}),
                                      MakeRun(3, 2, 10, 800, {{"work", 1100}, {"idle", 300}}), MakeRun(4, 2, 10, 500, {{"work", 1000}}),
                                      MakeRun(5, 2, 10, 900, {{"work", 1000}, {"idle", 700}})};
    const Study even = StudyScaling("app", four);
    const Row& two = RowAt(even, 2, 10);
    EXPECT_DOUBLE_EQ(two.Tp, 700);
    EXPECT_EQ(two.expID, 2);
    EXPECT_DOUBLE_EQ(*two.overhead, 400);
    double split = 0;
    for (const auto& [type, time] : two.overheadByType) split += time;
    EXPECT_DOUBLE_EQ(split, 400);
    EXPECT_DOUBLE_EQ(two.overheadByType.at("idle"), 200);

    // The fastest run on request.
    StudySettings fastest;
    fastest.aggregation = Aggregation::fastest;
    const Study quick = StudyScaling("app", runs, fastest);
    EXPECT_EQ(RowAt(quick, 3).expID, 8);
    EXPECT_NEAR(RowAt(quick, 3).Tp, law3, 1e-9);
    EXPECT_NEAR(RowAt(quick, 3).TpHigh, 1.3 * law3, 1e-9);
    EXPECT_EQ(ModelOf(quick, "Tp").model->Text(), "3000 + 500 * p * log2(p)");

    // Karp-Flatt exists for p > 1 only: five points, just enough.
    EXPECT_EQ(ModelOf(median, "karpFlatt").points.size(), 5u);
    EXPECT_TRUE(ModelOf(median, "karpFlatt").model);
    EXPECT_TRUE(ModelOf(median, "overhead:work").model);

    const nlohmann::json json = StudyJson(quick);
    EXPECT_EQ(json["aggregation"], "fastest");
    ASSERT_EQ(json["rows"].size(), 6u);
    EXPECT_EQ(json["rows"][2]["runs"], 3);
    EXPECT_NEAR(json["rows"][2]["TpMax"].get<double>(), 1.3 * law3, 1e-9);
    const nlohmann::json& model = json["models"][0];
    EXPECT_EQ(model["metric"], "Tp");
    EXPECT_DOUBLE_EQ(model["model"]["constant"].get<double>(), 3000);
    ASSERT_EQ(model["model"]["terms"].size(), 1u);
    EXPECT_NEAR(model["model"]["terms"][0]["coefficient"].get<double>(), 500, 1e-9);
    EXPECT_DOUBLE_EQ(model["model"]["terms"][0]["pExponent"].get<double>(), 1);
    EXPECT_EQ(model["model"]["terms"][0]["logExponent"], 1);
    EXPECT_EQ(model["model"]["runs"], 18);
    EXPECT_NEAR(model["model"]["error"]["rss"].get<double>(), 0, 1e-6);
}

TEST(Series, PredictionsInEveryOutputAndWhatCannotBePredictedSaid) {
    EXPECT_EQ(ParsePredictionRequest("p=64").p, 64);
    EXPECT_FALSE(ParsePredictionRequest("p=64").W);
    const PredictionRequest both = ParsePredictionRequest(" W = 1e6 , p=128");
    EXPECT_EQ(both.p, 128);
    EXPECT_EQ(*both.W, 1e6);
    for (const char* bad : {"", "p", "p=", "p=x", "p=-4", "q=4", "p=4,p=5", "W=10", "p=4;W=3", "p=inf"})
        EXPECT_THROW(ParsePredictionRequest(bad), std::invalid_argument) << bad;
    try {
        ParsePredictionRequest("p=4,X=3");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "--predict p=4,X=3: 'X' is not p or W, or is given twice (expected p=P or p=P,W=W)");
    }

    // Tp = 1000 + 1e6 / p at W = 1e6, 2e6 and 4e6, scaled with W; p = 1..8.
    std::vector<scaling::Run> runs;
    int id = 0;
    for (int W : {1000000, 2000000, 4000000})
        for (int p = 1; p <= 8; ++p) runs.push_back(MakeRun(++id, p, W, (1000 + 1e6 / p) * W / 1e6));
    StudySettings settings;
    settings.predictions = {ParsePredictionRequest("p=16"), ParsePredictionRequest("p=16,W=8000000")};
    const Study study = StudyScaling("app", runs, settings);
    // p = 16 at each measured W by its model over p, then at W = 8e6 by the model over
    // both: Tp, speedup, efficiency, Karp-Flatt, overhead and its parts.
    std::vector<const PredictionResult*> tp;
    for (const PredictionResult& result : study.predictions)
        if (result.metric == "Tp") tp.push_back(&result);
    ASSERT_EQ(tp.size(), 4u);
    EXPECT_FALSE(tp[0]->overPAndW);
    EXPECT_EQ(tp[0]->W, 1e6);
    EXPECT_NEAR(tp[0]->prediction.value, 1000 + 1e6 / 16, 1e-6 * 63500);
    EXPECT_TRUE(tp[3]->overPAndW);
    EXPECT_EQ(tp[3]->W, 8e6);
    EXPECT_NEAR(tp[3]->prediction.value, 8 * (1000 + 1e6 / 16), 0.01 * 8 * 63500);
    EXPECT_LE(tp[3]->prediction.low, tp[3]->prediction.value);
    EXPECT_GE(tp[3]->prediction.high, tp[3]->prediction.value);
    const MetricModel& joint = *std::find_if(study.models.begin(), study.models.end(), [](const MetricModel& model) {
        return model.metric == "Tp" && model.overPAndW;
    });
    ASSERT_TRUE(joint.model) << joint.note;
    EXPECT_EQ(joint.points.size(), 24u);

    const nlohmann::json json = StudyJson(study);
    const nlohmann::json& first = json["predictions"][0];
    EXPECT_EQ(first["metric"], "Tp");
    EXPECT_EQ(first["p"], 16);
    EXPECT_EQ(first["W"], 1e6);
    EXPECT_NEAR(first["value"].get<double>(), 63500, 1);
    EXPECT_LT(first["low"].get<double>(), first["value"].get<double>());
    EXPECT_GT(first["high"].get<double>(), first["value"].get<double>());
    const std::string csv = StudyCsv(study);
    EXPECT_NE(csv.find("\nmetric,p,W,value,low,high,model,from,Ts,uninformative,implausible\nTp,16,1e+06,63500,"), std::string::npos) << csv;
    const std::string text = StudyText(study);
    EXPECT_NE(text.find("\n  Tp at p = 16, W = 1e+06: 6.35e+04 ("), std::string::npos) << text;
    EXPECT_NE(text.find("  p, W  Tp(p, W) = "), std::string::npos) << text;
    EXPECT_NE(text.find(" configurations, 8 runs)"), std::string::npos) << text;

    // A W not measured and no model over both: said, nothing made up.
    std::vector<scaling::Run> oneW(runs.begin(), runs.begin() + 8);
    StudySettings unmeasured;
    unmeasured.predictions = {ParsePredictionRequest("p=16,W=3")};
    const Study single = StudyScaling("app", oneW, unmeasured);
    EXPECT_TRUE(single.predictions.empty());
    ASSERT_FALSE(single.notes.empty());
    EXPECT_EQ(single.notes.back().rfind("no model to predict Tp, speedup, efficiency, karpFlatt, overhead at ", 0), 0u) << single.notes.back();
    EXPECT_NE(single.notes.back().find("at p = 16, W = 3 (a W not measured needs a model over p and W)"),
              std::string::npos)
        << single.notes.back();
}

TEST(Series, BadSeriesGetAClearMessageAndNoMadeUpModel) {
    try {
        StudyScaling("ghost", {});
        FAIL() << "no runs accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "no stored experiments of application ghost");
    }
    EXPECT_THROW(StudyScaling("app", {MakeRun(1, 2, 100, 0)}), std::invalid_argument);

    // One point: a row, no model, and no speedup without a sequential time.
    const Study single = StudyScaling("app", {MakeRun(1, 4, 100, 500)});
    ASSERT_EQ(single.rows.size(), 1u);
    EXPECT_FALSE(single.rows[0].speedup);
    const MetricModel& Tp = ModelOf(single, "Tp");
    EXPECT_FALSE(Tp.model);
    EXPECT_EQ(Tp.note, "too few points: 1 value(s) of p, a model needs 5");
    EXPECT_THROW(ModelOf(single, "speedup"), std::runtime_error);
    ASSERT_EQ(single.notes.size(), 1u);
    EXPECT_NE(single.notes[0].find("no sequential time"), std::string::npos);

    // p = 4 missing among 1..6: said, not filled in; the five measured p still fit.
    std::vector<scaling::Run> runs;
    for (int p : {1, 2, 3, 5, 6}) runs.push_back(MakeRun(p, p, 100, 1000.0 / p + 10 * p));
    const Study gap = StudyScaling("app", runs);
    EXPECT_EQ(gap.rows.size(), 5u);
    ASSERT_EQ(gap.notes.size(), 1u);
    EXPECT_EQ(gap.notes[0], "W = 100: no run at p = 4 (measured p = 1 2 3 5 6); nothing is filled in for them");
    EXPECT_EQ(ModelOf(gap, "Tp").points.size(), 5u);
    // Powers of two are a series, not a gappy one.
    std::vector<scaling::Run> powers;
    for (int p : {1, 2, 4, 8, 16}) powers.push_back(MakeRun(p, p, 100, 1000.0 / p));
    EXPECT_TRUE(StudyScaling("app", powers).notes.empty());
}

TEST(Series, IsoefficiencyInterpolatesBetweenMeasuredW) {
    // Efficiencies at p > 1 run from 0.5 to 0.9: the levels are 0.83, 0.77, 0.7, 0.63
    // and 0.57, the last reached at p = 4 only, so left out. At p = 2, E(W = 100) = 0.6 and E(W = 1000) = 0.9, so E = 0.7 needs
    // W = 100 * 10^(1/3) on a log scale; at p = 4 E runs from 0.5 to 0.9, so
    // W = 100 * 10^(1/2).
    std::vector<scaling::Run> runs = {MakeRun(1, 1, 100, 600), MakeRun(2, 2, 100, 500), MakeRun(3, 1, 1000, 900),
                                      MakeRun(4, 2, 1000, 500), MakeRun(5, 4, 100, 300), MakeRun(6, 4, 1000, 250)};
    const Study study = StudyScaling("app", runs);
    std::vector<double> levels;
    for (const Isoefficiency& iso : study.isoefficiency) levels.push_back(iso.efficiency);
    ASSERT_EQ(levels.size(), 4u);
    const std::vector<double> expected = {0.83, 0.77, 0.7, 0.63};
    for (std::size_t k = 0; k < levels.size(); ++k) EXPECT_NEAR(levels[k], expected[k], 1e-9);
    const Isoefficiency& level = study.isoefficiency[2];
    ASSERT_EQ(level.W.size(), 2u);
    EXPECT_EQ(level.W[0].p, 2);
    EXPECT_NEAR(level.W[0].value, 100 * std::pow(10, 1.0 / 3), 1e-6);
    EXPECT_EQ(level.W[1].p, 4);
    EXPECT_NEAR(level.W[1].value, 100 * std::pow(10, 0.5), 1e-6);
    EXPECT_EQ(level.note, "too few points: 2 value(s) of p, a model needs 5");
    // One W only: no isoefficiency.
    EXPECT_TRUE(StudyScaling("app", {MakeRun(1, 1, 100, 600), MakeRun(2, 2, 100, 500)}).isoefficiency.empty());
}

// Runs whose master's probe stored its cost: each configuration shows that cost of
// its chosen runs and Tp without it, in the table, the CSV and the JSON; a
// configuration whose chosen run stored none (p = 4's median) shows neither.
TEST(Series, TpWithoutTheProbesCostStandsBesideTheMeasuredTp) {
    std::vector<scaling::Run> runs;
    int id = 0;
    for (int p = 1; p <= 4; ++p)
        for (double cost : {40.0, 10.0, 25.0}) {
            runs.push_back(MakeRun(++id, p, 100, 1000.0 * (1 + cost / 10) / p, {{"work", 1000}}));
            if (p != 4 || cost != 25.0) runs.back().probeCost = cost * p;
        }
    const Study median = StudyScaling("app", runs);
    // p = 2: Tps 2500, 1000, 1750; the median run is the third, its cost 50.
    const Row& row = RowAt(median, 2);
    ASSERT_TRUE(row.probeCost && row.TpWithoutProbe);
    EXPECT_DOUBLE_EQ(*row.probeCost, 50);
    EXPECT_DOUBLE_EQ(*row.TpWithoutProbe, 1700);
    EXPECT_FALSE(RowAt(median, 4).probeCost);
    StudySettings fastestRuns;
    fastestRuns.aggregation = Aggregation::fastest;
    const Study fastest = StudyScaling("app", runs, fastestRuns);
    EXPECT_DOUBLE_EQ(*RowAt(fastest, 2).TpWithoutProbe, 1000 - 20);

    const std::string csv = StudyCsv(median);
    EXPECT_EQ(csv.rfind("W,p,expID,runs,Tp,TpMin,TpMax,Ts,speedup,efficiency,karpFlatt,overhead,probeCost,TpWithoutProbe", 0),
              0u) << csv;
    EXPECT_NE(csv.find(",50,1700"), std::string::npos) << csv;
    const nlohmann::json json = StudyJson(median);
    for (const nlohmann::json& shown : json["rows"]) {
        if (shown["p"] == 2) {
            EXPECT_EQ(shown["TpWithoutProbe"], 1700);
        } else if (shown["p"] == 4) {
            EXPECT_TRUE(shown["TpWithoutProbe"].is_null());
        }
    }
    EXPECT_NE(StudyText(median).find("TpWithoutProbe"), std::string::npos);
}

TEST(RankTest, SeparatedSamplesAreSignificantOverlappingOnesNot) {
    // Every b above every a: U = 9, exact p = 1 / C(6, 3) = 0.05.
    const RankTest separated = MannWhitneyGreater({10, 11, 12}, {20, 21, 22});
    EXPECT_TRUE(separated.exact);
    EXPECT_DOUBLE_EQ(separated.U, 9);
    EXPECT_NEAR(separated.pValue, 0.05, 1e-12);
    // One new run above five old ones: p = 1/6.
    EXPECT_NEAR(MannWhitneyGreater({1, 2, 3, 4, 5}, {6}).pValue, 1.0 / 6, 1e-12);
    // Interleaved: nowhere near significant.
    EXPECT_GT(MannWhitneyGreater({10, 12, 14, 16}, {11, 13, 15}).pValue, 0.3);
    // Large samples with ties use the normal approximation.
    std::vector<double> a(30, 1.0), b(30, 2.0);
    a[0] = 2.0;
    const RankTest large = MannWhitneyGreater(a, b);
    EXPECT_FALSE(large.exact);
    EXPECT_LT(large.pValue, 1e-6);
    EXPECT_THROW(MannWhitneyGreater({}, {1}), std::invalid_argument);
}

namespace {

const PredictionResult* PredictionOf(const Study& study, const std::string& metric, double p, double W, bool overPAndW) {
    for (const PredictionResult& result : study.predictions)
        if (result.metric == metric && result.p == p && result.W == W && result.overPAndW == overPAndW) return &result;
    return nullptr;
}

}  // namespace

TEST(Consistency, NoiseAroundPOneStillGivesSpeedupAndEfficiencyOfExactlyOne) {
    // Four sequential runs scattered by 20 %: the median is the mean of the middle two,
    // 1000 and 1050, and is both Tp and Ts at p = 1. A speedup just above p = 4 within
    // that spread is not flagged.
    std::vector<scaling::Run> runs = {MakeRun(1, 1, 100, 1000, {{"work", 1000}}), MakeRun(2, 1, 100, 1100, {{"work", 1100}}),
                             MakeRun(3, 1, 100, 900, {{"work", 900}}),   MakeRun(4, 1, 100, 1050, {{"work", 1050}}),
                             MakeRun(5, 2, 100, 540, {{"work", 1000}}),  MakeRun(6, 2, 100, 505, {{"work", 990}}),
                             MakeRun(7, 2, 100, 520, {{"work", 1010}}),  MakeRun(8, 4, 100, 255, {{"work", 1000}})};
    for (const Aggregation aggregation : {Aggregation::median, Aggregation::fastest}) {
        StudySettings settings;
        settings.aggregation = aggregation;
        const Study study = StudyScaling("app", runs, settings);
        const Row& one = RowAt(study, 1);
        EXPECT_EQ(one.Tp, aggregation == Aggregation::median ? 1025 : 900);
        EXPECT_EQ(*one.Ts, one.Tp);
        EXPECT_EQ(*one.speedup, 1.0);
        EXPECT_EQ(*one.efficiency, 1.0);
        EXPECT_EQ(*one.overhead, 0.0);
        EXPECT_FALSE(one.karpFlatt);
        EXPECT_EQ(one.tpRuns, aggregation == Aggregation::median ? std::vector<int>({1, 4}) : std::vector<int>({3}));
        EXPECT_EQ(one.tsRuns, one.tpRuns);
        EXPECT_TRUE(study.implausible.empty()) << StudyText(study);
    }
    const Study study = StudyScaling("app", runs);
    const Row& two = RowAt(study, 2);
    EXPECT_EQ(two.Tp, 520);
    EXPECT_EQ(*two.speedup, 1025.0 / 520);
    EXPECT_EQ(*two.efficiency, 1025.0 / 520 / 2);
    EXPECT_EQ(*two.karpFlatt, KarpFlatt(1025.0 / 520, 2));
    EXPECT_EQ(*two.overhead, 2 * 520 - 1025);
    EXPECT_EQ(two.overheadByType.at("work"), 1010 - 1025);
    EXPECT_EQ(two.overheadByType.at("outside phases"), 2 * 520 - 1010);
    EXPECT_EQ(two.tsRuns, std::vector<int>({1, 4}));
    // 1025 / (4 * 255) = 1.005: within the runs' spread of 20 %.
    EXPECT_GT(*RowAt(study, 4).efficiency, 1);
}

TEST(Consistency, CrashedAndUnfinishedRunsAreLeftOutAndNamed) {
    std::vector<scaling::Run> runs;
    for (int p = 1; p <= 5; ++p) runs.push_back(MakeRun(p, p, 100, 1000.0 / p + 20 * p, {{"work", 1000}}));
    scaling::Run crashed = MakeRun(6, 2, 100, 10, {{"work", 5}});
    crashed.leftOut = "crashed";
    runs.push_back(crashed);
    runs.push_back(MakeRun(7, 3, 100, 0));
    const Study study = StudyScaling("app", runs);
    EXPECT_EQ(RowAt(study, 2).nbrRuns, 1);
    EXPECT_EQ(RowAt(study, 2).TpLow, 540);
    EXPECT_EQ(RowAt(study, 2).Tp, 540);
    ASSERT_EQ(study.leftOut.size(), 2u);
    EXPECT_EQ(study.leftOut[0].expID, 6);
    EXPECT_EQ(study.leftOut[0].p, 2);
    EXPECT_EQ(study.leftOut[0].reason, "crashed");
    EXPECT_EQ(study.leftOut[1].reason, "never finished");
    const std::string text = StudyText(study);
    EXPECT_NE(text.find("\nLeft out: run 6 (W = 100, p = 2): crashed\nLeft out: run 7 (W = 100, p = 3): never finished\n"),
              std::string::npos)
        << text;
    EXPECT_NE(StudyCsv(study).find("\nleftOut,p,W,reason\n6,2,100,crashed\n7,3,100,never finished\n"), std::string::npos);
    const nlohmann::json json = StudyJson(study);
    ASSERT_EQ(json["leftOut"].size(), 2u);
    EXPECT_EQ(json["leftOut"][0], nlohmann::json({{"expID", 6}, {"p", 2}, {"W", 100}, {"reason", "crashed"}}));
    // Only crashed runs: nothing to study, said.
    EXPECT_THROW(StudyScaling("app", {crashed}), std::invalid_argument);
}

TEST(Consistency, ImplausibleValuesAreFlaggedWithTheRunsResponsible) {
    // Ts = 1000 from run 1; run 3 at p = 3 takes 200: speedup 5 on 3 processes.
    std::vector<scaling::Run> runs = {MakeRun(1, 1, 100, 1000, {{"work", 1000}}), MakeRun(2, 2, 100, 520, {{"work", 1000}}),
                             MakeRun(3, 3, 100, 200, {{"work", 600}}), MakeRun(4, 4, 100, 300, {{"work", 1100}}),
                             MakeRun(5, 5, 100, 250, {{"work", 1100}})};
    const Study study = StudyScaling("app", runs);
    std::vector<std::string> flagged;
    for (const ImplausibleValue& value : study.implausible) {
        EXPECT_EQ(value.p, 3) << value.metric;
        EXPECT_EQ(value.tpRuns, std::vector<int>({3}));
        flagged.push_back(value.metric + " " + value.why);
    }
    EXPECT_EQ(flagged, (std::vector<std::string>{"speedup above p", "efficiency above 1", "karpFlatt below 0",
                                                 "overhead below 0", "overhead:work below 0"}));
    EXPECT_EQ(study.implausible[0].tsRuns, std::vector<int>({1}));
    EXPECT_EQ(study.implausible[0].value, 5);
    const std::string text = StudyText(study);
    EXPECT_NE(text.find("\nImplausible values (beyond the spread of the runs):\n"
                        "  W = 100, p = 3: speedup 5 above p (Tp of run(s) 3; Ts of run(s) 1)\n"
                        "  W = 100, p = 3: efficiency 1.667 above 1 (Tp of run(s) 3; Ts of run(s) 1)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(StudyCsv(study).find("\nimplausible,p,W,value,why,tpRuns,tsRuns\nspeedup,3,100,5,above p,3,1\n"),
              std::string::npos)
        << StudyCsv(study);
    const nlohmann::json json = StudyJson(study);
    ASSERT_EQ(json["implausible"].size(), 5u);
    EXPECT_EQ(json["implausible"][1]["metric"], "efficiency");
    EXPECT_EQ(json["implausible"][1]["tpRuns"], nlohmann::json({3}));
    EXPECT_EQ(json["implausible"][1]["tsRuns"], nlohmann::json({1}));
}

TEST(Consistency, DerivedPredictionsComeFromThePredictedTpUnlessTheirOwnModelIsAsked) {
    // Tp = 1000 + 1e6 / p at W = 1e6, 2e6 and 4e6, scaled with W, p = 1..8.
    std::vector<scaling::Run> runs;
    int id = 0;
    for (int W : {1000000, 2000000, 4000000})
        for (int p = 1; p <= 8; ++p) runs.push_back(MakeRun(++id, p, W, (1000 + 1e6 / p) * W / 1e6));
    for (const bool ownSpeedup : {false, true}) {
        StudySettings settings;
        settings.predictions = {ParsePredictionRequest("p=16"), ParsePredictionRequest("p=16,W=8000000")};
        if (ownSpeedup) settings.ownModels = {"speedup"};
        const Study study = StudyScaling("app", runs, settings);
        int derived = 0;
        for (const PredictionResult& result : study.predictions) {
            if (result.metric == "Tp") continue;
            const PredictionResult* tp = PredictionOf(study, "Tp", 16, result.W, result.overPAndW);
            ASSERT_TRUE(tp) << result.metric << " at W = " << result.W;
            const PredictionResult* speedup = PredictionOf(study, "speedup", 16, result.W, result.overPAndW);
            ASSERT_TRUE(speedup);
            if (result.metric == "speedup" && ownSpeedup) {
                EXPECT_FALSE(result.fromTp);
                const MetricModel& own = result.overPAndW
                    ? *std::find_if(study.models.begin(), study.models.end(),
                                    [](const MetricModel& m) { return m.metric == "speedup" && m.overPAndW; })
                    : ModelOf(study, "speedup", int(result.W));
                EXPECT_EQ(result.prediction.value, own.model->Evaluate(16, result.W));
                continue;
            }
            ASSERT_TRUE(result.fromTp) << result.metric;
            ++derived;
            const double Ts = *result.Ts, value = result.prediction.value;
            EXPECT_EQ(result.TsPredicted, result.W == 8e6);
            if (result.W == 8e6) {
                const MetricModel& joint = *std::find_if(study.models.begin(), study.models.end(),
                                                         [](const MetricModel& m) { return m.metric == "Tp" && m.overPAndW; });
                EXPECT_EQ(Ts, joint.model->Evaluate(1, 8e6));
            } else {
                EXPECT_EQ(Ts, RowAt(study, 1, int(result.W)).Tp);
            }
            if (result.metric == "speedup") {
                EXPECT_EQ(value, Ts / tp->prediction.value);
            }
            if (result.metric == "efficiency" && !ownSpeedup) {
                EXPECT_EQ(value, speedup->prediction.value / 16);
                EXPECT_EQ(result.prediction.low, speedup->prediction.low / 16);
                EXPECT_EQ(result.prediction.high, speedup->prediction.high / 16);
            }
            if (result.metric == "efficiency") {
                EXPECT_EQ(value, Ts / tp->prediction.value / 16);
            }
            if (result.metric == "karpFlatt") {
                EXPECT_EQ(value, KarpFlatt(Ts / tp->prediction.value, 16));
            }
            if (result.metric == "overhead") {
                EXPECT_EQ(value, 16 * tp->prediction.value - Ts);
            }
            EXPECT_LE(result.prediction.low, value);
            EXPECT_GE(result.prediction.high, value);
            EXPECT_TRUE(result.implausible.empty()) << result.metric << " " << result.implausible;
        }
        // Four Tp predictions, each with efficiency, Karp-Flatt and overhead (and speedup) derived.
        EXPECT_EQ(derived, ownSpeedup ? 12 : 16);
        const nlohmann::json json = StudyJson(study);
        EXPECT_EQ(json["predictions"][1]["from"], json["predictions"][1]["metric"] == "Tp" ? "own" : "Tp");
    }
}

TEST(Consistency, IntervalsThatSayNothingAreLabelledWithTheReason) {
    // Five p, each run scattered by a factor of 0.6 to 1.5, predicted at p = 64.
    std::vector<scaling::Run> runs;
    int id = 0;
    for (int p = 1; p <= 5; ++p)
        for (double factor : {0.6, 1.0, 1.5}) runs.push_back(MakeRun(++id, p, 100, (50 + 1000.0 / p) * factor));
    StudySettings settings;
    settings.predictions = {ParsePredictionRequest("p=64")};
    const Study study = StudyScaling("app", runs, settings);
    const PredictionResult* tp = PredictionOf(study, "Tp", 64, 100, false);
    ASSERT_TRUE(tp);
    EXPECT_EQ(tp->prediction.low, 0);
    EXPECT_GT(tp->prediction.high, 2 * tp->prediction.value);
    EXPECT_EQ(tp->uninformative.rfind("too ", 0), 0u) << tp->uninformative;
    const std::string text = StudyText(study);
    const std::string line = "  Tp at p = 64, W = 100: ";
    const std::size_t at = text.find(line);
    ASSERT_NE(at, std::string::npos) << text;
    const std::string shown = text.substr(at, text.find('\n', at) - at);
    EXPECT_NE(shown.find("(interval uninformative: " + tp->uninformative + ")"), std::string::npos) << shown;
    EXPECT_EQ(shown.find(" to "), std::string::npos) << shown;
    EXPECT_EQ(StudyJson(study)["predictions"][0]["uninformative"], tp->uninformative);

    // The same law measured exactly at many p: an interval that says something.
    std::vector<scaling::Run> exact;
    for (int p = 1; p <= 12; ++p) exact.push_back(MakeRun(p, p, 100, 50 + 1000.0 / p));
    const Study clean = StudyScaling("app", exact, settings);
    const PredictionResult* sharp = PredictionOf(clean, "Tp", 64, 100, false);
    ASSERT_TRUE(sharp);
    EXPECT_TRUE(sharp->uninformative.empty()) << sharp->uninformative;
    EXPECT_TRUE(StudyJson(clean)["predictions"][0]["uninformative"].is_null());
}
