#include "cluster.h"

#include <kova_site.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

std::string ShellQuoted(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Waits, at most 60 s, until no annpipe process works in a folder of the run.
const char* const WAIT_FOR_TASKS =
    "tasks_left() { for pid in $(pgrep -x annpipe); do case $(readlink /proc/$pid/cwd) in "
    "\"$VCLUSTER_RUN_DIR\"/*) return 0;; esac; done; return 1; }; "
    "for i in $(seq 600); do tasks_left || break; sleep 0.1; done; ";

// The output lines of spawned tasks in a pvmd log: "[t<daemon>] <date> <time> [t<tid>] <text>".
std::map<int, std::vector<std::string>> TaskLines(const std::string& log) {
    static const std::regex taskLine(R"(^\[t[0-9a-f]+\] \S+ \S+ \[t([0-9a-f]+)\] ?(.*)$)");
    std::map<int, std::vector<std::string>> lines;
    for (const std::string& line : Lines(log)) {
        std::smatch match;
        if (std::regex_match(line, match, taskLine))
            lines[std::stoi(match[1].str(), nullptr, 16)].push_back(match[2].str());
    }
    return lines;
}

}  // namespace

ScratchFolder::ScratchFolder() {
    const std::string parent = std::string(KOVA_BINARY_DIR) + "/annpipe-tests";
    mkdir(parent.c_str(), 0755);
    std::string pattern = parent + "/run-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a folder in " + parent);
    mPath = pattern;
}

ScratchFolder::~ScratchFolder() { std::system(("rm -rf " + ShellQuoted(mPath)).c_str()); }

ClusterRun RunOnCluster(const std::string& folder, const std::string& command, const std::string& pvmPath) {
    const std::string script = "cd " + ShellQuoted(folder) + "; " + command + " >.out 2>.err </dev/null; status=$?; " +
                               WAIT_FOR_TASKS + "cp \"$VCLUSTER_PVMLOG\" .pvmlog; exit $status";
    const std::string line = "bash " + ShellQuoted(std::string(KOVA_SOURCE_DIR) + "/scripts/vcluster.sh") +
                             " 3 --timeout 120 --bin " + ShellQuoted(pvmPath) + " -- bash -c " + ShellQuoted(script) +
                             " >" + ShellQuoted(folder + "/.cluster") + " 2>&1 </dev/null";
    const int status = std::system(line.c_str());
    ClusterRun run;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = ReadFile(folder + "/.out");
    run.taskLines = TaskLines(ReadFile(folder + "/.pvmlog"));
    if (run.exitStatus != 0)
        std::cout << "the cluster said:\n" << ReadFile(folder + "/.cluster") << ReadFile(folder + "/.err") << std::flush;
    return run;
}

std::string ArgumentLoggingPath(const std::string& folder) {
    const std::string path = folder + "/slaves";
    mkdir(path.c_str(), 0755);
    std::ofstream wrapper(path + "/annpipe");
    wrapper << "#!/bin/sh\n"
            << "echo \"$#:$*\" >>" << ShellQuoted(folder + "/slave-arguments") << "\n"
            << "exec " << ShellQuoted(ANNPIPE_PATH) << " \"$@\"\n";
    wrapper.close();
    chmod((path + "/annpipe").c_str(), 0755);
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int CountLines(const std::vector<std::string>& lines, const std::string& line) {
    int count = 0;
    for (const std::string& each : lines) count += each == line;
    return count;
}

std::string LoginName() {
    const passwd* entry = getpwuid(geteuid());
    return entry ? entry->pw_name : "";
}
