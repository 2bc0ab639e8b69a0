// Measures an unmodified MPI program from inside its ranks through MPI's
// profiling interface: preloaded into every rank (kova measure passes LD_PRELOAD
// through the launcher), this library defines the MPI_* calls of the program,
// records each and passes it on to the MPI library's PMPI_* call.
//
// MPI_Init ... MPI_Finalize bound the measurement. A send is a send phase to the
// addressee's world rank with the tag as quantum count and the message's bytes; a
// blocking receive or a wait is idle until the message is there, then a receive
// phase with the status' real source and tag beside the source and tag asked for;
// a collective is a sync phase that names its communicator, the collective's
// instance on it, its kind and its root. Ranks of other communicators are
// translated to world ranks. The measurement's own messages (the clock offsets)
// go over a duplicate of MPI_COMM_WORLD of its own. The Fortran entry points are
// in mpi_fortran.cpp.
#include "measure/mpi_call.h"
#include "measure/mpi_symbols.h"
#include "measure/mpi_task.h"

#include <vector>

namespace {

std::vector<MPI_Request> Copied(int count, const MPI_Request* requests) {
    return std::vector<MPI_Request>(requests, requests + (count > 0 ? count : 0));
}

}  // namespace

extern "C" {

int MPI_Init(int* argc, char*** argv) {
    const int result = PMPI_Init(argc, argv);
    if (result == MPI_SUCCESS) BeginRank();
    return result;
}

int MPI_Init_thread(int* argc, char*** argv, int required, int* provided) {
    const int result = PMPI_Init_thread(argc, argv, required, provided);
    if (result == MPI_SUCCESS) BeginRank();
    return result;
}

int MPI_Finalize() {
    FinishRank();
    return PMPI_Finalize();
}

// ---- point to point: sends ----

#define KOVA_BLOCKING_SEND(name)                                                                                \
    int MPI_##name(const void* buffer, int count, MPI_Datatype type, int dest, int tag, MPI_Comm comm) {        \
        MpiCall call;                                                                                           \
        const int result = PMPI_##name(buffer, count, type, dest, tag, comm);                                   \
        if (call.recording() && result == MPI_SUCCESS) call.Sent(comm, dest, tag, Bytes(count, type));          \
        return result;                                                                                          \
    }
KOVA_BLOCKING_SEND(Send)
KOVA_BLOCKING_SEND(Ssend)
KOVA_BLOCKING_SEND(Bsend)
KOVA_BLOCKING_SEND(Rsend)

// A non-blocking send is a send phase that begins when it is posted.
#define KOVA_POSTED_SEND(name)                                                                                  \
    int MPI_##name(const void* buffer, int count, MPI_Datatype type, int dest, int tag, MPI_Comm comm,          \
                   MPI_Request* request) {                                                                      \
        MpiCall call;                                                                                           \
        const int result = PMPI_##name(buffer, count, type, dest, tag, comm, request);                          \
        if (call.recording() && result == MPI_SUCCESS) call.Sent(comm, dest, tag, Bytes(count, type));          \
        return result;                                                                                          \
    }
KOVA_POSTED_SEND(Isend)
KOVA_POSTED_SEND(Issend)
KOVA_POSTED_SEND(Ibsend)
KOVA_POSTED_SEND(Irsend)

// ---- point to point: receives ----

int MPI_Recv(void* buffer, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm, MPI_Status* status) {
    MpiCall call(MpiCall::Receive);
    MPI_Status own;
    MPI_Status* taken = status == MPI_STATUS_IGNORE ? &own : status;
    const int result = PMPI_Recv(buffer, count, type, source, tag, comm, taken);
    if (call.recording()) {
        if (result == MPI_SUCCESS)
            call.Took(comm, source, tag, *taken);
        else
            recording::RecordWait();
    }
    return result;
}

int MPI_Irecv(void* buffer, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm, MPI_Request* request) {
    MpiCall call(MpiCall::Poll);
    const int result = PMPI_Irecv(buffer, count, type, source, tag, comm, request);
    if (call.recording() && result == MPI_SUCCESS) call.Posted(*request, comm, source, tag);
    return result;
}

