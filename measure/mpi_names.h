// Names of MPI communicators as the measurement stores them (PhaseDetails'
// groupName): the same on every member, at most 64 characters.
#pragma once
#include <string>

// The name of a communicator created on parent as its creation-th one (counted
// from 0 on every member of parent), whose lowest world rank is lowestRank:
// "MPI_COMM_WORLD/2:5".
std::string ChildCommunicatorName(const std::string& parent, int creation, int lowestRank);
// name itself when it fits the column, else "comm-" and a hash of it that is the
// same on every host.
std::string FittedCommunicatorName(const std::string& name);
