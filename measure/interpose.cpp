// Measures an unmodified PVM program from inside its tasks: the PVM front end of
// the recording core. Preloaded into every task (LD_PRELOAD, which kova measure
// passes on to spawned tasks through PVM_EXPORT), this library takes the place
// of the communication calls of the shared PVM library: each call ends the work
// phase since the previous one, is passed on to the library's own function and is
// recorded. Sends are send phases to each addressee with the message tag as
// quantum count; a blocking receive is idle until the message is there, then a
// receive phase with the message's real source and tag and what it asked for;
// pvm_spawn is a spawn phase per new task.
//
// A task takes its experiment from the environment (KOVA_MEASURE_EXPERIMENT, set
// by kova measure and exported by PVM), so it receives nothing of its own:
// whoever spawned it, the program never sees a message of the measurement. Its
// clock offset to the master's host is measured at its end (pvm_hostsync), where
// it delays nothing of the program, and its last block goes to kova measure as
// a message to kova measure's own task, which the program never receives.
#include "measure/block.h"
#include "measure/groups.h"
#include "measure/hostclock.h"
#include "measure/pvmfunction.h"
#include "measure/recording.h"

#include <pvm3.h>

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <vector>

namespace {

int gMyTid = 0;

// The group server of PVM's group library is no task of the program.
bool IsGroupServer() { return std::strcmp(program_invocation_short_name, "pvmgs") == 0; }

void FinishTask();

// kova measure's task, which takes the tasks' last blocks; 0 none.
int gCollector = 0;
constexpr int kCourierFragmentBytes = 1 << 18;

// Sends the task's last block to kova measure through the PVM daemons (never a
// direct route, whose set-up would need kova measure's answer) and waits for its
// answer, leaving the program's active send and receive buffers as they were.
// Called at the task's end, inside a guarded call, so the PVM calls here pass
// straight through.
bool CarryToCollector(const char* block, std::size_t blockBytes, const char* spawned, std::size_t spawnedBytes) {
    if (pvm_pstat(gCollector) != PvmOk) return false;
    // Large fragments: the daemons pass a block of megabytes in a few steps.
    const int fragment = pvm_getopt(PvmFragSize);
    pvm_setopt(PvmFragSize, kCourierFragmentBytes);
    const int buffer = pvm_mkbuf(PvmDataDefault);
    if (buffer < 0) {
        pvm_setopt(PvmFragSize, fragment);
        return false;
    }
    const int previous = pvm_setsbuf(buffer);
    int lengths[2] = {static_cast<int>(blockBytes), static_cast<int>(spawnedBytes)};
    bool packed = pvm_pkint(lengths, 2, 1) >= 0 &&
                  pvm_pkbyte(const_cast<char*>(block), lengths[0], 1) >= 0 &&
                  (lengths[1] == 0 || pvm_pkbyte(const_cast<char*>(spawned), lengths[1], 1) >= 0);
    pvm_setopt(PvmFragSize, fragment);
    const int route = pvm_getopt(PvmRoute);
    pvm_setopt(PvmRoute, PvmDontRoute);
    const bool sent = packed && pvm_send(gCollector, recording::kBlockMessageTag) >= 0;
    pvm_setopt(PvmRoute, route);
    pvm_setsbuf(previous);
    pvm_freebuf(buffer);
    if (sent) {
        const int received = pvm_setrbuf(0);
        timeval wait = {recording::kBlockAnswerSeconds, 0};
        const int answer = pvm_trecv(gCollector, recording::kBlockAnswerTag, &wait);
        if (answer > 0) pvm_freebuf(answer);
        pvm_setrbuf(received);
    }
    return sent;
}

// Begins measuring when kova measure runs the program and PVM runs. A task
// without a parent is the master when kova measure started it itself.
void StartTask() {
    if (std::getenv("KOVA_MEASURE_EXPERIMENT") == nullptr || IsGroupServer()) return;
    const int me = pvm_mytid();
    if (me < 0) return;
    const int parent = pvm_parent();
    recording::TaskIdentity task;
    task.id = me;
    task.parent = parent > 0 ? parent : 0;
    const char* kova = std::getenv("KOVA_MEASURE_KOVA_PID");
    task.master = parent == PvmNoParent && kova != nullptr && std::atoi(kova) == static_cast<int>(getppid());
    const char* collector = std::getenv(recording::kCollectorVariable);
    gCollector = collector != nullptr ? static_cast<int>(std::strtol(collector, nullptr, 16)) : 0;
    if (!recording::BeginTask(task, 0, nullptr, gCollector > 0 ? CarryToCollector : nullptr)) return;
    gMyTid = me;
    std::atexit([] {
        recording::Call call(recording::Call::Passive);
        FinishTask();
    });
}

const bool gStarterSet = recording::SetTaskStarter(StartTask);

// This host's clock minus the master's host's; 0 on the master's host.
recording::ClockOffset MeasureClockOffset() {
    const char* master = std::getenv("KOVA_MEASURE_MASTER_HOST");
    const int masterHost = master != nullptr ? static_cast<int>(std::strtol(master, nullptr, 16)) : 0;
    if (masterHost <= 0 || masterHost == pvm_tidtohost(gMyTid)) return {};
    return recording::OffsetToHost(masterHost);
}

// Stores the task's measurement; called inside a PVM call (or a passive guard),
// so that the clock measurement passes through.
void FinishTask() {
    if (!recording::Measuring()) return;
    recording::RecordWork();
    const recording::ClockOffset offset = MeasureClockOffset();
    recording::EndTask(offset, offset);
}

// Bytes of the active send buffer.
long long SendBytes() {
    int bytes = 0, tag = 0, tid = 0;
    const int buffer = pvm_getsbuf();
    if (buffer <= 0 || pvm_bufinfo(buffer, &bytes, &tag, &tid) < 0) return 0;
    return bytes;
}

long long PackedBytes(int length, int type) {
    switch (type) {
        case PVM_BYTE: case PVM_STR: return length;
        case PVM_SHORT: case PVM_USHORT: return 2LL * length;
        case PVM_INT: case PVM_UINT: case PVM_FLOAT: return 4LL * length;
        case PVM_LONG: case PVM_ULONG: return static_cast<long long>(sizeof(long)) * length;
        case PVM_DOUBLE: case PVM_CPLX: return 8LL * length;
        case PVM_DCPLX: return 16LL * length;
        default: return 0;
    }
}

// The wait of a receive that asked for (tid, tag) and gave bufid is over; a
// message taken (bufid > 0) is recorded with its real source and tag.
// A message from a PVM daemon (the output of tasks that a console collects, a
// notification) comes from no task of the program: it ends the wait and is no
// receive phase.
bool FromDaemon(int source) { return (static_cast<unsigned>(source) & 0x80000000u) != 0; }

void Received(int bufid, int tid, int tag) {
    recording::RecordWait();
    if (bufid <= 0) return;
    int bytes = 0, taken = 0, source = 0;
    pvm_bufinfo(bufid, &bytes, &taken, &source);
    if (!FromDaemon(source)) recording::RecordReceive(source, taken, bytes, tid, tag);
}

}  // namespace

