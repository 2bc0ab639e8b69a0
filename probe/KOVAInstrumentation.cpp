#include "probe/KOVAInstrumentation.h"

#include "probe/probestate.h"
#include "probe/databaseaddress.h"

#include <pvm3.h>
#include "persist/standarddatabase.h"

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <utility>

namespace {
constexpr bool SameType(KOVAProbe::BasicPhaseType probes, BasicPhaseType tables) {
    return static_cast<int>(probes) == static_cast<int>(tables);
}
}  // namespace
static_assert(SameType(KOVAProbe::PH_IDLE, PH_IDLE) && SameType(KOVAProbe::PH_WORK, PH_WORK) &&
                  SameType(KOVAProbe::PH_COMM_SEND, PH_COMM_SEND) && SameType(KOVAProbe::PH_COMM_RECV, PH_COMM_RECV) &&
                  SameType(KOVAProbe::PH_SPAWN, PH_SPAWN) && SameType(KOVAProbe::PH_PART, PH_PART) &&
                  SameType(KOVAProbe::PH_SYNC, PH_SYNC),
              "the probe's phase types index the basic phase-type table");

namespace {

const char* const ERROR_HEADING = " *** Error with KOVAInstrumentation!!";
const char* const WARNING_HEADING = " *** Warning for KOVAInstrumentation!";

TIME MicrosecondsOf(const timeval& time) { return static_cast<TIME>(time.tv_sec) * 1000000 + time.tv_usec; }

std::string UserFromEnvironment() {
    const char* user = getenv("USER");
    return user != nullptr ? user : "UNKNOWN_USER";
}

}  // namespace

bool KOVAProbe::State::msExistProbeInstance = false;
bool KOVAProbe::State::msUsesPvm = false;

template <class Write> void KOVAProbe::State::Store(Write&& write) {
    try {
        write();
    } catch (const DatabaseError& failure) {
        std::cout << failure.what() << '\n'
                  << " *** KOVA Instrumentation: the measurement could not be stored, the process ends" << std::endl;
        LeavePvm();
        exit(-1);
    }
}

KOVAProbeSettings KOVAProbeSettings::Current() {
    KOVAProbeSettings settings;
    settings.slaveWait = {3600, 0};
    settings.writeDuringRun = true;
    settings.userFromEnvironment = false;
    settings.masterAlwaysEnrols = false;
    settings.experimentOfApplication = true;
    settings.syncOnMasterHost = false;
    settings.reportSyncFailure = true;
    settings.notWrittenNamesConfiguration = true;
    settings.intPhaseDurations = false;
    settings.storeClockOffsets = true;
    settings.clockSamples = 3;
    settings.clockSamplesMax = 12;
    settings.clockGoodRoundTrip = 1000;
    settings.replacementLockWait = 60;
    settings.keepAllChoiceName = "DO_NOT_REPLACE";
    settings.noExpIDLastLine = " ***  Or the measuring is not activated for the parent ";
    settings.initsendErrorLine = 232;
    settings.sendErrorLine = 237;
    settings.trecvErrorLine = 496;
    settings.upkintErrorLine = 500;
    return settings;
}

KOVAProbeSettings KOVAProbeSettings::FirstRelease() {
    KOVAProbeSettings settings;
    settings.slaveWait = {2, 0};
    settings.writeDuringRun = false;
    settings.userFromEnvironment = true;
    settings.masterAlwaysEnrols = true;
    settings.experimentOfApplication = false;
    settings.syncOnMasterHost = true;
    settings.reportSyncFailure = false;
    settings.notWrittenNamesConfiguration = false;
    settings.intPhaseDurations = true;
    settings.storeClockOffsets = false;
    settings.clockSamples = 3;
    settings.clockSamplesMax = 12;
    settings.clockGoodRoundTrip = 1000;
    settings.replacementLockWait = 60;
    settings.keepAllChoiceName = "DO_NO_REPLACE_EXP";
    settings.noExpIDLastLine = " ***  Or the measureming is not activated for the parent ";
    settings.initsendErrorLine = 146;
    settings.sendErrorLine = 151;
    settings.trecvErrorLine = 408;
    settings.upkintErrorLine = 412;
    return settings;
}

