// The speedup and efficiency lines of exeKOVA's report.
#include <gtest/gtest.h>

#include <sstream>

#include "apps/exeKOVA/speedup.h"

namespace {

std::string SpeedupLines(TIME sequentialTime, TIME parallelTime) {
    std::ostringstream out;
    printSpeedup(out, sequentialTime, parallelTime);
    return out.str();
}

TEST(ExeKOVASpeedup, ThreeTimesFasterIsSpeedupThreeAndEfficiencyOne) {
    EXPECT_EQ(SpeedupLines(3000000, 1000000), "Speedup         : 3\nEfficiency      : 1\n");
    EXPECT_EQ(SpeedupLines(4500000, 1500000), "Speedup         : 3\nEfficiency      : 1\n");
}

TEST(ExeKOVASpeedup, QuotientsArePrintedAsSinglePrecisionValues) {
    EXPECT_EQ(SpeedupLines(1000000, 3000000), "Speedup         : 0.333333\nEfficiency      : 0.111111\n");
    EXPECT_EQ(SpeedupLines(2500000, 2000000), "Speedup         : 1.25\nEfficiency      : 0.416667\n");
}

}  // namespace
