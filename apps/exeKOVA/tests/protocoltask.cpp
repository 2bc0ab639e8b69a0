// A stand-in master for one real exeKOVA slave: it spawns the slave, drives its
// side of the pipeline's training protocol message by message and prints what it
// observes as key=value lines for the test that runs it on the virtual cluster.
//
//   exekova_protocol_task APPLICATION   the stand-in master; its probe opens an
//                                       experiment of that application name
//   exekova_protocol_task --helper      spawned by the stand-in: sends the slave one
//                                       forward message from a task that is not the
//                                       slave's predecessor
#include "nn/examplefactory.h"
#include "nn/net.h"
#include "nn/parallel.h"
#include <pvm3.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>

using namespace NeuralNetwork;

namespace {

// Tags of the stand-in's own messages, outside the pipeline's tags.
constexpr int TAG_HELPER_GO = 100;
constexpr int TAG_HELPER_DONE = 101;
constexpr int TAG_SLAVE_EXIT = 102;

// The stage layout sent to the slave; deliberately not the benchmark's, so that the
// slave is seen to build what it is sent.
int stageLayout[SLAVE_LAYER] = {150, 80, 40, 120};

// The values of message number n of a kind: all in (0, 1), different per message.
void fillMessage(real* values, int n) {
    for (int k = 0; k < DIM; ++k) values[k] = 0.1 + 0.8 * ((k * 7 + n * 3) % 11) / 10.0;
}

// Waits up to seconds for a message of tid with tag; unpacks DIM reals into values
// when given. False when none came in time.
bool await(int tid, int tag, double seconds, real* values = nullptr) {
    timeval timeout{static_cast<time_t>(seconds), static_cast<suseconds_t>(std::fmod(seconds, 1.0) * 1e6)};
    if (pvm_trecv(tid, tag, &timeout) <= 0) return false;
    return values == nullptr || pvm_upkdouble(values, DIM, 1) >= 0;
}

bool same(const real* a, const real* b) {
    for (int k = 0; k < DIM; ++k)
        if (a[k] != b[k]) return false;
    return true;
}

int runHelper() {
    const int parent = pvm_parent();
    int target = 0;
    if (pvm_recv(parent, TAG_HELPER_GO) < 0 || pvm_upkint(&target, 1, 1) < 0) return 1;
    real values[DIM];
    fillMessage(values, 999);
    pvm_initsend(PvmDataDefault);
    pvm_pkdouble(values, DIM, 1);
    pvm_send(target, TAG_FORWARD);
    pvm_initsend(PvmDataDefault);
    pvm_send(parent, TAG_HELPER_DONE);
    pvm_exit();
    return 0;
}

// What the slave's stage must compute for the messages the stand-in sends: the
// same seed, the same construction, one forward pass and the backward messages.
struct Replica {
    real forwardOutputs[DIM] = {};
    real inferenceOutputs[DIM] = {};

