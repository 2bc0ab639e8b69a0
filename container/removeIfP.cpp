#include "container/removeIfP.h"

#include "probe/KOVAInstrumentation.h"

bool gRemoveIfPSlaveDebugMode = false;
bool gRemoveIfPMeasureWithKOVA = false;
int gMyTid = 0;
int gParentTid = 0;

namespace {
KOVAProbe* gProbe = nullptr;

// The phase types above are the probe's own.
constexpr bool SameType(RemoveIfPPhase ours, KOVAProbe::BasicPhaseType probes) {
    return static_cast<int>(ours) == static_cast<int>(probes);
}
static_assert(SameType(RIP_IDLE, KOVAProbe::PH_IDLE) && SameType(RIP_WORK, KOVAProbe::PH_WORK) &&
              SameType(RIP_SEND, KOVAProbe::PH_COMM_SEND) && SameType(RIP_RECV, KOVAProbe::PH_COMM_RECV) &&
              SameType(RIP_PART, KOVAProbe::PH_PART));
}  // namespace

void RemoveIfPSetProbe(KOVAProbe* probe) { gProbe = probe; }

void RemoveIfPEndPhase(int phaseType, int nbrOperations) {
    if (gProbe) gProbe->EndOfPhase(phaseType, 0, nbrOperations);
}

void RemoveIfPEndCommPhase(int phaseType, int partnerTid, int tag) {
    if (gProbe) gProbe->EndOfCommPhase(phaseType, partnerTid, tag);
}

void RemoveIfPSlaveIsSpawned(int slaveTid) {
    if (gProbe) gProbe->SlaveIsSpawned(slaveTid);
}

void RemoveIfPSetSlaveDebuggingOn() { gRemoveIfPSlaveDebugMode = true; }

void RemoveIfPSetKOVAMeasuringOn() { gRemoveIfPMeasureWithKOVA = true; }

void RemoveIfPSlave(IsDivisibleBy<int> fun) {
    std::cout << "hello, I'm a slave with tid " << gMyTid << ", my parent is " << gParentTid
              << " and my machine name is " << MachineNameText(gMyTid) << "......" << std::endl;
    WaitForMessage(gParentTid, TAG_REMOVEIF_PART);
    RemoveIfPEndPhase(RIP_IDLE);
    int* front = nullptr;
    const int slave_size = RecvContainer(front, true);
    int* back = front + slave_size;
    RemoveIfPEndCommPhase(RIP_RECV, gParentTid, TAG_REMOVEIF_PART);

    WaitForMessage(gParentTid, TAG_REMOVEIF_PREDICATE);
    RemoveIfPEndPhase(RIP_IDLE);
    RecvObject(&fun);
    RemoveIfPEndCommPhase(RIP_RECV, gParentTid, TAG_REMOVEIF_PREDICATE);
    int* pos_tomaster = std::remove_if(front, back, IsDivisibleBy<int>(fun));
    RemoveIfPEndPhase(RIP_WORK, slave_size);

    SendContainer(gParentTid, front, static_cast<int>(pos_tomaster - front), TAG_REMOVEIF_KEPT);
    RemoveIfPEndCommPhase(RIP_SEND, gParentTid, TAG_REMOVEIF_KEPT);
    pvm_exit();
}
