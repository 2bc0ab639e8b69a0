// annpipe's PVM messages: one packed array of floats or ints per message, each
// send and receive traced on standard output, and the spawning of the slaves.
// They make no probe calls; the program closes its phases itself.
#pragma once

#include "nn/net.h"
#include "nn/slavespawn.h"

#include <string>
#include <vector>

// Characters per host name given to SpawnSlaves.
constexpr int STRING_SIZE = NeuralNetwork::SPAWN_HOST_NAME_SIZE;

// The message tags of the pipeline.
enum AnnpipeTag {
    TAG_PROCESS_TABLE = 1,  // 4 ints: master, slave 1, slave 2, master again
    TAG_STAGE_LAYOUT = 2,   // 3 ints: the layer sizes of a slave's stage
    TAG_FORWARD = 3,        // 10 floats: activations of a training example
    TAG_BACKWARD = 4,       // 10 floats: what travels back from the output stage
    TAG_RUN = 5             // 10 floats: activations of the test image
};

// Packs lengthOfBuf values into a new send buffer and sends it to tid with
// taskTag, then prints "send to tid:<tid> taskTag(<tag>)". A failed packing or
// send ends the process.
void SendFloat(NeuralNetwork::real* buf, int tid, int taskTag, int lengthOfBuf);
void SendInt(int* buf, int tid, int taskTag, int lengthOfBuf);
// Waits for the next message of tid with taskTag and unpacks lengthOfBuf values
// into buf, printing "  received from tid:<tid> taskTag(<tag>)". A message that
// holds fewer than lengthOfBuf values ends the process.
void ReceiveFloat(NeuralNetwork::real* buf, int tid, int taskTag, int lengthOfBuf);
void ReceiveInt(int* buf, int tid, int taskTag, int lengthOfBuf);

// Spawns one copy of exe for each of tids[1..n], on hosts[i] when that name is
// not empty, otherwise where PVM chooses. The copies get the arguments that make
// them measure when measureWithKOVA is true and train trainTimes passes. A host
// that is not in the virtual machine or a missing executable ends the process
// (after killing the copies already started); another failure is printed and
// leaves its negative code in tids[i].
void SpawnSlaves(char* exe, char hosts[][STRING_SIZE], unsigned n, int* tids, bool measureWithKOVA, int trainTimes);