    Replica(const real* forward, int backwardMessages, const real* inference) {
        srand(35233);
        Net stage(SLAVE_LAYER, stageLayout, 0.05, 0.5, 1.0);
        stage.randomizeWeights();
        stage.forwardTraining(forward, forwardOutputs);
        real target[DIM], ignored[DIM];
        for (int n = 1; n <= backwardMessages; ++n) {
            fillMessage(target, n);
            stage.backwardTraining(target, ignored);
        }
        stage.doneTraining();
        stage.run(inference, inferenceOutputs);
    }
};

int runMaster(const std::string& application) {
    KOVAProbe probe(application, 2, KOVAProbe::DO_NOT_REPLACE, 1, "");
    char exe[50] = "exeKOVA";
    char hosts[2][STRING_SIZE] = {"", ""};
    int tids[2] = {0, 0};
    spawnSlaves(exe, hosts, 1, tids);
    const int slave = tids[1];
    pvm_notify(PvmTaskExit, TAG_SLAVE_EXIT, 1, const_cast<int*>(&slave));
    probe.SlaveIsSpawned(slave);
    int helper = 0;
    char helperArg[] = "--helper";
    char* helperArgs[] = {helperArg, nullptr};
    pvm_spawn(const_cast<char*>("exekova_protocol_task"), helperArgs, PvmTaskDefault, const_cast<char*>(""), 1,
              &helper);
    std::cout << "exp=" << probe.GetExperimentID() << "\nslave=" << slave << "\nhelper=" << helper << std::endl;

    // The slave is at position 1, with the stand-in as predecessor and successor.
    const int self = pvm_mytid();
    int table[SLAVENUM + 1] = {self, slave, self};
    sendInitNet(table, slave, TAG_PROCESS_TABLE, SLAVENUM + 1, probe);
    sendInitNet(stageLayout, slave, TAG_STAGE_LAYOUT, SLAVE_LAYER, probe);

    pvm_initsend(PvmDataDefault);
    pvm_pkint(const_cast<int*>(&slave), 1, 1);
    pvm_send(helper, TAG_HELPER_GO);
    std::cout << "helper_sent=" << await(helper, TAG_HELPER_DONE, 30) << std::endl;

    real forward[DIM], reply[DIM];
    fillMessage(forward, 0);
    sendLayer(forward, slave, TAG_FORWARD, DIM, probe);
    std::cout << "forward_replied=" << await(slave, TAG_FORWARD, 30, reply) << std::endl;

    // Backward messages, each answered towards the predecessor; the end of
    // training after 60 of them; no end report before the hundredth.
    int backwardReplies = 0;
    bool repliesHoldForwardOutputs = true;
    real target[DIM], forwardOutputs[DIM];
    std::copy(reply, reply + DIM, forwardOutputs);
    // Once a reply is missing the slave is taken to have stopped serving, and the
    // remaining replies are only looked for briefly.
    double replyWait = 30;
    auto sendBackward = [&](int n) {
        fillMessage(target, n);
        sendLayer(target, slave, TAG_BACKWARD, DIM, probe);
        if (await(slave, TAG_BACKWARD, replyWait, reply)) {
            ++backwardReplies;
            repliesHoldForwardOutputs = repliesHoldForwardOutputs && same(reply, forwardOutputs);
        } else {
            replyWait = 0.1;
        }
    };
    for (int n = 1; n <= 60; ++n) sendBackward(n);
    real endOfTraining[DIM] = {1.0};
    sendLayer(endOfTraining, slave, TAG_END_TRAINING, DIM, probe);
    std::cout << "trained_after_60=" << await(slave, TAG_SLAVE_TRAINED, 1.0) << std::endl;
    for (int n = 61; n <= 99; ++n) sendBackward(n);
    std::cout << "trained_after_99=" << await(slave, TAG_SLAVE_TRAINED, 0.5) << std::endl;
    sendBackward(100);
    real trained[DIM] = {};
    std::cout << "trained_after_100=" << await(slave, TAG_SLAVE_TRAINED, replyWait, trained) << "\ntrained_signal="
              << (trained[0] == 1.0) << "\nbackward_replies=" << backwardReplies
              << "\nreplies_hold_forward_outputs=" << repliesHoldForwardOutputs << std::endl;

    real inference[DIM], inferenceReply[DIM];
    fillMessage(inference, 500);
    sendLayer(inference, slave, TAG_RUN, DIM, probe);
    std::cout << "run_replied=" << await(slave, TAG_RUN, replyWait, inferenceReply) << std::endl;

    const Replica replica(forward, 100, inference);
    std::cout << "forward_matches_replica=" << same(forwardOutputs, replica.forwardOutputs)
              << "\nrun_matches_replica=" << same(inferenceReply, replica.inferenceOutputs) << std::endl;

    // The slave leaves PVM once its probe has stored its measurement.
    std::cout << "slave_left=" << await(-1, TAG_SLAVE_EXIT, 60) << std::endl;
    int extraForwardReplies = 0;
    while (pvm_nrecv(slave, TAG_FORWARD) > 0) ++extraForwardReplies;
    std::cout << "extra_forward_replies=" << extraForwardReplies << std::endl;
    probe.Stop();
    pvm_exit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--helper") return runHelper();
    if (argc != 2) {
        std::cout << "usage: exekova_protocol_task APPLICATION | --helper" << std::endl;
        return 2;
    }
    return runMaster(argv[1]);
}
