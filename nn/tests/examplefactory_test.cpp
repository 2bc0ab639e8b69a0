// Tests of the built-in example source: the cycle of ten, the reported count,
// the fixed widths and starts that do not fall on an image.
#include <gtest/gtest.h>

#include <vector>

#include "nn/examplefactory.h"

using namespace NeuralNetwork;

namespace {

constexpr int W = ArrayRangeExampleFactory::WINDOW_SIZE;
constexpr int T = ArrayRangeExampleFactory::WINDOW_SIZE2;

struct Example {
    std::vector<real> input = std::vector<real>(W);
    std::vector<real> target = std::vector<real>(T);
};

Example next(ArrayRangeExampleFactory& source) {
    Example e;
    source.getExample(W, e.input.data(), T, e.target.data());
    return e;
}

}  // namespace

TEST(ExampleSource, TheEleventhExampleIsDigitZeroAgain) {
    ArrayRangeExampleFactory source(0, 14);
    const Example zero = next(source);
    std::vector<std::vector<real>> seen = {zero.input};
    for (int n = 1; n < 10; ++n) {
        const Example e = next(source);
        for (const auto& earlier : seen) EXPECT_NE(e.input, earlier) << "example " << n;
        seen.push_back(e.input);
    }
    const Example eleventh = next(source);
    EXPECT_EQ(eleventh.input, zero.input);
    EXPECT_EQ(eleventh.target, zero.target);
}

TEST(ExampleSource, CountIsTheSizeOfTheRange) {
    EXPECT_EQ(ArrayRangeExampleFactory(0, 14).numExamples(), 15);
    EXPECT_EQ(ArrayRangeExampleFactory(3, 3).numExamples(), 1);
}

TEST(ExampleSource, WidthsAskedForChangeNothingInWhatIsCopied) {
    ArrayRangeExampleFactory asked(0, 14), odd(0, 14);
    for (int n = 0; n < 12; ++n) {
        std::vector<real> in(W + 4, -1), target(T + 4, -1);
        odd.getExample(2, in.data(), 1, target.data());
        const Example e = next(asked);
        EXPECT_EQ(std::vector<real>(in.begin(), in.begin() + W), e.input);
        EXPECT_EQ(std::vector<real>(target.begin(), target.begin() + T), e.target);
        for (int i = W; i < W + 4; ++i) EXPECT_EQ(in[i], -1) << "nothing beyond one image";
        for (int i = T; i < T + 4; ++i) EXPECT_EQ(target[i], -1) << "nothing beyond one target";
    }
}

TEST(ExampleSource, AStartInsideAnImageReadsOnAtTheStartNeverPastTheEnd) {
    const int values = 10 * W;
    ArrayRangeExampleFactory source(values - 5, values);
    Example e = next(source);
    for (int i = 0; i < W; ++i) EXPECT_EQ(e.input[i], ArrayRangeExampleFactory::myinput[(values - 5 + i) % values]);
    EXPECT_EQ(source.currentExample, 0);
    e = next(source);
    EXPECT_EQ(e.input, std::vector<real>(ArrayRangeExampleFactory::myinput, ArrayRangeExampleFactory::myinput + W));

    ArrayRangeExampleFactory negative(-W, 0), last(9 * W, 0);
    EXPECT_EQ(next(negative).input, next(last).input);
}