KOVAProbe::State::State(const std::string& application, const std::string& project, const std::string& appVersion,
                     bool activateMeasurements, DO_WITH_SIMILAR_EXP doWithSimilarExp)
    : mApp(GetUserID(), application, project, appVersion, ""),
      mExp(&mApp, DateTime(), "", 0, 0),
      mDoWithSimilarExp(doWithSimilarExp),
      mSettings(KOVAProbeSettings::Current()) {
    if (activateMeasurements)
        ConstructorForMaster();
    else
        mMeasure = false;
}

KOVAProbe::State::State(const std::string& appName, int nbrMachines, DO_WITH_SIMILAR_EXP doWithSimilarExp, int W,
                            const std::string& expComment, const KOVAProbeSettings& settings)
    : mDoWithSimilarExp(doWithSimilarExp), mSettings(settings) {
    if (mSettings.experimentOfApplication) {
        mApp = Application(GetUserID(), appName, "", "", "");
        mExp = Experiment(&mApp, DateTime(), expComment, nbrMachines, W);
    } else {
        const std::string user = mSettings.userFromEnvironment ? UserFromEnvironment() : GetUserID();
        mExp = Experiment(appName, user, DateTime(), expComment, nbrMachines, W);
    }
    ConstructorForMaster();
    if (mSettings.experimentOfApplication) {
        SetNbrOfMachines(nbrMachines);
        SetProblemSize(W);
    }
}

KOVAProbe::State::State(bool activateMeasurements, const KOVAProbeSettings& settings) : mSettings(settings) {
    if (!activateMeasurements) return;
    mMeasure = true;
    mWritePhasesDuringRun = mSettings.writeDuringRun;
    mTimeLastSave = 0;
    if (msExistProbeInstance)
        Fatal({ERROR_HEADING,
               " *** you try to create a second slave KOVAProbe in this process. Only 1 probe per process!"},
              "in KOVAProbe constructor of slave ");
    msExistProbeInstance = true;
    mRunning = true;
    mMeasurePhaseDetails = true;
    mPhaseCnt = 0;
    msUsesPvm = true;
    if (pvm_parent() == PvmNoParent)
        Fatal({ERROR_HEADING, " ***  you called the slave KOVAProbe constructor for a master"},
              "in KOVAProbe constructor of slave ");
    mIsMaster = false;
    const int myTid = pvm_mytid();
    const int parentTid = pvm_parent();
    const std::string host = ThisMachineName();
    const int expID = ReceiveExpID();
    mExp.mID = expID;
    // The tasks this slave spawns in turn store into the same server.
    ExportDatabaseAddress();
    mProcess = std::make_unique<Process>(expID, myTid, host, myTid, parentTid);
    if (mWritePhasesDuringRun) OpenDatabase();
    GuardTermination();
    TerminationGuard::Section section;
    StartMeasuring();
    // Handed to the server without waiting, so that the first phase holds only the
    // program's own time.
    if (mWritePhasesDuringRun) {
        Store([&] {
            mBatch->Add(*mProcess);
            mBatch->Send();
        });
    }
}

KOVAProbe::State::State() : mSettings(KOVAProbeSettings::Current()) {}


void KOVAProbe::State::ConstructorForMaster() {
    if (msExistProbeInstance)
        Fatal({ERROR_HEADING,
               " ***  you try to create a second master KOVAProbe in this process. Only 1 probe per process!"},
              "in KOVAProbe constructor of master ");
    msExistProbeInstance = true;
    mMeasure = true;
    mWritePhasesDuringRun = mSettings.writeDuringRun;
    mRunning = true;
    mMeasurePhaseDetails = true;
    mTimeLastSave = 0;
    mPhaseCnt = 0;

    const bool enrols = mSettings.masterAlwaysEnrols || mExp.mP != 1;
    if (mSettings.masterAlwaysEnrols || mExp.mP > 1) {
        msUsesPvm = true;
        if (pvm_parent() != PvmNoParent)
            std::cout << ERROR_HEADING << '\n'
                      << " ***  you called the master KOVAProbe constructor for a slave" << std::endl;
    }
    mIsMaster = true;
    if (mDoWithSimilarExp == ASK_USER) mDoWithSimilarExp = GetDoWithSimilarExpFromUser();
    // The slaves this master spawns store into the same server.
    ExportDatabaseAddress();
    OpenDatabase();
    Store([&] { *mDB << mExp; });
    mExp.mID = GetExperimentIDFromDB();

    // A sequential run does not enrol in PVM.
    int tid = 0;
    int parentTid = 0;
    if (enrols) {
        msUsesPvm = true;
        tid = pvm_mytid();
        if (mSettings.masterAlwaysEnrols) parentTid = pvm_parent();
    }
    mProcess = std::make_unique<Process>(mExp.mID, tid, ThisMachineName(), tid, parentTid);
    GuardTermination();
    TerminationGuard::Section section;
    StartMeasuring();
    // Handed to the server without waiting, so that the first phase holds only the
    // program's own time. The lock is held while this master measures: an analysis
    // tells a running experiment from one whose master died by it, since the server
    // drops it with the connection.
    Store([&] {
        mBatch->AddStatement("SELECT GET_LOCK(" + mDB->QuotedValue(RunningExperimentLockName(mExp.mID)) + ", 0)");
        if (mWritePhasesDuringRun) mBatch->Add(*mProcess);
        mBatch->Send();
    });
}

