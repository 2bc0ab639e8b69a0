// One MPI call of the program as the MPI front end records it (for the C and
// the Fortran entry points alike): the guard of the recording core, the
// translation of its ranks to world ranks, the receives posted and completed,
// the communicators' names and collectives.
#pragma once
#include "measure/mpi_symbols.h"
#include "measure/recording.h"

#include <vector>

class MpiCall {
public:
    enum Kind {
        // Ends the work phase since the previous call.
        Communication,
        // Takes a message: after an MPI_Probe the wait goes on into it.
        Receive,
        // Polls or sets up (MPI_Test*, MPI_Iprobe, MPI_Irecv, communicators): the
        // work goes on.
        Poll,
    };

    explicit MpiCall(Kind kind = Communication);
    MpiCall(const MpiCall&) = delete;
    MpiCall& operator=(const MpiCall&) = delete;

    // Whether this call is recorded (not one made inside another, and the rank
    // measures); the other members may be called only then.
    bool recording() const { return mGuard.recording(); }

    void Sent(MPI_Comm comm, int dest, int tag, long long bytes) const;
    // The wait for the message that status describes is over: then its receive
    // phase, with its real source and tag. A cancelled receive, or one from
    // MPI_PROC_NULL, ends only the wait.
    void Took(MPI_Comm comm, int askedSource, int askedTag, const MPI_Status& status) const;
    // The receive of request waits for a wait or test.
    void Posted(MPI_Request request, MPI_Comm comm, int source, int tag) const;
    void Forget(MPI_Request request) const;
    // Of the requests as they were before the call, those that completed: the
    // first count of indices (all, in order, when indices is null), each with its
    // status. A wait is idle up to here; a poll that took a message was work.
    void Completed(int count, const MPI_Request* requests, const int* indices, const MPI_Status* statuses,
                   bool waited) const;
    // An MPI_Probe found a message: its wait lasts until the receive that takes it.
    void Probed() const;
    void Collective(MPI_Comm comm, const char* kind, int root = MPI_PROC_NULL) const;
    void Created(MPI_Comm parent, MPI_Comm child) const;
    void Freed(MPI_Comm comm) const;

private:
    static recording::Call::Kind GuardKind(Kind kind);
    recording::Call mGuard;
};

// The bytes of count elements of type.
long long Bytes(int count, MPI_Datatype type);

// Statuses for a call whose caller may ignore them (MPI_STATUSES_IGNORE).
class Statuses {
public:
    Statuses(int count, MPI_Status* given);
    MPI_Status* get() const { return mStatuses; }

private:
    std::vector<MPI_Status> mOwn;
    MPI_Status* mStatuses;
};
