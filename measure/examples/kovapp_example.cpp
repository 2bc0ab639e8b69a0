// A master and two slaves measured with the KOVA probe's C++ class: the master
// sends each slave a number, each slave sends back its square. The program is
// its own slave, so it must lie in PVM's executable path.
#include <KOVAInstrumentation.h>
#include <pvm3.h>

#include <iostream>

const int TAG_NUMBER = 1;
const int TAG_SQUARE = 2;

static void Master() {
    KOVAProbe probe("kovapp_example", 3, KOVAProbe::DO_NOT_REPLACE, 2, "");
    std::cout << "experiment " << probe.GetExperimentID() << std::endl;
    int tids[2];
    const int spawned = pvm_spawn(const_cast<char*>("kovapp_example"), nullptr, PvmTaskDefault,
                                  const_cast<char*>(""), 2, tids);
    for (int i = 0; i < spawned; i++) probe.SlaveIsSpawned(tids[i]);
    for (int i = 0; i < spawned; i++) {
        int number = i + 2;
        pvm_initsend(PvmDataDefault);
        pvm_pkint(&number, 1, 1);
        probe.EndOfPhase(KOVAProbe::PH_WORK);
        pvm_send(tids[i], TAG_NUMBER);
        probe.EndOfCommPhase(KOVAProbe::PH_COMM_SEND, tids[i], TAG_NUMBER);
    }
    for (int i = 0; i < spawned; i++) {
        int square, bytes, tag, from;
        const int bufid = pvm_recv(-1, TAG_SQUARE);
        probe.EndOfPhase(KOVAProbe::PH_IDLE);
        pvm_bufinfo(bufid, &bytes, &tag, &from);
        pvm_upkint(&square, 1, 1);
        probe.EndOfCommPhase(KOVAProbe::PH_COMM_RECV, from, tag);
        std::cout << "square " << square << std::endl;
    }
}  // the probe's destructor stores the experiment

static void Slave() {
    const int parent = pvm_parent();
    KOVAProbe probe(true);
    int number;
    pvm_recv(parent, TAG_NUMBER);
    probe.EndOfPhase(KOVAProbe::PH_IDLE);
    pvm_upkint(&number, 1, 1);
    probe.EndOfCommPhase(KOVAProbe::PH_COMM_RECV, parent, TAG_NUMBER);
    number *= number;
    pvm_initsend(PvmDataDefault);
    pvm_pkint(&number, 1, 1);
    probe.EndOfPhase(KOVAProbe::PH_WORK);
    pvm_send(parent, TAG_SQUARE);
    probe.EndOfCommPhase(KOVAProbe::PH_COMM_SEND, parent, TAG_SQUARE);
}

int main() {
    if (pvm_parent() == PvmNoParent)
        Master();
    else
        Slave();
    pvm_exit();
    return 0;
}
