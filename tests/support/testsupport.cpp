#include "tests/support/testsupport.h"

#include <kova_site.h>

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

// A wait status as the shell reports it.
int ExitStatus(int waitStatus) {
    if (waitStatus == -1) return -1;
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

// The command line in a subshell of its own, so that redirections apply to all of it
// and an exit in it ends only it; the line end lets it finish with a comment.
std::string Grouped(const std::string& commandLine) { return "( " + commandLine + "\n)"; }

// Removes a cluster's run folder when the last copy of its run goes.
struct RunFolderRemover {
    explicit RunFolderRemover(const fs::path& runFolder) : folder(runFolder) {}
    RunFolderRemover(const RunFolderRemover&) = delete;
    RunFolderRemover& operator=(const RunFolderRemover&) = delete;
    ~RunFolderRemover() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    const fs::path folder;
};

// Waits until node1's pvmd log has not grown for 0.3 s.
const char* const AWAIT_QUIET_LOG =
    "last=-1\n"
    "for _ in $(seq 50); do\n"
    "  size=$(wc -c <\"$VCLUSTER_PVMLOG\")\n"
    "  [ \"$size\" = \"$last\" ] && break\n"
    "  last=$size; sleep 0.3\n"
    "done\n";

}  // namespace

ScratchFolder::ScratchFolder(const std::string& prefix, Place place) {
    const fs::path parent = place == BuildTree ? fs::path(KOVA_BINARY_DIR) : fs::temp_directory_path();
    std::string pattern = (parent / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a folder " + pattern);
    mPath = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(mPath, ignored);
}

std::vector<std::string> CommandResult::outputLines() const { return Lines(output); }

CommandResult RunCommand(const std::string& commandLine, ErrorStream errors) {
    CommandResult result;
    std::string errorFile;
    std::string line = Grouped(commandLine);
    if (errors == ErrorStream::Merged) {
        line += " 2>&1";
    } else {
        errorFile = (fs::temp_directory_path() / "kova-errors-XXXXXX").string();
        const int fd = mkstemp(errorFile.data());
        if (fd == -1) {
            result.errors = "cannot create a file for the errors of " + commandLine;
            return result;
        }
        close(fd);
        line += " 2>" + ShellQuoted(errorFile);
    }
    if (FILE* pipe = popen(line.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, got);
        result.status = ExitStatus(pclose(pipe));
    } else {
        result.errors = "cannot run " + commandLine;
    }
    if (!errorFile.empty()) {
        result.errors += ReadFile(errorFile);
        std::remove(errorFile.c_str());
    }
    return result;
}

ClusterRun RunOnCluster(int hosts, const std::string& commandLine, const ClusterOptions& options) {
    // The command's files lie in the build tree, which node1 sees too.
    const ScratchFolder capture("cluster-run");
    const fs::path& dir = capture.path();
    const auto file = [&dir](const char* name) { return ShellQuoted((dir / name).string()); };
    std::ofstream(dir / "input", std::ios::binary) << options.input;

    std::string script = "echo \"$VCLUSTER_RUN_DIR\" >" + file("run-folder") + "\n";
    if (!options.workingFolder.empty()) script += "cd " + ShellQuoted(options.workingFolder.string()) + " || exit\n";
    script += Grouped(commandLine) + " <" + file("input") + " >" + file("output") +
              (options.errors == ErrorStream::Merged ? " 2>&1" : " 2>" + file("errors")) + "\n";
    script += "echo $? >" + file("status") + "\n";
    if (!options.awaitProgram.empty())
        script += "for _ in $(seq 600); do pgrep -x " + ShellQuoted(options.awaitProgram) +
                  " >/dev/null || break; sleep 0.1; done\n";
    if (options.awaitQuietLog) script += AWAIT_QUIET_LOG;
    script += "exit 0\n";
    std::ofstream(dir / "run.sh") << script;

    const fs::path bin = options.binFolder.empty() ? fs::path(KOVA_BINARY_DIR) / "bin" : options.binFolder;
    // The servers this build's programs reach are the ones its state folder registers.
    const fs::path state = options.stateFolder.empty() ? fs::path(KOVA_STATE_DIR) : options.stateFolder;
    const std::string line = "KOVA_STATE_DIR=" + ShellQuoted(state.string()) +
                             " KOVA_BUILD_DIR=" + ShellQuoted(KOVA_BINARY_DIR) + " bash " + ShellQuoted(std::string(KOVA_SOURCE_DIR) + "/scripts/vcluster.sh") + " " +
                             std::to_string(hosts) + " --keep-logs --timeout " +
                             std::to_string(options.timeoutSeconds) + " --bin " + ShellQuoted(bin.string()) +
                             " -- bash " + file("run.sh") + " </dev/null >/dev/null 2>" + file("cluster-errors");
    ClusterRun run;
    run.clusterStatus = ExitStatus(std::system(line.c_str()));
    run.clusterErrors = ReadFile(dir / "cluster-errors");
    const std::string status = ReadFile(dir / "status");
    if (!status.empty()) run.status = std::atoi(status.c_str());
    run.output = ReadFile(dir / "output");
    run.errors = ReadFile(dir / "errors");

    std::string runFolder = ReadFile(dir / "run-folder");
    runFolder.erase(std::remove(runFolder.begin(), runFolder.end(), '\n'), runFolder.end());
    // Only a folder of the cluster's own is ever removed.
    if (!runFolder.empty() && fs::path(runFolder).parent_path().filename() == "vcluster") {
        run.runFolder = runFolder;
        run.runFolderRemover = std::make_shared<RunFolderRemover>(run.runFolder);
        run.pvmLog = ReadFile(run.runFolder / "tmp/node1" / ("pvml." + std::to_string(getuid())));
        run.taskLines = TaskLines(run.pvmLog);
    }
    if (run.clusterStatus != 0 || run.status != 0)
        std::cout << "the cluster said:\n" << run.clusterErrors << run.errors << std::flush;
    return run;
}

ClusterRun RunMeasured(int hosts, const std::string& commandLine, const std::string& program, const fs::path& folder,
                       int timeoutSeconds) {
    ClusterOptions options;
    options.workingFolder = folder;
    options.awaitProgram = program;
    options.timeoutSeconds = timeoutSeconds;
    return RunOnCluster(hosts, commandLine, options);
}

int WrittenExperiment(const std::string& output) {
    static const std::regex written(R"( \*\*\* KOVA Instrumentation: experiment (\d+) written to database)");
    std::smatch match;
    return std::regex_search(output, match, written) ? std::stoi(match[1]) : -1;
}

std::string KovaCommand(const std::string& arguments) {
    return ShellQuoted(std::string(KOVA_BINARY_DIR) + "/bin/kova") + " " + arguments;
}

CommandResult RunKova(const std::string& arguments) { return RunCommand(KovaCommand(arguments), ErrorStream::Apart); }

std::map<int, std::vector<std::string>> TaskLines(const std::string& pvmLog) {
    static const std::regex taskLine(R"(^\[t[0-9a-f]+\] \S+ \S+ \[t([0-9a-f]+)\] ?(.*)$)");
    std::map<int, std::vector<std::string>> lines;
    std::smatch match;
    for (const std::string& line : Lines(pvmLog))
        if (std::regex_match(line, match, taskLine))
            lines[std::stoi(match[1].str(), nullptr, 16)].push_back(match[2].str());
    return lines;
}

std::string ShellQuoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    return found;
}

