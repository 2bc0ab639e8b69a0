// The Fortran entry points (mpif.h and the mpi module, gfortran's names) of the
// calls the MPI front end records. Open MPI's Fortran library calls the PMPI_*
// functions itself, past the C entry points, so these take the place of its
// Fortran functions: a call with buffers is passed on to the MPI's own Fortran
// function (which knows MPI_BOTTOM and MPI_IN_PLACE) and recorded from its
// arguments; a completion, which has no buffers, goes through the C entry point.
// With MPICH, whose Fortran functions call the C ones, the inner call passes
// straight through and the call is recorded once.
#include "measure/mpi_call.h"
#include "measure/mpi_symbols.h"
#include "measure/mpi_task.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Fint = MPI_Fint;

// The MPI's own Fortran function of that name.
template <class Function> Function* Library(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) {
        std::fprintf(stderr, "kova measure: the MPI library has no Fortran function %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Function*>(found);
}

#define MPI_FORTRAN(name) static auto* const real = Library<decltype(::name)>(#name)

// A Fortran status to read the source and tag from, the caller's or one of our
// own when the caller ignores it.
class FortranStatus {
public:
    explicit FortranStatus(Fint* given) : mStatus(given == MPI_F_STATUS_IGNORE ? mOwn : given) {}
    Fint* get() { return mStatus; }
    MPI_Status C() const {
        MPI_Status status;
        PMPI_Status_f2c(mStatus, &status);
        return status;
    }

private:
    // Larger than any MPI's MPI_STATUS_SIZE.
    Fint mOwn[16] = {};
    Fint* mStatus;
};

std::vector<MPI_Request> CRequests(Fint count, const Fint* requests) {
    std::vector<MPI_Request> converted(count > 0 ? static_cast<std::size_t>(count) : 0);
    for (std::size_t i = 0; i < converted.size(); ++i) converted[i] = PMPI_Request_f2c(requests[i]);
    return converted;
}

void FortranRequests(const std::vector<MPI_Request>& requests, Fint* out) {
    for (std::size_t i = 0; i < requests.size(); ++i) out[i] = PMPI_Request_c2f(requests[i]);
}

MPI_Comm Comm(const Fint* comm) { return PMPI_Comm_f2c(*comm); }
MPI_Datatype Type(const Fint* type) { return PMPI_Type_f2c(*type); }

}  // namespace

