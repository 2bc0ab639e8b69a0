// annpipe: trains a small digit-recognition network cut into four stages over
// three PVM tasks in lock step (one example in the pipeline at a time), runs the
// image of the digit 1 through the pipeline, then trains a ten-layer network
// sequentially and reports both results, both times, the speedup and the
// efficiency. With -m every task measures itself with the probe. The program is
// its own slave: the master spawns two copies of its own executable.
#include "probe/KOVAInstrumentation.h"
#include "probe/KeepEveryRun.h"
#include "nn/examplefactory.h"
#include "nn/net.h"
#include <pvm3.h>
#include "probe/standardlib.h"

#include <cstdlib>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "apps/annpipe/annpipe_messages.h"
#include "apps/annpipe/options.h"
#include "apps/annpipe/report.h"

using NeuralNetwork::Net;
using NeuralNetwork::real;

namespace {

// Inputs and targets of one example of the data set.
constexpr int WINDOW_SIZE = ArrayRangeExampleFactory::WINDOW_SIZE;
constexpr int WINDOW_SIZE2 = ArrayRangeExampleFactory::WINDOW_SIZE2;
// Width of the hidden layers, and of every activation message.
constexpr int MID_NODE = 10;
constexpr int SLAVENUM = 2;
// Layers of each slave's stage.
constexpr int SLAVE_LAYERS = 3;
// Range of the example sources.
constexpr int TRAIN_LWB = 0;
constexpr int TRAIN_UPB = 34;
// Examples of one training pass: one per digit, digit 0 first.
constexpr int EXAMPLES_PER_PASS = NeuralNetwork::exampleCount;
// Layers of the sequential network: the input layer and nine of MID_NODE units.
constexpr int SEQUENTIAL_LAYERS = 10;

const real LEARNING_RATE = 0.05f;
const real MOMENTUM_FACTOR = 0.5f;
const real GAIN = 1.0f;

const char* const APPLICATION = "ANN_exemple";

// The test image: the picture of the digit 1 in the data set.
const real* const test1 = ArrayRangeExampleFactory::myinput + 1 * WINDOW_SIZE;

// A network of the given layer sizes, randomized a second time after construction.
std::unique_ptr<Net> BuildNetwork(const std::vector<int>& sizes) {
    auto net = std::make_unique<Net>(static_cast<int>(sizes.size()), sizes.data(), LEARNING_RATE, MOMENTUM_FACTOR,
                                     GAIN);
    net->randomizeWeights();
    return net;
}

// The probe of one of the master's runs over p machines: measuring with -m,
// otherwise an inactive one that records nothing.
std::unique_ptr<KOVAProbe> MasterProbe(int p, const std::string& comment) {
    if (!gMeasureWithKOVA) return std::make_unique<KOVAProbe>();
    return std::make_unique<KOVAProbe>(APPLICATION, p, SimilarExpPolicy(KOVAProbe::REPLACE_IF_FASTER), TRAIN_TIMES, comment,
                                       KOVAProbeSettings::FirstRelease());
}

// Runs step(n) for every training example: TRAIN_TIMES passes of the ten
// examples, n being the example's index within its pass. Every task of a run
// loops the same way, so all of them see the same number of examples.
void ForEveryTrainingExample(const std::function<void(int)>& step) {
    for (int pass = 0; pass < TRAIN_TIMES; ++pass)
        for (int n = 0; n < EXAMPLES_PER_PASS; ++n) step(n);
}

void PrintDashes() { std::cout << std::string(37, '-') << std::endl; }

int RunMaster() {
    Chrono parallelChrono;
    std::unique_ptr<KOVAProbe> probe = MasterProbe(PARALLEL_MACHINES, "testing of new kova probe");

    int tids[SLAVENUM + 2];
    char hosts[SLAVENUM + 1][STRING_SIZE] = {};
    char exe[] = "annpipe";
    SpawnSlaves(exe, hosts, SLAVENUM, tids, gMeasureWithKOVA, TRAIN_TIMES);
    tids[0] = tids[SLAVENUM + 1] = pvm_mytid();
    for (int slave = 1; slave <= SLAVENUM; ++slave) {
        SendInt(tids, tids[slave], TAG_PROCESS_TABLE, SLAVENUM + 2);
        probe->SlaveIsSpawned(tids[slave]);
    }
    int stageSizes[SLAVE_LAYERS] = {MID_NODE, MID_NODE, MID_NODE};
    for (int slave = 1; slave <= SLAVENUM; ++slave) SendInt(stageSizes, tids[slave], TAG_STAGE_LAYOUT, SLAVE_LAYERS);
    probe->EndOfPhase(KOVAProbe::PH_PART);

    std::unique_ptr<Net> firstStage = BuildNetwork({WINDOW_SIZE, MID_NODE});
    std::unique_ptr<Net> lastStage = BuildNetwork({MID_NODE, WINDOW_SIZE2});
    ArrayRangeExampleFactory examples(TRAIN_LWB, TRAIN_UPB);
    real in[WINDOW_SIZE];
    real target[WINDOW_SIZE2];
    real activations[MID_NODE];
    real out[WINDOW_SIZE2];
    ForEveryTrainingExample([&](int n) {
        examples.getExample(WINDOW_SIZE, in, WINDOW_SIZE2, target);
        std::cout << "mater forwardTraining..." << "data num=" << n << std::endl;
        firstStage->forwardTraining(in, activations);
        probe->EndOfPhase(KOVAProbe::PH_WORK);
        std::cout << "mater send(forward) data to slave1..." << "data num=" << n << std::endl;
        SendFloat(activations, tids[1], TAG_FORWARD, MID_NODE);
        std::cout << "master1 receive(forward) data from" << "\t\t\t\t\t" << "slave2...." << "data num" << n
                  << std::endl;
        ReceiveFloat(activations, tids[2], TAG_FORWARD, MID_NODE);
        probe->EndOfPhase(KOVAProbe::PH_IDLE);
        lastStage->forwardTraining(activations, out);
        std::cout << "master1 backwardTraining..." << std::endl;
        lastStage->backwardTraining(target, out);
        SendFloat(out, tids[2], TAG_BACKWARD, MID_NODE);
        // Slave 1's answer closes the lock step; its values are not used.
        ReceiveFloat(out, tids[1], TAG_BACKWARD, MID_NODE);
    });
    firstStage->doneTraining();
    lastStage->doneTraining();
    std::cout << '\n';
    PrintDashes();
    std::cout << "Runing the ANN !!!!!" << '\n' << std::endl;

    real parallelOutput[WINDOW_SIZE2];
    firstStage->run(test1, activations);
    probe->EndOfPhase(KOVAProbe::PH_WORK);
    SendFloat(activations, tids[1], TAG_RUN, MID_NODE);
    ReceiveFloat(activations, tids[2], TAG_RUN, MID_NODE);
    probe->EndOfPhase(KOVAProbe::PH_IDLE);
    lastStage->run(activations, parallelOutput);
    std::cout << '\n';
    PrintDashes();
    std::cout << '\n';
    PrintDashes();
    probe->EndOfPhase(KOVAProbe::PH_WORK);
    parallelChrono.Stop();
    probe.reset();
    pvm_exit();
    std::cout << "we are here" << std::flush;

    Chrono sequentialChrono;
    std::unique_ptr<KOVAProbe> sequentialProbe = MasterProbe(1, " ");
    std::vector<int> sequentialSizes(SEQUENTIAL_LAYERS, MID_NODE);
    sequentialSizes.front() = WINDOW_SIZE;
    std::unique_ptr<Net> sequential = BuildNetwork(sequentialSizes);
    ArrayRangeExampleFactory sequentialExamples(TRAIN_LWB, TRAIN_UPB);
    ForEveryTrainingExample([&](int) {
        sequentialExamples.getExample(WINDOW_SIZE, in, WINDOW_SIZE2, target);
        sequential->forwardTraining(in, out);
        sequential->backwardTraining(target, out);
    });
    sequential->doneTraining();
    real sequentialOutput[WINDOW_SIZE2];
    sequential->run(test1, sequentialOutput);
    sequentialProbe->EndOfPhase(KOVAProbe::PH_WORK);
    sequentialProbe.reset();
    // The measuring probe enrolled the process in PVM again to learn its task id.
    if (gMeasureWithKOVA) pvm_exit();
    sequentialChrono.Stop();

    PrintReport(std::cout, parallelOutput, sequentialOutput, parallelChrono, sequentialChrono);
    return 0;
}

// Ends a slave whose set-up messages cannot be right.
[[noreturn]] void RefuseSetUp(const std::string& reason) {
    std::cout.flush();
    pvm_exit();
    error("annpipe slave: " + reason, "", 0);
}

// Index of tid among the slaves' entries of the process table, or 0.
int SlavePosition(const int* tids, int tid) {
    for (int position = 1; position <= SLAVENUM; ++position)
        if (tids[position] == tid) return position;
    return 0;
}

int RunSlave(int parent) {
    Chrono chrono;
    std::cout << "Hello, This is slave!" << std::endl;
    int tids[SLAVENUM + 2];
    ReceiveInt(tids, parent, TAG_PROCESS_TABLE, SLAVENUM + 2);
    const int myTid = pvm_mytid();
    const int position = SlavePosition(tids, myTid);
    if (position == 0) RefuseSetUp("the process table from the master does not hold this task");
    auto probe = std::make_unique<KOVAProbe>(gMeasureWithKOVA, KOVAProbeSettings::FirstRelease());
    std::cout << "I am slave 1 myTid=" << myTid << std::endl;

    int sizes[SLAVE_LAYERS];
    ReceiveInt(sizes, parent, TAG_STAGE_LAYOUT, SLAVE_LAYERS);
    std::cout << "slave1LayerSizes:" << sizes[0] << "," << sizes[1] << std::endl;
    // Every layer's values must fit the activation messages.
    for (int size : sizes)
        if (size < 1 || size > MID_NODE)
            RefuseSetUp("a stage layer of " + std::to_string(size) + " units does not fit the messages of " +
                        std::to_string(MID_NODE) + " values");
    std::unique_ptr<Net> stage = BuildNetwork(std::vector<int>(sizes, sizes + SLAVE_LAYERS));

    const int predecessor = tids[position - 1];
    const int successor = tids[position + 1];
    real activations[MID_NODE] = {};
    real out[MID_NODE] = {};
    real target[MID_NODE] = {};
    real back[MID_NODE] = {};
    ForEveryTrainingExample([&](int) {
        ReceiveFloat(activations, predecessor, TAG_FORWARD, MID_NODE);
        std::cout << " for slave1 forward training" << std::endl;
        stage->forwardTraining(activations, out);
        probe->EndOfPhase(KOVAProbe::PH_WORK);
        SendFloat(out, successor, TAG_FORWARD, MID_NODE);
        ReceiveFloat(target, successor, TAG_BACKWARD, MID_NODE);
        std::cout << " for slave1 backforward training" << std::endl;
        probe->EndOfPhase(KOVAProbe::PH_IDLE);
        // What comes back is the target of this stage's output layer.
        stage->backwardTraining(target, back);
        SendFloat(back, predecessor, TAG_BACKWARD, MID_NODE);
    });
    stage->doneTraining();
    ReceiveFloat(activations, predecessor, TAG_RUN, MID_NODE);
    stage->run(activations, out);
    SendFloat(out, successor, TAG_RUN, MID_NODE);
    probe->EndOfPhase(KOVAProbe::PH_WORK);

    std::cout << "Time for task on Slave1: " << chrono << std::endl;
    probe.reset();
    pvm_exit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> status = ParseOptions(argc, argv, std::cout)) return *status;
    srand(time(nullptr));
    const int parent = pvm_parent();
    if (parent == PvmNoParent) return RunMaster();
    if (parent < 0) {
        pvm_perror(const_cast<char*>(" calling pvm_parent"));
        error("annpipe cannot reach the PVM daemon of this host", "", 0);
    }
    return RunSlave(parent);
}
