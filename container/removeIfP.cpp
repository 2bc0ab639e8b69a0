#include "removeIfP.h"

bool gRemoveIfPSlaveDebugMode = false;
bool gRemoveIfPMeasureWithKOVA = false;
int gMyTid = 0;
int gParentTid = 0;

void RemoveIfPSetSlaveDebuggingOn() { gRemoveIfPSlaveDebugMode = true; }

void RemoveIfPSetKOVAMeasuringOn() { gRemoveIfPMeasureWithKOVA = true; }

void RemoveIfPSlave(IsDivisibleBy<int> fun) {
    std::cout << "hello, I'm a slave with tid " << gMyTid << ", my parent is " << gParentTid
              << " and my machine name is " << MachineNameText(gMyTid) << "......" << std::endl;
    WaitForMessage(gParentTid, TAG_REMOVEIF_PART);
    int* front = nullptr;
    const int slave_size = RecvContainer(front, true);
    int* back = front + slave_size;

    WaitForMessage(gParentTid, TAG_REMOVEIF_PREDICATE);
    RecvObject(&fun);
    int* pos_tomaster = std::remove_if(front, back, IsDivisibleBy<int>(fun));

    SendContainer(gParentTid, front, static_cast<int>(pos_tomaster - front), TAG_REMOVEIF_KEPT);
    pvm_exit();
}