// The send begins with the call, which then waits for the message to take.
int MPI_Sendrecv(const void* sendBuffer, int sendCount, MPI_Datatype sendType, int dest, int sendTag,
                 void* receiveBuffer, int receiveCount, MPI_Datatype receiveType, int source, int receiveTag,
                 MPI_Comm comm, MPI_Status* status) {
    MpiCall call(MpiCall::Receive);
    if (call.recording()) call.Sent(comm, dest, sendTag, Bytes(sendCount, sendType));
    MPI_Status own;
    MPI_Status* taken = status == MPI_STATUS_IGNORE ? &own : status;
    const int result = PMPI_Sendrecv(sendBuffer, sendCount, sendType, dest, sendTag, receiveBuffer, receiveCount,
                                     receiveType, source, receiveTag, comm, taken);
    if (call.recording()) {
        if (result == MPI_SUCCESS)
            call.Took(comm, source, receiveTag, *taken);
        else
            recording::RecordWait();
    }
    return result;
}

int MPI_Sendrecv_replace(void* buffer, int count, MPI_Datatype type, int dest, int sendTag, int source,
                         int receiveTag, MPI_Comm comm, MPI_Status* status) {
    MpiCall call(MpiCall::Receive);
    if (call.recording()) call.Sent(comm, dest, sendTag, Bytes(count, type));
    MPI_Status own;
    MPI_Status* taken = status == MPI_STATUS_IGNORE ? &own : status;
    const int result = PMPI_Sendrecv_replace(buffer, count, type, dest, sendTag, source, receiveTag, comm, taken);
    if (call.recording()) {
        if (result == MPI_SUCCESS)
            call.Took(comm, source, receiveTag, *taken);
        else
            recording::RecordWait();
    }
    return result;
}

// A blocking probe waits for a message that a receive takes next: the wait lasts
// until that receive.
int MPI_Probe(int source, int tag, MPI_Comm comm, MPI_Status* status) {
    MpiCall call;
    const int result = PMPI_Probe(source, tag, comm, status);
    if (call.recording() && result == MPI_SUCCESS) call.Probed();
    return result;
}

int MPI_Iprobe(int source, int tag, MPI_Comm comm, int* flag, MPI_Status* status) {
    MpiCall call(MpiCall::Poll);
    return PMPI_Iprobe(source, tag, comm, flag, status);
}

// ---- completion ----

int MPI_Wait(MPI_Request* request, MPI_Status* status) {
    MpiCall call(MpiCall::Receive);
    const MPI_Request before = *request;
    MPI_Status own;
    MPI_Status* taken = status == MPI_STATUS_IGNORE ? &own : status;
    const int result = PMPI_Wait(request, taken);
    if (call.recording()) call.Completed(result == MPI_SUCCESS ? 1 : 0, &before, nullptr, taken, true);
    return result;
}

int MPI_Waitall(int count, MPI_Request requests[], MPI_Status statuses[]) {
    MpiCall call(MpiCall::Receive);
    const std::vector<MPI_Request> before = Copied(count, requests);
    Statuses taken(count, statuses);
    const int result = PMPI_Waitall(count, requests, taken.get());
    if (call.recording())
        call.Completed(result == MPI_SUCCESS ? count : 0, before.data(), nullptr, taken.get(), true);
    return result;
}

int MPI_Waitany(int count, MPI_Request requests[], int* index, MPI_Status* status) {
    MpiCall call(MpiCall::Receive);
    const std::vector<MPI_Request> before = Copied(count, requests);
    MPI_Status own;
    MPI_Status* taken = status == MPI_STATUS_IGNORE ? &own : status;
    const int result = PMPI_Waitany(count, requests, index, taken);
    const bool one = result == MPI_SUCCESS && *index != MPI_UNDEFINED;
    if (call.recording()) call.Completed(one ? 1 : 0, before.data(), index, taken, true);
    return result;
}

int MPI_Waitsome(int count, MPI_Request requests[], int* outcount, int indices[], MPI_Status statuses[]) {
    MpiCall call(MpiCall::Receive);
    const std::vector<MPI_Request> before = Copied(count, requests);
    Statuses taken(count, statuses);
    const int result = PMPI_Waitsome(count, requests, outcount, indices, taken.get());
    const int done = result == MPI_SUCCESS && *outcount != MPI_UNDEFINED ? *outcount : 0;
    if (call.recording()) call.Completed(done, before.data(), indices, taken.get(), true);
    return result;
}

int MPI_Test(MPI_Request* request, int* flag, MPI_Status* status) {
    MpiCall call(MpiCall::Poll);
    const MPI_Request before = *request;
    MPI_Status own;
    MPI_Status* taken = status == MPI_STATUS_IGNORE ? &own : status;
    const int result = PMPI_Test(request, flag, taken);
    if (call.recording() && result == MPI_SUCCESS && *flag)
        call.Completed(1, &before, nullptr, taken, false);
    return result;
}

