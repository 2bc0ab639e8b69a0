// Checks the library's arranged loops against plain loops in the documented
// operation order: outputs, errors and weights must agree bit for bit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "nn/tests/plainnet.h"

using namespace NeuralNetwork;

namespace {

bool sameBits(const std::vector<real>& a, const std::vector<real>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(real)) == 0;
}

// Trains net and a plain copy of it side by side for `steps` examples of the
// built-in source, comparing after every step.
void trainSideBySide(Net& net, int steps) {
    PlainNet plain(net);
    ArrayRangeExampleFactory source(0, 14);
    std::vector<real> in(net.input.size()), target(net.expectedOutput.size());
    for (int step = 0; step < steps; ++step) {
        source.getExample(exampleInputWidth, in.data(), exampleTargetWidth, target.data());
        net.simpleTrain(in.data(), target.data());
        plain.simpleTrain(in.data(), target.data());
        ASSERT_EQ(std::memcmp(&net.error, &plain.error, sizeof(real)), 0) << "step " << step;
        for (int i = 1; i < net.numLayers; ++i)
            ASSERT_TRUE(sameBits(net.layer[i]->output, plain.layers[i].out)) << "step " << step << " layer " << i;
    }
    for (int i = 1; i < net.numLayers; ++i) {
        EXPECT_TRUE(sameBits(net.layer[i]->weight, plain.layers[i].w)) << "layer " << i;
        EXPECT_TRUE(sameBits(net.layer[i]->dWeight, plain.layers[i].dw)) << "layer " << i;
        EXPECT_TRUE(sameBits(net.layer[i - 1]->error, plain.layers[i - 1].err)) << "layer " << i - 1;
    }
}

}  // namespace

TEST(OperationOrder, BenchmarkNetworkTrainsBitIdenticallyToPlainLoops) {
    const int sizes[9] = {exampleInputWidth, 150, 150, 150, 150, 150, 150, 150, exampleTargetWidth};
    std::srand(35233);
    Net net(9, sizes, 0.05, 0.5, 1.0);
    net.randomizeWeights();
    testing::internal::CaptureStdout();
    trainSideBySide(net, 300);
    testing::internal::GetCapturedStdout();
}

TEST(OperationOrder, UnevenLayerWidthsTrainBitIdenticallyToPlainLoops) {
    // Widths that are no multiple of any block of units or vector of values.
    const int sizes[6] = {exampleInputWidth, 13, 7, 1, 6, exampleTargetWidth};
    std::srand(4242);
    Net net(6, sizes, 0.2, 0.7, 1.3);
    testing::internal::CaptureStdout();
    trainSideBySide(net, 300);
    testing::internal::GetCapturedStdout();
}
