// exeKOVA: trains a digit-recognition network pipelined over three PVM tasks and
// then sequentially, measures both runs with the probe, reports both times, the
// speedup and the efficiency, and saves the sequentially trained weights to
// "backprop.nnw". The program is its own slave: every task runs this driver, and
// the pipelined network decides each task's role.
#include "probe/KOVAInstrumentation.h"
#include "nn/examplefactory.h"
#include "nn/net.h"
#include "nn/parallel.h"
#include "probe/standardlib.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "apps/exeKOVA/speedup.h"

using NeuralNetwork::real;

namespace {

// Range of the training source and width of the hidden layers.
constexpr int TRAIN_LWB = 0;
constexpr int TRAIN_UPB = 14;
constexpr int MID_NODE = 150;
constexpr unsigned RANDOM_SEED = 35233;
const real LEARNING_RATE = 0.05;
const real MOMENTUM_FACTOR = 0.5;
const real GAIN = 1.0;
const char* const WEIGHT_FILE = "backprop.nnw";

// The image of the digit 3, row by row from the top: 111, 001, 111, 001, 111.
const real test3[15] = {1, 1, 1, 0, 0, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1};

}  // namespace

int main(int argc, char**) {
    if (argc > 1) {
        std::cout << "usage: exeKOVA (takes no arguments)" << std::endl;
        return 2;
    }
    srand(RANDOM_SEED);

    Chrono parallelChrono;
    int parallelSizes[10] = {15, MID_NODE, MID_NODE, MID_NODE, MID_NODE, MID_NODE, MID_NODE, MID_NODE, MID_NODE, 10};
    real parallelInput[15];
    std::copy(test3, test3 + 15, parallelInput);
    real parallelOutput[10] = {};
    NeuralNetwork::PalNet palNet(10, parallelSizes, LEARNING_RATE, MOMENTUM_FACTOR, GAIN);
    palNet.process();
    palNet.doneTraining();
    palNet.run(parallelInput, parallelOutput);
    palNet.printResult(parallelOutput);
    parallelChrono.Stop();
    std::cout << "parallel time:" << parallelChrono << std::endl;

    Chrono sequentialChrono;
    KOVAProbe* sequentialProbe = new KOVAProbe("nn", 1, KOVAProbe::REPLACE_IF_SUCCESFULL, 10, "");
    const int sequentialSizes[9] = {15, MID_NODE, MID_NODE, MID_NODE, MID_NODE, MID_NODE, MID_NODE, MID_NODE, 10};
    NeuralNetwork::Net sequential(9, sequentialSizes, LEARNING_RATE, MOMENTUM_FACTOR, GAIN);
    sequential.randomizeWeights();
    ArrayRangeExampleFactory examples(TRAIN_LWB, TRAIN_UPB);
    sequential.simpleAutoTrain(examples);
    sequential.doneTraining();
    real sequentialOutput[10] = {};
    sequential.run(test3, sequentialOutput);
    sequential.printResult(sequentialOutput);
    sequentialProbe->EndOfPhase(KOVAProbe::PH_WORK, 0, 0, "");
    delete sequentialProbe;
    sequentialChrono.Stop();
    std::cout << "sequential time: " << sequentialChrono << std::endl;
    printSpeedup(std::cout, sequentialChrono.GetTime(), parallelChrono.GetTime());

    std::ofstream weights(WEIGHT_FILE, std::ios::binary | std::ios::trunc);
    sequential.save(weights);
    weights.close();
    if (!weights) error(std::string("cannot write the weight file ") + WEIGHT_FILE, "", 0);
    return 0;
}
