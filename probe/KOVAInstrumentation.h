// The measurement probe that every process of a measured master/slave program
// creates once: it times the program's phases, joins the slaves to the master's
// experiment over PVM and stores the experiment in the measurement database.
#pragma once

#include "KOVAData.h"
#include "standardlib.h"
#include "termination.h"

#include <sys/time.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

class StandardDatabase;

// PVM message tag of the experiment number that a master sends each new slave.
constexpr int SLAVE_EXP_ID = 4596;

// What tells the released forms of the probe apart. Current() is the probe of the
// measured programs; FirstRelease() is the earlier form that annpipe links, which
// writes nothing before Stop and waits only briefly for its experiment number. A
// test may change single settings, such as a slave's waiting time.
struct KOVAProbeSettings {
    // Longest wait of a slave for its experiment number.
    timeval slaveWait;
    // Write the process row at construction and phase rows in batches while the
    // program runs (a slave then connects at construction); otherwise everything is
    // written by Stop.
    bool writeDuringRun;
    // The master's user name comes from the environment variable USER instead of the
    // login name.
    bool userFromEnvironment;
    // The master enrols in PVM whatever p, warns about being spawned whatever p and
    // records pvm_parent() as its parent; otherwise a master with p = 1 makes no PVM
    // call and records parent 0.
    bool masterAlwaysEnrols;
    // The master's experiment belongs to its application, which declares p and W as
    // parameters; otherwise the experiment is built from its texts alone.
    bool experimentOfApplication;
    // A slave synchronises its clock also when it runs on the master's host.
    bool syncOnMasterHost;
    // A failed clock synchronisation is reported.
    bool reportSyncFailure;
    // The report of an experiment not written names its application, p and W.
    bool notWrittenNamesConfiguration;
    // Phase durations are stored as int.
    bool intPhaseDurations;
    // A slave measures its clock offset to the master's host again in Stop and
    // stores both offsets in ClockOffsets.
    bool storeClockOffsets;
    // A clock offset is the sample with the shortest round trip of at least
    // clockSamples pvm_hostsync calls, more (up to clockSamplesMax) while no round
    // trip was as short as clockGoodRoundTrip microseconds.
    int clockSamples;
    int clockSamplesMax;
    TIME clockGoodRoundTrip;
    // Longest wait, in seconds, of the replacement step for the lock of its
    // configuration's experiments.
    int replacementLockWait;
    // Name of the console question's choice to keep all experiments.
    const char* keepAllChoiceName;
    // Last line of a slave's report when its experiment number did not come.
    const char* noExpIDLastLine;
    // Source lines that the fatal errors of the number exchange name.
    int initsendErrorLine;
    int sendErrorLine;
    int trecvErrorLine;
    int upkintErrorLine;

    static KOVAProbeSettings Current();
    static KOVAProbeSettings FirstRelease();
};

// What the replacement policy decides for an experiment: the stored experiments to
// delete, and whether the experiment itself stays.
struct Replacement {
    std::vector<int> deleted;
    bool stays = true;
};

// The per-process probe. A master's probe opens an experiment in the measurement
// database; a slave's probe joins it with the number its parent sends. The program
// marks the end of each phase; the phases tile the process's time line from the start
// of measuring. Stop (also run by the destructor) stores what is left and, on the
// master, settles the experiment by the replacement policy. At most one measuring
// probe exists per process at a time.
class KOVAProbe {
public:
    // What Stop does with stored experiments of the same configuration.
    enum DO_WITH_SIMILAR_EXP { REPLACE_IF_FASTER = 0, REPLACE_IF_SUCCESFULL = 1, ASK_USER = 2, DO_NOT_REPLACE = 3 };
    // The phase types a program passes; values index the basic phase-type table.
    enum BasicPhaseType {
        PH_IDLE = ::PH_IDLE,
        PH_WORK = ::PH_WORK,
        PH_COMM_SEND = ::PH_COMM_SEND,
        PH_COMM_RECV = ::PH_COMM_RECV,
        PH_SPAWN = ::PH_SPAWN,
        PH_PART = ::PH_PART,
        PH_SYNC = ::PH_SYNC
    };

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

