// The back-propagation network: a stack of sigmoid layers trained example by
// example, with its training loops, its ten-class report and its weight file.
#pragma once

#include <istream>
#include <memory>
#include <ostream>
#include <vector>

#include "nn/examplefactory.h"
#include "nn/netlayer.h"

namespace NeuralNetwork {

// Writes output[0] .. output[9] one per line, then label immediately followed by
// the winning class: the index of the largest value, the later index on a tie.
void printClassReport(const real* output, const char* label);

// A multi-layer feed-forward network trained online with back-propagation and
// momentum. Layer 0 is the input layer; layer i sits on layer i - 1.
//
// Weight file (save and the stream constructor), values as they lie in memory:
// numLayers (int), momentumFactor, learningRate, gain (real), then the record of
// every layer from layer 0 up: its unit count (int) and, above layer 0, its
// (units + 1) x (units below + 1) weights, row 0 first.
class Net {
public:
    // Builds layers[0..layers-1] with layerSizes units each and randomizes them.
    Net(int layers, const int* layerSizes, real initLearningRate, real initMomentumFactor, real initGain);
    // Loads a network from a weight file. Counts that cannot be right end the process
    // with a one-line message; weights missing from a short file stay zero.
    explicit Net(std::istream& in);
    Net(const Net&) = delete;
    Net& operator=(const Net&) = delete;

    void save(std::ostream& out) const;

    // The layer operations of the same name on layers 1 .. numLayers-1, bottom up.
    void randomizeWeights();
    void clearWeights();
    void saveWeights();
    void restoreWeights();
    void propagate();
    void adjustWeights();
    // The deltas of every layer, from the output layer down.
    void backpropagate();
    // error = the output layer's error towards target.
    void computeOutputError(const real* target);

    void setInputs(const real* inputs);
    void getOutputs(real* outputs) const;

    // One training step: forward pass, output error, deltas, weight update.
    void simpleTrain(const real* input, const real* expectedOutput);
    // Inference: presents input, propagates and hands back the outputs.
    void run(const real* input, real* output);
    // First half of a training step: the forward pass (as run).
    void forwardTraining(const real* input, real* output);
    // Second half of a training step: error, deltas and weight update; output gets
    // the outputs of the preceding forward pass, which the update does not change.
    void backwardTraining(const real* expectedOutput, real* output);

    // epochs passes over trainingExamples (numExamples() examples each), one
    // training step per example.
    void train(int epochs, ExampleFactory& trainingExamples);
    // Sum of the errors over one pass of testExamples; changes no weight, but needs
    // the training state (the output deltas are overwritten).
    real test(ExampleFactory& testExamples);
    // 100 rounds of train then test, keeping the weights of the best test; returns
    // the best test error. When no round improved on the first test, the current
    // weights stay. cutOffError is not consulted.
    real autotrain(ExampleFactory& trainingExamples, ExampleFactory& testExamples, int epochsBetweenTests,
                   float cutOffError);
    // 1 000 training steps: 100 epochs of 10 examples of the source.
    void simpleAutoTrain(ExampleFactory& trainingExamples);

    // Ends training on every layer; afterwards only the forward pass, the outputs,
    // printResult and save remain usable.
    void doneTraining();
    // The ten-class report labelled "seqential result, the number is:".
    void printResult(const real* output) const;

#ifdef NN_SINGLE_PRECISION
    // The scratch array of the outputs.
    real* GetActualOutput() { return actualOutput.data(); }
    // The forward half of a training step without handing back the outputs.
    void forward_simpleTrain(const real* input);
    // The backward half of a training step without handing back the outputs.
    void back_simpleTrain(const real* expectedOutput);
#endif

    int numLayers;
    std::vector<std::unique_ptr<NetLayer>> layer;
    NetLayer* inputLayer;
    NetLayer* outputLayer;
    real momentumFactor;
    real learningRate;
    real gain;
    // Error of the last computeOutputError.
    real error;
    // Scratch arrays for examples and outputs, each at least as wide as the layer
    // it serves and as one example of the built-in source.
    std::vector<real> input;
    std::vector<real> expectedOutput;
    std::vector<real> actualOutput;

private:
    void finishConstruction();
    // Deltas and weight update of every layer in one walk per layer, top down.
    void trainBackward();
};

}  // namespace NeuralNetwork
