// The recording core of the measuring libraries: what a wrapper of a
// communication library (PVM's, its group library, MPI's profiling interface)
// calls to record a task's phases. It knows a task by an integer id (a PVM tid,
// an MPI rank) and a host; everything specific to a library stays in its front
// end.
//
// Each task records its phases into a compact binary buffer of its own (fixed-size
// records; no SQL and no database connection on the program's path). A
// background thread stores full buffers, and the rest at the task's end, as
// binary blocks (table PhaseBlocks) that kova expands into the phase rows after
// the program has ended. Every call here is cheap (a clock reading and a record)
// and never fails or waits on the database: a fault of the measurement only
// stops the measurement.
//
// Phases tile a task's time from BeginTask to EndTask: each Record* call ends the
// phase that ran since the previous one. A wrapper of one library call:
//
//     int pvm_send(int tid, int tag) {
//         recording::Call call;                 // ends the work since the last call
//         const int info = real(tid, tag);
//         if (call.recording() && info >= 0) recording::RecordSend(tid, tag, bytes);
//         return info;
//     }
#pragma once

#include <cstddef>
#include <cstdint>

namespace recording {

// Who the task is, as its front end knows it.
struct TaskIdentity {
    // The task's number in the experiment (PVM tid, MPI rank); stored as the
    // process's ID and as the partner of the messages of the other tasks.
    int id = 0;
    // The id of the task that started this one; 0 for a task that nobody of the
    // experiment started.
    int parent = 0;
    // The program's own first task, whose measured time is the experiment's Tp.
    bool master = false;
    // Who speaks when the measurement is lost: "VOICE: task ID: the measurement
    // is lost: REASON" on standard error.
    const char* voice = "kova measure";
};

// This host's clock minus the master's host's clock, in microseconds, with the
// error bound of the value (half the round trip of the sample it came from).
struct ClockOffset {
    long long offset = 0;
    long long bound = 0;
};

// A sync phase that is a collective operation. The texts are copied.
struct Collective {
    // The PVM group or MPI communicator, "" for none.
    const char* group = "";
    // Which collective of that group this is for the calling member, counting from
    // 0 in call order (the same on every member for the same collective); -1 none.
    int instance = -1;
    // "barrier", "bcast", "reduce", "gather", "scatter", "allreduce", "allgather",
    // "alltoall", "reduce_scatter", "scan"; "" for none.
    const char* kind = "";
    // The id of the root of a rooted collective, -1 for none.
    int root = -1;
};

// Ids of receives and sends that are not known, and of a wildcard receive.
constexpr int kNotKnown = -2;
constexpr int kAny = -1;

// The front end's start of a task: called by the first guarded call of a task
// that has not begun (from inside that call, so the front end's own library calls
// pass straight through). It calls BeginTask, or nothing when the task is not to
// be measured. A front end that begins its tasks itself (MPI_Init) sets none.
using TaskStarter = void (*)();
// Sets the starter; returns true, so that a front end can set it in a static
// initialiser.
bool SetTaskStarter(TaskStarter starter);

// The guard of one wrapped library call. Calls made while one is under way (the
// library calling its own wrapped functions, the front end's own calls inside
// BeginTask or EndTask) and every call of a task that is not measured, has ended
// or is a forked child of a measured one pass straight through: recording() is
// false. A Communication call ends the work phase since the previous call; a
// Passive one (a poll, a query of the task's id) leaves it running.
class Call {
public:
    enum Kind { Communication, Passive };
    explicit Call(Kind kind = Communication);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Whether this call is recorded: the Record* functions may be called.
    bool recording() const { return mRecording; }

private:
    bool mRecording = false;
};

// Starts measuring this task: its first phase begins now. experiment is the
// experiment's ID (kova measure creates the experiment row and passes its ID in
// the environment; BeginTask reads KOVA_MEASURE_EXPERIMENT itself when 0 is
// given). Calibrates the cost of one recorded call, prepares the buffers and
// starts the background thread that stores them in the database. Returns false
// (and measures nothing) when there is no experiment or the task measures
// already. synchronise, when given, is called once, also when BeginTask fails:
// after the preparations and right before the first phase begins (MPI ranks
// wait there for each other, so that nobody's set-up lies in another's phases).
//
// courier, when given, carries the task's last block to the run's collector (kova
// measure) over the task's own message library: a task whose phases fit one
// chunk then never connects to the database. It gets the block's bytes and the
// ids of the tasks its spawn phases started, as text separated by spaces, and
// returns false when it cannot carry them (the block then goes to the database).
using BlockCourier = bool (*)(const char* block, std::size_t blockBytes, const char* spawned,
                              std::size_t spawnedBytes);
bool BeginTask(const TaskIdentity& task, int experiment = 0, void (*synchronise)() = nullptr,
               BlockCourier courier = nullptr);
// Stores the task's measurement, waiting a bounded time for the server (see the
// README). The front end ends the task's last phase first (a guarded call, or
// RecordWork), so that its own work at the end (measuring the clock offsets) lies
// outside the phases; start and end are those offsets (the start's is applied to
// the start time). Nothing is recorded afterwards. Does nothing when the task
// does not measure.
void EndTask(const ClockOffset& start, const ClockOffset& end);
// Whether this task measures (BeginTask succeeded, EndTask not yet called).
bool Measuring();

// Ends the task's measured time now, after its last phase, for a front end whose
// program ends its own phases: that time up to here still counts in the task's
// time (a master's is the experiment's Tp), though it is no phase.
void EndMeasuredTime();

// Ends the current phase as work (a poll that took a message, before its receive).
void RecordWork();
// Ends a send phase: a message of bytes bytes to partner with tag (the tag is the
// phase's quantum count).
void RecordSend(int partner, int tag, long long bytes);
// Ends the wait of a receive (an idle phase), up to the moment the message is
// there or the receive gave up.
void RecordWait();
// Ends a receive phase: the message's real source and tag and its length, and the
// source and tag the receive asked for (kAny for a wildcard, kNotKnown).
void RecordReceive(int source, int tag, long long bytes, int askedSource, int askedTag);
// Ends a sync phase; collective gives its details (none for a plain sync).
void RecordSync(const Collective& collective = Collective());
// Ends a phase of a program that ends its phases itself: type is one of the phase
// types (KOVAData's BasicPhaseType), partner the other task of a send, receive or
// spawn (-1 none) and tag the message tag (the phase's quantum count). Returns
// the phase's duration in microseconds, as it is stored; 0 when not recording.
long long RecordPhase(int type, int partner = -1, int tag = 0);
// Ends a spawn phase that started the tasks ids[0..count-1] (ids <= 0 are failed
// starts and skipped): one spawn phase per new task, the first taking the
// spawn's time. kova measure waits for every task spawned.
void RecordSpawn(const int* ids, int count);

}  // namespace recording
