// The C face of the probe: one KOVAProbe per task behind plain C functions.
#include <kova/kova.h>

#include "probe/KOVAInstrumentation.h"
#include "probe/probestate.h"
#include <pvm3.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

static_assert(KOVA_IDLE == KOVAProbe::PH_IDLE && KOVA_WORK == KOVAProbe::PH_WORK &&
                  KOVA_SEND == KOVAProbe::PH_COMM_SEND && KOVA_RECV == KOVAProbe::PH_COMM_RECV &&
                  KOVA_SPAWN == KOVAProbe::PH_SPAWN && KOVA_PART == KOVAProbe::PH_PART &&
                  KOVA_SYNC == KOVAProbe::PH_SYNC,
              "the C phase types are the probe's");
static_assert(KOVA_REPLACE_IF_FASTER == KOVAProbe::REPLACE_IF_FASTER &&
                  KOVA_REPLACE_IF_SUCCESSFUL == KOVAProbe::REPLACE_IF_SUCCESFULL &&
                  KOVA_ASK_USER == KOVAProbe::ASK_USER && KOVA_DO_NOT_REPLACE == KOVAProbe::DO_NOT_REPLACE,
              "the C policies are the probe's");

namespace {

const char* const ERROR_HEADING = " *** Error with KOVAInstrumentation!!";
const char* const WARNING_HEADING = " *** Warning for KOVAInstrumentation!";

// The task's probe; none before kova_master or kova_slave. It lives until the
// process ends, and is stopped then at the latest.
std::unique_ptr<KOVAProbe>& TaskProbe() {
    static auto* probe = new std::unique_ptr<KOVAProbe>();
    return *probe;
}

void StopAtExit() { kova_stop(); }

KOVAProbe* Started(std::unique_ptr<KOVAProbe> probe) {
    static bool stopsAtExit = false;
    if (!stopsAtExit) {
        stopsAtExit = true;
        std::atexit(StopAtExit);
    }
    TaskProbe() = std::move(probe);
    return TaskProbe().get();
}

// The running probe for call; a call before kova_master or kova_slave ends the
// process as the probe's own wrong uses do, one after kova_stop warns.
KOVAProbe* Running(const char* call) {
    KOVAProbe* probe = TaskProbe().get();
    if (probe == nullptr) {
        std::cout << ERROR_HEADING << '\n'
                  << " ***  you called " << call << "() before kova_master() or kova_slave()" << std::endl;
        if (KOVAProbe::State::msUsesPvm) pvm_exit();
        error(std::string("in ") + call + " ", "", 0);
    }
    if (!probe->state().mRunning) {
        std::cout << WARNING_HEADING << '\n'
                  << " ***  you called " << call << "() after kova_stop(); it is not measured" << std::endl;
        return nullptr;
    }
    return probe;
}

}  // namespace

extern "C" {

int kova_master(const char* application, int p, int W, int policy) {
    if (policy < KOVA_REPLACE_IF_FASTER || policy > KOVA_DO_NOT_REPLACE) {
        std::cout << ERROR_HEADING << '\n'
                  << " ***  kova_master() with an unknown policy " << policy
                  << ": use KOVA_REPLACE_IF_FASTER, KOVA_REPLACE_IF_SUCCESSFUL, KOVA_ASK_USER or KOVA_DO_NOT_REPLACE;"
                     " nothing is measured"
                  << std::endl;
        return -1;
    }
    KOVAProbe* probe = Started(std::make_unique<KOVAProbe>(application, p,
                                                           static_cast<KOVAProbe::DO_WITH_SIMILAR_EXP>(policy), W, ""));
    return probe->GetExperimentID();
}

int kova_slave(void) {
    KOVAProbe* probe = Started(std::make_unique<KOVAProbe>(true));
    return probe->GetExperimentID();
}

void kova_spawned(int tid) {
    if (KOVAProbe* probe = Running("kova_spawned")) probe->SlaveIsSpawned(tid);
}

long long kova_phase(int type) {
    KOVAProbe* probe = Running("kova_phase");
    return probe != nullptr ? probe->EndOfPhase(type) : 0;
}

long long kova_comm(int type, int partnerTid, int tag) {
    KOVAProbe* probe = Running("kova_comm");
    return probe != nullptr ? probe->EndOfCommPhase(type, partnerTid, tag) : 0;
}

void kova_stop(void) {
    if (KOVAProbe* probe = TaskProbe().get()) probe->Stop();
}

}  // extern "C"
