// The legacy phase recorder of the genetic algorithm, storing into the mSQL database
// "parallel_performance".
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <string>

// A point in time as gettimeofday gives it.
typedef struct timeval CHRONO;
// A duration in microseconds.
typedef std::uint64_t TIME;

// Extra console lines of the recorder; off unless a program switches it on.
extern bool debug;

// Times the phases of one process of a parallel run and stores every phase, the
// process's per-kind totals and, for the last process to finish, the run's totals and
// an approximate speedup. A second use times a sequential run and stores it, with the
// true speedup, against the parallel experiment it is compared with. Master and slaves
// meet only through the database: the master creates the experiment, slaves take the
// newest experiment of their user and find distinct CPU numbers by insert collisions.
// Any failure but a phase insert prints what failed and ends the process with status
// -1 (255).
class measure
{
public:
    // Phase kinds, each with its own total.
    enum FASE { part, comm, comp, sync, blok };

    // A recorder for a parallel run; start must follow.
    measure();
    // A recorder of a sequential run, compared with experiment experimentID when it is
    // destroyed.
    explicit measure(int experimentID);
    // Finishes the recorder: stores the process's summary (parallel) or the sequential
    // time and speedup (sequential), and closes the connection.
    ~measure();

    // Begins timing a parallel run of `machines` slaves. The master creates the
    // experiment; a slave finds its master's experiment and machine count.
    void start(const std::string& exp_name, int machines, int W, const std::string& comment_str);
    // Microseconds since the current phase began.
    TIME view_chrono();
    // Ends the current phase as one of kind fase, stores it with the application's
    // value Waarde, the partner task mTid and whether it sent (mSend), and starts the
    // next phase. Returns the phase's length in microseconds.
    TIME split_chrono(FASE fase, int Waarde, int mTid, bool mSend);

    int mFaseCnt = 0;          // phases ended so far
    int mMyTid = 0;            // this process's PVM task id
    bool mIsMaster = false;    // true when the process has no PVM parent
    int mParentTid = 0;        // task id of the master
    bool mIsSeqAlg = false;    // true for a recorder of a sequential run
    int mCPUnbr = 0;           // 0 for the master, from 1 for slaves
    int mP = 0;                // number of machines of the experiment
    int mW = 0;                // the application's W, stored with the experiment
    int mNbrProcesses = 0;     // summary rows found at the end
    int mExperimentID = 0;     // experiment number
    CHRONO mTimeStart = {};    // start of the current phase (of the run, sequentially)
    CHRONO mFirstTimeStart = {}; // start of the run, local clock
    CHRONO mDelta = {};        // clock difference to the master (local minus master)
    TIME mPartDiff = 0, mCommDiff = 0, mCompDiff = 0, mSynchDiff = 0, mBlockDiff = 0;
    float mTs = 0, mTp = 0;    // speedup approximation: sequential and parallel time, us
    int mSock = -1;            // the mSQL connection; -1 when not connected or finished

private:
    int LastExperimentID();
    void WriteExperiment(const std::string& ex_name, const std::string& comment_str);
    int GetNbrOfMachinesFromMaster();
    void SynchroWithMaster();
    void WriteAnalysisToDatabase();
    void CalculateAndWriteTotals();
    // Compares the measured sequential time with the stored parallel experiment.
    void StoreSequentialTime();
    // Adds a phase of kind fase to its total and returns the stored name of the kind.
    const char* AddToTotal(FASE fase, TIME diff);
};

// The host name this process reports: the environment variable HOST.
const char* thisMachineName();
// Connects to the legacy database server and selects "parallel_performance"; ends the
// process when either fails.
int connectToDatabase();