    // A master's probe of a named application, project and version; p and W start
    // at 0. Measures only when activateMeasurements is true.
    KOVAProbe(const std::string& application, const std::string& project, const std::string& appVersion,
              bool activateMeasurements, DO_WITH_SIMILAR_EXP doWithSimilarExp);
    // A measuring master's probe of an experiment with p = nbrMachines and problem
    // size W.
    KOVAProbe(const std::string& appName, int nbrMachines, DO_WITH_SIMILAR_EXP doWithSimilarExp, int W,
              const std::string& expComment, const KOVAProbeSettings& settings = KOVAProbeSettings::Current());
    // A slave's probe: waits for the experiment number from the parent task.
    explicit KOVAProbe(bool activateMeasurements, const KOVAProbeSettings& settings = KOVAProbeSettings::Current());
    // An inactive probe; it never touches PVM or the database.
    KOVAProbe();
    ~KOVAProbe();
    KOVAProbe(const KOVAProbe&) = delete;
    KOVAProbe& operator=(const KOVAProbe&) = delete;

    // Starts the clocks again; only allowed before the first phase end (also after
    // Stop, when it does nothing else).
    void StartMeasuring();
    // Ends the current phase as one of PH_IDLE, PH_WORK, PH_SPAWN, PH_PART, PH_SYNC
    // (communication types are accepted with a warning); returns its duration.
    TIME EndOfPhase(int phaseType, int nbrQuantums = 0, int nbrOperations = 0, const std::string& comment = "");
    // Ends the current phase as a communication with commPartnerTid; returns its
    // duration. Non-communication types are recorded with a warning.
    TIME EndOfCommPhase(int phaseType, int commPartnerTid, int nbrQuantums = 0, const std::string& comment = "");
    // Announces a freshly spawned slave: ends a spawn phase and sends the slave the
    // experiment number.
    void SlaveIsSpawned(int slaveTid);
    // Ends the measurement and stores it; does nothing the second time.
    void Stop();

    // Declares the experiment's p, W or another parameter of the application; only
    // the first call per parameter counts. These fill the in-memory records only.
    void SetNbrOfMachines(int nbrMachines);
    void SetProblemSize(int problemSize);
    void SetApplicationParameter(const std::string& name, int value, const std::string& comment);
    void SetApplicationParameter(const std::string& name, double value, const std::string& comment);
    void SetApplicationParameter(const std::string& name, std::string value, const std::string& comment);
    void SetApplicationComment(const std::string& appComment);
    // The earlier form's parameter declarations: they do nothing.
    void SpecifyExtraExperimentParameter(const std::string& name, int value, const std::string& comment = "");
    void SpecifyExtraExperimentParameter(const std::string& name, double value, const std::string& comment = "");
    void SpecifyExtraExperimentParameter(const std::string& name, const std::string& value,
                                         const std::string& comment = "");
    void SetExperimentComment(const std::string& expComment);

    // The experiment number (on a slave the one received), -1 when not measuring.
    int GetExperimentID() const;
    // The experiment and phase stopwatches; 0 when not measuring.
    TIME ViewExpChrono();
    TIME ViewPhaseChrono();

    // Placeholders of the interface: they do nothing.
    int AddPhaseType(const std::string& name, int ParentPhaseTypeID);
    void StartMeasurePhaseDetails();
    void StopMeasurePhaseDetails();

private:
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

// The tables whose rows belong to one experiment by their column expID.
const std::vector<const char*>& ExperimentRowTables();
// The statements that remove an experiment row with the rows of every table of
// ExperimentRowTables stored for it.
std::vector<std::string> DeleteExperimentStatements(int expID);
// Removes an experiment with everything stored for it, in one transaction.
void DeleteExperiment(int expID, StandardDatabase& db);

// Name of the database lock that serialises the replacement step of the
// experiments of current's configuration (user, project, name, version, p, W):
// "KOVA replace " and a hash of the configuration, within the server's 64 characters.
std::string ReplacementLockName(const Experiment& current);

// Name of the database lock that the master's probe holds while experiment expID runs.
std::string RunningExperimentLockName(int expID);

// Decides the replacement policy for current against the stored experiments of the
// same configuration (user, project, name, version, p, W); reads only. Experiments
// that have not finished (status EXP_STARTED: still running, or crashed) are never
// deleted. With onlyIfFaster, finished ones that are slower (or have no positive
// Tp) are deleted, and current does not stay when a finished one at least as fast
// remains; without it, all other finished ones are deleted.
Replacement PlanReplacement(const Experiment& current, bool onlyIfFaster, StandardDatabase& db);

// Applies PlanReplacement in one transaction, current's own deletion included when
// it does not stay; returns whether current stays.
bool ReplaceSimilarExperiments(const Experiment& current, bool onlyIfFaster, StandardDatabase& db);
