// The C face of the probe, for programs that end their phases themselves. A
// master creates its experiment's row (the one database round trip on the
// program's path, made at once because kova_master returns the experiment's
// ID) and sends each slave it announces the experiment's number; every task
// records its phases with the recording core (measure/recording.h: a buffer of
// its own, stored as binary blocks by a background thread, no SQL while the
// program runs) and stores its last block at kova_stop. The master's kova_stop
// then waits for the tasks' last blocks, expands the blocks into the
// experiment's rows and applies the replacement policy.
#include <kova/kova.h>

#include "measure/block.h"
#include "measure/blockstore.h"
#include "measure/hostclock.h"
#include "measure/recording.h"

#include "probe/KOVAInstrumentation.h"
#include "probe/databaseaddress.h"
#include "probe/pvmexport.h"
#include "probe/replacement.h"
#include "probe/similar.h"
#include "probe/standardlib.h"
#include "persist/dbDescribable.h"
#include "persist/standarddatabase.h"

#include <pvm3.h>

#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <map>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

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
const char* const LOST_HEADING = " *** KOVA Instrumentation: the measurement could not be stored";
// Names the master's PVM host (hexadecimal) to the tasks spawned, whose clock
// offsets are to that host.
constexpr char kMasterHostVariable[] = "KOVA_MEASURE_MASTER_HOST";
// Longest wait of the master's kova_stop for its tasks' last blocks.
constexpr int kTaskWaitSeconds = 30;

// The task's measurement, from kova_master or kova_slave on.
struct Task {
    bool started = false;
    // Until kova_stop.
    bool running = false;
    bool master = false;
    // The task entered PVM, so a fatal exit leaves it first.
    bool usesPvm = false;
    int tid = 0;
    int masterHost = 0;
    KOVAProbe::DO_WITH_SIMILAR_EXP policy = KOVAProbe::DO_NOT_REPLACE;
    KOVAProbeSettings settings = KOVAProbeSettings::Current();
    Application application;
    Experiment experiment;
    // The master's connection; it holds the running experiment's lock until its
    // kova_stop has stored the experiment.
    std::unique_ptr<StandardDatabase> db;
};

// Lives until the process ends (kova_stop may run from an exit handler).
Task& TheTask() {
    static auto* task = new Task;
    return *task;
}

void LeavePvm() {
    if (TheTask().usesPvm) pvm_exit();
}

[[noreturn]] void Fatal(std::initializer_list<const char*> lines, const std::string& message) {
    for (const char* line : lines) std::cout << line << '\n';
    std::cout.flush();
    LeavePvm();
    error(message, "", 0);
}

[[noreturn]] void PvmFailure(const char* callText, const std::string& message, int line) {
    std::cout.flush();
    pvm_perror(const_cast<char*>(callText));
    pvm_exit();
    error(message, "KOVAInstrumentation", line);
}

// Whether the task measures for call: a call before kova_master or kova_slave
// ends the process as the probe's own wrong uses do, one after kova_stop warns.
bool Running(const char* call) {
    const Task& task = TheTask();
    if (!task.started) {
        std::cout << ERROR_HEADING << '\n'
                  << " ***  you called " << call << "() before kova_master() or kova_slave()" << std::endl;
        LeavePvm();
        error(std::string("in ") + call + " ", "", 0);
    }
    if (!task.running) {
        std::cout << WARNING_HEADING << '\n'
                  << " ***  you called " << call << "() after kova_stop(); it is not measured" << std::endl;
        return false;
    }
    return true;
}

void StopAtExit() { kova_stop(); }

// Begins recording the task's phases: its first phase begins now.
void Begin(Task& task, int parent, int expID) {
    recording::TaskIdentity identity;
    identity.id = task.tid;
    identity.parent = parent;
    identity.master = task.master;
    identity.voice = "KOVA Instrumentation";
    // The tasks this one spawns keep their phases in blocks of the same size.
    ExportToSpawnedTasks({recording::kBlockPhasesVariable});
    recording::BeginTask(identity, expID);
    task.started = task.running = true;
    static const bool stopsAtExit = std::atexit(StopAtExit) == 0;
    (void)stopsAtExit;
}

// A connection to the measurement database. Throws DatabaseError, and
// std::invalid_argument for a wrong address in the environment.
std::unique_ptr<StandardDatabase> OpenDatabase() {
    const DatabaseAddress address = MeasurementDatabaseAddress();
    return std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", address.host, address.port, address.socket);
}

