// Parallel counterpart of the standard remove_if for a random-access range of ints:
// the range is split over one PVM slave per additional host, each slave removes the
// matching elements of its part, and the kept elements come back in input order.
#pragma once

#include "container/functionobjects.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

// Start the slaves under PVM's debugger / with KOVA measuring (option -m). Both false
// until set.
extern bool gRemoveIfPSlaveDebugMode;
extern bool gRemoveIfPMeasureWithKOVA;
void RemoveIfPSetSlaveDebuggingOn();
void RemoveIfPSetKOVAMeasuringOn();

// Message tags: the slave's part of the range, the predicate, the kept elements.
constexpr int TAG_REMOVEIF_PART = 0;
constexpr int TAG_REMOVEIF_PREDICATE = 1;
constexpr int TAG_REMOVEIF_KEPT = 2;

// The probe that times remove_ifP's phases in this process (a measured program sets
// it); none by default, and then nothing is timed. The master's phases are the
// partitioning, one spawn and two sends per slave, and a wait and a receive per
// slave's answer; a slave's are a wait and a receive for its part and for the
// predicate, the remove_if work and the send of what it kept. Every communication
// phase carries its message tag as its quantum count.
class KOVAProbe;
void RemoveIfPSetProbe(KOVAProbe* probe);
// Ends the current phase of the probe, if any, as a phase of that type (the
// probe's phase types), or as a communication with partnerTid using tag.
void RemoveIfPEndPhase(int phaseType, int nbrOperations = 0);
void RemoveIfPEndCommPhase(int phaseType, int partnerTid, int tag);
// Tells the probe, if any, of a freshly spawned slave (ending a spawn phase).
void RemoveIfPSlaveIsSpawned(int slaveTid);
// The probe's phase types, as remove_ifP passes them.
enum RemoveIfPPhase { RIP_IDLE = 2, RIP_WORK = 3, RIP_SEND = 5, RIP_RECV = 6, RIP_PART = 8 };

// This task and its parent, as remove_ifP last found them.
extern int gMyTid;
extern int gParentTid;

// Writes 0, 1, ..., nbr-1 into the nbr positions from first.
template <typename Iterator>
void InsertElements(Iterator first, int nbr) {
    for (int i = 0; i < nbr; ++i, ++first) *first = i;
}

// The slave's side of remove_ifP: receives its part and the predicate, returns the kept
// elements to its parent and leaves PVM.
void RemoveIfPSlave(IsDivisibleBy<int> fun);

// On the master, removes the elements of [from, to) for which fun holds and returns the
// new end; the elements from there to `to` keep unspecified values. On a slave it
// serves the master and returns `to`, leaving the slave's own range untouched.
template <typename Iterator>
Iterator remove_ifP(Iterator from, Iterator to, IsDivisibleBy<int> fun) {
    gMyTid = pvm_mytid();
    if (gMyTid < 0) MsgError(" calling pvm_mytid");
    gParentTid = pvm_parent();
    if (gParentTid != PvmNoParent) {
        RemoveIfPSlave(fun);
        return to;
    }

    std::cout << "hello, I'm the master with tid " << gMyTid << " and machine name " << MachineNameText(gMyTid)
              << std::endl;
    const char* executable = "testLumo";
    const std::vector<std::string> hosts = VirtualMachineHosts();
    const int nbrSlaves = static_cast<int>(hosts.size()) - 1;
    if (nbrSlaves < 1) {
        std::cout << "The virtual machine has no host for a slave: removing sequentially" << std::endl;
        const Iterator end = std::remove_if(from, to, fun);
        RemoveIfPEndPhase(RIP_WORK, static_cast<int>(to - from));
        return end;
    }

    const int partition = static_cast<int>((to - from) / nbrSlaves);
    std::vector<int> slave_tid(nbrSlaves);
    std::vector<int> count(nbrSlaves);
    RemoveIfPEndPhase(RIP_PART);
    for (int i = 0; i < nbrSlaves; ++i) {
        const Iterator start = from + partition * i;
        count[i] = i == nbrSlaves - 1 ? static_cast<int>(to - start) : partition;
        slave_tid[i] = SpawnSlave(executable, hosts[i + 1].c_str(), gRemoveIfPSlaveDebugMode, gRemoveIfPMeasureWithKOVA);
        RemoveIfPSlaveIsSpawned(slave_tid[i]);
        SendContainer(slave_tid[i], start, count[i], TAG_REMOVEIF_PART);
        RemoveIfPEndCommPhase(RIP_SEND, slave_tid[i], TAG_REMOVEIF_PART);
        SendObject(slave_tid[i], &fun, TAG_REMOVEIF_PREDICATE);
        RemoveIfPEndCommPhase(RIP_SEND, slave_tid[i], TAG_REMOVEIF_PREDICATE);
    }

    // Collecting in slave order, not arrival order, keeps the input order.
    int dimens = 0;
    for (int i = 0; i < nbrSlaves; ++i) {
        WaitForMessage(slave_tid[i], TAG_REMOVEIF_KEPT);
        RemoveIfPEndPhase(RIP_IDLE);
        Iterator front = from + dimens;
        dimens += RecvContainer(front, false, count[i]);
        RemoveIfPEndCommPhase(RIP_RECV, slave_tid[i], TAG_REMOVEIF_KEPT);
    }
    return from + dimens;
}