extern "C" {

void mpi_init_(Fint* ierr);
void mpi_init_thread_(Fint* required, Fint* provided, Fint* ierr);
void mpi_finalize_(Fint* ierr);

void mpi_init_(Fint* ierr) {
    MPI_FORTRAN(mpi_init_);
    real(ierr);
    if (*ierr == MPI_SUCCESS) BeginRank();
}

void mpi_init_thread_(Fint* required, Fint* provided, Fint* ierr) {
    MPI_FORTRAN(mpi_init_thread_);
    real(required, provided, ierr);
    if (*ierr == MPI_SUCCESS) BeginRank();
}

void mpi_finalize_(Fint* ierr) {
    MPI_FORTRAN(mpi_finalize_);
    FinishRank();
    real(ierr);
}

// ---- point to point ----

#define KOVA_FORTRAN_SEND(name)                                                                                 \
    void name(void* buffer, Fint* count, Fint* type, Fint* dest, Fint* tag, Fint* comm, Fint* ierr);            \
    void name(void* buffer, Fint* count, Fint* type, Fint* dest, Fint* tag, Fint* comm, Fint* ierr) {           \
        MPI_FORTRAN(name);                                                                                      \
        MpiCall call;                                                                                           \
        real(buffer, count, type, dest, tag, comm, ierr);                                                       \
        if (call.recording() && *ierr == MPI_SUCCESS)                                                           \
            call.Sent(Comm(comm), *dest, *tag, Bytes(*count, Type(type)));                                      \
    }
KOVA_FORTRAN_SEND(mpi_send_)
KOVA_FORTRAN_SEND(mpi_ssend_)
KOVA_FORTRAN_SEND(mpi_bsend_)
KOVA_FORTRAN_SEND(mpi_rsend_)

#define KOVA_FORTRAN_POSTED_SEND(name)                                                                          \
    void name(void* buffer, Fint* count, Fint* type, Fint* dest, Fint* tag, Fint* comm, Fint* request,          \
              Fint* ierr);                                                                                      \
    void name(void* buffer, Fint* count, Fint* type, Fint* dest, Fint* tag, Fint* comm, Fint* request,          \
              Fint* ierr) {                                                                                     \
        MPI_FORTRAN(name);                                                                                      \
        MpiCall call;                                                                                           \
        real(buffer, count, type, dest, tag, comm, request, ierr);                                              \
        if (call.recording() && *ierr == MPI_SUCCESS)                                                           \
            call.Sent(Comm(comm), *dest, *tag, Bytes(*count, Type(type)));                                      \
    }
KOVA_FORTRAN_POSTED_SEND(mpi_isend_)
KOVA_FORTRAN_POSTED_SEND(mpi_issend_)

void mpi_recv_(void* buffer, Fint* count, Fint* type, Fint* source, Fint* tag, Fint* comm, Fint* status,
               Fint* ierr);
void mpi_recv_(void* buffer, Fint* count, Fint* type, Fint* source, Fint* tag, Fint* comm, Fint* status,
               Fint* ierr) {
    MPI_FORTRAN(mpi_recv_);
    MpiCall call(MpiCall::Receive);
    FortranStatus taken(status);
    real(buffer, count, type, source, tag, comm, taken.get(), ierr);
    if (!call.recording()) return;
    if (*ierr == MPI_SUCCESS)
        call.Took(Comm(comm), *source, *tag, taken.C());
    else
        recording::RecordWait();
}

void mpi_irecv_(void* buffer, Fint* count, Fint* type, Fint* source, Fint* tag, Fint* comm, Fint* request,
                Fint* ierr);
void mpi_irecv_(void* buffer, Fint* count, Fint* type, Fint* source, Fint* tag, Fint* comm, Fint* request,
                Fint* ierr) {
    MPI_FORTRAN(mpi_irecv_);
    MpiCall call(MpiCall::Poll);
    real(buffer, count, type, source, tag, comm, request, ierr);
    if (call.recording() && *ierr == MPI_SUCCESS) call.Posted(PMPI_Request_f2c(*request), Comm(comm), *source, *tag);
}

void mpi_sendrecv_(void* sendBuffer, Fint* sendCount, Fint* sendType, Fint* dest, Fint* sendTag,
                   void* receiveBuffer, Fint* receiveCount, Fint* receiveType, Fint* source, Fint* receiveTag,
                   Fint* comm, Fint* status, Fint* ierr);
void mpi_sendrecv_(void* sendBuffer, Fint* sendCount, Fint* sendType, Fint* dest, Fint* sendTag,
                   void* receiveBuffer, Fint* receiveCount, Fint* receiveType, Fint* source, Fint* receiveTag,
                   Fint* comm, Fint* status, Fint* ierr) {
    MPI_FORTRAN(mpi_sendrecv_);
    MpiCall call(MpiCall::Receive);
    if (call.recording()) call.Sent(Comm(comm), *dest, *sendTag, Bytes(*sendCount, Type(sendType)));
    FortranStatus taken(status);
    real(sendBuffer, sendCount, sendType, dest, sendTag, receiveBuffer, receiveCount, receiveType, source,
         receiveTag, comm, taken.get(), ierr);
    if (!call.recording()) return;
    if (*ierr == MPI_SUCCESS)
        call.Took(Comm(comm), *source, *receiveTag, taken.C());
    else
        recording::RecordWait();
}

// ---- completion, through the C entry points ----

void mpi_wait_(Fint* request, Fint* status, Fint* ierr);
void mpi_wait_(Fint* request, Fint* status, Fint* ierr) {
    MPI_Request converted = PMPI_Request_f2c(*request);
    MPI_Status taken;
    *ierr = MPI_Wait(&converted, &taken);
    *request = PMPI_Request_c2f(converted);
    if (status != MPI_F_STATUS_IGNORE) PMPI_Status_c2f(&taken, status);
}

void mpi_waitall_(Fint* count, Fint* requests, Fint* statuses, Fint* ierr);
void mpi_waitall_(Fint* count, Fint* requests, Fint* statuses, Fint* ierr) {
    std::vector<MPI_Request> converted = CRequests(*count, requests);
    std::vector<MPI_Status> taken(converted.size());
    *ierr = MPI_Waitall(*count, converted.data(), taken.data());
    FortranRequests(converted, requests);
    if (statuses == MPI_F_STATUSES_IGNORE) return;
    const std::size_t size = sizeof(MPI_Status) / sizeof(Fint);
    for (std::size_t i = 0; i < taken.size(); ++i) PMPI_Status_c2f(&taken[i], statuses + i * size);
}

void mpi_waitany_(Fint* count, Fint* requests, Fint* index, Fint* status, Fint* ierr);
void mpi_waitany_(Fint* count, Fint* requests, Fint* index, Fint* status, Fint* ierr) {
    std::vector<MPI_Request> converted = CRequests(*count, requests);
    MPI_Status taken;
    int which = MPI_UNDEFINED;
    *ierr = MPI_Waitany(*count, converted.data(), &which, &taken);
    FortranRequests(converted, requests);
    // Fortran counts from 1.
    *index = which == MPI_UNDEFINED ? MPI_UNDEFINED : which + 1;
    if (status != MPI_F_STATUS_IGNORE) PMPI_Status_c2f(&taken, status);
}

void mpi_test_(Fint* request, Fint* flag, Fint* status, Fint* ierr);
void mpi_test_(Fint* request, Fint* flag, Fint* status, Fint* ierr) {
    MPI_Request converted = PMPI_Request_f2c(*request);
    MPI_Status taken;
    int done = 0;
    *ierr = MPI_Test(&converted, &done, &taken);
    *request = PMPI_Request_c2f(converted);
    *flag = done;
    if (done && status != MPI_F_STATUS_IGNORE) PMPI_Status_c2f(&taken, status);
}

// ---- collectives ----

void mpi_barrier_(Fint* comm, Fint* ierr);
void mpi_barrier_(Fint* comm, Fint* ierr) {
    MPI_FORTRAN(mpi_barrier_);
    MpiCall call;
    real(comm, ierr);
    if (call.recording()) call.Collective(Comm(comm), "barrier");
}

void mpi_bcast_(void* buffer, Fint* count, Fint* type, Fint* root, Fint* comm, Fint* ierr);
void mpi_bcast_(void* buffer, Fint* count, Fint* type, Fint* root, Fint* comm, Fint* ierr) {
    MPI_FORTRAN(mpi_bcast_);
    MpiCall call;
    real(buffer, count, type, root, comm, ierr);
    if (call.recording()) call.Collective(Comm(comm), "bcast", *root);
}

void mpi_reduce_(void* send, void* receive, Fint* count, Fint* type, Fint* op, Fint* root, Fint* comm, Fint* ierr);
void mpi_reduce_(void* send, void* receive, Fint* count, Fint* type, Fint* op, Fint* root, Fint* comm, Fint* ierr) {
    MPI_FORTRAN(mpi_reduce_);
    MpiCall call;
    real(send, receive, count, type, op, root, comm, ierr);
    if (call.recording()) call.Collective(Comm(comm), "reduce", *root);
}

void mpi_allreduce_(void* send, void* receive, Fint* count, Fint* type, Fint* op, Fint* comm, Fint* ierr);
void mpi_allreduce_(void* send, void* receive, Fint* count, Fint* type, Fint* op, Fint* comm, Fint* ierr) {
    MPI_FORTRAN(mpi_allreduce_);
    MpiCall call;
    real(send, receive, count, type, op, comm, ierr);
    if (call.recording()) call.Collective(Comm(comm), "allreduce");
}

#define KOVA_FORTRAN_ROOTED(name, kind)                                                                         \
    void name(void* send, Fint* sendCount, Fint* sendType, void* receive, Fint* receiveCount, Fint* receiveType, \
              Fint* root, Fint* comm, Fint* ierr);                                                              \
    void name(void* send, Fint* sendCount, Fint* sendType, void* receive, Fint* receiveCount, Fint* receiveType, \
              Fint* root, Fint* comm, Fint* ierr) {                                                             \
        MPI_FORTRAN(name);                                                                                      \
        MpiCall call;                                                                                           \
        real(send, sendCount, sendType, receive, receiveCount, receiveType, root, comm, ierr);                  \
        if (call.recording()) call.Collective(Comm(comm), kind, *root);                                         \
    }
KOVA_FORTRAN_ROOTED(mpi_gather_, "gather")
KOVA_FORTRAN_ROOTED(mpi_scatter_, "scatter")

#define KOVA_FORTRAN_ALL(name, kind)                                                                            \
    void name(void* send, Fint* sendCount, Fint* sendType, void* receive, Fint* receiveCount, Fint* receiveType, \
              Fint* comm, Fint* ierr);                                                                          \
    void name(void* send, Fint* sendCount, Fint* sendType, void* receive, Fint* receiveCount, Fint* receiveType, \
              Fint* comm, Fint* ierr) {                                                                         \
        MPI_FORTRAN(name);                                                                                      \
        MpiCall call;                                                                                           \
        real(send, sendCount, sendType, receive, receiveCount, receiveType, comm, ierr);                        \
        if (call.recording()) call.Collective(Comm(comm), kind);                                                \
    }
KOVA_FORTRAN_ALL(mpi_allgather_, "allgather")
KOVA_FORTRAN_ALL(mpi_alltoall_, "alltoall")

// ---- communicators ----

void mpi_comm_split_(Fint* comm, Fint* color, Fint* key, Fint* created, Fint* ierr);
void mpi_comm_split_(Fint* comm, Fint* color, Fint* key, Fint* created, Fint* ierr) {
    MPI_FORTRAN(mpi_comm_split_);
    MpiCall call(MpiCall::Poll);
    real(comm, color, key, created, ierr);
    if (call.recording() && *ierr == MPI_SUCCESS) call.Created(Comm(comm), Comm(created));
}

void mpi_comm_dup_(Fint* comm, Fint* created, Fint* ierr);
void mpi_comm_dup_(Fint* comm, Fint* created, Fint* ierr) {
    MPI_FORTRAN(mpi_comm_dup_);
    MpiCall call(MpiCall::Poll);
    real(comm, created, ierr);
    if (call.recording() && *ierr == MPI_SUCCESS) call.Created(Comm(comm), Comm(created));
}

void mpi_comm_free_(Fint* comm, Fint* ierr);
void mpi_comm_free_(Fint* comm, Fint* ierr) {
    MPI_FORTRAN(mpi_comm_free_);
    MpiCall call(MpiCall::Poll);
    if (call.recording()) call.Freed(Comm(comm));
    real(comm, ierr);
}

}  // extern "C"