void KOVAProbe::State::GuardTermination() {
    mTermination = std::make_unique<TerminationGuard>([this] { StoreOnTermination(); });
}

void KOVAProbe::State::OpenDatabase() {
    DatabaseAddress address;
    try {
        address = MeasurementDatabaseAddress();
    } catch (const std::invalid_argument& wrong) {
        Fatal({ERROR_HEADING, wrong.what()}, "in KOVAProbe OpenDatabase ");
    }
    try {
        mDB = std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", address.host, address.port,
                                                 address.socket);
    } catch (const DatabaseError& failure) {
        std::cout << failure.what() << std::endl;
        LeavePvm();
        exit(-1);
    }
    mBatch = std::make_unique<InsertBatchConvertor>(mDB.get());
}

void KOVAProbe::State::StartMeasuring() {
    if (!mMeasure) return;
    if (mPhaseCnt > 0)
        Fatal({ERROR_HEADING,
               " ***  you called StartMeasuring() after EndOfPhase or SlaveIsSpawned calls! Resetting the "
               "measurements is not possible yet",
               " ***  this will be made available in the future..."},
              "in KOVAProbe StartMeasuring() ");
    // A stopped probe has no process record left to start.
    if (!mRunning) return;
    TerminationGuard::Section section;
    SynchroWithMaster();
}

template <class... Args> void KOVAProbe::State::AddPhase(const timeval& now, Args&&... args) {
    mPhases.emplace_back(std::forward<Args>(args)...);
    if (!mWritePhasesDuringRun) return;
    const TIME expTime = mExpChrono.GetTime(now);
    if (static_cast<double>(expTime - mTimeLastSave) > static_cast<double>(WRITE_PHASES_PERIOD)) {
        Store([&] { WritePendingPhases(); });
        mTimeLastSave = expTime;
    }
}

TIME KOVAProbe::State::EndOfPhase(int phaseType, int nbrQuantums, int nbrOperations, const std::string& comment) {
    if (!mMeasure || !mRunning) return 0;
    TerminationGuard::Section section;
    switch (phaseType) {
        case PH_COMM_SEND:
        case PH_COMM_RECV:
            std::cout << WARNING_HEADING << '\n'
                      << " ***   you called EndOfPhase with a comm phaseType:" << phaseType << '\n'
                      << " ***   use EndOfCommPhase instead for indicating communication phases." << std::endl;
            break;
        case PH_IDLE:
        case PH_WORK:
        case PH_SPAWN:
        case PH_PART:
        case PH_SYNC:
            break;
        default: {
            const std::string typeLine = " ***   you called EndOfPhase with a unknown phaseType:" +
                                         std::to_string(phaseType);
            Fatal({" *** Error for KOVAInstrumentation!!", typeLine.c_str(),
                   " ***   only use PH_IDLE, PH_WORK, PH_PART or PH_SYNC."},
                  "in KOVAProbe EndOfPhase() ");
        }
    }
    // One clock reading ends this phase, starts the next and dates the batch check.
    const timeval now = CurrentTime();
    const TIME duration = mPhaseChrono.Restart(now);
    AccumulateDuration(phaseType, duration);
    if (mMeasurePhaseDetails) {
        ++mPhaseCnt;
        AddPhase(now, mProcess->mExpID, mProcess->mID, mPhaseCnt, phaseType, duration, nbrQuantums, nbrOperations,
                 comment);
    }
    return duration;
}

