// Helpers of exeKOVA's tests: running a command on the virtual cluster as a user
// does, reading the measurement database, and what exeKOVA's tasks must print and
// save for the fixed seed.
#pragma once

#include <standarddatabase.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A folder of its own under the build tree (the cluster's hosts have private
// /tmp folders, so a shared folder must lie elsewhere); removed with the object.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return mPath; }

private:
    fs::path mPath;
};

// One finished run of scripts/vcluster.sh.
struct ClusterRun {
    int exitStatus = -1;
    // The command's standard output.
    std::string output;
    // The run folder, with each host's working directory <runFolder>/nodeK and
    // node1's pvmd log, where the spawned tasks' output lands.
    fs::path runFolder;
    std::string pvmLog() const;
    ~ClusterRun();
};

// Runs command (a shell command line) in folder cwd on host node1 of a fresh
// virtual cluster of the given number of hosts, with this build's programs on
// PVM's path. The run ends when the command has ended and no exeKOVA process
// remains in the cluster: the slaves go on with their own sequential runs after
// the master is done. The run folder is kept until the ClusterRun is destroyed.
std::unique_ptr<ClusterRun> RunOnCluster(int hosts, const fs::path& cwd, const std::string& command);

std::string ReadFile(const fs::path& path);
// Lines of text without their line ends.
std::vector<std::string> Lines(const std::string& text);
std::string LoginName();

// A connection to the measurement database of this build (KOVAUser on KOVAData).
std::unique_ptr<StandardDatabase> ConnectToMeasurementDb();
using Row = std::map<std::string, std::string>;
std::vector<Row> SelectRows(StandardDatabase& db, const std::string& query);
long long SelectNumber(StandardDatabase& db, const std::string& query);
// Removes every experiment of this login user with that application name, and the
// rows stored for it.
void DeleteExperimentsOf(StandardDatabase& db, const std::string& application);

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
