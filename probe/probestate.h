// What a KOVAProbe holds and how it works inside: its records, clocks, database
// connection and the steps behind its public calls. Only the probe, its C face
// and the project's own tests see it.
#pragma once

#include "probe/KOVAData.h"
#include "probe/KOVAInstrumentation.h"
#include "probe/replacement.h"
#include "probe/standardlib.h"
#include "probe/termination.h"

#include <sys/time.h>

#include <initializer_list>
#include <memory>
#include <string>

// The state of one probe, built by the probe's constructors (a master's, a slave's or
// an inactive one) and living on the heap, so that the termination guard may keep a
// pointer to it.
struct KOVAProbe::State {
    // Measurement is active; when false every operation does nothing.
    bool mMeasure = false;
    // One Phase record is kept per phase.
    bool mMeasurePhaseDetails = false;
    // The process row and phase records are written while running.
    bool mWritePhasesDuringRun = false;
    // Least experiment time between two batch writes of phase records.
    static constexpr TIME WRITE_PHASES_PERIOD = 1000000;
    // A measuring probe exists in this process.
    static bool msExistProbeInstance;
    // A probe of this process has called PVM, so a fatal exit leaves PVM first.
    static bool msUsesPvm;
    // From construction of a measuring probe until Stop.
    bool mRunning = false;
    bool mIsMaster = false;
    // Time since the start of measuring.
    Chrono mExpChrono;
    // Time since the last phase end.
    Chrono mPhaseChrono;
    // Number of phase records made so far.
    int mPhaseCnt = 0;
    Application mApp;
    // The experiment; refers to mApp.
    Experiment mExp;
    // This process's record with its per-type totals; none after Stop.
    std::unique_ptr<Process> mProcess;
    // Phase records not yet written.
    PhaseList mPhases;
    DO_WITH_SIMILAR_EXP mDoWithSimilarExp = DO_NOT_REPLACE;
    // The database connection; none on an inactive probe and after Stop.
    std::unique_ptr<StandardDatabase> mDB;
    // Experiment time of the last batch write.
    TIME mTimeLastSave = 0;
    KOVAProbeSettings mSettings;
    // Builds the batches of phase rows and hands them to mDB without waiting.
    std::unique_ptr<InsertBatchConvertor> mBatch;
    // This host's clock minus the master host's, in microseconds, when measuring
    // started (the correction applied to the start time), and its error bound (half
    // the round trip of its sample); 0 on the master's host.
    TIME mStartClockOffset = 0;
    TIME mStartClockBound = 0;
    // Stores what was measured when SIGTERM (pvm_kill) ends the process; none on an
    // inactive probe and after Stop.
    std::unique_ptr<TerminationGuard> mTermination;

    // The states of the probe's constructors of the same arguments.
    State(const std::string& application, const std::string& project, const std::string& appVersion,
          bool activateMeasurements, DO_WITH_SIMILAR_EXP doWithSimilarExp);
    State(const std::string& appName, int nbrMachines, DO_WITH_SIMILAR_EXP doWithSimilarExp, int W,
          const std::string& expComment, const KOVAProbeSettings& settings);
    State(bool activateMeasurements, const KOVAProbeSettings& settings);
    State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // The probe's public calls of the same names.
    void StartMeasuring();
    TIME EndOfPhase(int phaseType, int nbrQuantums, int nbrOperations, const std::string& comment);
    TIME EndOfCommPhase(int phaseType, int commPartnerTid, int nbrQuantums, const std::string& comment);
    void SlaveIsSpawned(int slaveTid);
    void Stop();
    void SetNbrOfMachines(int nbrMachines);
    void SetProblemSize(int problemSize);
    void SetApplicationParameter(const std::string& name, int value, const std::string& comment);
    void SetApplicationParameter(const std::string& name, double value, const std::string& comment);
    void SetApplicationParameter(const std::string& name, std::string value, const std::string& comment);
    TIME ViewExpChrono();
    TIME ViewPhaseChrono();

    void ConstructorForMaster();
    void OpenDatabase();
    int ReceiveExpID();
    // Measures a slave's clock offset to the master's host, then starts the clocks
    // and records the start time on the master's clock.
    void SynchroWithMaster();
    // This host's clock minus the master host's, as PVM's delta (microseconds
    // within 0 to 999999), from the sample with the shortest round trip; bound gets
    // half that round trip. 0 and bound 0 without a call on the master's host. A
    // failed measurement is reported and gives 0.
    timeval MeasureClockDelta(TIME& bound);
    // The slave's clock offsets with the one at its end; measured now when
    // measureEnd, otherwise the end is taken to be the start's.
    ClockOffset ClockOffsets(bool measureEnd);
    // Starts keeping the measurement on SIGTERM.
    void GuardTermination();
    // Stores what a SIGTERM left: the phases ended so far with their totals, the
    // process row and a slave's clock offsets; a master's experiment stays
    // unfinished. Releases nothing (the process is ending).
    void StoreOnTermination();
    // Gives up a connection that was idle so long that the server may have dropped
    // it, so that the final writes open a fresh one.
    void RenewIdleConnection();
    // Takes the database lock of the experiment's configuration, waiting at most
    // the settings' replacementLockWait seconds; false, after saying so, when it gave up.
    bool LockConfiguration();
    // Adds duration to the total of phaseType unless the type lies outside the table.
    void AccumulateDuration(int phaseType, TIME duration);
    // Appends a phase record built from args; writes the pending records once more
    // than WRITE_PHASES_PERIOD passed since the last batch.
    template <class... Args> void AddPhase(const timeval& now, Args&&... args);
    // Adds the pending phase records to the batch and empties the list.
    void AddPendingPhases();
    // Hands the pending phase records to the database as one batch, without waiting
    // for the server, and empties the list.
    void WritePendingPhases();
    void StopMaster();
    void StopSlave();
    // Adds to the batch what every probe stores when it ends: the remaining phase
    // records, the non-zero totals, the process row (again: the start time may have
    // moved) and, when given, a slave's clock offsets.
    void AddFinalRows(ClockOffset* offsets);
    // Decides the policy against the stored similar experiments; the deletions are
    // made with the final rows, in one transaction.
    Replacement ReplaceIfFaster(bool onlyIfFaster);
    DO_WITH_SIMILAR_EXP GetDoWithSimilarExpFromUser();
    int GetExperimentIDFromDB();
    // Declares an application parameter of the master's application, warning first
    // when this is not the master. Returns true when it is new; otherwise warns that
    // the call "... with value <value> is ignored" (repeatedCallText, then the value).
    template <class Value>
    bool DeclareParameter(const std::string& name, AppParameter::PARAMETER_TYPE_EN type, const std::string& comment,
                          const char* notMasterHeading, const char* notMasterText, const std::string& repeatedCallText,
                          const Value& value);
    // Runs a database write; a failed write ends the process with status 255.
    template <class Write> void Store(Write&& write);
    // Leaves PVM when a probe of this process has entered it.
    static void LeavePvm();
    // Prints the lines, leaves PVM and ends through error() with message.
    [[noreturn]] static void Fatal(std::initializer_list<const char*> lines, const std::string& message);
    // Reports a failed PVM call, leaves PVM and ends through error() with file and line.
    [[noreturn]] static void PvmFailure(const char* callText, const std::string& message, int line);
};

// Moves a start time (seconds, microseconds) from the local clock onto a remote
// host's clock, given PVM's delta of the local minus the remote clock (its
// microseconds within 0 to 999999); the microseconds end within 0 to 999999.
void SubtractClockDelta(int& sec, int& usec, const timeval& delta);