TIME KOVAProbe::State::EndOfCommPhase(int phaseType, int commPartnerTid, int nbrQuantums, const std::string& comment) {
    if (!mMeasure || !mRunning) return 0;
    TerminationGuard::Section section;
    if (phaseType != PH_COMM_SEND && phaseType != PH_COMM_RECV && phaseType != PH_SPAWN)
        std::cout << WARNING_HEADING << '\n'
                  << " ***   you called EndOfCommPhase with a non-comm phaseType:" << phaseType << '\n'
                  << " ***   use EndOfPhase instead." << std::endl;
    const timeval now = CurrentTime();
    const TIME duration = mPhaseChrono.Restart(now);
    AccumulateDuration(phaseType, duration);
    if (mMeasurePhaseDetails) {
        ++mPhaseCnt;
        AddPhase(now, mProcess->mExpID, mProcess->mID, mPhaseCnt, phaseType, duration, commPartnerTid,
                 phaseType == PH_COMM_SEND, nbrQuantums, comment);
    }
    return duration;
}

void KOVAProbe::State::AccumulateDuration(int phaseType, TIME duration) {
    // A type outside the table has no total to add to.
    if (phaseType < 0 || phaseType >= mProcess->GetNbrPhaseTypes()) {
        std::cout << "Error in  KOVAProbe::EndOfPhase: phasetype too big" << std::endl;
        return;
    }
    mProcess->mPhaseDurations[phaseType].mDuration += duration;
}

void KOVAProbe::State::AddPendingPhases() {
    for (Phase& phase : mPhases) {
        if (mSettings.intPhaseDurations) {
            BasicPhase<int> row(phase);
            mBatch->Add(row);
        } else {
            mBatch->Add(phase);
        }
    }
    mPhases.clear();
}

void KOVAProbe::State::WritePendingPhases() {
    AddPendingPhases();
    mBatch->Send();
}

void KOVAProbe::State::SlaveIsSpawned(int slaveTid) {
    if (!mMeasure) return;
    TerminationGuard::Section section;
    EndOfCommPhase(PH_SPAWN, slaveTid, 0, "");
    if (pvm_initsend(PvmDataDefault) < 0)
        PvmFailure(" calling pvm_initsend", "in MasterSpawnsSlave", mSettings.initsendErrorLine);
    int expID = mExp.mID;
    pvm_pkint(&expID, 1, 1);
    if (pvm_send(slaveTid, SLAVE_EXP_ID) < 0)
        PvmFailure(" calling pvm_send", "in MasterSpawnsSlave", mSettings.sendErrorLine);
    ++mExp.mNbrProcesses;
}

int KOVAProbe::State::ReceiveExpID() {
    timeval timeout = mSettings.slaveWait;
    const int bufid = pvm_trecv(pvm_parent(), SLAVE_EXP_ID, &timeout);
    if (bufid == 0)
        Fatal({ERROR_HEADING,
               " ***  The KOVA function SlaveIsSpawned() is not called for this process, this should be done by "
               "its parent.",
               mSettings.noExpIDLastLine},
              "in KOVAProbe constructor of slave ");
    if (bufid < 0) PvmFailure(" calling pvmtrecv", "in ReceiveExpID", mSettings.trecvErrorLine);
    int expID = 0;
    if (pvm_upkint(&expID, 1, 1) < 0)
        PvmFailure(" calling pvm_upkint ", "in ReceiveExpID", mSettings.upkintErrorLine);
    return expID;
}

void KOVAProbe::State::SynchroWithMaster() {
    // The offset is measured before the clocks start, so that its measurement is
    // not part of the first phase.
    const timeval delta = mIsMaster ? timeval{0, 0} : MeasureClockDelta(mStartClockBound);
    const timeval now = CurrentTime();
    mExpChrono.Restart(now);
    mPhaseChrono.Restart(now);
    mProcess->mStartTime_sec = static_cast<int>(now.tv_sec);
    mProcess->mStartTime_usec = static_cast<int>(now.tv_usec);
    if (mIsMaster) return;
    mStartClockOffset = MicrosecondsOf(delta);
    SubtractClockDelta(mProcess->mStartTime_sec, mProcess->mStartTime_usec, delta);
}

