#include "container/communication.h"

#include "probe/standardlib.h"

#include <cstdlib>
#include <iostream>
#include <string>

int SpawnSlave(const char* task, const char* machine, bool debug, bool measureWithKOVA) {
    std::string measureOption = "-m";
    char* measureArguments[] = {measureOption.data(), nullptr};
    char** arguments = measureWithKOVA ? measureArguments : nullptr;

    const int flags = debug ? PvmTaskHost + PvmTaskDebug : PvmTaskHost;
    const char* targetHost = debug ? MachineName(pvm_mytid()) : machine;
    std::string taskName = task;
    std::string hostName = targetHost ? targetHost : "";

    int slave_tid = 0;
    const int started = pvm_spawn(taskName.data(), arguments, flags, hostName.data(), 1, &slave_tid);
    // A system error comes back as the call's result and leaves the task id unset.
    if (started < 0) slave_tid = started;

    if (slave_tid < 0) {
        pvm_perror(taskName.data());
        std::cout << " Error in spawn slave : negative tid " << slave_tid << std::endl;
        if (slave_tid == PvmNoHost) MsgError("host is not added to pvm");
        if (slave_tid == PvmNoFile)
            std::cout << "Slave executable " << task << " cannot be found on machine " << hostName << std::endl;
    }
    return slave_tid;
}

const char* MachineName(int procs_tid) {
    const int tid_host = pvm_tidtohost(procs_tid);
    int nhost = 0;
    int narch = 0;
    pvmhostinfo* hostp = nullptr;
    if (pvm_config(&nhost, &narch, &hostp) < 0) return nullptr;
    for (int i = 0; i < nhost; ++i)
        if (hostp[i].hi_tid == tid_host) return hostp[i].hi_name;
    return nullptr;
}

std::string MachineNameText(int tid) {
    const char* name = MachineName(tid);
    return name ? name : "";
}

std::vector<std::string> VirtualMachineHosts() {
    int nhost = 0;
    int narch = 0;
    pvmhostinfo* hostp = nullptr;
    std::vector<std::string> hosts;
    if (pvm_config(&nhost, &narch, &hostp) < 0) return hosts;
    for (int i = 0; i < nhost; ++i) hosts.emplace_back(hostp[i].hi_name);
    return hosts;
}

void MsgError(const char* msg) {
    std::cout << std::flush;
    pvm_perror(const_cast<char*>(msg));
    std::exit(1);
}

void WaitForMessage(int slave_tid, int tag) { pvm_recv(slave_tid, tag); }

void OpenSendBuffer() {
    if (pvm_initsend(PvmDataDefault) < 0) pvm_perror(const_cast<char*>(" calling pvm_initsend"));
}

void SendActiveBuffer(int destination_tid, int messageTag) {
    if (pvm_send(destination_tid, messageTag) < 0) {
        pvm_perror(const_cast<char*>(" calling pvm_send"));
        pvm_exit();
    }
}

void CheckContainerSize(int size, int maxSize) {
    if (size >= 0 && size <= maxSize) return;
    std::cout << "Malformed container message: element count " << size << " is not between 0 and "
              << maxSize << std::endl;
    pvm_exit();
    error("receiving a container", "communication", 0);
}

void RefuseAllocation() {
    pvm_exit();
    error("a fresh container can only be reached through a pointer or a vector iterator", "communication", 0);
}

void SendObject(int destination_tid, Serialisable* object, int messageTag) {
    OpenSendBuffer();
    object->pack();
    SendActiveBuffer(destination_tid, messageTag);
}

void RecvObject(Serialisable* object) { object->unpack(); }