int MPI_Testall(int count, MPI_Request requests[], int* flag, MPI_Status statuses[]) {
    MpiCall call(MpiCall::Poll);
    const std::vector<MPI_Request> before = Copied(count, requests);
    Statuses taken(count, statuses);
    const int result = PMPI_Testall(count, requests, flag, taken.get());
    if (call.recording() && result == MPI_SUCCESS && *flag)
        call.Completed(count, before.data(), nullptr, taken.get(), false);
    return result;
}

int MPI_Testany(int count, MPI_Request requests[], int* index, int* flag, MPI_Status* status) {
    MpiCall call(MpiCall::Poll);
    const std::vector<MPI_Request> before = Copied(count, requests);
    MPI_Status own;
    MPI_Status* taken = status == MPI_STATUS_IGNORE ? &own : status;
    const int result = PMPI_Testany(count, requests, index, flag, taken);
    if (call.recording() && result == MPI_SUCCESS && *flag && *index != MPI_UNDEFINED)
        call.Completed(1, before.data(), index, taken, false);
    return result;
}

int MPI_Testsome(int count, MPI_Request requests[], int* outcount, int indices[], MPI_Status statuses[]) {
    MpiCall call(MpiCall::Poll);
    const std::vector<MPI_Request> before = Copied(count, requests);
    Statuses taken(count, statuses);
    const int result = PMPI_Testsome(count, requests, outcount, indices, taken.get());
    if (call.recording() && result == MPI_SUCCESS && *outcount != MPI_UNDEFINED && *outcount > 0)
        call.Completed(*outcount, before.data(), indices, taken.get(), false);
    return result;
}

int MPI_Request_free(MPI_Request* request) {
    MpiCall call(MpiCall::Poll);
    if (call.recording()) call.Forget(*request);
    return PMPI_Request_free(request);
}

// ---- collectives: one sync phase each ----

int MPI_Barrier(MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Barrier(comm);
    if (call.recording()) call.Collective(comm, "barrier");
    return result;
}

int MPI_Bcast(void* buffer, int count, MPI_Datatype type, int root, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Bcast(buffer, count, type, root, comm);
    if (call.recording()) call.Collective(comm, "bcast", root);
    return result;
}

int MPI_Reduce(const void* send, void* receive, int count, MPI_Datatype type, MPI_Op op, int root, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Reduce(send, receive, count, type, op, root, comm);
    if (call.recording()) call.Collective(comm, "reduce", root);
    return result;
}

int MPI_Allreduce(const void* send, void* receive, int count, MPI_Datatype type, MPI_Op op, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Allreduce(send, receive, count, type, op, comm);
    if (call.recording()) call.Collective(comm, "allreduce");
    return result;
}

int MPI_Gather(const void* send, int sendCount, MPI_Datatype sendType, void* receive, int receiveCount,
               MPI_Datatype receiveType, int root, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Gather(send, sendCount, sendType, receive, receiveCount, receiveType, root, comm);
    if (call.recording()) call.Collective(comm, "gather", root);
    return result;
}

int MPI_Gatherv(const void* send, int sendCount, MPI_Datatype sendType, void* receive, const int receiveCounts[],
                const int displacements[], MPI_Datatype receiveType, int root, MPI_Comm comm) {
    MpiCall call;
    const int result =
        PMPI_Gatherv(send, sendCount, sendType, receive, receiveCounts, displacements, receiveType, root, comm);
    if (call.recording()) call.Collective(comm, "gather", root);
    return result;
}

int MPI_Scatter(const void* send, int sendCount, MPI_Datatype sendType, void* receive, int receiveCount,
                MPI_Datatype receiveType, int root, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Scatter(send, sendCount, sendType, receive, receiveCount, receiveType, root, comm);
    if (call.recording()) call.Collective(comm, "scatter", root);
    return result;
}

int MPI_Scatterv(const void* send, const int sendCounts[], const int displacements[], MPI_Datatype sendType,
                 void* receive, int receiveCount, MPI_Datatype receiveType, int root, MPI_Comm comm) {
    MpiCall call;
    const int result =
        PMPI_Scatterv(send, sendCounts, displacements, sendType, receive, receiveCount, receiveType, root, comm);
    if (call.recording()) call.Collective(comm, "scatter", root);
    return result;
}

int MPI_Allgather(const void* send, int sendCount, MPI_Datatype sendType, void* receive, int receiveCount,
                  MPI_Datatype receiveType, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Allgather(send, sendCount, sendType, receive, receiveCount, receiveType, comm);
    if (call.recording()) call.Collective(comm, "allgather");
    return result;
}

