// The measurement probe that every process of a measured master/slave program
// creates once: it times the program's phases, joins the slaves to the master's
// experiment over PVM and stores the experiment in the measurement database.
// Programs outside this project build against this header alone.
#pragma once

#include <sys/time.h>

#include <memory>
#include <string>

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
    long long clockGoodRoundTrip;
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
        PH_IDLE = 2,
        PH_WORK = 3,
        PH_COMM_SEND = 5,
        PH_COMM_RECV = 6,
        PH_SPAWN = 7,
        PH_PART = 8,
        PH_SYNC = 9
    };

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
    // (communication types are accepted with a warning); returns its duration in
    // microseconds.
    long long EndOfPhase(int phaseType, int nbrQuantums = 0, int nbrOperations = 0, const std::string& comment = "");
    // Ends the current phase as a communication with commPartnerTid; returns its
    // duration in microseconds. Non-communication types are recorded with a warning.
    long long EndOfCommPhase(int phaseType, int commPartnerTid, int nbrQuantums = 0, const std::string& comment = "");
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
    // The experiment and phase stopwatches, in microseconds; 0 when not measuring.
    long long ViewExpChrono();
    long long ViewPhaseChrono();

    // Placeholders of the interface: they do nothing.
    int AddPhaseType(const std::string& name, int ParentPhaseTypeID);
    void StartMeasurePhaseDetails();
    void StopMeasurePhaseDetails();

    // The probe's state and its inner steps (probe/probestate.h); for the project's
    // own tests and its C face, never for the measured programs.
    struct State;
    State& state();

private:
    std::unique_ptr<State> mState;
};

