#include "apps/exeKOVA/tests/exekova_test_support.h"

#include "nn/examplefactory.h"
#include "nn/net.h"

#include <cstdlib>
#include <iostream>
#include <sstream>

ClusterOptions ExeKOVARun(const fs::path& folder) {
    ClusterOptions options;
    options.workingFolder = folder;
    options.awaitProgram = "exeKOVA";
    return options;
}

namespace {

SequentialResult TrainSequentially(TaskRole role) {
    using NeuralNetwork::Net;
    using NeuralNetwork::real;
    srand(35233);
    // The pipeline stages that the task built before, drawing from the same sequence.
    if (role == TaskRole::Master) {
        const int first[2] = {15, 150}, last[2] = {150, 10};
        for (const int* sizes : {first, last}) Net(2, sizes, 0.05, 0.5, 1.0).randomizeWeights();
    } else {
        const int middle[4] = {150, 150, 150, 150};
        Net(4, middle, 0.05, 0.5, 1.0).randomizeWeights();
    }
    const int sizes[9] = {15, 150, 150, 150, 150, 150, 150, 150, 10};
    Net sequential(9, sizes, 0.05, 0.5, 1.0);
    sequential.randomizeWeights();
    ArrayRangeExampleFactory examples(0, 14);
    sequential.simpleAutoTrain(examples);
    sequential.doneTraining();
    const real test3[15] = {1, 1, 1, 0, 0, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1};
    real output[10];
    sequential.run(test3, output);

    SequentialResult result;
    std::ostringstream report;
    std::streambuf* console = std::cout.rdbuf(report.rdbuf());
    sequential.printResult(output);
    std::cout.rdbuf(console);
    result.reportLines = Lines(report.str());
    std::ostringstream weights;
    sequential.save(weights);
    result.weightFile = weights.str();
    return result;
}

}  // namespace

const SequentialResult& ExpectedSequentialResult(TaskRole role) {
    if (role == TaskRole::Master) {
        static const SequentialResult master = TrainSequentially(TaskRole::Master);
        return master;
    }
    static const SequentialResult slave = TrainSequentially(TaskRole::Slave);
    return slave;
}