// The wrappers are the library's only exported symbols.
#pragma GCC visibility push(default)
extern "C" {

int pvm_mytid() {
    PVM_FUNCTION(pvm_mytid);
    recording::Call call(recording::Call::Passive);
    return real();
}

int pvm_parent() {
    PVM_FUNCTION(pvm_parent);
    recording::Call call(recording::Call::Passive);
    return real();
}

int pvm_send(int tid, int tag) {
    PVM_FUNCTION(pvm_send);
    recording::Call call;
    const bool recorded = call.recording() && !groups::GroupTraffic();
    const long long bytes = recorded ? SendBytes() : 0;
    const int info = real(tid, tag);
    if (recorded && info >= 0) recording::RecordSend(tid, tag, bytes);
    return info;
}

int pvm_psend(int tid, int tag, void* buffer, int length, int type) {
    PVM_FUNCTION(pvm_psend);
    recording::Call call;
    const int info = real(tid, tag, buffer, length, type);
    if (call.recording() && info >= 0) recording::RecordSend(tid, tag, PackedBytes(length, type));
    return info;
}

int pvm_mcast(int* tids, int count, int tag) {
    PVM_FUNCTION(pvm_mcast);
    recording::Call call;
    const bool recorded = call.recording() ? !groups::GroupTraffic() : groups::MulticastOfBroadcast();
    if (!recorded) return real(tids, count, tag);
    // One send phase per addressee (PVM sends nothing to the caller). They all
    // begin when the multicast begins: every one but the last is closed at once
    // and the last one takes the multicast's time, so that no addressee's receive
    // can begin before its send did.
    const long long bytes = SendBytes();
    std::vector<int> addressees;
    for (int i = 0; i < count; ++i)
        if (tids[i] != gMyTid) addressees.push_back(tids[i]);
    for (std::size_t i = 0; i + 1 < addressees.size(); ++i) recording::RecordSend(addressees[i], tag, bytes);
    const int info = real(tids, count, tag);
    if (!addressees.empty()) recording::RecordSend(addressees.back(), tag, bytes);
    return info;
}

int pvm_recv(int tid, int tag) {
    PVM_FUNCTION(pvm_recv);
    recording::Call call;
    const bool recorded = call.recording() && !groups::GroupTraffic();
    const int bufid = real(tid, tag);
    if (recorded) Received(bufid, tid, tag);
    return bufid;
}

int pvm_trecv(int tid, int tag, timeval* timeout) {
    PVM_FUNCTION(pvm_trecv);
    recording::Call call;
    const bool recorded = call.recording() && !groups::GroupTraffic();
    const int bufid = real(tid, tag, timeout);
    if (recorded) Received(bufid, tid, tag);
    return bufid;
}

int pvm_nrecv(int tid, int tag) {
    PVM_FUNCTION(pvm_nrecv);
    recording::Call call(recording::Call::Passive);
    const int bufid = real(tid, tag);
    // An empty poll stays work; a message taken is a receive that did not wait.
    if (call.recording() && bufid > 0) {
        recording::RecordWork();
        Received(bufid, tid, tag);
    }
    return bufid;
}

int pvm_precv(int tid, int tag, void* buffer, int length, int type, int* source, int* sourceTag, int* count) {
    PVM_FUNCTION(pvm_precv);
    recording::Call call;
    int from = 0, taken = 0, received = 0;
    const int info = real(tid, tag, buffer, length, type, &from, &taken, &received);
    if (source != nullptr) *source = from;
    if (sourceTag != nullptr) *sourceTag = taken;
    if (count != nullptr) *count = received;
    if (call.recording()) {
        recording::RecordWait();
        if (info >= 0 && !FromDaemon(from))
            recording::RecordReceive(from, taken, PackedBytes(received, type), tid, tag);
    }
    return info;
}

int pvm_probe(int tid, int tag) {
    PVM_FUNCTION(pvm_probe);
    recording::Call call(recording::Call::Passive);
    return real(tid, tag);
}

int pvm_spawn(char* file, char** argv, int flags, char* where, int count, int* tids) {
    PVM_FUNCTION(pvm_spawn);
    recording::Call call;
    const int started = real(file, argv, flags, where, count, tids);
    if (call.recording() && !groups::StartsGroupServer(file)) recording::RecordSpawn(tids, started > 0 ? count : 0);
    return started;
}

int pvm_exit() {
    PVM_FUNCTION(pvm_exit);
    recording::Call call(recording::Call::Passive);
    if (call.recording()) FinishTask();
    return real();
}

}  // extern "C"
#pragma GCC visibility pop
