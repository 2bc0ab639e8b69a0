// Example sources: where a network's training and test examples come from.
#pragma once

#include "nn/netsettings.h"

namespace NeuralNetwork {

// A source of examples, handed out one after another. Sources are owned by their
// caller and never deleted through this interface.
class ExampleFactory {
public:
    // Writes the next example's input values into input and its targets into output.
    virtual void getExample(int inputSize, real* input, int outputSize, real* output) = 0;
    // Number of examples one pass over the source holds.
    virtual int numExamples() = 0;

protected:
    ~ExampleFactory() = default;
};

}  // namespace NeuralNetwork

// The built-in digit images 0 to 9 with a ten-way target each, served in a cycle
// that repeats after ten examples. Every call copies one whole image and one whole
// target whatever widths are asked for, so the caller's arrays must hold at least
// WINDOW_SIZE and WINDOW_SIZE2 values. The range only sets the starting position
// (counted in values) and the count that numExamples reports.
class ArrayRangeExampleFactory : public NeuralNetwork::ExampleFactory {
public:
    // Values per image, and the step of currentExample.
    static constexpr int WINDOW_SIZE = NeuralNetwork::exampleInputWidth;
    // Values per target, and the step of currentExample2.
    static constexpr int WINDOW_SIZE2 = NeuralNetwork::exampleTargetWidth;
    // The data set: the images, then the targets, digit 0 first.
    static const NeuralNetwork::real myinput[NeuralNetwork::exampleCount * WINDOW_SIZE];
    static const NeuralNetwork::real expected_output[NeuralNetwork::exampleCount * WINDOW_SIZE2];

    ArrayRangeExampleFactory(int initLower, int initUpper);

    void getExample(int inputSize, NeuralNetwork::real* input, int outputSize, NeuralNetwork::real* output) override;
    int numExamples() override;

    // Position of the next image, in values from the start of myinput.
    int currentExample;
    // Position of the next target, in values from the start of expected_output.
    int currentExample2;
    int lower;
    int upper;
};
