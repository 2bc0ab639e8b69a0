#include "scaling/empirical_model.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

namespace scaling {

namespace {

// Two-sided 95% quantiles of Student's t for 1..30 degrees of freedom; 1.96 beyond.
double TQuantile(int df) {
    static const double quantiles[] = {12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
                                       2.201,  2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
                                       2.080,  2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042};
    return df >= 1 && df <= 30 ? quantiles[df - 1] : 1.96;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

double SmapeTerm(double measured, double modelled) {
    const double scale = std::fabs(measured) + std::fabs(modelled);
    return scale > 0 ? 2 * std::fabs(measured - modelled) / scale : 0;
}

// A term without its coefficient.
struct Shape {
    Factor p, W;
};

// A value counts in the fit by its size, down to this share of the largest value, so
// that points at 0 do not take an infinite weight.
constexpr double kWeightFloor = 1e-3;

// More terms are taken only when they cut the cross-validated SMAPE by this share.
constexpr double kSimplerPreferred = 0.25;
// Candidates within this share of the chosen one's cross-validated SMAPE are its
// rivals; at most kMostRivals of them, the best, are kept.
constexpr double kRivalShare = 0.1;
constexpr std::size_t kMostRivals = 24;

// Most coefficients of a model: the constant and three terms.
constexpr std::size_t kMostCoefficients = 4;
// A matrix or vector of at most that many rows and columns, kept on the stack.
using Small = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor, kMostCoefficients,
                            kMostCoefficients>;

// The points as the fits use them.
struct Data {
    const std::vector<Point>* points = nullptr;
    std::vector<double> weight;      // 1 / the point's scale
    double floor = 0;
    double repetitionVariance = 0;   // median relative variance of a configuration's value from its runs
    int runs = 0;
};

// Each point counts by 1 / its scale: its size, but at least the floor and the
// standard error of its runs, so that a value near 0 or one its runs scatter widely
// does not decide the fit.
Data Prepare(const std::vector<Point>& points) {
    Data data;
    data.points = &points;
    double largest = 0;
    for (const Point& point : points) largest = std::max(largest, std::fabs(point.value));
    data.floor = largest > 0 ? kWeightFloor * largest : 1;
    std::vector<double> relative;
    for (const Point& point : points) {
        const double standardError = std::sqrt(point.variance / std::max(point.runs, 1));
        const double w = 1 / std::max({std::fabs(point.value), data.floor, standardError});
        data.weight.push_back(w);
        relative.push_back(w * w * standardError * standardError);
        data.runs += point.runs;
    }
    std::sort(relative.begin(), relative.end());
    const std::size_t middle = relative.size() / 2;
    data.repetitionVariance =
        relative.size() % 2 == 1 ? relative[middle] : (relative[middle - 1] + relative[middle]) / 2;
    return data;
}

// Weighted least squares of the points on the constant and the shapes, whose values at
// the points are `columns`. Returns none when the columns are collinear, a point alone
// decides a coefficient (no cross-validation possible), no degree of freedom is left,
// or, when significance is asked for, a term is not significantly different from 0
// (95 %, t test, with the larger of the residual and the repetitions' variance).
std::optional<Model> Fit(const Data& data, const std::vector<Shape>& shapes,
                         const std::vector<const std::vector<double>*>& columns, bool significance = true) {
    const std::vector<Point>& points = *data.points;
    const std::size_t n = points.size(), k = shapes.size() + 1;
    if (n < k + 1) return std::nullopt;
    auto x = [&](std::size_t i, std::size_t j) { return j == 0 ? 1.0 : (*columns[j - 1])[i]; };

    // QR of the weighted columns scaled to a largest entry of 1; a column whose part
    // outside the span of the ones before it is negligible makes them collinear.
    if (k > kMostCoefficients) return std::nullopt;
    Eigen::MatrixXd a(n, k);
    Eigen::VectorXd b(n);
    Small scale(k, 1), columnNorms(k, 1);
    for (std::size_t j = 0; j < k; ++j) {
        scale(j) = 0;
        for (std::size_t i = 0; i < n; ++i) scale(j) = std::max(scale(j), std::fabs(data.weight[i] * x(i, j)));
        if (scale(j) == 0 || !std::isfinite(scale(j))) return std::nullopt;
        for (std::size_t i = 0; i < n; ++i) a(i, j) = data.weight[i] * x(i, j) / scale(j);
        columnNorms(j) = a.col(j).squaredNorm();
    }
    for (std::size_t i = 0; i < n; ++i) b(i) = data.weight[i] * points[i].value;
    const Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(a);
    const Small r = qr.matrixQR().topRows(k).triangularView<Eigen::Upper>();
    for (std::size_t j = 0; j < k; ++j)
        if (r(j, j) * r(j, j) <= 1e-18 * columnNorms(j)) return std::nullopt;
    // The thin Q (the squared norms of its rows are the points' leverages), the
    // coefficients R^-1 Q' (w y), unscaled, and R^-1 R^-T, their covariance up to the
    // variance.
    const Eigen::MatrixXd q = qr.householderQ() * Eigen::MatrixXd::Identity(n, k);
    const Small rInverse = r.triangularView<Eigen::Upper>().solve(Small::Identity(k, k));
    const Small unscaledCovariance = rInverse * rInverse.transpose();
    const Small beta = (rInverse * (q.transpose() * b)).cwiseQuotient(scale);

    Model model;
    model.constant = beta(0);
    for (std::size_t t = 0; t < shapes.size(); ++t)
        model.terms.push_back({beta(t + 1), shapes[t].p.exponent, shapes[t].p.logExponent, shapes[t].W.exponent,
                               shapes[t].W.logExponent});
    double mean = 0;
    for (const Point& point : points) mean += point.value;
    mean /= static_cast<double>(n);
    double total = 0, weightedRss = 0, smape = 0, cvSmape = 0;
    for (std::size_t i = 0; i < n; ++i) {
        double fitted = 0;
        for (std::size_t j = 0; j < k; ++j) fitted += beta(j) * x(i, j);
        const double leverage = q.row(i).squaredNorm();
        if (leverage > 1 - 1e-9) return std::nullopt;
        const double y = points[i].value, residual = y - fitted;
        model.error.rss += residual * residual;
        weightedRss += data.weight[i] * data.weight[i] * residual * residual;
        total += (y - mean) * (y - mean);
        smape += SmapeTerm(y, fitted);
        cvSmape += SmapeTerm(y, y - residual / (1 - leverage));
    }
    const int df = static_cast<int>(n - k);
    model.relativeVariance = std::max(weightedRss / df, data.repetitionVariance);
    model.covariance.assign(k, std::vector<double>(k, 0));
    for (std::size_t row = 0; row < k; ++row)
        for (std::size_t column = 0; column < k; ++column)
            model.covariance[row][column] =
                model.relativeVariance * unscaledCovariance(row, column) / (scale(row) * scale(column));
    for (std::size_t j = 1; j < k && significance; ++j)
        if (std::fabs(beta(j)) <= TQuantile(df) * std::sqrt(model.covariance[j][j])) return std::nullopt;

    model.degreesOfFreedom = df;
    model.valueFloor = data.floor;
    model.configurations = static_cast<int>(n);
    model.runs = data.runs;
    const double count = static_cast<double>(n);
    model.error.rmse = std::sqrt(model.error.rss / count);
    model.error.rSquared = total > 0 ? 1 - model.error.rss / total : 1;
    model.error.adjustedRSquared = total > 0 ? 1 - (1 - model.error.rSquared) * (count - 1) / df : 1;
    model.error.smape = 100 * smape / count;
    model.error.cvSmape = 100 * cvSmape / count;
    return model;
}

std::vector<double> Spaced(double low, double high, int count) {
    std::vector<double> values;
    for (int k = 0; k < count; ++k)
        values.push_back(count == 1 || low <= 0 ? low + (high - low) * k / std::max(count - 1, 1)
                                                : low * std::pow(high / low, double(k) / (count - 1)));
    return values;
}

// What makes the model unbelievable over the checked range, empty when nothing does:
// a value below 0 of a metric that cannot be negative, or above its upper bound.
std::string Implausibility(const Model& model, const std::vector<Point>& points, const Plausibility& plausibility) {
    double pLow = points[0].p, pHigh = pLow, wLow = points[0].W, wHigh = wLow, smallest = points[0].value, largest = 0;
    double excess = 0.01;  // measured values above the bound raise it
    for (const Point& point : points) {
        pLow = std::min(pLow, point.p);
        pHigh = std::max(pHigh, point.p);
        wLow = std::min(wLow, point.W);
        wHigh = std::max(wHigh, point.W);
        smallest = std::min(smallest, point.value);
        largest = std::max(largest, std::fabs(point.value));
        if (plausibility.upperBound) excess = std::max(excess, point.value / plausibility.upperBound(point.p) - 1);
    }
    const double negativeTolerance = smallest > 0 ? 0 : 0.01 * largest;
    const std::vector<double> ps = Spaced(pLow, std::max(2 * pHigh, plausibility.largestP), 64);
    const std::vector<double> Ws =
        model.overW ? Spaced(wLow, std::max(2 * wHigh, plausibility.largestW), 16) : std::vector<double>{wLow};
    auto where = [&](double p, double W) {
        return " at p = " + Number(p) + (model.overW ? ", W = " + Number(W) : "");
    };
    for (double W : Ws)
        for (double p : ps) {
            const double value = model.Evaluate(p, W);
            if (!std::isfinite(value)) return "not finite" + where(p, W);
            if (plausibility.nonNegative && value < -negativeTolerance) return "goes below 0" + where(p, W);
            if (plausibility.upperBound && value > plausibility.upperBound(p) * (1 + excess))
                return "goes above " + (plausibility.upperBoundText.empty() ? "its bound" : plausibility.upperBoundText) +
                       where(p, W);
        }
    return "";
}

// The candidates of one number of terms.
using Group = std::vector<Model>;

// The best candidate of the groups (fewest terms first): the smallest cross-validated
// SMAPE within a group; a group with more terms wins only by a clear margin. Only
// plausible candidates count; when none is, the best implausible one comes with its
// fault as a warning.
std::optional<Model> Select(std::vector<Group>& groups, const std::vector<Point>& points,
                            const Plausibility& plausibility) {
    for (Group& group : groups)
        std::stable_sort(group.begin(), group.end(),
                         [](const Model& a, const Model& b) { return a.error.cvSmape < b.error.cvSmape; });
    for (const bool plausibleOnly : {true, false}) {
        std::optional<Model> chosen;
        for (const Group& group : groups) {
            const Model* best = nullptr;
            for (const Model& candidate : group)
                if (!plausibleOnly || Implausibility(candidate, points, plausibility).empty()) {
                    best = &candidate;
                    break;
                }
            if (best && (!chosen || best->error.cvSmape < chosen->error.cvSmape * (1 - kSimplerPreferred) - 1e-6))
                chosen = *best;
        }
        if (chosen) {
            if (!plausibleOnly) chosen->warning = Implausibility(*chosen, points, plausibility);
            std::vector<const Model*> rivals;
            for (const Group& group : groups)
                for (const Model& candidate : group)
                    if (candidate.error.cvSmape <= chosen->error.cvSmape * (1 + kRivalShare) + 1e-6 &&
                        candidate.Text() != chosen->Text() &&
                        (!plausibleOnly || Implausibility(candidate, points, plausibility).empty()))
                        rivals.push_back(&candidate);
            std::stable_sort(rivals.begin(), rivals.end(),
                             [](const Model* a, const Model* b) { return a->error.cvSmape < b->error.cvSmape; });
            for (std::size_t k = 0; k < rivals.size() && k < kMostRivals; ++k) chosen->rivals.push_back(*rivals[k]);
            return chosen;
        }
    }
    return std::nullopt;
}

// Every factor of one parameter but the factor 1, in the order of the exponent sets.
std::vector<Factor> Factors() {
    std::vector<Factor> factors;
    for (const Exponent& i : PExponents())
        for (int j : LogExponents())
            if (i.numerator != 0 || j != 0) factors.push_back({i, j});
    return factors;
}

std::vector<double> Column(const std::vector<Point>& points, const Shape& shape) {
    std::vector<double> column;
    for (const Point& point : points) column.push_back(shape.p.At(point.p) * shape.W.At(point.W));
    return column;
}

// The `count` factors of one parameter that best model the series along it (the
// points sharing the other parameter's value), by their summed cross-validated SMAPE.
// Short series cannot show a term significant; the combined model is tested instead.
std::vector<Factor> BestFactors(const std::vector<std::vector<Point>>& series, bool ofP, std::size_t count) {
    const std::vector<Factor> factors = Factors();
    std::vector<std::pair<double, std::size_t>> scores;
    for (std::size_t f = 0; f < factors.size(); ++f) {
        const Shape shape = ofP ? Shape{factors[f], {}} : Shape{{}, factors[f]};
        double score = 0;
        bool fitted = false;
        for (const std::vector<Point>& points : series) {
            const Data data = Prepare(points);
            const std::vector<double> column = Column(points, shape);
            const std::optional<Model> model = Fit(data, {shape}, {&column}, false);
            score += model ? model->error.cvSmape : 200;
            fitted |= model.has_value();
        }
        if (fitted) scores.push_back({score, f});
    }
    std::stable_sort(scores.begin(), scores.end());
    std::vector<Factor> best;
    for (std::size_t k = 0; k < scores.size() && k < count; ++k) best.push_back(factors[scores[k].second]);
    return best;
}

}  // namespace

std::string Exponent::Text() const {
    if (denominator == 1) return std::to_string(numerator);
    return std::to_string(numerator) + "/" + std::to_string(denominator);
}

double Factor::At(double x) const {
    double value = exponent.numerator == 0 ? 1 : std::pow(x, exponent.Value());
    if (logExponent > 0) value *= std::pow(std::log2(x), logExponent);
    return value;
}

std::string Factor::Text(const std::string& variable) const {
    std::string text;
    if (exponent.numerator != 0)
        text += exponent.denominator == 1 && exponent.numerator == 1 ? " * " + variable
                                                                      : " * " + variable + "^(" + exponent.Text() + ")";
    if (logExponent == 1) text += " * log2(" + variable + ")";
    if (logExponent > 1) text += " * log2(" + variable + ")^" + std::to_string(logExponent);
    return text;
}

double Term::At(double p, double W) const { return OfP().At(p) * OfW().At(W); }

double Model::Evaluate(double p, double W) const {
    double value = constant;
    for (const Term& term : terms) value += term.coefficient * term.At(p, W);
    return value;
}

Prediction Model::Predict(double p, double W) const {
    Prediction prediction;
    prediction.value = Evaluate(p, W);
    std::vector<double> x = {1};
    for (const Term& term : terms) x.push_back(term.At(p, W));
    double ofCoefficients = 0;
    for (std::size_t a = 0; a < x.size() && a < covariance.size(); ++a)
        for (std::size_t b = 0; b < x.size() && b < covariance.size(); ++b) ofCoefficients += x[a] * covariance[a][b] * x[b];
    const double scale = std::max(std::fabs(prediction.value), valueFloor);
    const double half = TQuantile(degreesOfFreedom) * std::sqrt(ofCoefficients + relativeVariance * scale * scale);
    prediction.low = prediction.value - half;
    prediction.high = prediction.value + half;
    for (const Model& rival : rivals) {
        const Prediction other = rival.Predict(p, W);
        prediction.low = std::min(prediction.low, other.low);
        prediction.high = std::max(prediction.high, other.high);
    }
    return prediction;
}

std::string Model::Text() const {
    std::string text = Number(constant);
    for (const Term& term : terms) {
        text += term.coefficient < 0 ? " - " : " + ";
        text += Number(std::fabs(term.coefficient)) + term.OfP().Text("p") + term.OfW().Text("W");
    }
    return text;
}

const std::vector<Exponent>& PExponents() {
    static const std::vector<Exponent> exponents = {
        {-1, 1}, {-1, 2}, {-1, 3}, {-1, 4}, {0, 1}, {1, 4}, {1, 3}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {1, 1},
        {5, 4},  {4, 3},  {3, 2},  {5, 3},  {7, 4}, {2, 1}, {9, 4}, {7, 3}, {5, 2}, {8, 3}, {11, 4}, {3, 1}};
    return exponents;
}

const std::vector<int>& LogExponents() {
    static const std::vector<int> exponents = {0, 1, 2};
    return exponents;
}

int DistinctP(const std::vector<Point>& points) {
    std::set<double> ps;
    for (const Point& point : points) ps.insert(point.p);
    return static_cast<int>(ps.size());
}

int DistinctW(const std::vector<Point>& points) {
    std::set<double> Ws;
    for (const Point& point : points) Ws.insert(point.W);
    return static_cast<int>(Ws.size());
}

std::optional<Model> FitModel(const std::vector<Point>& points, const Plausibility& plausibility) {
    if (DistinctP(points) < kMinModelPoints) return std::nullopt;
    const Data data = Prepare(points);
    std::vector<Shape> shapes;
    std::vector<std::vector<double>> columns;
    for (const Factor& factor : Factors()) {
        shapes.push_back({factor, {}});
        columns.push_back(Column(points, shapes.back()));
    }
    std::vector<Group> groups(3);
    if (std::optional<Model> constant = Fit(data, {}, {})) groups[0].push_back(std::move(*constant));
    for (std::size_t a = 0; a < shapes.size(); ++a) {
        if (std::optional<Model> one = Fit(data, {shapes[a]}, {&columns[a]})) groups[1].push_back(std::move(*one));
        for (std::size_t b = a + 1; b < shapes.size(); ++b)
            if (std::optional<Model> two = Fit(data, {shapes[a], shapes[b]}, {&columns[a], &columns[b]}))
                groups[2].push_back(std::move(*two));
    }
    return Select(groups, points, plausibility);
}

std::optional<Model> FitModelOverPAndW(const std::vector<Point>& points, const Plausibility& plausibility) {
    if (DistinctW(points) < kMinModelWs || DistinctP(points) < kMinModelPoints) return std::nullopt;
    std::map<double, std::vector<Point>> byW, byP;
    for (const Point& point : points) {
        if (point.W <= 0) return std::nullopt;
        byW[point.W].push_back(point);
        byP[point.p].push_back(point);
    }
    std::vector<std::vector<Point>> alongP, alongW;
    for (auto& [W, series] : byW)
        if (DistinctP(series) >= kMinModelPoints) alongP.push_back(series);
    for (auto& [p, series] : byP)
        if (DistinctW(series) >= kMinModelWs) alongW.push_back(series);
    if (alongP.empty() || alongW.empty()) return std::nullopt;

    // Sums and products of one factor of each parameter, as the normal form combines them.
    const std::size_t kFactorsTried = 4;
    const std::vector<Factor> ofP = BestFactors(alongP, true, kFactorsTried);
    const std::vector<Factor> ofW = BestFactors(alongW, false, kFactorsTried);
    const Data data = Prepare(points);
    std::vector<Group> groups(4);
    auto tryShapes = [&](const std::vector<Shape>& shapes) {
        std::vector<std::vector<double>> columns;
        for (const Shape& shape : shapes) columns.push_back(Column(points, shape));
        std::vector<const std::vector<double>*> pointers;
        for (const std::vector<double>& column : columns) pointers.push_back(&column);
        if (std::optional<Model> model = Fit(data, shapes, pointers)) {
            model->overW = true;
            groups[shapes.size()].push_back(std::move(*model));
        }
    };
    tryShapes({});
    for (const Factor& f : ofP) tryShapes({{f, {}}});
    for (const Factor& g : ofW) tryShapes({{{}, g}});
    for (const Factor& f : ofP)
        for (const Factor& g : ofW) {
            const Shape pOnly{f, {}}, wOnly{{}, g}, both{f, g};
            tryShapes({both});
            tryShapes({pOnly, wOnly});
            tryShapes({pOnly, both});
            tryShapes({wOnly, both});
            tryShapes({pOnly, wOnly, both});
        }
    return Select(groups, points, plausibility);
}

}  // namespace scaling
