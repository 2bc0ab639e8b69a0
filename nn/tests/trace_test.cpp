// Tests of what only the single-precision build has: the training trace and the
// split training step operations.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "nn/net.h"

using namespace NeuralNetwork;

namespace {

std::string lines(const real* values, int count) {
    std::ostringstream text;
    for (int i = 0; i < count; ++i) text << values[i] << "\n";
    return text.str();
}

}  // namespace

TEST(Trace, ForwardAndBackwardTrainingPrintTheirDataAroundTheStep) {
    std::srand(3);
    const int sizes[2] = {35, 10};
    Net net(2, sizes, 0.05f, 0.5f, 1.0f);
    ArrayRangeExampleFactory source(0, 34);
    real in[35], target[10], out[10], back[10];
    source.getExample(35, in, 10, target);

    testing::internal::CaptureStdout();
    net.forwardTraining(in, out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "forwardTraining\nintput data:\n" + lines(in, 10) +
                                                          "begin propagate\nnumLayers=2\noutput data:\n" +
                                                          lines(out, 10) + "end of forwardTraining\n");
    testing::internal::CaptureStdout();
    net.backwardTraining(target, back);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "backwardTraining\nbackward input:\n" + lines(target, 10) +
                                                          "backward output:\n" + lines(back, 10) +
                                                          "end of backwardTraining\n");
    testing::internal::CaptureStdout();
    net.run(in, out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "begin propagate\nnumLayers=2\n");
}

TEST(Trace, NarrowLayersPrintOnlyTheValuesTheyHave) {
    const int sizes[3] = {10, 10, 4};
    Net net(3, sizes, 0.05f, 0.5f, 1.0f);
    real in[10] = {1, 0, 1, 0, 1, 0, 1, 0, 1, 0}, out[4];
    testing::internal::CaptureStdout();
    net.forwardTraining(in, out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "forwardTraining\nintput data:\n" + lines(in, 10) +
                                                          "begin propagate\nnumLayers=3\noutput data:\n" +
                                                          lines(out, 4) + "end of forwardTraining\n");
}

TEST(SplitTrainingStep, HalvesWithoutOutputsEqualTheWholeStep) {
    const int sizes[4] = {35, 10, 10, 10};
    std::srand(41);
    Net whole(4, sizes, 0.05f, 0.5f, 1.0f);
    std::srand(41);
    Net split(4, sizes, 0.05f, 0.5f, 1.0f);
    EXPECT_EQ(split.GetActualOutput(), split.actualOutput.data());
    ArrayRangeExampleFactory source(0, 34);
    real in[35], target[10];
    testing::internal::CaptureStdout();
    for (int n = 0; n < 20; ++n) {
        source.getExample(35, in, 10, target);
        whole.simpleTrain(in, target);
        split.forward_simpleTrain(in);
        split.back_simpleTrain(target);
    }
    testing::internal::GetCapturedStdout();
    for (int i = 1; i < 4; ++i) EXPECT_EQ(split.layer[i]->weight, whole.layer[i]->weight) << i;
    EXPECT_EQ(split.error, whole.error);
}
