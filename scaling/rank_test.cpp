#include "scaling/rank_test.h"

#include <cmath>
#include <stdexcept>

namespace scaling {

namespace {

// P(U >= u) under the null hypothesis for samples of m and n values without ties:
// counts of rank arrangements by their U, built up one value at a time.
double ExactUpperTail(int m, int n, double u) {
    // ways[i][j][k]: arrangements of i a-values and j b-values with U = k.
    const int maxU = m * n;
    std::vector<std::vector<std::vector<double>>> ways(
        m + 1, std::vector<std::vector<double>>(n + 1, std::vector<double>(maxU + 1, 0)));
    for (int i = 0; i <= m; ++i)
        for (int j = 0; j <= n; ++j)
            for (int k = 0; k <= i * j; ++k) {
                if (i == 0 || j == 0) {
                    ways[i][j][k] = k == 0 ? 1 : 0;
                    continue;
                }
                // The largest value is a b (it beats all i a-values) or an a.
                ways[i][j][k] = (k >= i ? ways[i][j - 1][k - i] : 0) + ways[i - 1][j][k];
            }
    double total = 0, tail = 0;
    for (int k = 0; k <= maxU; ++k) {
        total += ways[m][n][k];
        if (k >= u - 1e-9) tail += ways[m][n][k];
    }
    return tail / total;
}

}  // namespace

RankTest MannWhitneyGreater(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.empty() || b.empty()) throw std::invalid_argument("the rank test needs a value in each sample");
    RankTest test;
    bool ties = false;
    for (double x : a)
        for (double y : b) {
            if (y > x) test.U += 1;
            if (y == x) {
                test.U += 0.5;
                ties = true;
            }
        }
    const int m = static_cast<int>(a.size()), n = static_cast<int>(b.size());
    if (!ties && m * n <= 400) {
        test.exact = true;
        test.pValue = ExactUpperTail(m, n, test.U);
        return test;
    }
    // Normal approximation with continuity correction (ties only shrink the variance
    // a little; ignoring that keeps the test on the safe side).
    const double mean = m * n / 2.0;
    const double sd = std::sqrt(m * n * (m + n + 1) / 12.0);
    const double z = (test.U - mean - 0.5) / sd;
    test.pValue = 0.5 * std::erfc(z / std::sqrt(2.0));
    return test;
}

}  // namespace scaling
