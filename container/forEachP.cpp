#include "container/forEachP.h"

#include "kova_site.h"
#include "probe/standardlib.h"

#include <cstring>
#include <sstream>

int tids[MAX_FOREACH_SLAVES];
int nproc = 0;
int nhost = 0;
int narch = 0;
pvmhostinfo* hostp = nullptr;
int msgtag = 0;
int info = 0;
int bufid = 0;
int bytes = 0;
int tid = 0;

void start_chrono(timeval* chrono) { gettimeofday(chrono, nullptr); }

std::uint64_t stop_chrono(timeval* timeStart) {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<std::uint64_t>((now.tv_sec - timeStart->tv_sec) * 1000000LL + (now.tv_usec - timeStart->tv_usec));
}

bool TrialVerdict(std::uint64_t microseconds) {
    const bool fastEnough = microseconds < FOREACH_TRIAL_LIMIT;
    std::cout << (fastEnough ? "TRUE" : "FALSE") << std::endl;
    return fastEnough;
}

void ForEachFailure(const std::string& message) {
    pvm_exit();
    error(message, "", 0);
}

void MasterInitSend() {
    if (pvm_initsend(PvmDataDefault) < 0) {
        pvm_perror(const_cast<char*>("Calling pvm_initsend"));
        ForEachFailure("Master");
    }
}

void CheckForEachLayout() {
    if (nhost == 3 && std::strcmp(hostp[0].hi_name, KOVA_FOREACH_MASTER_HOST) == 0) return;
    std::ostringstream message;
    message << "foreachtest needs a virtual machine of 3 hosts, the first of them " << KOVA_FOREACH_MASTER_HOST
            << "; this one has " << nhost << " host(s), the first " << (nhost > 0 ? hostp[0].hi_name : "none");
    ForEachFailure(message.str());
}

void SpawnForEachSlaves() {
    std::string executable = "foreachtest";
    std::string slaveHost = KOVA_FOREACH_SLAVE_HOST;
    int j = 0;
    for (int k = 0; k < 3; ++k) {
        std::cout << hostp[k].hi_name << std::endl;
        if (std::strcmp(hostp[k].hi_name, KOVA_FOREACH_MASTER_HOST) == 0) continue;
        std::cout << "Starting slave on: " << hostp[k].hi_name << std::endl;
        const int started = pvm_spawn(executable.data(), nullptr, PvmTaskHost + PvmTaskDebug, slaveHost.data(), 1, &tids[j]);
        if (started < 1) {
            pvm_perror(const_cast<char*>("Calling pvm_spawn"));
            ForEachFailure("Master: no slave started on " + slaveHost);
        }
        int testing = k - 1;
        MasterInitSend();
        Unchecked::pvm_pack(&testing, 1, 1);
        std::cout << "testing = " << testing << "--- to : " << tids[j] << std::endl;
        pvm_send(tids[j], TAG_FOREACH_ROLE);
        ++j;
    }
}

void Slave_Test(sum_up<long>, long size) {
    const int parent = pvm_parent();
    std::cout << "Test slave entered" << std::endl;
    std::cout << tid << std::endl;
    std::cout << tid << "=>>>" << "  My parent = " << parent << std::endl;
    bufid = pvm_recv(parent, -1);
    int source = 0;
    info = pvm_bufinfo(bufid, &bytes, &msgtag, &source);
    std::cout << "info received" << std::endl;
    std::cout << "size = " << size << std::endl;
    std::cout << "for each in test slave called?? " << std::endl;
    // The slave stays enrolled: its work reply is still to come.
    pvm_initsend(PvmDataDefault);
    pvm_send(parent, TAG_FOREACH_TRIAL_REPLY);
}

void Slave_ForEach(sum_up<long> s, long) {
    const int parent = pvm_parent();
    std::cout << "slave for each entered" << std::endl;
    pvm_config(&nhost, &narch, &hostp);
    nproc = nhost - 1;
    bufid = pvm_recv(parent, -1);
    int source = 0;
    info = pvm_bufinfo(bufid, &bytes, &msgtag, &source);
    long* from = nullptr;
    long* to = nullptr;
    deserialize(from, to);
    PrintFirstAndLast("SLAVE: From and to: ", "------", from, to);
    std::cout << "for each in slave called?? " << std::endl;
    std::for_each(from, to, s);
    for (long* value = from; value != to; ++value) std::cout << "slave : " << *value << std::endl;
    pvm_initsend(PvmDataDefault);
    serialize(from, to);
    std::cout << msgtag << std::endl;
    pvm_send(parent, msgtag);
    pvm_exit();
}