int ReceiveExperimentID(const KOVAProbeSettings& settings) {
    timeval timeout = settings.slaveWait;
    const int bufid = pvm_trecv(pvm_parent(), SLAVE_EXP_ID, &timeout);
    if (bufid == 0)
        Fatal({ERROR_HEADING,
               " ***  The KOVA function SlaveIsSpawned() is not called for this process, this should be done by "
               "its parent.",
               settings.noExpIDLastLine},
              "in KOVAProbe constructor of slave ");
    if (bufid < 0) PvmFailure(" calling pvmtrecv", "in ReceiveExpID", settings.trecvErrorLine);
    int expID = 0;
    if (pvm_upkint(&expID, 1, 1) < 0) PvmFailure(" calling pvm_upkint ", "in ReceiveExpID", settings.upkintErrorLine);
    return expID;
}

// The master's end: waits for the tasks' last blocks, expands them into the
// experiment's rows (Tp, status finished) and applies the policy. A failure of
// the database ends the measurement, never the program.
void FinishExperiment(Task& task) {
    const int id = task.experiment.mID;
    try {
        // A connection that the server dropped while the program ran is made anew.
        if (mysql_ping(task.db->Handle()) != 0) task.db = OpenDatabase();
        StandardDatabase& db = *task.db;
        const std::vector<int> running = recording::AwaitTasks(
            db.Handle(), id, kTaskWaitSeconds, [](int tid) { return pvm_pstat(tid) != PvmNoTask; },
            // Looks every 2 ms: the tasks of a short program end within milliseconds
            // of each other, and a look is one small query.
            [](int) {
                usleep(2000);
                return true;
            });
        for (int tid : running)
            std::cout << " *** KOVA Instrumentation: task t" << std::hex << tid << std::dec << " still runs after "
                      << kTaskWaitSeconds << " s; its phases are stored when it ends" << std::endl;
        // A slave ended by SIGTERM measured no clock offset: its host's is measured
        // from here.
        const std::map<int, recording::ClockOffset> offsets =
            recording::OffsetsMeasuredFromHere(recording::TasksWithoutOffsets(db.Handle(), id));
        if (!recording::ExpandExperiment(db.Handle(), id, "", offsets).expanded)
            throw std::runtime_error("no phases of experiment " + std::to_string(id) + " were stored");
        Experiment current;
        current.mID = id;
        DbConvertor(&db).ReadObj(current);
        const bool replaces =
            task.policy == KOVAProbe::REPLACE_IF_FASTER || task.policy == KOVAProbe::REPLACE_IF_SUCCESFULL;
        const bool locked = replaces && LockSimilarExperiments(db, current, task.settings.replacementLockWait);
        const KOVAProbe::DO_WITH_SIMILAR_EXP policy = replaces && !locked ? KOVAProbe::DO_NOT_REPLACE : task.policy;
        const bool stays = policy == KOVAProbe::DO_NOT_REPLACE ||
                           ReplaceSimilarExperiments(current, policy == KOVAProbe::REPLACE_IF_FASTER, db);
        ReportStoredExperiment(policy, current, stays, task.settings.notWrittenNamesConfiguration);
    } catch (const std::exception& failure) {
        std::cerr << LOST_HEADING << ": " << failure.what() << std::endl;
    }
    // Closing the connection releases its locks.
    task.db.reset();
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
    Task& task = TheTask();
    if (task.running)
        Fatal({ERROR_HEADING,
               " ***  you try to create a second master KOVAProbe in this process. Only 1 probe per process!"},
              "in KOVAProbe constructor of master ");
    // A sequential run (p = 1) does not enrol in PVM.
    const bool enrols = p != 1;
    if (p > 1) {
        task.usesPvm = true;
        if (pvm_parent() != PvmNoParent)
            std::cout << ERROR_HEADING << '\n'
                      << " ***  you called the master KOVAProbe constructor for a slave" << std::endl;
    }
    task.master = true;
    task.policy = policy == KOVA_ASK_USER ? AskWhatToDoWithSimilar(task.settings.keepAllChoiceName)
                                          : static_cast<KOVAProbe::DO_WITH_SIMILAR_EXP>(policy);
    // The slaves this master spawns store into the same server.
    ExportDatabaseAddress();
    try {
        task.db = OpenDatabase();
    } catch (const std::invalid_argument& wrong) {
        Fatal({ERROR_HEADING, wrong.what()}, "in KOVAProbe OpenDatabase ");
    } catch (const DatabaseError& failure) {
        std::cout << failure.what() << std::endl;
        LeavePvm();
        exit(-1);
    }
    task.application = Application(GetUserID(), application, "", "", "");
    task.experiment = Experiment(&task.application, DateTime(), "", p, W);
    try {
        *task.db << task.experiment;
        task.experiment.mID = static_cast<int>(task.db->LastInsertID());
        // Held while this master measures: an analysis tells a running experiment
        // from one whose master died by it, since the server drops it with the
        // connection.
        task.db->QueryFirst("SELECT GET_LOCK(" +
                            task.db->QuotedValue(RunningExperimentLockName(task.experiment.mID)) + ", 0)");
    } catch (const DatabaseError& failure) {
        std::cout << failure.what() << '\n' << LOST_HEADING << ", the process ends" << std::endl;
        LeavePvm();
        exit(-1);
    }
    if (enrols) {
        task.usesPvm = true;
        task.tid = pvm_mytid();
        task.masterHost = pvm_tidtohost(task.tid);
        std::ostringstream host;
        host << std::hex << task.masterHost;
        setenv(kMasterHostVariable, host.str().c_str(), 1);
        ExportToSpawnedTasks({kMasterHostVariable});
    }
    Begin(task, 0, task.experiment.mID);
    return task.experiment.mID;
}

