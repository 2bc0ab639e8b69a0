// Collective operations, on the repaired clock. Every member of a collective stores
// one sync phase with its group's name, the collective's kind and its instance (which
// of the group's collectives it is, the same number on every member; PVM's group
// library counts each kind apart, MPI all of a communicator's together); the sync
// phases that share (group, kind, instance) are one collective. A member enters at its sync phase's
// start and leaves at its end. The processes of a group are those that take part in
// any of its collectives; a collective that some of them never entered (the program
// was killed) is incomplete: it is flagged (WRONG_COMM_POINTERS) and none of its
// waits is counted, since its last entrant is not known. A broadcast or scatter
// whose only member is its root is one-sided (PVM's pvm_bcast, whose addressees
// receive its messages as ordinary receives): it is no collective to wait in.
//
// The patterns, each in its own unit: wait at barrier and barrier completion
// (barrier), wait at N x N (allreduce, allgather, alltoall, reduce_scatter), late
// broadcast (bcast, scatter), early reduce (reduce, gather). A scan has none.
#pragma once
#include "analysis/model.h"

#include <vector>

namespace analysis {

// Lines up the sync phases with a collective's details into findings.collectives and
// counts the incomplete ones.
void LineUpCollectives(ExperimentModel& model);

// Appends the waits of every complete collective to findings.waitStates (not sorted).
void FindCollectiveWaits(ExperimentModel& model);

// Whether every member of a collective of this kind waits for every other one
// (a barrier and the all-to-all kinds), not only for or by its root.
bool EveryMemberWaitsForAll(Collective kind);

// The member that entered last (of several at the same time: the first by process).
int32_t LastEntrant(const ExperimentModel& model, const CollectiveOp& op);

// The wait of member phase waiter for member phase cause to enter: from its own entry
// to the cause's, within its own sync phase (0 when the cause entered first).
Time WaitForEntry(const ExperimentModel& model, int32_t waiter, int32_t cause);

// Appends a wait of that pattern when it is longer than 0.
void AddWait(std::vector<WaitState>& waits, WaitPattern pattern, int32_t phase, Time time, int32_t cause);

}  // namespace analysis
