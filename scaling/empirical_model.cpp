#include "empirical_model.h"

#include <cmath>
#include <cstdio>
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

// Least-squares fit of value = c0 + c1 * x over the points except `skip` (-1: none),
// with the spread of the x values. Returns false when the x values do not vary.
bool FitLine(const std::vector<double>& x, const std::vector<Point>& points, int skip, double& c0, double& c1,
             double* spread = nullptr) {
    double n = 0, sumX = 0, sumY = 0;
    for (std::size_t k = 0; k < points.size(); ++k)
        if (static_cast<int>(k) != skip) {
            n += 1;
            sumX += x[k];
            sumY += points[k].value;
        }
    const double meanX = sumX / n, meanY = sumY / n;
    double sxx = 0, sxy = 0;
    for (std::size_t k = 0; k < points.size(); ++k)
        if (static_cast<int>(k) != skip) {
            sxx += (x[k] - meanX) * (x[k] - meanX);
            sxy += (x[k] - meanX) * (points[k].value - meanY);
        }
    if (sxx <= 1e-12 * (1 + meanX * meanX) * n) return false;
    c1 = sxy / sxx;
    c0 = meanY - c1 * meanX;
    if (spread) *spread = sxx;
    return true;
}

// Fits the model with `term` (none: a constant only) to all points, with its errors.
// A term whose coefficient is not significantly different from 0 (95%, t test) is
// noise and gives no candidate.
std::optional<Model> FitCandidate(const std::vector<Point>& points, const std::optional<Term>& term) {
    std::vector<double> x(points.size(), 0.0);
    if (term)
        for (std::size_t k = 0; k < points.size(); ++k) x[k] = term->Factor(points[k].p);
    Model model;
    double c1 = 0, sxx = 0;
    if (term) {
        if (!FitLine(x, points, -1, model.constant, c1, &sxx)) return std::nullopt;
        model.terms.push_back(*term);
        model.terms.back().coefficient = c1;
    } else {
        double sum = 0;
        for (const Point& point : points) sum += point.value;
        model.constant = sum / points.size();
    }

    double mean = 0;
    for (const Point& point : points) mean += point.value;
    mean /= points.size();
    double total = 0, cv = 0, smape = 0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        const double y = points[k].value;
        const double residual = y - model.Evaluate(points[k].p);
        model.error.rss += residual * residual;
        total += (y - mean) * (y - mean);
        const double scale = std::fabs(y) + std::fabs(y - residual);
        if (scale > 0) smape += 2 * std::fabs(residual) / scale;

        double left0 = 0, left1 = 0;
        if (term) {
            if (!FitLine(x, points, static_cast<int>(k), left0, left1)) return std::nullopt;
        } else {
            left0 = (mean * points.size() - y) / (points.size() - 1);
        }
        const double predicted = left0 + left1 * x[k];
        cv += (y - predicted) * (y - predicted);
    }
    const double n = static_cast<double>(points.size());
    if (term && points.size() > 2) {
        const int df = static_cast<int>(points.size()) - 2;
        const double standardError = std::sqrt(model.error.rss / df / sxx);
        if (std::fabs(c1) <= TQuantile(df) * standardError) return std::nullopt;
    }
    model.error.rmse = std::sqrt(model.error.rss / n);
    model.error.rSquared = total > 0 ? 1 - model.error.rss / total : 1;
    model.error.smape = 100 * smape / n;
    model.error.looCv = cv / n;
    return model;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

}  // namespace

std::string Exponent::Text() const {
    if (denominator == 1) return std::to_string(numerator);
    return std::to_string(numerator) + "/" + std::to_string(denominator);
}

double Term::Factor(double p) const {
    double factor = pExponent.numerator == 0 ? 1 : std::pow(p, pExponent.Value());
    if (logExponent > 0) factor *= std::pow(std::log2(p), logExponent);
    return factor;
}

double Model::Evaluate(double p) const {
    double value = constant;
    for (const Term& term : terms) value += term.coefficient * term.Factor(p);
    return value;
}

std::string Model::Text() const {
    std::string text = Number(constant);
    for (const Term& term : terms) {
        text += term.coefficient < 0 ? " - " : " + ";
        text += Number(std::fabs(term.coefficient));
        if (term.pExponent.numerator != 0)
            text += term.pExponent.denominator == 1 && term.pExponent.numerator == 1
                        ? " * p"
                        : " * p^(" + term.pExponent.Text() + ")";
        if (term.logExponent == 1) text += " * log2(p)";
        if (term.logExponent > 1) text += " * log2(p)^" + std::to_string(term.logExponent);
    }
    return text;
}

const std::vector<Exponent>& PExponents() {
    static const std::vector<Exponent> exponents = {
        {0, 1}, {1, 4}, {1, 3}, {1, 2}, {2, 3}, {3, 4}, {1, 1}, {5, 4}, {4, 3}, {3, 2},
        {5, 3}, {7, 4}, {2, 1}, {9, 4}, {7, 3}, {5, 2}, {8, 3}, {11, 4}, {3, 1}};
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

std::optional<Model> FitModel(const std::vector<Point>& points) {
    if (DistinctP(points) < kMinModelPoints) return std::nullopt;
    std::optional<Model> best = FitCandidate(points, std::nullopt);
    for (const Exponent& i : PExponents())
        for (int j : LogExponents()) {
            if (i.numerator == 0 && j == 0) continue;  // the constant, tried first
            Term term;
            term.pExponent = i;
            term.logExponent = j;
            const std::optional<Model> candidate = FitCandidate(points, term);
            // A simpler model (tried earlier) wins ties within rounding.
            if (candidate && candidate->error.looCv < best->error.looCv * (1 - 1e-9))
                best = candidate;
        }
    return best;
}

}  // namespace scaling