timeval KOVAProbe::State::MeasureClockDelta(TIME& bound) {
    bound = 0;
    timeval best = {0, 0};
    const int parentHost = pvm_tidtohost(mProcess->mParentTid);
    if (!mSettings.syncOnMasterHost && parentHost == pvm_tidtohost(mProcess->mMyTid)) return best;
    // The remote clock was read between the two local readings around the call, so
    // an offset is off by at most half their distance: the shortest round trip
    // gives the best offset, with a known bound.
    TIME shortest = -1;
    for (int sample = 0; sample < mSettings.clockSamplesMax; ++sample) {
        if (sample >= mSettings.clockSamples && shortest <= mSettings.clockGoodRoundTrip) break;
        timeval clock;
        timeval delta;
        const timeval before = CurrentTime();
        const int result = pvm_hostsync(parentHost, &clock, &delta);
        const TIME roundTrip = MicrosecondsOf(CurrentTime()) - MicrosecondsOf(before);
        if (result != 0) {
            if (shortest >= 0) break;
            if (mSettings.reportSyncFailure)
                std::cout << " *** Host " << ThisMachineName() << " Failed to synchronise time with Master "
                          << mProcess->mParentTid << " on host " << parentHost << "!\n"
                          << "Using a TimeDiff of 0 secs and 0 usecs!" << std::endl;
            return {0, 0};
        }
        if (shortest < 0 || roundTrip < shortest) {
            shortest = roundTrip;
            best = delta;
        }
    }
    bound = (shortest + 1) / 2;
    return best;
}

ClockOffset KOVAProbe::State::ClockOffsets(bool measureEnd) {
    if (!measureEnd) {
        // No measurement at the end: the offset is taken not to have drifted.
        return ClockOffset(mProcess->mExpID, mProcess->mID, mStartClockOffset, mStartClockOffset,
                           mExpChrono.GetTime(), mStartClockBound, mStartClockBound);
    }
    // The end offset belongs to the middle of its measurement.
    const timeval before = CurrentTime();
    TIME endBound = 0;
    const TIME endOffset = MicrosecondsOf(MeasureClockDelta(endBound));
    const timeval after = CurrentTime();
    const timeval start = mExpChrono.GetStartTime();
    const TIME endTime = (MicrosecondsOf(before) + MicrosecondsOf(after)) / 2 - MicrosecondsOf(start);
    return ClockOffset(mProcess->mExpID, mProcess->mID, mStartClockOffset, endOffset, endTime, mStartClockBound,
                       endBound);
}

void SubtractClockDelta(int& sec, int& usec, const timeval& delta) {
    sec -= static_cast<int>(delta.tv_sec);
    usec -= static_cast<int>(delta.tv_usec);
    if (usec < 0) {
        sec -= 1;
        usec += 1000000;
    }
}

void KOVAProbe::State::Stop() {
    if (!mMeasure || !mRunning) return;
    TerminationGuard::Section section;
    mExpChrono.Stop();
    RenewIdleConnection();
    if (mIsMaster)
        StopMaster();
    else
        StopSlave();
    mTermination.reset();
    mProcess.reset();
    mBatch.reset();
    // Closing the connection also releases the locks it holds.
    mDB.reset();
    mRunning = false;
    msExistProbeInstance = false;
}

void KOVAProbe::State::RenewIdleConnection() {
    // Far below the servers' usual idle limit (8 hours).
    const TIME IDLE_LIMIT = 600 * TIME{1000000};
    if (mDB && mExpChrono.GetTime() - mTimeLastSave > IDLE_LIMIT) {
        Store([&] { mDB->AwaitBatch(); });
        mBatch.reset();
        mDB.reset();
    }
    if (!mDB) OpenDatabase();
}

