// Tests of one sigmoid layer: allocation, random draws, the forward pass of zero
// weights, the output error, momentum and the end of training. (The operation
// order of every sum is checked against plain loops in operation_order_test.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "nn/netlayer.h"

using namespace NeuralNetwork;

namespace {

// The value RandomEqualReal(-0.5, 0.5) gives for the rand() value r.
real drawnWeight(int r) { return static_cast<real>(-0.5 + (r / 2147483647.0) * (0.5 - -0.5)); }

}  // namespace

TEST(Layer, InputLayerHasNoWeightsAndDrawsNoRandomNumbers) {
    NetLayer in(5, nullptr);
    EXPECT_EQ(in.getUnits(), 5);
    EXPECT_EQ(in.weightsPerUnit, 0);
    EXPECT_TRUE(in.weight.empty());
    EXPECT_TRUE(in.dWeight.empty());
    EXPECT_TRUE(in.weightSave.empty());
    EXPECT_EQ(in.weightIntermediate.size(), 1u);
    EXPECT_EQ(in.output.size(), 6u);

    std::srand(7);
    const int first = std::rand();
    std::srand(7);
    in.randomizeWeights();
    in.clearWeights();
    in.saveWeights();
    in.restoreWeights();
    EXPECT_EQ(std::rand(), first);

    std::ostringstream record;
    in.save(record);
    EXPECT_EQ(record.str().size(), sizeof(int));
}

TEST(Layer, RandomizeDrawsEveryWeightInIndexOrderRowZeroIncluded) {
    NetLayer in(15, nullptr);
    NetLayer hidden(150, &in);
    ASSERT_EQ(hidden.weightsPerUnit, 16);
    ASSERT_EQ(hidden.weight.size(), 151u * 16u);
    hidden.dWeight.assign(hidden.dWeight.size(), 3);

    std::srand(35233);
    hidden.randomizeWeights();
    const int next = std::rand();

    std::srand(35233);
    for (size_t i = 0; i < hidden.weight.size(); ++i) ASSERT_EQ(hidden.weight[i], drawnWeight(std::rand())) << i;
    EXPECT_EQ(std::rand(), next) << "a 150-above-15 layer draws exactly 2416 numbers";
    for (real d : hidden.dWeight) ASSERT_EQ(d, 0);
    for (real w : hidden.weight) {
        ASSERT_GE(w, -0.5);
        ASSERT_LE(w, 0.5);
    }
}

TEST(Layer, ZeroWeightsGiveOneHalfWhateverInputAndGain) {
    NetLayer in(7, nullptr);
    NetLayer top(9, &in);
    const real inputs[7] = {1, -3, 0.25, 100, -42, 7, 0};
    in.setOutputs(inputs);
    for (real gain : {real(1.0), real(0.3), real(5.0)}) {
        top.propagate(gain);
        for (int u = 1; u <= 9; ++u) EXPECT_EQ(top.getOutput(u), real(0.5));
    }
}

TEST(Layer, OutputErrorAndDeltas) {
    NetLayer in(3, nullptr);
    NetLayer top(4, &in);
    std::srand(11);
    top.randomizeWeights();
    const real inputs[3] = {1, 0, 1};
    in.setOutputs(inputs);
    top.propagate(1);
    real outs[4];
    top.getOutputs(outs);

    EXPECT_EQ(top.computeError(1, outs), 0);
    for (int u = 1; u <= 4; ++u) EXPECT_EQ(top.error[u], 0);

    const real target[4] = {0.9, 0.1, 0.1, 0.1};
    real sum = 0;
    for (int u = 0; u < 4; ++u) sum += (target[u] - outs[u]) * (target[u] - outs[u]);
    EXPECT_NEAR(top.computeError(real(0.7), target), 0.5 * sum, 1e-6);
    for (int u = 1; u <= 4; ++u) {
        const real y = outs[u - 1];
        EXPECT_NEAR(top.error[u], 0.7 * y * (1 - y) * (target[u - 1] - y), 1e-7) << u;
    }
}

TEST(Layer, MomentumAddsThePreviousLearningRateTermOnly) {
    NetLayer in(2, nullptr);
    NetLayer top(1, &in);
    const real inputs[2] = {0.5, 1};
    in.setOutputs(inputs);
    top.setError(1, real(0.25));
    const real momentum = 0.5, rate = 0.1;

    const real d = (real(0.5) * rate) * real(0.25);  // connection from input unit 1
    top.adjustWeights(momentum, rate);
    EXPECT_EQ(top.getWeight(1, 1), d);
    EXPECT_EQ(top.getDWeight(1, 1), d);
    top.adjustWeights(momentum, rate);
    EXPECT_EQ(top.getWeight(1, 1), d + (momentum * d + d));
    EXPECT_EQ(top.getDWeight(1, 1), d) << "the stored change is the learning-rate term alone";
    EXPECT_EQ(top.getWeight(1, 0), (rate * real(0.25)) + (momentum * (rate * real(0.25)) + rate * real(0.25)))
        << "the bias weight learns from the bias output 1";
    EXPECT_EQ(top.getWeight(0, 0), 0) << "row 0 takes part in no update";
}

TEST(Layer, BiasOutputStaysOneAndTrainingEndReleasesTrainingArrays) {
    NetLayer in(3, nullptr);
    NetLayer top(2, &in);
    std::srand(9);
    top.randomizeWeights();
    const real inputs[3] = {0, 0, 0};
    in.setOutputs(inputs);
    top.propagate(1);
    EXPECT_EQ(in.getOutput(0), 1.0);
    EXPECT_EQ(top.getOutput(0), 1.0);
    const real before = top.getOutput(1);

    top.doneTraining();
    in.doneTraining();
    EXPECT_TRUE(top.error.empty());
    EXPECT_TRUE(top.dWeight.empty());
    EXPECT_TRUE(top.weightSave.empty());
    EXPECT_EQ(top.weight.size(), 3u * 4u);
    top.propagate(1);
    EXPECT_EQ(top.getOutput(0), 1.0);
    EXPECT_EQ(top.getOutput(1), before);
}
