// The Mann-Whitney U rank test: whether one sample of run times tends to be larger
// than another, judged by ranks rather than by one ratio of means, so one outlying
// run does not decide it.
#pragma once
#include <vector>

namespace scaling {

struct RankTest {
    double U = 0;        // pairs (a, b) with b > a, ties counting one half
    double pValue = 1;   // one-sided: the chance of a U this large if b were not larger
    bool exact = false;  // p from the exact distribution (no ties, small samples)
};

// Tests whether the values of b tend to exceed those of a. Both samples must be
// non-empty.
RankTest MannWhitneyGreater(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace scaling