int MPI_Allgatherv(const void* send, int sendCount, MPI_Datatype sendType, void* receive, const int receiveCounts[],
                   const int displacements[], MPI_Datatype receiveType, MPI_Comm comm) {
    MpiCall call;
    const int result =
        PMPI_Allgatherv(send, sendCount, sendType, receive, receiveCounts, displacements, receiveType, comm);
    if (call.recording()) call.Collective(comm, "allgather");
    return result;
}

int MPI_Alltoall(const void* send, int sendCount, MPI_Datatype sendType, void* receive, int receiveCount,
                 MPI_Datatype receiveType, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Alltoall(send, sendCount, sendType, receive, receiveCount, receiveType, comm);
    if (call.recording()) call.Collective(comm, "alltoall");
    return result;
}

int MPI_Alltoallv(const void* send, const int sendCounts[], const int sendDisplacements[], MPI_Datatype sendType,
                  void* receive, const int receiveCounts[], const int receiveDisplacements[],
                  MPI_Datatype receiveType, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Alltoallv(send, sendCounts, sendDisplacements, sendType, receive, receiveCounts,
                                      receiveDisplacements, receiveType, comm);
    if (call.recording()) call.Collective(comm, "alltoall");
    return result;
}

int MPI_Reduce_scatter(const void* send, void* receive, const int receiveCounts[], MPI_Datatype type, MPI_Op op,
                       MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Reduce_scatter(send, receive, receiveCounts, type, op, comm);
    if (call.recording()) call.Collective(comm, "reduce_scatter");
    return result;
}

int MPI_Reduce_scatter_block(const void* send, void* receive, int receiveCount, MPI_Datatype type, MPI_Op op,
                             MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Reduce_scatter_block(send, receive, receiveCount, type, op, comm);
    if (call.recording()) call.Collective(comm, "reduce_scatter");
    return result;
}

int MPI_Scan(const void* send, void* receive, int count, MPI_Datatype type, MPI_Op op, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Scan(send, receive, count, type, op, comm);
    if (call.recording()) call.Collective(comm, "scan");
    return result;
}

int MPI_Exscan(const void* send, void* receive, int count, MPI_Datatype type, MPI_Op op, MPI_Comm comm) {
    MpiCall call;
    const int result = PMPI_Exscan(send, receive, count, type, op, comm);
    if (call.recording()) call.Collective(comm, "scan");
    return result;
}

// ---- communicators: named after the one they are created from ----

int MPI_Comm_dup(MPI_Comm comm, MPI_Comm* created) {
    MpiCall call(MpiCall::Poll);
    const int result = PMPI_Comm_dup(comm, created);
    if (call.recording() && result == MPI_SUCCESS) call.Created(comm, *created);
    return result;
}

int MPI_Comm_split(MPI_Comm comm, int color, int key, MPI_Comm* created) {
    MpiCall call(MpiCall::Poll);
    const int result = PMPI_Comm_split(comm, color, key, created);
    if (call.recording() && result == MPI_SUCCESS) call.Created(comm, *created);
    return result;
}

int MPI_Comm_split_type(MPI_Comm comm, int type, int key, MPI_Info info, MPI_Comm* created) {
    MpiCall call(MpiCall::Poll);
    const int result = PMPI_Comm_split_type(comm, type, key, info, created);
    if (call.recording() && result == MPI_SUCCESS) call.Created(comm, *created);
    return result;
}

int MPI_Comm_create(MPI_Comm comm, MPI_Group group, MPI_Comm* created) {
    MpiCall call(MpiCall::Poll);
    const int result = PMPI_Comm_create(comm, group, created);
    if (call.recording() && result == MPI_SUCCESS) call.Created(comm, *created);
    return result;
}

int MPI_Cart_create(MPI_Comm comm, int dimensions, const int sizes[], const int periods[], int reorder,
                    MPI_Comm* created) {
    MpiCall call(MpiCall::Poll);
    const int result = PMPI_Cart_create(comm, dimensions, sizes, periods, reorder, created);
    if (call.recording() && result == MPI_SUCCESS) call.Created(comm, *created);
    return result;
}

int MPI_Cart_sub(MPI_Comm comm, const int remain[], MPI_Comm* created) {
    MpiCall call(MpiCall::Poll);
    const int result = PMPI_Cart_sub(comm, remain, created);
    if (call.recording() && result == MPI_SUCCESS) call.Created(comm, *created);
    return result;
}

int MPI_Comm_free(MPI_Comm* comm) {
    MpiCall call(MpiCall::Poll);
    if (call.recording()) call.Freed(*comm);
    return PMPI_Comm_free(comm);
}

}  // extern "C"
