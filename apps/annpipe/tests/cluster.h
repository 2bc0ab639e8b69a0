// Helpers of annpipe's end-to-end tests: running a command as a user does on a
// fresh virtual PVM cluster and reading what the master and the slaves printed.
#pragma once

#include <map>
#include <string>
#include <vector>

// A folder of its own under the build tree (every cluster host has a private
// /tmp, so a folder shared with the hosts must lie elsewhere); removed with the
// object.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& Path() const { return mPath; }

private:
    std::string mPath;
};

// One finished command on the cluster.
struct ClusterRun {
    // The command's exit status; 124 when the cluster ended it on time-out.
    int exitStatus = -1;
    // The command's standard output.
    std::string output;
    // What every spawned task printed, by its task identifier, in order.
    std::map<int, std::vector<std::string>> taskLines;
};

// Runs command (a shell command line) in folder on host node1 of a fresh cluster of
// three hosts whose PVM executable path is pvmPath, and waits until every annpipe
// process of the run has ended.
ClusterRun RunOnCluster(const std::string& folder, const std::string& command, const std::string& pvmPath);

// Makes folder/slaves a PVM executable path whose annpipe writes its arguments,
// one line per start ("<count>:<arguments>"), to folder/slave-arguments and then
// runs the real program. Returns the path.
std::string ArgumentLoggingPath(const std::string& folder);

std::string ReadFile(const std::string& path);
std::vector<std::string> Lines(const std::string& text);
// Number of lines equal to line.
int CountLines(const std::vector<std::string>& lines, const std::string& line);
std::string LoginName();
