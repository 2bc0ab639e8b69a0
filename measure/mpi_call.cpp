#include "measure/mpi_call.h"

#include "measure/mpi_communicators.h"

#include <unordered_map>

namespace {

// A posted receive (MPI_Irecv) until its wait or test completes it.
struct PostedReceive {
    MPI_Comm comm;
    int askedSource;
    int askedTag;
};

// What the MPI front end keeps besides the recording: the communicators and the
// posted receives.
struct MpiState {
    Communicators communicators;
    std::unordered_map<MPI_Request, PostedReceive> receives;
    // An MPI_Probe waited for a message: the wait goes on into the receive that
    // takes it.
    bool probed = false;
};

MpiState& State() {
    static auto* state = new MpiState();
    return *state;
}

}  // namespace

long long Bytes(int count, MPI_Datatype type) {
    int size = 0;
    if (count <= 0 || PMPI_Type_size(type, &size) != MPI_SUCCESS) return 0;
    return static_cast<long long>(count) * size;
}

Statuses::Statuses(int count, MPI_Status* given) : mOwn(given == MPI_STATUSES_IGNORE ? count : 0) {
    mStatuses = given == MPI_STATUSES_IGNORE ? mOwn.data() : given;
}

recording::Call::Kind MpiCall::GuardKind(Kind kind) {
    return kind == Poll || State().probed ? recording::Call::Passive : recording::Call::Communication;
}

MpiCall::MpiCall(Kind kind) : mGuard(GuardKind(kind)) {
    MpiState& state = State();
    if (!mGuard.recording() || kind == Poll || !state.probed) return;
    state.probed = false;
    if (kind != Receive) recording::RecordWait();
}

void MpiCall::Sent(MPI_Comm comm, int dest, int tag, long long bytes) const {
    const int to = State().communicators.WorldRank(comm, dest);
    if (to >= 0) recording::RecordSend(to, tag, bytes);
}

void MpiCall::Took(MPI_Comm comm, int askedSource, int askedTag, const MPI_Status& status) const {
    recording::RecordWait();
    int cancelled = 0;
    PMPI_Test_cancelled(&status, &cancelled);
    Communicators& communicators = State().communicators;
    const int from = cancelled ? -2 : communicators.WorldRank(comm, status.MPI_SOURCE);
    if (from < 0) return;
    int bytes = 0;
    PMPI_Get_count(&status, MPI_BYTE, &bytes);
    const int asked = communicators.WorldRank(comm, askedSource);
    recording::RecordReceive(from, status.MPI_TAG, bytes == MPI_UNDEFINED ? 0 : bytes,
                             asked == -2 ? recording::kNotKnown : asked,
                             askedTag == MPI_ANY_TAG ? recording::kAny : askedTag);
}

void MpiCall::Posted(MPI_Request request, MPI_Comm comm, int source, int tag) const {
    State().receives[request] = PostedReceive{comm, source, tag};
}

void MpiCall::Forget(MPI_Request request) const { State().receives.erase(request); }

void MpiCall::Completed(int count, const MPI_Request* requests, const int* indices, const MPI_Status* statuses,
                        bool waited) const {
    bool taken = false;
    auto& receives = State().receives;
    for (int k = 0; k < count; ++k) {
        const auto found = receives.find(requests[indices != nullptr ? indices[k] : k]);
        if (found == receives.end()) continue;
        const PostedReceive posted = found->second;
        receives.erase(found);
        if (!waited && !taken) recording::RecordWork();
        taken = true;
        Took(posted.comm, posted.askedSource, posted.askedTag, statuses[k]);
    }
    if (waited && !taken) recording::RecordWait();
}

void MpiCall::Probed() const { State().probed = true; }

void MpiCall::Collective(MPI_Comm comm, const char* kind, int root) const {
    Communicators& communicators = State().communicators;
    Communicators::Known& known = communicators.Of(comm);
    recording::Collective collective;
    collective.group = known.name.c_str();
    collective.instance = known.collectives++;
    collective.kind = kind;
    const int world = communicators.WorldRank(comm, root);
    collective.root = world >= 0 ? world : -1;
    recording::RecordSync(collective);
}

void MpiCall::Created(MPI_Comm parent, MPI_Comm child) const { State().communicators.Created(parent, child); }

void MpiCall::Freed(MPI_Comm comm) const { State().communicators.Freed(comm); }
