// The pipelined network over three PVM tasks and its layer messages.
#include "nn/parallel.h"

#include "probe/standardlib.h"
#include <pvm3.h>

#include <iostream>
#include <string>
#include <type_traits>

#include "nn/examplefactory.h"
#include "nn/slavespawn.h"

namespace NeuralNetwork {

static_assert(std::is_same<real, double>::value, "the layer messages carry doubles: build with the double network");

int allTids[SLAVENUM + 2];

namespace {

// File name that the fatal errors of this module name.
const char* const SOURCE_NAME = "parallel";

// Reports a failed PVM call, leaves PVM and ends the process.
[[noreturn]] void failPvmCall(const char* callText, const char* where, int line) {
    pvm_perror(const_cast<char*>(callText));
    pvm_exit();
    error(where, SOURCE_NAME, line);
}

// A message of the end of training, or of a slave's end of training: 1.0 and zeros.
struct Signal {
    real values[DIM] = {1.0};
};

// Packs lengthOfBuf values with pack into a new send buffer, sends it and closes
// the send on the probe.
template <class Value, class Pack>
void sendValues(Value* buf, int tid, int taskTag, int lengthOfBuf, KOVAProbe& probe, Pack pack,
                const char* packCallText, const char* where, int line) {
    pvm_initsend(PvmDataDefault);
    if (pack(buf, lengthOfBuf, 1) < 0) failPvmCall(packCallText, where, line);
    if (pvm_send(tid, taskTag) < 0) failPvmCall(" calling pvm_send", where, line);
    probe.EndOfCommPhase(KOVAProbe::PH_COMM_SEND, tid, taskTag);
}

// Waits for a message of tid with taskTag (-1: any), unpacks lengthOfBuf values
// from it with unpack and closes the wait and the unpacking on the probe. Hands
// back the message's sender and tag through tid and taskTag.
template <class Value, class Unpack>
void receiveValues(Value* buf, int& tid, int& taskTag, int lengthOfBuf, KOVAProbe& probe, Unpack unpack,
                   const char* unpackCallText, const char* where, int line) {
    const int bufid = pvm_recv(tid, taskTag);
    if (bufid < 0) failPvmCall(" calling pvm_recv", where, line);
    probe.EndOfPhase(KOVAProbe::PH_IDLE);
    int bytes = 0;
    if (pvm_bufinfo(bufid, &bytes, &taskTag, &tid) < 0) failPvmCall(" calling pvm_bufinfo", where, line);
    if (unpack(buf, lengthOfBuf, 1) < 0) failPvmCall(unpackCallText, where, line);
    probe.EndOfCommPhase(KOVAProbe::PH_COMM_RECV, tid, taskTag);
}

// A stage layout holds only layer sizes that fit in an activation message.
bool fitsMessages(const int* sizes, int count) {
    for (int i = 0; i < count; ++i)
        if (sizes[i] < 1 || sizes[i] > DIM) return false;
    return true;
}

}  // namespace

void sendLayer(real* buf, int tid, int taskTag, int lengthOfBuf, KOVAProbe& probe) {
    sendValues(buf, tid, taskTag, lengthOfBuf, probe, pvm_pkdouble, " calling pvm_pkdouble", "in send_layer", 19);
}

void sendInitNet(int* buf, int tid, int taskTag, int lengthOfBuf, KOVAProbe& probe) {
    sendValues(buf, tid, taskTag, lengthOfBuf, probe, pvm_pkint, " calling pvm_pkint", "in send_init_net", 40);
}

void receiveLayer(real* buf, int& tid, int& taskTag, int lengthOfBuf, KOVAProbe& probe) {
    tid = -1;
    taskTag = -1;
    receiveValues(buf, tid, taskTag, lengthOfBuf, probe, pvm_upkdouble, " calling pvm_upkdouble", "in receive_layer",
                  67);
}

void receiveRunLayer(real* buf, int tid, int taskTag, int lengthOfBuf, KOVAProbe& probe) {
    receiveValues(buf, tid, taskTag, lengthOfBuf, probe, pvm_upkdouble, " calling pvm_upkdouble", "in receive_layer",
                  91);
}

void receiveInitNet(int* buf, int tid, int taskTag, int lengthOfBuf, KOVAProbe& probe) {
    receiveValues(buf, tid, taskTag, lengthOfBuf, probe, pvm_upkint, " calling pvm_upkint", "in receive_init_net", 114);
}

void spawnSlaves(char* exe, char hosts[][STRING_SIZE], unsigned n, int* tids) {
    spawnCopies(exe, nullptr, hosts, n, tids, {161, 163});
}

PalNet::PalNet(int, int* layerSizes, real learningRate, real momentumFactor, real gain) : gmKovaProbe(nullptr) {
    const int parent = pvm_parent();
    if (parent < 0 && parent != PvmNoParent) {
        pvm_perror(const_cast<char*>(" calling pvm_parent"));
        error("in PalNet: this task cannot reach a PVM daemon (is the virtual machine running?)", SOURCE_NAME,
              __LINE__);
    }
    isMaster = parent == PvmNoParent;
    if (isMaster)
        constructMaster(layerSizes, learningRate, momentumFactor, gain);
    else
        constructSlave(learningRate, momentumFactor, gain);
}

PalNet::~PalNet() { nets.clear(); }

void PalNet::constructMaster(const int* layerSizes, real learningRate, real momentumFactor, real gain) {
    const int stageCount = SLAVENUM * SLAVE_LAYER + 2;
    if (!fitsMessages(layerSizes, stageCount)) {
        pvm_exit();
        error("in PalNet: every layer size must lie between 1 and " + std::to_string(DIM), SOURCE_NAME, __LINE__);
    }
    gmKovaProbe = new KOVAProbe("ANN_example", 3, KOVAProbe::REPLACE_IF_FASTER, 100, "testing of new kova probe");
    KOVAProbe& probe = *gmKovaProbe;

    char exe[50] = "exeKOVA";
    char hosts[SLAVENUM + 1][STRING_SIZE] = {"", "", ""};
    spawnSlaves(exe, hosts, SLAVENUM, allTids);
    // A pipeline with a stage missing cannot run: the slaves started would wait for
    // it for ever.
    for (int i = 1; i <= SLAVENUM; ++i) {
        if (allTids[i] < 0) {
            killCopies(allTids, SLAVENUM);
            pvm_exit();
            error("in PalNet: slave " + std::to_string(i) + " could not be spawned", SOURCE_NAME, __LINE__);
        }
    }
    probe.EndOfPhase(KOVAProbe::PH_PART);
    for (int i = 1; i <= SLAVENUM; ++i) probe.SlaveIsSpawned(allTids[i]);
    allTids[0] = allTids[SLAVENUM + 1] = pvm_mytid();

    for (int i = 1; i <= SLAVENUM; ++i) sendInitNet(allTids, allTids[i], TAG_PROCESS_TABLE, SLAVENUM + 1, probe);
    // Slave i holds layers s[(i-1)*4 + 1] .. s[(i-1)*4 + 4].
    int stageSizes[SLAVENUM][SLAVE_LAYER];
    for (int i = 0; i < SLAVENUM; ++i) {
        for (int layer = 0; layer < SLAVE_LAYER; ++layer) stageSizes[i][layer] = layerSizes[i * SLAVE_LAYER + 1 + layer];
        sendInitNet(stageSizes[i], allTids[i + 1], TAG_STAGE_LAYOUT, SLAVE_LAYER, probe);
    }

    const int firstStage[2] = {layerSizes[0], layerSizes[1]};
    const int lastStage[2] = {layerSizes[stageCount - 2], layerSizes[stageCount - 1]};
    for (const int* sizes : {firstStage, lastStage}) {
        Net* stage = new Net(2, sizes, learningRate, momentumFactor, gain);
        stage->randomizeWeights();
        nets.push_back(stage);
    }
    probe.EndOfPhase(KOVAProbe::PH_WORK);
}

void PalNet::constructSlave(real learningRate, real momentumFactor, real gain) {
    gmKovaProbe = new KOVAProbe(true);
    KOVAProbe& probe = *gmKovaProbe;
    const int parent = pvm_parent();
    receiveInitNet(allTids, parent, TAG_PROCESS_TABLE, SLAVENUM + 1, probe);
    int sizes[SLAVE_LAYER];
    receiveInitNet(sizes, parent, TAG_STAGE_LAYOUT, SLAVE_LAYER, probe);
    if (!fitsMessages(sizes, SLAVE_LAYER)) {
        pvm_exit();
        error("in PalNet: the stage layout from the master holds a layer size outside 1 .. " + std::to_string(DIM),
              SOURCE_NAME, __LINE__);
    }
    Net* stage = new Net(SLAVE_LAYER, sizes, learningRate, momentumFactor, gain);
    stage->randomizeWeights();
    nets.push_back(stage);
    probe.EndOfPhase(KOVAProbe::PH_WORK);
}

void PalNet::process() {
    if (isMaster)
        trainMaster();
    else
        trainSlave();
}

void PalNet::trainMaster() {
    KOVAProbe& probe = *gmKovaProbe;
    Net& firstStage = *nets[0];
    Net& lastStage = *nets[1];
    ArrayRangeExampleFactory source(0, 14);
    // Values beyond a layer's width stay zero: the backward message carries the ten
    // outputs and 140 zeros.
    real input[DIM] = {}, target[DIM] = {}, activations[DIM] = {}, received[DIM] = {}, scratch[DIM] = {},
         backward[DIM] = {};
    for (int epoch = 0; epoch < TRAIN_TIMES; ++epoch) {
        for (int example = 0; example < 10; ++example) {
            source.getExample(15, input, 10, target);
            firstStage.forwardTraining(input, activations);
            probe.EndOfPhase(KOVAProbe::PH_WORK);
            sendLayer(activations, allTids[1], TAG_FORWARD, DIM, probe);
            int sender = -1, tag = -1;
            receiveLayer(received, sender, tag, DIM, probe);
            // A backward message coming back from the first slave is dropped; this
            // example's forward result is taken up by a later receive.
            if (tag != TAG_FORWARD || sender != allTids[SLAVENUM]) continue;
            lastStage.forwardTraining(received, scratch);
            lastStage.backwardTraining(target, backward);
            probe.EndOfPhase(KOVAProbe::PH_WORK);
            sendLayer(backward, allTids[SLAVENUM], TAG_BACKWARD, DIM, probe);
        }
    }
    Signal endOfTraining;
    for (int i = 1; i <= SLAVENUM; ++i) sendLayer(endOfTraining.values, allTids[i], TAG_END_TRAINING, DIM, probe);
    for (int i = 1; i <= SLAVENUM; ++i) receiveRunLayer(received, allTids[i], TAG_SLAVE_TRAINED, DIM, probe);
}

void PalNet::trainSlave() {
    KOVAProbe& probe = *gmKovaProbe;
    Net& stage = *nets[0];
    allTids[SLAVENUM + 1] = allTids[0];
    const int self = pvm_mytid();
    for (int i = 1; i <= SLAVENUM; ++i)
        if (allTids[i] == self) position = i;
    if (position == 0) {
        pvm_exit();
        error("in PalNet: this task is not in the process table from the master", SOURCE_NAME, __LINE__);
    }
    const int predecessor = allTids[position - 1];
    const int successor = allTids[position + 1];

    real received[DIM] = {}, outputs[DIM] = {};
    int backwardCount = 0;
    bool satisfied = false, trainingEnded = false;
    while (!(satisfied && trainingEnded)) {
        int sender = -1, tag = -1;
        receiveLayer(received, sender, tag, DIM, probe);
        if (tag == TAG_FORWARD && sender == predecessor) {
            stage.forwardTraining(received, outputs);
            probe.EndOfPhase(KOVAProbe::PH_WORK);
            sendLayer(outputs, successor, TAG_FORWARD, DIM, probe);
        } else if (tag == TAG_BACKWARD) {
            // The received values are the targets of the stage's output layer.
            stage.backwardTraining(received, outputs);
            probe.EndOfPhase(KOVAProbe::PH_WORK);
            sendLayer(outputs, predecessor, TAG_BACKWARD, DIM, probe);
            ++backwardCount;
        } else if (tag == TAG_END_TRAINING) {
            trainingEnded = true;
            probe.EndOfPhase(KOVAProbe::PH_WORK);
        }
        if (backwardCount >= TRAIN_TIMES) satisfied = true;
    }
    probe.EndOfPhase(KOVAProbe::PH_WORK);
    Signal trained;
    sendLayer(trained.values, allTids[0], TAG_SLAVE_TRAINED, DIM, probe);
}

void PalNet::doneTraining() {
    for (Net* stage : nets) stage->doneTraining();
}

void PalNet::run(real* input, real* output) {
    KOVAProbe& probe = *gmKovaProbe;
    real activations[DIM] = {}, received[DIM] = {};
    if (isMaster) {
        nets[0]->run(input, activations);
        probe.EndOfPhase(KOVAProbe::PH_WORK);
        sendLayer(activations, allTids[1], TAG_RUN, DIM, probe);
        receiveRunLayer(received, allTids[SLAVENUM], TAG_RUN, DIM, probe);
        nets[1]->run(received, output);
        probe.EndOfPhase(KOVAProbe::PH_WORK);
    } else {
        receiveRunLayer(received, allTids[position - 1], TAG_RUN, DIM, probe);
        nets[0]->run(received, activations);
        probe.EndOfPhase(KOVAProbe::PH_WORK);
        sendLayer(activations, allTids[position + 1], TAG_RUN, DIM, probe);
    }
    delete gmKovaProbe;
    gmKovaProbe = nullptr;
    pvm_exit();
}

void PalNet::printResult(real* output) {
    if (isMaster) printClassReport(output, "parallel result, the number is:");
}

}  // namespace NeuralNetwork
