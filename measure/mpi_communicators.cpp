#include "measure/mpi_communicators.h"

#include <algorithm>

Communicators::Known Communicators::Describe(MPI_Comm comm, const std::string& name) {
    Known known;
    known.name = name;
    if (comm == MPI_COMM_WORLD) return known;
    int inter = 0;
    PMPI_Comm_test_inter(comm, &inter);
    MPI_Group group, world;
    if (inter)
        PMPI_Comm_remote_group(comm, &group);
    else
        PMPI_Comm_group(comm, &group);
    PMPI_Comm_group(MPI_COMM_WORLD, &world);
    int size = 0;
    PMPI_Group_size(group, &size);
    std::vector<int> ranks(size);
    for (int i = 0; i < size; ++i) ranks[i] = i;
    known.worldRanks.resize(size);
    PMPI_Group_translate_ranks(group, size, ranks.data(), world, known.worldRanks.data());
    PMPI_Group_free(&group);
    PMPI_Group_free(&world);
    return known;
}

Communicators::Known& Communicators::Of(MPI_Comm comm) {
    auto found = mKnown.find(comm);
    if (found != mKnown.end()) return found->second;
    if (comm == MPI_COMM_WORLD) return mKnown.emplace(comm, Describe(comm, "MPI_COMM_WORLD")).first->second;
    if (comm == MPI_COMM_SELF) {
        Known self = Describe(comm, "");
        self.name = "MPI_COMM_SELF:" + std::to_string(self.worldRanks.empty() ? 0 : self.worldRanks.front());
        return mKnown.emplace(comm, self).first->second;
    }
    Known known = Describe(comm, "");
    std::string members = "comm";
    for (int rank : known.worldRanks) members += "-" + std::to_string(rank);
    known.name = FittedCommunicatorName(members);
    return mKnown.emplace(comm, known).first->second;
}

int Communicators::WorldRank(MPI_Comm comm, int rank) {
    if (rank == MPI_ANY_SOURCE) return -1;
    if (rank == MPI_PROC_NULL || rank < 0) return -2;
    if (comm == MPI_COMM_WORLD) return rank;
    const std::vector<int>& world = Of(comm).worldRanks;
    return rank < static_cast<int>(world.size()) && world[rank] != MPI_UNDEFINED ? world[rank] : -2;
}

void Communicators::Created(MPI_Comm parent, MPI_Comm child) {
    Known& from = Of(parent);
    const int creation = from.creations++;
    if (child == MPI_COMM_NULL) return;
    const std::string parentName = from.name;
    Known known = Describe(child, "");
    int lowest = 0;
    if (!known.worldRanks.empty()) lowest = *std::min_element(known.worldRanks.begin(), known.worldRanks.end());
    known.name = ChildCommunicatorName(parentName, creation, lowest);
    mKnown[child] = known;
}

void Communicators::Freed(MPI_Comm comm) { mKnown.erase(comm); }