int kova_slave(void) {
    Task& task = TheTask();
    if (task.running)
        Fatal({ERROR_HEADING, " *** you try to create a second slave KOVAProbe in this process. Only 1 probe per process!"},
              "in KOVAProbe constructor of slave ");
    task.usesPvm = true;
    if (pvm_parent() == PvmNoParent)
        Fatal({ERROR_HEADING, " ***  you called the slave KOVAProbe constructor for a master"},
              "in KOVAProbe constructor of slave ");
    task.tid = pvm_mytid();
    const int parent = pvm_parent();
    const int expID = ReceiveExperimentID(task.settings);
    task.experiment.mID = expID;
    // The tasks this slave spawns in turn store into the same server.
    ExportDatabaseAddress();
    const char* masterHost = std::getenv(kMasterHostVariable);
    task.masterHost = masterHost != nullptr ? static_cast<int>(std::strtol(masterHost, nullptr, 16))
                                            : pvm_tidtohost(parent);
    Begin(task, parent, expID);
    return expID;
}

void kova_spawned(int tid) {
    if (!Running("kova_spawned")) return;
    Task& task = TheTask();
    recording::RecordPhase(KOVA_SPAWN, tid);
    if (pvm_initsend(PvmDataDefault) < 0)
        PvmFailure(" calling pvm_initsend", "in MasterSpawnsSlave", task.settings.initsendErrorLine);
    int expID = task.experiment.mID;
    pvm_pkint(&expID, 1, 1);
    if (pvm_send(tid, SLAVE_EXP_ID) < 0)
        PvmFailure(" calling pvm_send", "in MasterSpawnsSlave", task.settings.sendErrorLine);
}

long long kova_phase(int type) {
    if (!Running("kova_phase")) return 0;
    switch (type) {
        case KOVA_SEND:
        case KOVA_RECV:
            std::cout << WARNING_HEADING << '\n'
                      << " ***   you called EndOfPhase with a comm phaseType:" << type << '\n'
                      << " ***   use EndOfCommPhase instead for indicating communication phases." << std::endl;
            break;
        case KOVA_IDLE:
        case KOVA_WORK:
        case KOVA_SPAWN:
        case KOVA_PART:
        case KOVA_SYNC:
            break;
        default: {
            const std::string typeLine = " ***   you called EndOfPhase with a unknown phaseType:" + std::to_string(type);
            Fatal({" *** Error for KOVAInstrumentation!!", typeLine.c_str(),
                   " ***   only use PH_IDLE, PH_WORK, PH_PART or PH_SYNC."},
                  "in KOVAProbe EndOfPhase() ");
        }
    }
    return recording::RecordPhase(type);
}

long long kova_comm(int type, int partnerTid, int tag) {
    if (!Running("kova_comm")) return 0;
    if (type != KOVA_SEND && type != KOVA_RECV && type != KOVA_SPAWN)
        std::cout << WARNING_HEADING << '\n'
                  << " ***   you called EndOfCommPhase with a non-comm phaseType:" << type << '\n'
                  << " ***   use EndOfPhase instead." << std::endl;
    // A type outside the table has no total to add to.
    if (type < 0 || type >= NBR_BASIC_PHASE_TYPES)
        std::cout << "Error in  KOVAProbe::EndOfPhase: phasetype too big" << std::endl;
    return recording::RecordPhase(type, partnerTid, tag);
}

void kova_stop(void) {
    Task& task = TheTask();
    if (!task.running) return;
    task.running = false;
    if (recording::Measuring()) {
        // The time since the last phase counts in the task's time (the master's Tp);
        // the clock offset's measurement does not.
        recording::EndMeasuredTime();
        const bool onMasterHost = task.master || task.masterHost <= 0 || task.masterHost == pvm_tidtohost(task.tid);
        const recording::ClockOffset offset =
            onMasterHost ? recording::ClockOffset() : recording::OffsetToHost(task.masterHost);
        recording::EndTask(offset, offset);
    }
    if (task.master) FinishExperiment(task);
}

}  // extern "C"
