// Tests of the scaling library: the model search on series made from known laws, the
// derived metrics and the overhead split on figures worked by hand, the rank test,
// and what a short or broken series yields.
#include "outputs.h"
#include "rank_test.h"
#include "series.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
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
            if (noise == 0) {
                EXPECT_NEAR(model->constant, law.c0, 1e-9 * std::fabs(law.c0)) << law.name;
                EXPECT_NEAR(model->error.rss, 0, 1e-12) << law.name;
                EXPECT_NEAR(model->error.rSquared, 1, 1e-12) << law.name;
            }
        }
    // The law asked for by name, printed in normal form.
    EXPECT_EQ(FitModel(Series(kPs, laws[0].f))->Text(), "3 + 0.5 * p * log2(p)");
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
    EXPECT_EQ(PExponents().size(), 19u);
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

TEST(Series, FastestRunOfEachConfigurationIsKeptAndEveryMetricModelled) {
    std::vector<scaling::Run> runs;
    int id = 0;
    for (int p = 1; p <= 6; ++p) {
        const double Tp = 3 + 0.5 * p * std::log2(p);
        runs.push_back(MakeRun(++id, p, 100, Tp * 1000, {{"work", 3000}}));
        runs.push_back(MakeRun(++id, p, 100, Tp * 1500, {{"work", 3000}}));  // a slower repeat
    }
    runs.push_back(MakeRun(++id, 3, 100, 0));  // never finished
    const Study study = StudyScaling("app", runs);
    ASSERT_EQ(study.rows.size(), 6u);
    EXPECT_EQ(RowAt(study, 3).nbrRuns, 2);
    EXPECT_EQ(RowAt(study, 3).expID, 5);
    EXPECT_EQ(study.notes, std::vector<std::string>{"1 run(s) without a parallel time (never finished) left out"});

    const MetricModel& Tp = ModelOf(study, "Tp");
    ASSERT_TRUE(Tp.model) << Tp.note;
    EXPECT_EQ(Tp.model->Text(), "3000 + 500 * p * log2(p)");
    // Karp-Flatt exists for p > 1 only: five points, just enough.
    EXPECT_EQ(ModelOf(study, "karpFlatt").points.size(), 5u);
    EXPECT_TRUE(ModelOf(study, "karpFlatt").model);
    EXPECT_TRUE(ModelOf(study, "overhead:work").model);

    const nlohmann::json json = StudyJson(study);
    ASSERT_EQ(json["rows"].size(), 6u);
    const nlohmann::json& model = json["models"][0];
    EXPECT_EQ(model["metric"], "Tp");
    EXPECT_DOUBLE_EQ(model["model"]["constant"].get<double>(), 3000);
    ASSERT_EQ(model["model"]["terms"].size(), 1u);
    EXPECT_DOUBLE_EQ(model["model"]["terms"][0]["coefficient"].get<double>(), 500);
    EXPECT_DOUBLE_EQ(model["model"]["terms"][0]["pExponent"].get<double>(), 1);
    EXPECT_EQ(model["model"]["terms"][0]["logExponent"], 1);
    EXPECT_NEAR(model["model"]["error"]["rss"].get<double>(), 0, 1e-6);
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
