// The back-propagation network: construction, loading and saving, the training
// step and its halves, the training loops and the ten-class report.
#include "nn/net.h"

#include <algorithm>
#include <iostream>
#include <string>

namespace NeuralNetwork {

namespace {

// Trace of the single-precision build: a title, then up to ten values one per line.
void traceValues(const char* title, const real* values, int count) {
    if (!traceTraining) return;
    std::cout << title << std::endl;
    for (int i = 0; i < std::min(count, 10); ++i) std::cout << values[i] << std::endl;
}

void traceLine(const char* text) {
    if (traceTraining) std::cout << text << std::endl;
}

}  // namespace

void printClassReport(const real* output, const char* label) {
    for (int i = 0; i < 10; ++i) std::cout << output[i] << std::endl;
    real best = 0.0;
    int winner = 0;
    for (int i = 0; i < 10; ++i) {
        if (output[i] >= best) {
            best = output[i];
            winner = i;
        }
    }
    std::cout << label << winner << std::endl;
}

Net::Net(int layers, const int* layerSizes, real initLearningRate, real initMomentumFactor, real initGain)
    : numLayers(layers), momentumFactor(initMomentumFactor), learningRate(initLearningRate), gain(initGain), error(0) {
    for (int i = 0; i < numLayers; ++i)
        layer.push_back(std::make_unique<NetLayer>(layerSizes[i], i > 0 ? layer[i - 1].get() : nullptr));
    finishConstruction();
    randomizeWeights();
}

Net::Net(std::istream& in) : numLayers(0), momentumFactor(0), learningRate(0), gain(0), error(0) {
    readRaw(in, numLayers);
    if (in.gcount() != static_cast<std::streamsize>(sizeof numLayers))
        refuseWeightFile("weight file ends before its layer count");
    if (numLayers < 1 || numLayers > maxLayers)
        refuseWeightFile("weight file gives " + std::to_string(numLayers) + " layers (a network has 1 to " +
                         std::to_string(maxLayers) + ")");
    readRaw(in, momentumFactor);
    readRaw(in, learningRate);
    readRaw(in, gain);
    long long weightBudget = maxNetworkWeights;
    for (int i = 0; i < numLayers; ++i) {
        layer.push_back(std::make_unique<NetLayer>(in, i > 0 ? layer[i - 1].get() : nullptr, weightBudget));
        weightBudget -= static_cast<long long>(layer[i]->weight.size());
    }
    finishConstruction();
}

void Net::finishConstruction() {
    inputLayer = layer.front().get();
    outputLayer = layer.back().get();
    input.assign(std::max(inputLayer->units, exampleInputWidth), 0);
    expectedOutput.assign(std::max(outputLayer->units, exampleTargetWidth), 0);
    actualOutput.assign(std::max(outputLayer->units, exampleTargetWidth), 0);
}

void Net::save(std::ostream& out) const {
    writeRaw(out, numLayers);
    writeRaw(out, momentumFactor);
    writeRaw(out, learningRate);
    writeRaw(out, gain);
    for (const auto& l : layer) l->save(out);
}

void Net::randomizeWeights() {
    for (int i = 1; i < numLayers; ++i) layer[i]->randomizeWeights();
}

void Net::clearWeights() {
    for (int i = 1; i < numLayers; ++i) layer[i]->clearWeights();
}

void Net::saveWeights() {
    for (int i = 1; i < numLayers; ++i) layer[i]->saveWeights();
}

void Net::restoreWeights() {
    for (int i = 1; i < numLayers; ++i) layer[i]->restoreWeights();
}

void Net::propagate() {
    if (traceTraining) {
        std::cout << "begin propagate" << std::endl;
        std::cout << "numLayers=" << numLayers << std::endl;
    }
    for (int i = 1; i < numLayers; ++i) layer[i]->propagate(gain);
}

void Net::backpropagate() {
    for (int i = numLayers - 1; i >= 1; --i) layer[i]->backpropagate(gain);
}

void Net::adjustWeights() {
    for (int i = 1; i < numLayers; ++i) layer[i]->adjustWeights(momentumFactor, learningRate);
}

// Same results as backpropagate() then adjustWeights(): a layer's update changes
// only its own weights, which no lower layer's deltas read, so each layer can be
// updated as soon as it has handed its deltas down.
void Net::trainBackward() {
    for (int i = numLayers - 1; i >= 1; --i) layer[i]->backpropagateAndAdjust(gain, momentumFactor, learningRate);
}

void Net::computeOutputError(const real* target) { error = outputLayer->computeError(gain, target); }

void Net::setInputs(const real* inputs) { inputLayer->setOutputs(inputs); }

void Net::getOutputs(real* outputs) const { outputLayer->getOutputs(outputs); }

void Net::simpleTrain(const real* inputValues, const real* target) {
    setInputs(inputValues);
    propagate();
    computeOutputError(target);
    trainBackward();
}

void Net::run(const real* inputValues, real* output) {
    setInputs(inputValues);
    propagate();
    getOutputs(output);
}

void Net::forwardTraining(const real* inputValues, real* output) {
    traceLine("forwardTraining");
    traceValues("intput data:", inputValues, inputLayer->units);
    run(inputValues, output);
    traceValues("output data:", output, outputLayer->units);
    traceLine("end of forwardTraining");
}

void Net::backwardTraining(const real* target, real* output) {
    traceLine("backwardTraining");
    traceValues("backward input:", target, outputLayer->units);
    computeOutputError(target);
    trainBackward();
    getOutputs(output);
    traceValues("backward output:", output, outputLayer->units);
    traceLine("end of backwardTraining");
}

void Net::train(int epochs, ExampleFactory& trainingExamples) {
    for (int epoch = 0; epoch < epochs; ++epoch) {
        const int examples = trainingExamples.numExamples();
        for (int n = 0; n < examples; ++n) {
            trainingExamples.getExample(inputLayer->units, input.data(), outputLayer->units, expectedOutput.data());
            simpleTrain(input.data(), expectedOutput.data());
        }
    }
}

real Net::test(ExampleFactory& testExamples) {
    real total = 0;
    const int examples = testExamples.numExamples();
    for (int n = 0; n < examples; ++n) {
        testExamples.getExample(inputLayer->units, input.data(), outputLayer->units, expectedOutput.data());
        run(input.data(), actualOutput.data());
        computeOutputError(expectedOutput.data());
        total += error;
    }
    return total;
}

real Net::autotrain(ExampleFactory& trainingExamples, ExampleFactory& testExamples, int epochsBetweenTests, float) {
    real best = test(testExamples);
    bool saved = false;
    for (int round = 0; round < 100; ++round) {
        train(epochsBetweenTests, trainingExamples);
        const real e = test(testExamples);
        if (best > e) {
            saveWeights();
            best = e;
            saved = true;
        }
    }
    if (saved) restoreWeights();
    return best;
}

void Net::simpleAutoTrain(ExampleFactory& trainingExamples) {
    for (int epoch = 0; epoch < 100; ++epoch) {
        for (int n = 0; n < 10; ++n) {
            trainingExamples.getExample(exampleInputWidth, input.data(), exampleTargetWidth, expectedOutput.data());
            simpleTrain(input.data(), expectedOutput.data());
        }
    }
}

void Net::doneTraining() {
    for (const auto& l : layer) l->doneTraining();
}

void Net::printResult(const real* output) const { printClassReport(output, "seqential result, the number is:"); }

#ifdef NN_SINGLE_PRECISION
void Net::forward_simpleTrain(const real* inputValues) {
    setInputs(inputValues);
    propagate();
}

void Net::back_simpleTrain(const real* target) {
    computeOutputError(target);
    trainBackward();
}
#endif

}  // namespace NeuralNetwork
