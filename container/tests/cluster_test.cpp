// remove_ifP called in this task as the master, with real testLumo slaves on the other
// hosts of a four-host virtual cluster.
#include "container/removeIfP.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <vector>

namespace {

// The sequential result of removing what fun matches from 0, 1, ..., size-1.
std::vector<int> SequentialResult(int size, const IsDivisibleBy<int>& fun) {
    std::vector<int> values(size);
    InsertElements(values.begin(), size);
    values.erase(std::remove_if(values.begin(), values.end(), fun), values.end());
    return values;
}

std::vector<int> ParallelResult(int size, const IsDivisibleBy<int>& fun) {
    std::vector<int> values(size);
    InsertElements(values.begin(), size);
    values.erase(remove_ifP(values.begin(), values.end(), fun), values.end());
    return values;
}

}  // namespace

TEST(ContainerOnCluster, ThreeSlavesKeepTheInputOrder) {
    ASSERT_EQ(VirtualMachineHosts().size(), 4u);
    const IsDivisibleBy<int> multiplesOfThree(3, 0);
    EXPECT_EQ(ParallelResult(100, multiplesOfThree), SequentialResult(100, multiplesOfThree));
    EXPECT_EQ(gParentTid, PvmNoParent);
}

TEST(ContainerOnCluster, PredicateTravelsToTheSlaves) {
    // Only a slave that got divisor 7 keeps 3, 6 and 9.
    EXPECT_EQ(ParallelResult(10, IsDivisibleBy<int>(7, 0)), (std::vector<int>{1, 2, 3, 4, 5, 6, 8, 9}));
}

TEST(ContainerOnCluster, LastSlaveTakesTheRemainder) {
    // Ten elements on three slaves: parts of 3, 3 and 4; 9 is only in the last.
    EXPECT_EQ(ParallelResult(10, IsDivisibleBy<int>(100, 0)), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(ContainerOnCluster, FewerElementsThanSlavesAndNoElements) {
    EXPECT_EQ(ParallelResult(2, IsDivisibleBy<int>(2, 0)), (std::vector<int>{1}));
    EXPECT_TRUE(ParallelResult(0, IsDivisibleBy<int>(2, 0)).empty());
}

TEST(ContainerOnCluster, RangesOfOtherRandomAccessContainers) {
    std::deque<int> values = {5, 10, 11, 15, 20, 21, 22, 25};
    values.erase(remove_ifP(values.begin(), values.end(), IsDivisibleBy<int>(5, 0)), values.end());
    EXPECT_EQ(values, (std::deque<int>{11, 21, 22}));
}
