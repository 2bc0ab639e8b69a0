#include "apps/annpipe/annpipe_messages.h"

#include <pvm3.h>
#include "probe/standardlib.h"

#include <iostream>

#include "apps/annpipe/options.h"

using NeuralNetwork::real;

namespace {

// File name and message that the fatal errors of the message functions name.
const char* const SOURCE_NAME = "parallel";
const char* const WHERE = "in send_slave_tids";

[[noreturn]] void FailPvmCall(const char* callText, int line) {
    std::cout.flush();
    pvm_perror(const_cast<char*>(callText));
    pvm_exit();
    error(WHERE, SOURCE_NAME, line);
}

template <class Value>
void SendValues(Value* buf, int tid, int taskTag, int lengthOfBuf, int (*pack)(Value*, int, int), int line) {
    if (pvm_initsend(PvmDataDefault) < 0) FailPvmCall(" calling pvm_initsend", line);
    if (pack(buf, lengthOfBuf, 1) < 0) FailPvmCall(" calling pvm_pkint", line);
    if (pvm_send(tid, taskTag) < 0) FailPvmCall(" calling pvm_send", line);
    std::cout << "send to tid:" << tid << " taskTag" << "(" << taskTag << ")" << std::endl;
}

// The integer receive traces the message before it unpacks it, the float receive after.
enum class Trace { BeforeUnpacking, AfterUnpacking };

template <class Value>
void ReceiveValues(Value* buf, int tid, int taskTag, int lengthOfBuf, int (*unpack)(Value*, int, int), int line,
                   Trace trace) {
    if (pvm_recv(tid, taskTag) < 0) FailPvmCall(" calling pvm_recv", line);
    auto traceMessage = [&] {
        std::cout << "  received from tid:" << tid << " taskTag" << "(" << taskTag << ")" << std::endl;
    };
    if (trace == Trace::BeforeUnpacking) traceMessage();
    // A message that holds fewer values than expected fails here.
    if (unpack(buf, lengthOfBuf, 1) < 0) FailPvmCall(" calling pvm_pkint", line);
    if (trace == Trace::AfterUnpacking) traceMessage();
}

}  // namespace

void SendFloat(real* buf, int tid, int taskTag, int lengthOfBuf) {
    SendValues(buf, tid, taskTag, lengthOfBuf, pvm_pkfloat, 24);
}

void SendInt(int* buf, int tid, int taskTag, int lengthOfBuf) {
    SendValues(buf, tid, taskTag, lengthOfBuf, pvm_pkint, 41);
}

void ReceiveFloat(real* buf, int tid, int taskTag, int lengthOfBuf) {
    ReceiveValues(buf, tid, taskTag, lengthOfBuf, pvm_upkfloat, 56, Trace::AfterUnpacking);
}

void ReceiveInt(int* buf, int tid, int taskTag, int lengthOfBuf) {
    ReceiveValues(buf, tid, taskTag, lengthOfBuf, pvm_upkint, 73, Trace::BeforeUnpacking);
}

void SpawnSlaves(char* exe, char hosts[][STRING_SIZE], unsigned n, int* tids, bool measureWithKOVA, int trainTimes) {
    std::vector<std::string> arguments = SlaveArguments(measureWithKOVA, trainTimes);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    NeuralNetwork::spawnCopies(exe, argv.data(), hosts, n, tids, {113, 115});
}
