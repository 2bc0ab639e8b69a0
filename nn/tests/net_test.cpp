// Tests of the back-propagation network: construction and random draws, the
// training step and its halves, the training loops and the ten-class report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "nn/net.h"

using namespace NeuralNetwork;

namespace {

// The built-in source, counting the examples taken and remembering the widths asked for.
class CountingSource : public ExampleFactory {
public:
    CountingSource(int lower, int upper) : source(lower, upper) {}
    void getExample(int inputSize, real* input, int outputSize, real* output) override {
        ++taken;
        askedInput = inputSize;
        askedOutput = outputSize;
        source.getExample(inputSize, input, outputSize, output);
    }
    int numExamples() override { return source.numExamples(); }

    ArrayRangeExampleFactory source;
    int taken = 0;
    int askedInput = 0;
    int askedOutput = 0;
};

std::vector<std::vector<real>> weightsOf(const Net& net) {
    std::vector<std::vector<real>> all;
    for (const auto& l : net.layer) all.push_back(l->weight);
    return all;
}

const int smallSizes[4] = {exampleInputWidth, 12, 7, exampleTargetWidth};

}  // namespace

TEST(Net, OneLayerNetworkHandsBackItsInputs) {
    const int sizes[1] = {4};
    Net net(1, sizes, 0.05, 0.5, 1.0);
    EXPECT_EQ(net.inputLayer, net.outputLayer);
    const real in[4] = {0.25, -1, 3, 0};
    real out[4];
    net.run(in, out);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], in[i]);
    net.simpleTrain(in, in);
    net.run(in, out);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], in[i]);
}

TEST(Net, ConstructorDrawsLayerByLayerAndASecondRandomizeDrawsAnotherSet) {
    const int sizes[3] = {2, 3, 2};
    std::srand(77);
    Net net(3, sizes, 0.05, 0.5, 1.0);
    std::srand(77);
    for (int i = 1; i <= 2; ++i)
        for (real w : net.layer[i]->weight) ASSERT_EQ(w, RandomEqualReal(-0.5, 0.5)) << "layer " << i;
    const auto first = weightsOf(net);
    net.randomizeWeights();
    EXPECT_NE(weightsOf(net), first);
    std::srand(77);
    for (int n = 0; n < 12 + 12; ++n) std::rand();
    EXPECT_EQ(net.layer[1]->weight[0], RandomEqualReal(-0.5, 0.5)) << "the second set follows the first";
}

TEST(Net, TrainingStepEqualsItsFiveStepsAndTheTwoHalves) {
    std::srand(123);
    Net whole(4, smallSizes, 0.3, 0.5, 1.0);
    std::srand(123);
    Net steps(4, smallSizes, 0.3, 0.5, 1.0);
    std::srand(123);
    Net halves(4, smallSizes, 0.3, 0.5, 1.0);
    ArrayRangeExampleFactory source(0, 9);
    std::vector<real> in(exampleInputWidth), target(exampleTargetWidth), forward(10), backward(10), after(10);
    for (int n = 0; n < 25; ++n) {
        source.getExample(exampleInputWidth, in.data(), exampleTargetWidth, target.data());
        whole.simpleTrain(in.data(), target.data());

        steps.setInputs(in.data());
        steps.propagate();
        steps.computeOutputError(target.data());
        steps.backpropagate();
        steps.adjustWeights();

        halves.forwardTraining(in.data(), forward.data());
        halves.backwardTraining(target.data(), backward.data());
        EXPECT_EQ(backward, forward) << "backwardTraining hands back the forward outputs";
        halves.run(in.data(), after.data());
        EXPECT_NE(after, forward) << "the weights did change";
    }
    EXPECT_EQ(weightsOf(steps), weightsOf(whole));
    EXPECT_EQ(weightsOf(halves), weightsOf(whole));
    EXPECT_EQ(steps.error, whole.error);
    EXPECT_EQ(halves.error, whole.error);
}

