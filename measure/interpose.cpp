// Measures an unmodified PVM program from inside its tasks. Preloaded into every
// task (LD_PRELOAD, which kova measure passes on to spawned tasks through
// PVM_EXPORT), this library takes the place of the communication calls of the
// shared PVM library: each call ends the work phase since the previous one, is
// passed on to the library's own function and is recorded by the task's probe.
// Sends are send phases to each addressee with the message tag as quantum count;
// a blocking receive is idle until the message is there, then a receive phase
// with the message's real source and tag; pvm_spawn is a spawn phase that hands
// each new task its experiment number.
//
// The probe's own PVM calls, and the calls PVM makes inside its own functions,
// pass straight through. The probe keeps the program's active send and receive
// buffers, and a slave takes its experiment number before the first receive of
// the program can, so that the program never sees the probe's messages.
#include <KOVAInstrumentation.h>
#include <pvm3.h>

#include <dlfcn.h>
#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

// The shared PVM library's own function of that name.
template <class Function> Function* Library(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) {
        std::fprintf(stderr, "kova measure: the PVM library has no function %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Function*>(found);
}

#define PVM_FUNCTION(name) static auto* const real = Library<decltype(::name)>(#name)

// The measurement of this task.
struct TaskMeasurement {
    std::unique_ptr<KOVAProbe> probe;
    // Whether the probe was set up (or found impossible), and whether it stopped;
    // a stopped task is not measured again.
    bool begun = false;
    bool stopped = false;
    int myTid = 0;
    // PVM calls under way: the program's own one, and those made inside it.
    int depth = 0;
};

TaskMeasurement& Task() {
    static auto* task = new TaskMeasurement();
    return *task;
}

// The program's active send and receive buffers, kept while the probe sends or
// receives its own messages.
class KeptBuffers {
public:
    KeptBuffers() : mSend(pvm_setsbuf(0)), mReceive(pvm_setrbuf(0)) {}
    ~KeptBuffers() {
        Restore(pvm_setsbuf(mSend), mSend);
        Restore(pvm_setrbuf(mReceive), mReceive);
    }
    KeptBuffers(const KeptBuffers&) = delete;
    KeptBuffers& operator=(const KeptBuffers&) = delete;

private:
    static void Restore(int probeBuffer, int programBuffer) {
        if (probeBuffer > 0 && probeBuffer != programBuffer) pvm_freebuf(probeBuffer);
    }
    int mSend;
    int mReceive;
};

// The probe's reports go to standard error, so that standard output is the
// program's alone.
class ReportsToStandardError {
public:
    ReportsToStandardError() : mOutput(std::cout.rdbuf(std::cerr.rdbuf())) {}
    ~ReportsToStandardError() { std::cout.rdbuf(mOutput); }
    ReportsToStandardError(const ReportsToStandardError&) = delete;
    ReportsToStandardError& operator=(const ReportsToStandardError&) = delete;

private:
    std::streambuf* mOutput;
};

int Setting(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

// Tells kova measure about the experiment and the tasks it waits for.
void Announce(const char* what, int number) {
    const char* file = std::getenv("KOVA_MEASURE_ID_FILE");
    if (file == nullptr) return;
    if (std::FILE* out = std::fopen(file, "a")) {
        std::fprintf(out, "%s %d\n", what, number);
        std::fclose(out);
    }
}

void StopAtExit();

void BeginMeasuring(TaskMeasurement& task) {
    task.begun = true;
    const int parent = pvm_parent();
    if (parent < 0 && parent != PvmNoParent) return;  // PVM does not run: nothing to measure
    ReportsToStandardError reports;
    KeptBuffers buffers;
    if (parent == PvmNoParent) {
        const char* name = std::getenv("KOVA_MEASURE_APPLICATION");
        int hosts = 1, architectures = 0;
        pvmhostinfo* info = nullptr;
        if (pvm_config(&hosts, &architectures, &info) < 0) hosts = 1;
        const auto policy = static_cast<KOVAProbe::DO_WITH_SIMILAR_EXP>(
            Setting("KOVA_MEASURE_POLICY", KOVAProbe::DO_NOT_REPLACE));
        // Every task of a PVM program has a tid, also when it runs on one machine.
        KOVAProbeSettings settings = KOVAProbeSettings::Current();
        settings.masterAlwaysEnrols = true;
        task.probe = std::make_unique<KOVAProbe>(name != nullptr ? name : program_invocation_short_name,
                                                 Setting("KOVA_MEASURE_P", hosts), policy,
                                                 Setting("KOVA_MEASURE_W", 0), "", settings);
        Announce("experiment", task.probe->GetExperimentID());
    } else {
        task.probe = std::make_unique<KOVAProbe>(true);
    }
    task.myTid = task.probe->mProcess->mMyTid;
    std::atexit(StopAtExit);
}

// Ends the task's last work phase and stores its measurement; called inside a
// PVM call (depth > 0), so that the probe's own calls pass through.
void FinishMeasuring(TaskMeasurement& task) {
    task.stopped = true;
    if (!task.probe) return;
    task.probe->EndOfPhase(PH_WORK);
    ReportsToStandardError reports;
    KeptBuffers buffers;
    task.probe->Stop();
    task.probe.reset();
}

// A task that ends without pvm_exit, also from inside a PVM call, still stores
// what it measured.
void StopAtExit() {
    TaskMeasurement& task = Task();
    if (task.stopped) return;
    ++task.depth;
    FinishMeasuring(task);
    --task.depth;
}

// One PVM call of the program. The probe is set up by the first call; calls made
// while one is under way pass straight through (probe() is null then). A call
// that communicates ends the work phase since the previous one.
class Call {
public:
    enum Kind { SetUp, Communication };

    explicit Call(Kind kind = Communication) : mTask(Task()) {
        if (++mTask.depth > 1 || mTask.stopped) return;
        if (!mTask.begun) BeginMeasuring(mTask);
        mProbe = mTask.probe.get();
        if (mProbe != nullptr && kind == Communication) mProbe->EndOfPhase(PH_WORK);
    }
    ~Call() { --mTask.depth; }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    KOVAProbe* probe() const { return mProbe; }

    void Sent(int tid, int tag) const { mProbe->EndOfCommPhase(PH_COMM_SEND, tid, tag); }
    // The wait is over: the message from source with tag is here.
    void Took(int source, int tag) const {
        mProbe->EndOfPhase(PH_IDLE);
        mProbe->EndOfCommPhase(PH_COMM_RECV, source, tag);
    }
    // The wait of a receive that gave bufid is over; a message taken (bufid > 0)
    // is recorded with its real source and tag.
    void Received(int bufid) const {
        if (bufid <= 0) {
            mProbe->EndOfPhase(PH_IDLE);
            return;
        }
        int bytes = 0, tag = 0, source = 0;
        pvm_bufinfo(bufid, &bytes, &tag, &source);
        Took(source, tag);
    }
    void Finish() {
        FinishMeasuring(mTask);
        mProbe = nullptr;
    }

private:
    TaskMeasurement& mTask;
    KOVAProbe* mProbe = nullptr;
};

}  // namespace

extern "C" {

int pvm_mytid() {
    PVM_FUNCTION(pvm_mytid);
    Call call(Call::SetUp);
    return real();
}

int pvm_parent() {
    PVM_FUNCTION(pvm_parent);
    Call call(Call::SetUp);
    return real();
}

int pvm_send(int tid, int tag) {
    PVM_FUNCTION(pvm_send);
    Call call;
    const int info = real(tid, tag);
    if (call.probe() != nullptr && info >= 0) call.Sent(tid, tag);
    return info;
}

int pvm_psend(int tid, int tag, void* buffer, int length, int type) {
    PVM_FUNCTION(pvm_psend);
    Call call;
    const int info = real(tid, tag, buffer, length, type);
    if (call.probe() != nullptr && info >= 0) call.Sent(tid, tag);
    return info;
}

int pvm_mcast(int* tids, int count, int tag) {
    PVM_FUNCTION(pvm_mcast);
    Call call;
    if (call.probe() == nullptr) return real(tids, count, tag);
    // One send phase per addressee (PVM sends nothing to the caller). They all
    // begin when the multicast begins: every one but the last is closed at once
    // and the last one takes the multicast's time, so that no addressee's receive
    // can begin before its send did.
    std::vector<int> addressees;
    for (int i = 0; i < count; ++i)
        if (tids[i] != Task().myTid) addressees.push_back(tids[i]);
    for (std::size_t i = 0; i + 1 < addressees.size(); ++i) call.Sent(addressees[i], tag);
    const int info = real(tids, count, tag);
    if (!addressees.empty()) call.Sent(addressees.back(), tag);
    return info;
}

int pvm_recv(int tid, int tag) {
    PVM_FUNCTION(pvm_recv);
    Call call;
    const int bufid = real(tid, tag);
    if (call.probe() != nullptr) call.Received(bufid);
    return bufid;
}

int pvm_trecv(int tid, int tag, timeval* timeout) {
    PVM_FUNCTION(pvm_trecv);
    Call call;
    const int bufid = real(tid, tag, timeout);
    if (call.probe() != nullptr) call.Received(bufid);
    return bufid;
}

int pvm_nrecv(int tid, int tag) {
    PVM_FUNCTION(pvm_nrecv);
    Call call(Call::SetUp);
    const int bufid = real(tid, tag);
    // An empty poll stays work; a message taken is a receive that did not wait.
    if (call.probe() != nullptr && bufid > 0) {
        call.probe()->EndOfPhase(PH_WORK);
        call.Received(bufid);
    }
    return bufid;
}

int pvm_precv(int tid, int tag, void* buffer, int length, int type, int* source, int* sourceTag, int* count) {
    PVM_FUNCTION(pvm_precv);
    Call call;
    int from = 0, taken = 0, received = 0;
    const int info = real(tid, tag, buffer, length, type, &from, &taken, &received);
    if (source != nullptr) *source = from;
    if (sourceTag != nullptr) *sourceTag = taken;
    if (count != nullptr) *count = received;
    if (call.probe() != nullptr) {
        if (info >= 0)
            call.Took(from, taken);
        else
            call.probe()->EndOfPhase(PH_IDLE);
    }
    return info;
}

int pvm_probe(int tid, int tag) {
    PVM_FUNCTION(pvm_probe);
    Call call(Call::SetUp);
    return real(tid, tag);
}

int pvm_spawn(char* file, char** argv, int flags, char* where, int count, int* tids) {
    PVM_FUNCTION(pvm_spawn);
    Call call;
    const int started = real(file, argv, flags, where, count, tids);
    KOVAProbe* probe = call.probe();
    if (probe == nullptr) return started;
    bool announced = false;
    if (started > 0) {
        ReportsToStandardError reports;
        KeptBuffers buffers;
        for (int i = 0; i < count; ++i) {
            if (tids[i] <= 0) continue;
            probe->SlaveIsSpawned(tids[i]);
            Announce("task", tids[i]);
            announced = true;
        }
    }
    if (!announced) probe->EndOfPhase(PH_SPAWN);
    return started;
}

int pvm_exit() {
    PVM_FUNCTION(pvm_exit);
    Call call;
    if (call.probe() != nullptr) call.Finish();
    return real();
}

}  // extern "C"
