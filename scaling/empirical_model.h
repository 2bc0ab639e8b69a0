// Empirical performance models of a metric over the number of processes p, in the
// performance-model normal form f(p) = c0 + sum_k c_k * p^(i_k) * log2(p)^(j_k).
// The search tries a constant and every single term from the usual exponent sets,
// fits each by least squares and keeps the one with the smallest leave-one-out
// cross-validation error, so that a term is chosen only when it predicts points it
// was not fitted to.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace scaling {

// An exponent of p as a fraction, e.g. 1/3; kept exact for printing.
struct Exponent {
    int numerator = 0;
    int denominator = 1;
    double Value() const { return static_cast<double>(numerator) / denominator; }
    // "1", "2/3", ...
    std::string Text() const;
};

// One term c * p^i * log2(p)^j.
struct Term {
    double coefficient = 0;
    Exponent pExponent;
    int logExponent = 0;
    // The term's factor p^i * log2(p)^j at p.
    double Factor(double p) const;
};

// How well a model fits its points.
struct FitError {
    double rss = 0;        // residual sum of squares
    double rmse = 0;       // root mean square of the residuals
    double rSquared = 0;   // 1 - rss / total sum of squares (1 when the points are constant)
    double smape = 0;      // symmetric mean absolute percentage error, in percent
    double looCv = 0;      // mean squared leave-one-out prediction error, the selection criterion
};

struct Model {
    double constant = 0;
    std::vector<Term> terms;
    FitError error;

    double Evaluate(double p) const;
    // "3 + 0.5 * p * log2(p)", numbers with 4 significant digits.
    std::string Text() const;
};

// A measured value of a metric at p.
struct Point {
    double p = 0;
    double value = 0;
};

// Fewest distinct p a model is fitted to.
constexpr int kMinModelPoints = 5;

// The exponent sets of the search: i over 0, 1/4, ..., 3 (19 values), j over 0, 1, 2.
const std::vector<Exponent>& PExponents();
const std::vector<int>& LogExponents();

// The chosen model of the points, or none when they hold fewer than kMinModelPoints
// distinct values of p (several points at one p are all fitted).
std::optional<Model> FitModel(const std::vector<Point>& points);

// Number of distinct p among the points.
int DistinctP(const std::vector<Point>& points);

}  // namespace scaling
