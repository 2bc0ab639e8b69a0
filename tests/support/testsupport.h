// Helpers of the tests: scratch folders, running a command here or on a fresh
// virtual PVM cluster, and reading what it printed.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// A fresh folder for one test's files; removed with everything in it when the
// object goes.
class ScratchFolder {
public:
    // BuildTree: below the build folder, which every host of a virtual cluster sees
    // (each host has a /tmp of its own). SystemTemp: below the system's temporary
    // folder, for tests that stay on this machine.
    enum Place { BuildTree, SystemTemp };

    // Creates <place>/<prefix>-XXXXXX; throws std::runtime_error when it cannot.
    explicit ScratchFolder(const std::string& prefix = "scratch", Place place = BuildTree);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return mPath; }

private:
    std::filesystem::path mPath;
};

// What a command printed and how it ended.
struct CommandResult {
    // Its exit status; 128 + the signal's number when a signal ended it; -1 when it
    // did not end (it could not be started, or a cluster ended it).
    int status = -1;
    // Its standard output, with its standard error when that is merged.
    std::string output;
    // Its standard error when that is kept apart.
    std::string errors;

    // The output's lines.
    std::vector<std::string> outputLines() const;
};

// Where a command's standard error goes: into the output, in the order written,
// or apart into the result's errors.
enum class ErrorStream { Merged, Apart };

// Runs a shell command line here, with this process's standard input.
CommandResult RunCommand(const std::string& commandLine, ErrorStream errors = ErrorStream::Merged);

// How a command runs on the virtual cluster.
struct ClusterOptions {
    // Where the command starts on node1; empty: this process's current folder.
    std::filesystem::path workingFolder;
    // PVM's executable path; empty: this build's bin folder.
    std::filesystem::path binFolder;
    // The state folder whose registered servers the cluster forwards, and where it
    // keeps its runs; empty: this build's.
    std::filesystem::path stateFolder;
    // The cluster ends the command after this many seconds.
    int timeoutSeconds = 120;
    // The command's standard input (it reads an empty one otherwise).
    std::string input;
    ErrorStream errors = ErrorStream::Apart;
    // After the command: waits, at most 60 s, until no process of this name is left
    // on the cluster (spawned tasks that go on after their master).
    std::string awaitProgram;
    // After the command: waits, at most 15 s, until node1's pvmd log stops growing
    // (the spawned tasks' last output).
    bool awaitQuietLog = false;
};

// A finished command on the virtual cluster and what the cluster kept of it.
struct ClusterRun : CommandResult {
    // vcluster.sh's exit status: 0 when the command ran to its end, 124 when the
    // time-out ended it, 125 when the cluster could not be set up.
    int clusterStatus = -1;
    // The cluster's own messages.
    std::string clusterErrors;
    // The run folder: each host's working directory <runFolder>/nodeK and the pvmd
    // logs. It is removed with the last copy of this run.
    std::filesystem::path runFolder;
    // Node1's pvmd log, where the output of spawned tasks lands.
    std::string pvmLog;
    // What each spawned task printed, in order, by its task identifier.
    std::map<int, std::vector<std::string>> taskLines;

    // Removes runFolder when the last copy of the run goes.
    std::shared_ptr<void> runFolderRemover;
};

// Runs a shell command line on host node1 of a fresh virtual cluster of the given
// number of hosts, as a user runs it there with scripts/vcluster.sh.
ClusterRun RunOnCluster(int hosts, const std::string& commandLine, const ClusterOptions& options = {});

// Runs a measured program's command line on node1 of a fresh virtual cluster of the
// given number of hosts, in folder (empty: this process's current folder), until no
// task of program is left there, so that every task has stored its measurement.
ClusterRun RunMeasured(int hosts, const std::string& commandLine, const std::string& program,
                       const std::filesystem::path& folder = {}, int timeoutSeconds = 120);

// The experiment a measured master reports as written (" *** KOVA Instrumentation:
// experiment N written to database"), -1 when none.
int WrittenExperiment(const std::string& output);

// The command line that runs this build's kova with the arguments (shell words).
std::string KovaCommand(const std::string& arguments);
// Runs this build's kova with the arguments, its standard error kept apart.
CommandResult RunKova(const std::string& arguments);

// Splits a pvmd log into the lines of each task: "[t<daemon>] <date> <time> [t<tid>] <text>".
std::map<int, std::vector<std::string>> TaskLines(const std::string& pvmLog);

// A word between single quotes, for the shell.
std::string ShellQuoted(const std::string& word);

// The whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::filesystem::path& path);

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

// The lines that begin with prefix.
std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix);

// The rest of every line that begins with prefix.
std::vector<std::string> LinesAfter(const std::vector<std::string>& lines, const std::string& prefix);

// How many lines equal line.
int CountLines(const std::vector<std::string>& lines, const std::string& line);

// Whether a line equals line.
bool HasLine(const std::vector<std::string>& lines, const std::string& line);

// How often needle occurs in text, without overlaps.
int CountOccurrences(const std::string& text, const std::string& needle);

// The login name of the effective user ("" when it has none).
std::string LoginName();

// Whether something accepts connections on the UNIX socket at path.
bool AcceptsConnections(const std::string& socketPath);

// A TCP port of 127.0.0.1 held open, as a server that is not this project's holds it.
class ListeningPort {
public:
    // Listens on port, or on a free port when port is 0.
    explicit ListeningPort(int port = 0);
    ~ListeningPort();
    ListeningPort(const ListeningPort&) = delete;
    ListeningPort& operator=(const ListeningPort&) = delete;

    // Whether it listens (false when another socket holds the port already).
    bool held() const { return mHeld; }
    int port() const { return mPort; }

private:
    int mFd;
    int mPort;
    bool mHeld = false;
};

// How a child process ended and what it wrote on standard output.
struct ChildResult {
    bool exited = false;  // false when a signal ended it
    int exitCode = 0;     // the exit status, or minus the signal's number
    std::string output;
};

// Runs body in a forked child with input on its standard input (then end of
// input) and its standard output collected; a child that returns from body exits
// with 0; one that runs longer than timeLimitSeconds is killed.
ChildResult RunInChild(const std::function<void()>& body, const std::string& input = "",
                       unsigned timeLimitSeconds = 60);