std::vector<std::string> LinesAfter(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> rests = LinesStartingWith(lines, prefix);
    for (std::string& line : rests) line.erase(0, prefix.size());
    return rests;
}

int CountLines(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

int CountOccurrences(const std::string& text, const std::string& needle) {
    if (needle.empty()) return 0;
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::string LoginName() {
    const passwd* entry = getpwuid(geteuid());
    return entry ? entry->pw_name : "";
}

bool AcceptsConnections(const std::string& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd == -1) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

ListeningPort::ListeningPort(int port) : mFd(socket(AF_INET, SOCK_STREAM, 0)), mPort(port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t size = sizeof address;
    mHeld = bind(mFd, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(mFd, 1) == 0 &&
            getsockname(mFd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    if (mHeld) mPort = ntohs(address.sin_port);
}

ListeningPort::~ListeningPort() { close(mFd); }

ChildResult RunInChild(const std::function<void()>& body, const std::string& input, unsigned timeLimitSeconds) {
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0) throw std::runtime_error("pipe failed");
    if (pipe(fromChild) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        throw std::runtime_error("pipe failed");
    }
    std::cout.flush();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        close(toChild[0]);
        close(toChild[1]);
        close(fromChild[0]);
        close(fromChild[1]);
        alarm(timeLimitSeconds);
        body();
        std::cout.flush();
        std::fflush(nullptr);
        _exit(0);
    }
    close(toChild[0]);
    close(fromChild[1]);
    // The input is small enough for the pipe's buffer, so writing cannot block.
    const bool written = input.empty() || write(toChild[1], input.data(), input.size()) >= 0;
    close(toChild[1]);
    ChildResult result;
    char buffer[4096];
    for (ssize_t got; (got = read(fromChild[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, got);
    close(fromChild[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!written) throw std::runtime_error("writing the child's input failed");
    result.exited = WIFEXITED(status);
    result.exitCode = result.exited ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}