void KOVAProbe::State::StopMaster() {
    mExp.mTp = mExpChrono.GetTime();
    mExp.mStatusData = Experiment::EXP_FINISHED;
    // The lock keeps the replacement steps of concurrent runs of this configuration
    // apart, from reading the similar experiments until this one is stored finished
    // (it goes with the connection, right after).
    const bool replaces = mDoWithSimilarExp == REPLACE_IF_FASTER || mDoWithSimilarExp == REPLACE_IF_SUCCESFULL;
    const bool locked = replaces && LockConfiguration();
    const DO_WITH_SIMILAR_EXP policy = replaces && !locked ? DO_NOT_REPLACE : mDoWithSimilarExp;
    Replacement replacement;
    if (policy == REPLACE_IF_FASTER || policy == REPLACE_IF_SUCCESFULL)
        replacement = ReplaceIfFaster(policy == REPLACE_IF_FASTER);
    // One transaction: the replaced experiments go only together with this one's
    // final rows and its finished row, so a failure in between leaves both runs whole.
    Store([&] {
        for (int expID : replacement.deleted)
            for (const std::string& statement : DeleteExperimentStatements(expID)) mBatch->AddStatement(statement);
        if (replacement.stays) {
            AddFinalRows(nullptr);
            mBatch->AddStatement(DbConvertor(mDB.get()).CreateWriteQuery(mExp));
        } else {
            for (const std::string& statement : DeleteExperimentStatements(mExp.mID)) mBatch->AddStatement(statement);
        }
        mBatch->Write();
    });
    // Said once the transaction is committed, so that the experiment named is the one kept.
    switch (policy) {
        case REPLACE_IF_FASTER:
            if (replacement.stays) {
                std::cout << " *** KOVA Instrumentation: experiment " << mExp.mID
                          << " written to database (it replaces all slower similar experiments)" << std::endl;
            } else {
                std::cout << " *** KOVA Instrumentation: experiment is NOT written to database, because it was "
                             "slower than similar experiments";
                if (mSettings.notWrittenNamesConfiguration)
                    std::cout << " (" << mExp.mName << " p=" << mExp.mP << " W=" << mExp.mW << ")";
                std::cout << std::endl;
            }
            break;
        case REPLACE_IF_SUCCESFULL:
            std::cout << " *** KOVA Instrumentation: experiment " << mExp.mID
                      << " written to database (it replaces all similar experiments)" << std::endl;
            break;
        default:
            std::cout << " *** KOVA Instrumentation: experiment " << mExp.mID << " written to database "
                      << std::endl;
    }
}

void KOVAProbe::State::StopSlave() {
    ClockOffset offsets;
    if (mSettings.storeClockOffsets) offsets = ClockOffsets(true);
    Store([&] {
        AddFinalRows(mSettings.storeClockOffsets ? &offsets : nullptr);
        mBatch->Write();
    });
}

void KOVAProbe::State::StoreOnTermination() {
    if (!mRunning) return;
    mRunning = false;
    mExpChrono.Stop();
    if (!mDB) OpenDatabase();
    ClockOffset offsets = ClockOffsets(false);
    Store([&] {
        AddFinalRows(!mIsMaster && mSettings.storeClockOffsets ? &offsets : nullptr);
        mBatch->Write();
    });
}

void KOVAProbe::State::AddFinalRows(ClockOffset* offsets) {
    AddPendingPhases();
    for (PhaseDuration& total : mProcess->mPhaseDurations)
        if (total.mDuration != 0) mBatch->Add(total);
    if (mProcess->mWritten)
        mBatch->AddStatement(DbConvertor(mDB.get()).CreateWriteQuery(*mProcess));
    else
        mBatch->Add(*mProcess);
    if (offsets != nullptr) mBatch->Add(*offsets);
}

bool KOVAProbe::State::LockConfiguration() {
    std::string granted;
    const std::string name = ReplacementLockName(mExp);
    Store([&] {
        granted = mDB->QueryFirst("SELECT GET_LOCK(" + mDB->QuotedValue(name) + ", " +
                                  std::to_string(mSettings.replacementLockWait) + ")");
    });
    if (granted == "1") return true;
    std::cout << " *** KOVA Instrumentation: gave up waiting " << mSettings.replacementLockWait
              << " s for the lock of similar experiments (" << name << "), so none is replaced" << std::endl;
    return false;
}

Replacement KOVAProbe::State::ReplaceIfFaster(bool onlyIfFaster) {
    Replacement replacement;
    Store([&] { replacement = PlanReplacement(mExp, onlyIfFaster, *mDB); });
    return replacement;
}

KOVAProbe::DO_WITH_SIMILAR_EXP KOVAProbe::State::GetDoWithSimilarExpFromUser() {
    const std::string choices = std::string("r (REPLACE_IF_FASTER), s (REPLACE_IF_SUCCESFULL) or n (") +
                                mSettings.keepAllChoiceName + ")";
    std::cout << " *** KOVA: What should I do with similar experiments?\n *** " << choices << std::endl;
    for (;;) {
        std::cout << " ?" << std::flush;
        char answer;
        if (!(std::cin >> answer)) {
            std::cout << "\n *** KOVA: no answer (end of input), all similar experiments are kept ("
                      << mSettings.keepAllChoiceName << ")" << std::endl;
            return DO_NOT_REPLACE;
        }
        switch (answer) {
            case 'r': return REPLACE_IF_FASTER;
            case 's': return REPLACE_IF_SUCCESFULL;
            case 'n': return DO_NOT_REPLACE;
            default: std::cout << " *** Please answer with: " << choices << std::endl;
        }
    }
}