TEST(Net, TenClassReportPrintsTheValuesAndTheLaterIndexOnATie) {
    const real equal[10] = {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5};
    const real three[10] = {0.1, 0.1, 0.1, 0.9, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1};
    const real zeros[10] = {};
    const int sizes[2] = {2, 10};
    Net net(2, sizes, 0.05, 0.5, 1.0);

    testing::internal::CaptureStdout();
    net.printResult(equal);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "0.5\n0.5\n0.5\n0.5\n0.5\n0.5\n0.5\n0.5\n0.5\n0.5\nseqential result, the number is:9\n");
    testing::internal::CaptureStdout();
    net.printResult(three);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "0.1\n0.1\n0.1\n0.9\n0.1\n0.1\n0.1\n0.1\n0.1\n0.1\nseqential result, the number is:3\n");
    testing::internal::CaptureStdout();
    printClassReport(zeros, "parallel result, the number is:");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0\n0\n0\n0\n0\n0\n0\n0\n0\n0\nparallel result, the number is:9\n");
}

TEST(Net, TrainTakesEpochsPassesAndTestChangesNoWeight) {
    std::srand(5);
    Net net(4, smallSizes, 0.3, 0.5, 1.0);
    CountingSource training(0, 3);
    net.train(3, training);
    EXPECT_EQ(training.taken, 12);
    EXPECT_EQ(training.askedInput, exampleInputWidth);
    EXPECT_EQ(training.askedOutput, exampleTargetWidth);

    const auto weights = weightsOf(net);
    CountingSource testing(0, 14);
    const real total = net.test(testing);
    EXPECT_EQ(testing.taken, 15);
    EXPECT_EQ(weightsOf(net), weights);

    EXPECT_GT(total, 0);
}

TEST(Net, AutotrainEndsOnTheWeightsOfTheBestTest) {
    std::srand(17);
    Net net(3, smallSizes, 0.3, 0.5, 1.0);
    ArrayRangeExampleFactory training(0, 9), testing(0, 9);
    ArrayRangeExampleFactory firstTest(0, 9);
    const real initial = net.test(firstTest);
    const real best = net.autotrain(training, testing, 1, 0.0f);
    EXPECT_LT(best, initial);
    ArrayRangeExampleFactory check(0, 9);
    EXPECT_EQ(net.test(check), best);
}

TEST(Net, AutotrainWithoutImprovementKeepsTheCurrentWeights) {
    // A learning rate of 0 changes nothing, so no test improves on the first one
    // and no weights are ever saved.
    std::srand(19);
    Net net(3, smallSizes, 0.0, 0.5, 1.0);
    const auto weights = weightsOf(net);
    ArrayRangeExampleFactory training(0, 9), testing(0, 9);
    ArrayRangeExampleFactory firstTest(0, 9);
    const real initial = net.test(firstTest);
    EXPECT_EQ(net.autotrain(training, testing, 2, 0.0f), initial);
    EXPECT_EQ(weightsOf(net), weights);
}

TEST(Net, SimpleAutoTrainTakesAThousandExamplesOfFixedWidths) {
    std::srand(29);
    const int sizes[3] = {exampleInputWidth, 8, exampleTargetWidth};
    Net net(3, sizes, 0.05, 0.5, 1.0);
    CountingSource source(0, 14);
    net.simpleAutoTrain(source);
    EXPECT_EQ(source.taken, 1000);
    EXPECT_EQ(source.askedInput, exampleInputWidth);
    EXPECT_EQ(source.askedOutput, exampleTargetWidth);
}

TEST(Net, LearnsToTellTheTenDigitsApart) {
    std::srand(35233);
    const int sizes[3] = {exampleInputWidth, 20, exampleTargetWidth};
    Net net(3, sizes, 0.5, 0.5, 1.0);
    ArrayRangeExampleFactory training(0, 9);
    net.train(300, training);
    net.doneTraining();
    ArrayRangeExampleFactory digits(0, 9);
    std::vector<real> in(exampleInputWidth), target(exampleTargetWidth), out(exampleTargetWidth);
    for (int digit = 0; digit < 10; ++digit) {
        digits.getExample(exampleInputWidth, in.data(), exampleTargetWidth, target.data());
        net.run(in.data(), out.data());
        testing::internal::CaptureStdout();
        net.printResult(out.data());
        const std::string report = testing::internal::GetCapturedStdout();
        EXPECT_NE(report.find("seqential result, the number is:" + std::to_string(digit) + "\n"), std::string::npos)
            << report;
    }
}
