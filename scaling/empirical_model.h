// Empirical performance models of a metric over the number of processes p, and over
// p and the problem size W together, in the performance-model normal form
// f = c0 + sum_k c_k * p^(i_k) * log2(p)^(j_k) [* W^(u_k) * log2(W)^(v_k)].
// Over p the search tries a constant, every single term and every pair of terms from
// the exponent sets; over p and W it combines the best few factors of each parameter
// into sums and products. Each candidate is fitted by least squares on relative errors
// (every point counts by its size, so the largest p does not decide alone), must have
// every term significantly different from 0, and the one with the smallest
// leave-one-out SMAPE that stays plausible wins: a term is chosen only when it
// predicts configurations it was not fitted to.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace scaling {

// An exponent of p as a fraction, e.g. 1/3 or -1/2; kept exact for printing.
struct Exponent {
    int numerator = 0;
    int denominator = 1;
    double Value() const { return static_cast<double>(numerator) / denominator; }
    // "1", "2/3", "-1/2", ...
    std::string Text() const;
};

// x^i * log2(x)^j of one parameter; i = 0, j = 0 is the factor 1.
struct Factor {
    Exponent exponent;
    int logExponent = 0;
    bool IsOne() const { return exponent.numerator == 0 && logExponent == 0; }
    double At(double x) const;
    // " * p^(1/2) * log2(p)", empty for the factor 1.
    std::string Text(const std::string& variable) const;
};

// One term c * (factor of p) * (factor of W).
struct Term {
    double coefficient = 0;
    Exponent pExponent;
    int logExponent = 0;
    Exponent wExponent;
    int wLogExponent = 0;
    Factor OfP() const { return {pExponent, logExponent}; }
    Factor OfW() const { return {wExponent, wLogExponent}; }
    // The term's factor p^i * log2(p)^j * W^u * log2(W)^v at (p, W).
    double At(double p, double W = 1) const;
};

// How well a model fits its points.
struct FitError {
    double rss = 0;               // residual sum of squares
    double rmse = 0;              // root mean square of the residuals
    double rSquared = 0;          // 1 - rss / total sum of squares (1 when the points are constant)
    double adjustedRSquared = 0;  // R^2 corrected for the number of terms
    double smape = 0;             // symmetric mean absolute percentage error of the fit, in percent
    double cvSmape = 0;           // SMAPE of the leave-one-configuration-out predictions: the selection criterion
};

// A value predicted by a model with its 95 % prediction interval.
struct Prediction {
    double value = 0;
    double low = 0;
    double high = 0;
};

struct Model {
    double constant = 0;
    std::vector<Term> terms;
    FitError error;
    bool overW = false;      // whether W is a parameter of the model
    int configurations = 0;  // points it was fitted to
    int runs = 0;            // runs behind those points
    std::string warning;     // set when no plausible candidate was found: what is wrong with this one

    // What the prediction interval needs: the covariance of (constant, coefficients),
    // the relative variance of a configuration's value about the model, the degrees of
    // freedom and the scale below which a value counts by that scale.
    std::vector<std::vector<double>> covariance;
    double relativeVariance = 0;
    int degreesOfFreedom = 0;
    double valueFloor = 0;
    // Candidates that cross-validated nearly as well: their intervals widen this
    // model's, so that a prediction beyond the measured range carries the doubt about
    // which terms the law has.
    std::vector<Model> rivals;

    double Evaluate(double p, double W = 1) const;
    // The value at (p, W) with the interval in which a configuration measured there
    // falls with 95 % probability (under this model, widened to cover its rivals').
    Prediction Predict(double p, double W = 1) const;
    // "3 + 0.5 * p * log2(p)", numbers with 4 significant digits.
    std::string Text() const;
};

// A measured value of a metric at p (and W): of one configuration, with the number of
// runs it aggregates and their sample variance.
struct Point {
    double p = 0;
    double value = 0;
    double W = 1;
    int runs = 1;
    double variance = 0;
};

// Where a model has to be believable: values a metric cannot take, and how far beyond
// the measured p (and W) they are checked.
struct Plausibility {
    bool nonNegative = false;                    // the metric cannot go below 0
    std::function<double(double p)> upperBound;  // e.g. a speedup of at most p
    std::string upperBoundText;                  // the bound in words: "p", "1"
    double largestP = 0;                         // checked up to this p at least (predictions)
    double largestW = 0;                         // and this W
};

// Fewest distinct p a model is fitted to, and fewest distinct W for a model over p and W.
constexpr int kMinModelPoints = 5;
constexpr int kMinModelWs = 3;

// The exponent sets of the search: i over -1, -1/2, ..., 3 (24 values), j over 0, 1, 2.
const std::vector<Exponent>& PExponents();
const std::vector<int>& LogExponents();

// The chosen model over p of the points, or none when they hold fewer than
// kMinModelPoints distinct values of p (several points at one p are all fitted).
std::optional<Model> FitModel(const std::vector<Point>& points, const Plausibility& plausibility = {});

// The chosen model over p and W, or none when the points hold fewer than
// kMinModelWs values of W with kMinModelPoints values of p each, or a W <= 0.
std::optional<Model> FitModelOverPAndW(const std::vector<Point>& points, const Plausibility& plausibility = {});

// Number of distinct p, and of distinct W, among the points.
int DistinctP(const std::vector<Point>& points);
int DistinctW(const std::vector<Point>& points);

}  // namespace scaling
