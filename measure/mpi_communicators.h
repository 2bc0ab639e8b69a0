// The program's MPI communicators as the measurement names them: a name that is
// the same on every member and differs between communicators, a count of the
// collectives called on each, and the world rank of each of its ranks.
#pragma once
#include "measure/mpi_names.h"
#include "measure/mpi_symbols.h"

#include <string>
#include <unordered_map>
#include <vector>

class Communicators {
public:
    struct Known {
        std::string name;
        // Collectives called on it so far, and communicators created from it.
        int collectives = 0;
        int creations = 0;
        // The world rank of each rank (of the remote group of an intercommunicator),
        // empty for MPI_COMM_WORLD, where they are the same.
        std::vector<int> worldRanks;
    };

    // The communicator as known; one never seen (created by a call that is not
    // followed) is named after its members' world ranks.
    Known& Of(MPI_Comm comm);
    // The world rank of rank in comm: -1 for MPI_ANY_SOURCE, -2 for none
    // (MPI_PROC_NULL, or a rank outside the communicator).
    int WorldRank(MPI_Comm comm, int rank);
    // Names child after parent, as its next creation; a null child (a rank left out
    // of a split) still counts.
    void Created(MPI_Comm parent, MPI_Comm child);
    void Freed(MPI_Comm comm);

private:
    Known Describe(MPI_Comm comm, const std::string& name);
    std::unordered_map<MPI_Comm, Known> mKnown;
};
