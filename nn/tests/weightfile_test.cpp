// Tests of the weight file: its layout and size, the save/load round trip, short
// files, and the refusal of counts that no network can have.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include <unistd.h>

#include "nn/net.h"

using namespace NeuralNetwork;

namespace {

const int benchmarkSizes[9] = {15, 150, 150, 150, 150, 150, 150, 150, 10};

template <class T>
T valueAt(const std::string& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

template <class T>
void append(std::string& bytes, T value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// A header of the given layer count and parameters 0.5, 0.05, 1.0.
std::string header(int layers) {
    std::string bytes;
    append(bytes, layers);
    append(bytes, real(0.5));
    append(bytes, real(0.05));
    append(bytes, real(1.0));
    return bytes;
}

std::string saved(const Net& net) {
    std::ostringstream out;
    net.save(out);
    return out.str();
}

// Loads bytes in a death test's child, whose standard output goes to standard
// error where the death test reads it; exits 0 when the load succeeds.
void load(const std::string& bytes) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    std::istringstream in(bytes);
    Net net(in);
    std::exit(0);
}

}  // namespace

TEST(WeightFile, BenchmarkNetworkFileLayout) {
    std::srand(35233);
    Net net(9, benchmarkSizes, 0.05, 0.5, 1.0);
    const std::string bytes = saved(net);
    const size_t headerAndCounts = sizeof(int) + 3 * sizeof(real) + 9 * sizeof(int);
    EXPECT_EQ(bytes.size(), headerAndCounts + 140883 * sizeof(real));
    if (sizeof(real) == 8) {
        EXPECT_EQ(bytes.size(), 1127128u);
    }

    EXPECT_EQ(valueAt<int>(bytes, 0), 9);
    EXPECT_EQ(valueAt<real>(bytes, 4), real(0.5)) << "momentum comes first";
    EXPECT_EQ(valueAt<real>(bytes, 4 + sizeof(real)), real(0.05));
    EXPECT_EQ(valueAt<real>(bytes, 4 + 2 * sizeof(real)), real(1.0));
    size_t offset = 4 + 3 * sizeof(real);
    EXPECT_EQ(valueAt<int>(bytes, offset), 15) << "layer 0 is its unit count alone";
    offset += sizeof(int);
    EXPECT_EQ(valueAt<int>(bytes, offset), 150);
    offset += sizeof(int);
    EXPECT_EQ(valueAt<real>(bytes, offset), net.layer[1]->getWeight(0, 0)) << "row 0 is written first";
    EXPECT_EQ(valueAt<real>(bytes, offset + 151 * 16 * sizeof(real) - sizeof(real)), net.layer[1]->getWeight(150, 15));
    EXPECT_EQ(valueAt<int>(bytes, offset + 151 * 16 * sizeof(real)), 150);
}

TEST(WeightFile, LoadThenSaveIsByteIdenticalAndComputesTheSame) {
    std::srand(35233);
    Net net(9, benchmarkSizes, 0.05, 0.5, 1.0);
    ArrayRangeExampleFactory source(0, 14);
    for (int n = 0; n < 20; ++n) {
        std::vector<real> in(exampleInputWidth), target(10);
        source.getExample(15, in.data(), 10, target.data());
        net.simpleTrain(in.data(), target.data());
    }
    const std::string bytes = saved(net);
    std::istringstream in(bytes);
    Net loaded(in);
    EXPECT_EQ(loaded.momentumFactor, net.momentumFactor);
    EXPECT_EQ(loaded.learningRate, net.learningRate);
    EXPECT_EQ(loaded.gain, net.gain);
    EXPECT_EQ(saved(loaded), bytes);

    ArrayRangeExampleFactory inputs(0, 9);
    for (int n = 0; n < 10; ++n) {
        std::vector<real> example(exampleInputWidth), target(10), a(10), b(10);
        inputs.getExample(15, example.data(), 10, target.data());
        net.run(example.data(), a.data());
        loaded.run(example.data(), b.data());
        EXPECT_EQ(a, b) << n;
    }
    loaded.doneTraining();
    EXPECT_EQ(saved(loaded), bytes) << "a trained-out network saves the same file";
}

TEST(WeightFile, WeightsMissingFromAShortFileStayZero) {
    const int sizes[3] = {3, 4, 2};
    std::srand(8);
    Net net(3, sizes, 0.05, 0.5, 1.0);
    const std::string bytes = saved(net);
    const size_t cut = bytes.size() - 3 * sizeof(real);  // the last three weights of layer 2
    std::istringstream in(bytes.substr(0, cut));
    Net loaded(in);
    EXPECT_EQ(loaded.layer[1]->weight, net.layer[1]->weight);
    const auto& top = loaded.layer[2]->weight;
    ASSERT_EQ(top.size(), 15u);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(top[i], net.layer[2]->weight[i]);
    for (size_t i = 12; i < 15; ++i) EXPECT_EQ(top[i], 0);
}

TEST(WeightFile, CountsThatNoNetworkHasAreRefusedBeforeAllocating) {
    const auto refused = testing::ExitedWithCode(255);
    EXPECT_EXIT(load(""), refused, "^error weight file ends before its layer count\n$");
    EXPECT_EXIT(load(std::string("\x02\x00", 2)), refused, "^error weight file ends before its layer count\n$");
    EXPECT_EXIT(load(header(0)), refused, "^error weight file gives 0 layers \\(a network has 1 to 1000\\)\n$");
    EXPECT_EXIT(load(header(-7)), refused, "^error weight file gives -7 layers");
    EXPECT_EXIT(load(header(0x41414141)), refused, "^error weight file gives 1094795585 layers");
    EXPECT_EXIT(load(header(3)), refused, "^error weight file ends before the unit count of a layer\n$");

    std::string negativeUnits = header(2);
    append(negativeUnits, 15);
    append(negativeUnits, -150);
    EXPECT_EXIT(load(negativeUnits), refused,
                "^error weight file gives a layer of -150 units \\(a layer has 1 to 100000\\)\n$");

    std::string zeroUnits = header(1);
    append(zeroUnits, 0);
    EXPECT_EXIT(load(zeroUnits), refused, "^error weight file gives a layer of 0 units");

    // Two layers of 90 000 units would need 8.1e9 weights of each array.
    std::string huge = header(2);
    append(huge, 90000);
    append(huge, 90000);
    EXPECT_EXIT(load(huge), refused, "^error weight file gives a network of more than 8388608 weights\n$");

    // Layers that each fit, but not together: 166 + 83 083 + 83 083 weights, then a
    // layer of 8 300 083 weights.
    std::string tooManyWeights = header(5);
    int below = 1;
    append(tooManyWeights, below);
    for (int units : {82, 1000, 82}) {
        append(tooManyWeights, units);
        tooManyWeights.append((units + 1) * (below + 1) * sizeof(real), '\0');
        below = units;
    }
    append(tooManyWeights, 100000);
    EXPECT_EXIT(load(tooManyWeights), refused, "^error weight file gives a network of more than 8388608 weights\n$");

    // A header and counts that are right load (with zero weights) and exit normally.
    std::string countsOnly = header(2);
    append(countsOnly, 15);
    append(countsOnly, 150);
    EXPECT_EXIT(load(countsOnly), testing::ExitedWithCode(0), "");
}
