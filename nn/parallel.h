// The back-propagation network pipelined over three PVM tasks, and the layer
// messages that carry its activations from task to task. Every message and every
// stretch of work between messages is closed as a phase on the task's probe.
#pragma once

#include "probe/KOVAInstrumentation.h"

#include <vector>

#include "nn/net.h"
#include "nn/slavespawn.h"

namespace NeuralNetwork {

// Number of slave tasks of the pipeline.
constexpr int SLAVENUM = 2;
// Layers of the network that each slave's stage holds.
constexpr int SLAVE_LAYER = 4;
// Training epochs of ten examples each; also the number of backward messages
// that a slave must have handled before it may end its training.
constexpr int TRAIN_TIMES = 100;
// Values of every activation message, whatever the widths of the layers.
constexpr int DIM = 150;
// Characters per host name given to spawnSlaves.
constexpr int STRING_SIZE = SPAWN_HOST_NAME_SIZE;

// Message tags of the pipeline.
enum PipelineTag {
    TAG_PROCESS_TABLE = 1,  // allTids entries 0..2, master to each slave
    TAG_STAGE_LAYOUT = 2,   // the slave stage's SLAVE_LAYER layer sizes
    TAG_FORWARD = 3,        // activations of one training example
    TAG_BACKWARD = 4,       // targets of one training example, travelling back
    TAG_RUN = 5,            // activations of the inference pass
    TAG_END_TRAINING = 6,   // master to each slave: no more training examples
    TAG_SLAVE_TRAINED = 7   // slave to master: training finished
};

// The process table of the pipeline: the master, the first and the second slave,
// and the master again as the successor of the last slave.
extern int allTids[SLAVENUM + 2];

// Sends lengthOfBuf reals (or ints) to tid with tag taskTag and closes the send
// as a PH_COMM_SEND phase whose quantum count is the tag. A packing or sending
// failure ends the process.
void sendLayer(real* buf, int tid, int taskTag, int lengthOfBuf, KOVAProbe& probe);
void sendInitNet(int* buf, int tid, int taskTag, int lengthOfBuf, KOVAProbe& probe);
// Receives one message of any sender and tag into buf and hands its sender and
// tag back through tid and taskTag. The wait is closed as a PH_IDLE phase, the
// unpacking as a PH_COMM_RECV phase. A message that does not hold lengthOfBuf
// reals ends the process.
void receiveLayer(real* buf, int& tid, int& taskTag, int lengthOfBuf, KOVAProbe& probe);
// The same for the next message of tid with tag taskTag only.
void receiveRunLayer(real* buf, int tid, int taskTag, int lengthOfBuf, KOVAProbe& probe);
void receiveInitNet(int* buf, int tid, int taskTag, int lengthOfBuf, KOVAProbe& probe);

// Spawns one copy of exe for each of tids[1..n], on hosts[i] when that name is not
// empty, otherwise where PVM chooses. A host that is not in the virtual machine or
// a missing executable ends the process (after killing the copies already
// started); another failure is printed and leaves its negative code in tids[i].
void spawnSlaves(char* exe, char hosts[][STRING_SIZE], unsigned n, int* tids);

// One network cut into four pipeline stages over three tasks: the master holds
// the first stage (layers s0, s1) and the last one (s8, s9), the first slave
// layers s1..s4, the second slave s5..s8. Every task of the program builds its
// PalNet; the process's PVM parent decides its role. The master's probe opens the
// experiment "ANN_example", each slave's probe joins it.
class PalNet {
public:
    // Takes ten layer sizes (layers is not consulted), each between 1 and DIM, and
    // the learning rate, momentum factor and gain of every stage. The master spawns
    // the slaves from its own executable and sends them their layout.
    PalNet(int layers, int* layerSizes, real learningRate, real momentumFactor, real gain);
    PalNet(const PalNet&) = delete;
    PalNet& operator=(const PalNet&) = delete;
    // The stages live until the process ends.
    ~PalNet();

    // The pipelined training: TRAIN_TIMES epochs of ten examples on the master,
    // serving the pipeline on a slave until it has handled TRAIN_TIMES backward
    // messages and seen the end of training.
    void process();
    void doneTraining();
    // One inference pass through the pipeline; on the master output receives the
    // network's ten outputs. Afterwards the task's probe has stored its measurement
    // and the task has left PVM.
    void run(real* input, real* output);
    // The ten-class report labelled "parallel result, the number is:"; only the
    // master has a result to report.
    void printResult(real* output);

    // The stages of this task: first and last stage on the master, one on a slave.
    std::vector<Net*> nets;
    // The task's probe; none after run.
    KOVAProbe* gmKovaProbe;

private:
    void constructMaster(const int* layerSizes, real learningRate, real momentumFactor, real gain);
    void constructSlave(real learningRate, real momentumFactor, real gain);
    void trainMaster();
    void trainSlave();

    bool isMaster;
    // Index of this slave in allTids (1 or 2); 0 on the master.
    int position = 0;
};

}  // namespace NeuralNetwork
