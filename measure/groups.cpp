// PVM's group library (libgpvm3) under measurement, and the functions of the
// PVM library that call other PVM entry points. Each entry point is guarded as
// one call, so that what the library does inside it (pvm_send and pvm_trecv to
// the group server, pvm_spawn of the server, pvm_mytid ...) passes straight
// through: the group server is never a message partner, a spawned task or a
// process of the experiment.
//
// A barrier is a sync phase of its group with its instance (which barrier of
// that group this member is at, counting from 0 per member); pvm_reduce,
// pvm_gather and pvm_scatter are sync phases of the same kind with their root's
// tid. pvm_bcast is a sync phase (the look-up of the members) with its details,
// then one send phase per addressee as a multicast. pvm_freezegroup, which waits
// for the group to be complete, is a sync phase of its group without a
// collective. Joining, leaving and the queries of the group server stay in the
// work phase under way.
#include "measure/groups.h"

#include "measure/pvmfunction.h"
#include "measure/recording.h"

#include <pvm3.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

// Which collective of each kind and group this member is at.
int NextInstance(const char* kind, const char* group) {
    static auto* counts = new std::map<std::string, int>();
    return (*counts)[std::string(kind) + '\0' + (group != nullptr ? group : "")]++;
}

// The collective under way in this task: a broadcast waiting for the multicast
// it makes, or a rooted collective waiting to learn its root's tid.
struct UnderWay {
    int rootInstance = -1;
    int rootTid = -1;
    bool broadcasting = false;
    recording::Collective details;
};

UnderWay* gUnderWay = nullptr;

// Marks a collective as under way for the lifetime of the object.
class CollectiveScope {
public:
    explicit CollectiveScope(UnderWay& collective) { gUnderWay = &collective; }
    ~CollectiveScope() { gUnderWay = nullptr; }
    CollectiveScope(const CollectiveScope&) = delete;
    CollectiveScope& operator=(const CollectiveScope&) = delete;
};

// The sync phase of a rooted collective of group whose root is the member with
// instance rootInstance, around the group library's own call (run), which looks
// the root's tid up.
template <class Run> int Rooted(const char* kind, char* group, int rootInstance, Run run) {
    recording::Call call;
    if (!call.recording()) return run();
    UnderWay collective;
    collective.rootInstance = rootInstance;
    int info = 0;
    {
        CollectiveScope scope(collective);
        info = run();
    }
    // The group library looks the root up itself (a failed call may not have):
    // asking the group server again could add an error report of PVM's to the
    // program's output.
    recording::RecordSync({group, NextInstance(kind, group), kind, collective.rootTid});
    return info;
}

}  // namespace

namespace groups {

// The message context of the group library's own messages.
constexpr int kGroupContext = 0x7fffc;

bool GroupTraffic() { return pvm_getcontext() == kGroupContext; }

bool StartsGroupServer(const char* file) {
    if (file == nullptr) return false;
    const char* name = std::strrchr(file, '/');
    return std::strcmp(name != nullptr ? name + 1 : file, "pvmgs") == 0;
}

bool MulticastOfBroadcast() {
    if (gUnderWay == nullptr || !gUnderWay->broadcasting) return false;
    gUnderWay->broadcasting = false;
    recording::RecordSync(gUnderWay->details);
    return true;
}

}  // namespace groups

#pragma GCC visibility push(default)
extern "C" {

int pvm_joingroup(char* group) {
    PVM_FUNCTION(pvm_joingroup);
    recording::Call call(recording::Call::Passive);
    return real(group);
}

int pvm_lvgroup(char* group) {
    PVM_FUNCTION(pvm_lvgroup);
    recording::Call call(recording::Call::Passive);
    return real(group);
}

int pvm_gsize(char* group) {
    PVM_FUNCTION(pvm_gsize);
    recording::Call call(recording::Call::Passive);
    return real(group);
}

int pvm_getinst(char* group, int tid) {
    PVM_FUNCTION(pvm_getinst);
    recording::Call call(recording::Call::Passive);
    return real(group, tid);
}

// Also called by the group library inside a rooted collective, which learns its
// root's tid from it.
int pvm_gettid(char* group, int instance) {
    PVM_FUNCTION(pvm_gettid);
    recording::Call call(recording::Call::Passive);
    const int tid = real(group, instance);
    if (gUnderWay != nullptr && instance == gUnderWay->rootInstance && tid > 0) gUnderWay->rootTid = tid;
    return tid;
}

int pvm_freezegroup(char* group, int size) {
    PVM_FUNCTION(pvm_freezegroup);
    recording::Call call;
    const int info = real(group, size);
    if (call.recording()) recording::RecordSync({group, -1, "", -1});
    return info;
}

int pvm_barrier(char* group, int count) {
    PVM_FUNCTION(pvm_barrier);
    recording::Call call;
    const int info = real(group, count);
    if (call.recording()) recording::RecordSync({group, NextInstance("barrier", group), "barrier", -1});
    return info;
}

int pvm_bcast(char* group, int tag) {
    PVM_FUNCTION(pvm_bcast);
    recording::Call call;
    if (!call.recording()) return real(group, tag);
    UnderWay collective;
    collective.broadcasting = true;
    collective.details = {group, NextInstance("bcast", group), "bcast", pvm_mytid()};
    CollectiveScope scope(collective);
    const int info = real(group, tag);
    // A broadcast that multicast nothing (no other member, or an error) is its
    // sync phase alone.
    groups::MulticastOfBroadcast();
    return info;
}

int pvm_reduce(void (*function)(int*, void*, void*, int*, int*), void* data, int count, int type, int tag,
               char* group, int root) {
    PVM_FUNCTION(pvm_reduce);
    return Rooted("reduce", group, root, [&] { return real(function, data, count, type, tag, group, root); });
}

int pvm_gather(void* result, void* data, int count, int type, int tag, char* group, int root) {
    PVM_FUNCTION(pvm_gather);
    return Rooted("gather", group, root, [&] { return real(result, data, count, type, tag, group, root); });
}

int pvm_scatter(void* result, void* data, int count, int type, int tag, char* group, int root) {
    PVM_FUNCTION(pvm_scatter);
    return Rooted("scatter", group, root, [&] { return real(result, data, count, type, tag, group, root); });
}

// Functions of the PVM library that call other wrapped entry points through its
// own import table: what they call passes through.
int pvm_catchout(FILE* out) {
    PVM_FUNCTION(pvm_catchout);
    recording::Call call(recording::Call::Passive);
    return real(out);
}

int pvm_siblings(int** tids) {
    PVM_FUNCTION(pvm_siblings);
    recording::Call call(recording::Call::Passive);
    return real(tids);
}

}  // extern "C"
#pragma GCC visibility pop