int KOVAProbe::State::GetExperimentIDFromDB() { return static_cast<int>(mDB->LastInsertID()); }

template <class Value>
bool KOVAProbe::State::DeclareParameter(const std::string& name, AppParameter::PARAMETER_TYPE_EN type,
                                 const std::string& comment, const char* notMasterHeading, const char* notMasterText,
                                 const std::string& repeatedCallText, const Value& value) {
    if (!mIsMaster) std::cout << notMasterHeading << '\n' << notMasterText << std::endl;
    if (mApp.AddAppParameter(name, type, comment)) return true;
    std::cout << WARNING_HEADING << '\n' << repeatedCallText << value << " is ignored" << std::endl;
    return false;
}

void KOVAProbe::State::SetNbrOfMachines(int nbrMachines) {
    if (!DeclareParameter("p", AppParameter::INT, "", WARNING_HEADING,
                          " *** calling SetNbrOfMachines() makes only sense in the master process",
                          " *** call SetNbrOfMachines() only once. This call with value ", nbrMachines))
        return;
    mExp.mP = nbrMachines;
    mExp.mExpParValues.emplace_back(mExp.mID, "p", mApp.mID, nbrMachines);
}

void KOVAProbe::State::SetProblemSize(int problemSize) {
    if (!DeclareParameter("W", AppParameter::INT, "", WARNING_HEADING,
                          " *** calling SetProblemSize() makes only sense in the master process",
                          " *** call SetProbelemSize() only once. This call with value ", problemSize))
        return;
    mExp.mW = problemSize;
    mExp.mExpParValues.emplace_back(mExp.mID, "W", mApp.mID, problemSize);
}

namespace {
const char* const PARAMETER_NOT_MASTER_HEADING = " *** Warning for KOVAInstrumentation!!";
const char* const PARAMETER_NOT_MASTER_TEXT =
    " *** calling SetApplicationParameter() makes only sense in the master process";

std::string RepeatedParameterText(const std::string& name) {
    return " *** call SetApplicationParameter() only once for each parameter. This call for parameter " + name +
           " with value ";
}
}  // namespace

void KOVAProbe::State::SetApplicationParameter(const std::string& name, int value, const std::string& comment) {
    if (DeclareParameter(name, AppParameter::INT, comment, PARAMETER_NOT_MASTER_HEADING, PARAMETER_NOT_MASTER_TEXT,
                         RepeatedParameterText(name), value))
        mExp.mExpParValues.emplace_back(mExp.mID, name, mApp.mID, value);
}

void KOVAProbe::State::SetApplicationParameter(const std::string& name, double value, const std::string& comment) {
    if (DeclareParameter(name, AppParameter::DOUBLE, comment, PARAMETER_NOT_MASTER_HEADING,
                         PARAMETER_NOT_MASTER_TEXT, RepeatedParameterText(name), value))
        mExp.mExpParValues.emplace_back(mExp.mID, name, mApp.mID, value);
}

void KOVAProbe::State::SetApplicationParameter(const std::string& name, std::string value, const std::string& comment) {
    if (DeclareParameter(name, AppParameter::STRING, comment, PARAMETER_NOT_MASTER_HEADING,
                         PARAMETER_NOT_MASTER_TEXT, RepeatedParameterText(name), value))
        mExp.mExpParValues.emplace_back(mExp.mID, name, mApp.mID, value);
}

TIME KOVAProbe::State::ViewExpChrono() {
    if (!mMeasure) return 0;
    if (!mRunning) std::cout << " *** measurement is not running, the time that is returned will be wrong" << std::endl;
    return mExpChrono.GetTime();
}

TIME KOVAProbe::State::ViewPhaseChrono() {
    if (!mMeasure) return 0;
    if (!mRunning) std::cout << " *** measurement is not running, the time that is returned will be wrong" << std::endl;
    return mPhaseChrono.GetTime();
}


