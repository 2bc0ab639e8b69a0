// Tests of the double-precision build's data set (3 x 5 digits, targets 0.9 and
// 0.1) and that this build prints no training trace.
#include <gtest/gtest.h>

#include <string>

#include "nn/net.h"

using namespace NeuralNetwork;

TEST(DigitImages, AreTheTenThreeByFivePictures) {
    const char* pictures[10] = {"111101101101111", "010110010010111", "111001110100111", "111001111001111",
                                "110110111010010", "111100111001111", "111100111101111", "111001001001001",
                                "111101111101111", "111101111001111"};
    ASSERT_EQ(ArrayRangeExampleFactory::WINDOW_SIZE, 15);
    ArrayRangeExampleFactory source(0, 14);
    for (int digit = 0; digit < 10; ++digit) {
        real in[15], target[10];
        source.getExample(15, in, 10, target);
        for (int i = 0; i < 15; ++i) EXPECT_EQ(in[i], pictures[digit][i] == '1' ? 1.0 : 0.0) << digit << " " << i;
        for (int i = 0; i < 10; ++i) EXPECT_EQ(target[i], i == digit ? 0.9 : 0.1);
    }
}

TEST(DigitImages, DoubleBuildPrintsNoTrace) {
    const int sizes[2] = {15, 10};
    Net net(2, sizes, 0.05, 0.5, 1.0);
    real in[15] = {1}, out[10], target[10] = {0.9};
    testing::internal::CaptureStdout();
    net.forwardTraining(in, out);
    net.backwardTraining(target, out);
    net.simpleTrain(in, target);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
