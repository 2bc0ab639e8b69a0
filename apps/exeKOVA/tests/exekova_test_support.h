// Helpers of exeKOVA's tests: how they run a command on the virtual cluster, and
// what exeKOVA's tasks must print and save for the fixed seed.
#pragma once

#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// How these tests run a command on the cluster: in folder, and until no exeKOVA
// process is left, since the slaves go on with their own sequential runs after
// the master is done.
ClusterOptions ExeKOVARun(const fs::path& folder);

// Which task of a run trained the sequential network: the master's rand() sequence
// first builds the first and the last pipeline stage, a slave's its middle stage.
enum class TaskRole { Master, Slave };

// What that task's sequential run produces for the seed 35233.
struct SequentialResult {
    // The report's lines: ten outputs and the "seqential result" line.
    std::vector<std::string> reportLines;
    // The contents of its "backprop.nnw".
    std::string weightFile;
};
const SequentialResult& ExpectedSequentialResult(TaskRole role);