void KOVAProbe::State::LeavePvm() {
    // A process that never entered PVM has nothing to leave (and PVM refuses to
    // start for root without PVM_ALLOW_ROOT, so the call would end the process).
    if (msUsesPvm) pvm_exit();
}

void KOVAProbe::State::Fatal(std::initializer_list<const char*> lines, const std::string& message) {
    for (const char* line : lines) std::cout << line << '\n';
    std::cout.flush();
    LeavePvm();
    error(message, "", 0);
}

void KOVAProbe::State::PvmFailure(const char* callText, const std::string& message, int line) {
    std::cout.flush();
    pvm_perror(const_cast<char*>(callText));
    pvm_exit();
    error(message, "KOVAInstrumentation", line);
}

KOVAProbe::KOVAProbe(const std::string& application, const std::string& project, const std::string& appVersion,
                     bool activateMeasurements, DO_WITH_SIMILAR_EXP doWithSimilarExp)
    : mState(std::make_unique<State>(application, project, appVersion, activateMeasurements, doWithSimilarExp)) {}

KOVAProbe::KOVAProbe(const std::string& appName, int nbrMachines, DO_WITH_SIMILAR_EXP doWithSimilarExp, int W,
                     const std::string& expComment, const KOVAProbeSettings& settings)
    : mState(std::make_unique<State>(appName, nbrMachines, doWithSimilarExp, W, expComment, settings)) {}

KOVAProbe::KOVAProbe(bool activateMeasurements, const KOVAProbeSettings& settings)
    : mState(std::make_unique<State>(activateMeasurements, settings)) {}

KOVAProbe::KOVAProbe() : mState(std::make_unique<State>()) {}

KOVAProbe::~KOVAProbe() { Stop(); }

KOVAProbe::State& KOVAProbe::state() { return *mState; }

void KOVAProbe::StartMeasuring() { mState->StartMeasuring(); }

TIME KOVAProbe::EndOfPhase(int phaseType, int nbrQuantums, int nbrOperations, const std::string& comment) {
    return mState->EndOfPhase(phaseType, nbrQuantums, nbrOperations, comment);
}

TIME KOVAProbe::EndOfCommPhase(int phaseType, int commPartnerTid, int nbrQuantums, const std::string& comment) {
    return mState->EndOfCommPhase(phaseType, commPartnerTid, nbrQuantums, comment);
}

void KOVAProbe::SlaveIsSpawned(int slaveTid) { mState->SlaveIsSpawned(slaveTid); }

void KOVAProbe::Stop() { mState->Stop(); }

void KOVAProbe::SetNbrOfMachines(int nbrMachines) { mState->SetNbrOfMachines(nbrMachines); }

void KOVAProbe::SetProblemSize(int problemSize) { mState->SetProblemSize(problemSize); }

void KOVAProbe::SetApplicationParameter(const std::string& name, int value, const std::string& comment) {
    mState->SetApplicationParameter(name, value, comment);
}

void KOVAProbe::SetApplicationParameter(const std::string& name, double value, const std::string& comment) {
    mState->SetApplicationParameter(name, value, comment);
}

void KOVAProbe::SetApplicationParameter(const std::string& name, std::string value, const std::string& comment) {
    mState->SetApplicationParameter(name, std::move(value), comment);
}

void KOVAProbe::SetApplicationComment(const std::string& appComment) { mState->mApp.mComment = appComment; }

void KOVAProbe::SpecifyExtraExperimentParameter(const std::string&, int, const std::string&) {}

void KOVAProbe::SpecifyExtraExperimentParameter(const std::string&, double, const std::string&) {}

void KOVAProbe::SpecifyExtraExperimentParameter(const std::string&, const std::string&, const std::string&) {}

void KOVAProbe::SetExperimentComment(const std::string& expComment) { mState->mExp.mComment = expComment; }

int KOVAProbe::GetExperimentID() const { return mState->mMeasure ? mState->mExp.mID : -1; }

TIME KOVAProbe::ViewExpChrono() { return mState->ViewExpChrono(); }

TIME KOVAProbe::ViewPhaseChrono() { return mState->ViewPhaseChrono(); }

int KOVAProbe::AddPhaseType(const std::string&, int) { return -1; }

void KOVAProbe::StartMeasurePhaseDetails() {}

void KOVAProbe::StopMeasurePhaseDetails() {}
