// kova measure: runs an unmodified PVM program with the measuring library
// preloaded into every task, then reports the experiment the tasks stored.
#include "commands.h"

#include <error.h>
#include <standarddatabase.h>

#include <pvm3.h>

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// kova measure's own failures, before the program runs; the program's
// cannot-run and not-found statuses are those of the shell.
constexpr int kExitMeasureFailed = 125;
constexpr int kExitNotExecutable = 126;
constexpr int kExitNoProgram = 127;

// How long kova measure waits for the spawned tasks after the program ended.
constexpr int kTaskWaitSeconds = 30;

const std::map<std::string, int> kPolicies = {{"replace-if-faster", 0},
                                              {"replace-if-successful", 1},
                                              {"ask-user", 2},
                                              {"do-not-replace", 3}};

struct MeasureOptions {
    std::string application;
    int p = 0;
    int W = 0;
    std::string policy = "do-not-replace";
    std::vector<std::string> command;
};

}  // namespace

fs::path FindProgram(const std::string& name) {
    auto runnable = [](const fs::path& path) { return access(path.c_str(), X_OK) == 0 && !fs::is_directory(path); };
    if (name.find('/') != std::string::npos) {
        if (!fs::exists(name)) throw analysis::Error(name + ": no such program", kExitNoProgram);
        if (!runnable(name)) throw analysis::Error(name + ": not an executable program", kExitNotExecutable);
        return name;
    }
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const fs::path candidate = fs::path(folder.empty() ? "." : folder) / name;
        if (runnable(candidate)) return candidate;
    }
    throw analysis::Error(name + ": no such program in PATH", kExitNoProgram);
}

namespace {

// The measuring library, at the same place relative to kova in the build tree
// as in an installed prefix.
fs::path MeasuringLibrary() {
    const fs::path library = fs::read_symlink("/proc/self/exe").parent_path() / KOVA_MEASURE_LIBRARY;
    if (!fs::exists(library))
        throw analysis::Error("the measuring library " + library.lexically_normal().string() +
                                  " is missing (build the target kova_measure, or install kova again)",
                              kExitMeasureFailed);
    return library.lexically_normal();
}

// The number of hosts of the running virtual machine. kova leaves PVM again.
int VirtualMachineHosts() {
    // PVM itself would end the process with its own text.
    if (geteuid() == 0 && std::getenv("PVM_ALLOW_ROOT") == nullptr)
        throw analysis::Error("PVM runs as root only with PVM_ALLOW_ROOT set in the environment", kExitMeasureFailed);
    // PVM reports its own failure on standard error before this message.
    if (pvm_mytid() < 0)
        throw analysis::Error("no PVM virtual machine runs on this host: start one (pvm, or pvmd with a host "
                              "file) and measure again",
                              kExitMeasureFailed);
    int hosts = 0, architectures = 0;
    pvmhostinfo* info = nullptr;
    pvm_config(&hosts, &architectures, &info);
    pvm_exit();
    return hosts;
}

// What the master task told kova measure: its experiments and the tasks it spawned.
struct Announced {
    std::vector<int> experiments;
    std::vector<int> tasks;
};

Announced ReadAnnouncements(const fs::path& file) {
    Announced announced;
    std::ifstream in(file);
    std::string what;
    int number = 0;
    while (in >> what >> number) (what == "experiment" ? announced.experiments : announced.tasks).push_back(number);
    return announced;
}

// Waits, at most kTaskWaitSeconds, until the tasks have left PVM, so that what
// they measured is stored when kova measure ends; names those still running.
void AwaitTasks(const std::vector<int>& tasks) {
    if (tasks.empty() || pvm_mytid() < 0) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTaskWaitSeconds);
    std::vector<int> running = tasks;
    while (!running.empty()) {
        std::vector<int> still;
        for (int tid : running)
            if (pvm_pstat(tid) == PvmOk) still.push_back(tid);
        running.swap(still);
        if (running.empty() || std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (int tid : running)
        std::cerr << "kova measure: task t" << std::hex << tid << std::dec << " still runs after " << kTaskWaitSeconds
                  << " s; its phases are stored when it ends" << std::endl;
    pvm_exit();
}

// The environment of the program: the measuring library preloaded, the
// measurement's settings, and both passed on by PVM to every task spawned.
std::vector<std::string> MeasuringEnvironment(const MeasureOptions& options, const fs::path& library,
                                              const fs::path& announcements) {
    std::map<std::string, std::string> settings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) settings[text.substr(0, equals)] = text.substr(equals + 1);
    }
    const std::string preloaded = settings["LD_PRELOAD"];
    settings["LD_PRELOAD"] = library.string() + (preloaded.empty() ? "" : ":" + preloaded);
    settings["KOVA_MEASURE_APPLICATION"] = options.application;
    settings["KOVA_MEASURE_P"] = std::to_string(options.p);
    settings["KOVA_MEASURE_W"] = std::to_string(options.W);
    settings["KOVA_MEASURE_POLICY"] = std::to_string(kPolicies.at(options.policy));
    settings["KOVA_MEASURE_ID_FILE"] = announcements.string();
    std::string exported = settings["PVM_EXPORT"];
    for (const char* name : {"LD_PRELOAD", "KOVA_MEASURE_APPLICATION", "KOVA_MEASURE_P", "KOVA_MEASURE_W",
                             "KOVA_MEASURE_POLICY"})
        if ((":" + exported + ":").find(std::string(":") + name + ":") == std::string::npos)
            exported += (exported.empty() ? "" : ":") + std::string(name);
    settings["PVM_EXPORT"] = exported;
    std::vector<std::string> environment;
    for (const auto& [name, value] : settings) environment.push_back(name + "=" + value);
    return environment;
}

pid_t gProgram = 0;

void ForwardSignal(int signal) {
    if (gProgram > 0) kill(gProgram, signal);
}

// Runs the program and returns its wait status. Interrupts from the terminal
// reach the program itself; kova measure outlives them to report.
int RunProgram(const fs::path& program, const std::vector<std::string>& command,
               const std::vector<std::string>& environment) {
    std::vector<char*> argv, envp;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    struct sigaction ignore {}, forward {}, oldInt {}, oldQuit {}, oldTerm {}, oldHup {};
    ignore.sa_handler = SIG_IGN;
    forward.sa_handler = ForwardSignal;
    sigaction(SIGINT, &ignore, &oldInt);
    sigaction(SIGQUIT, &ignore, &oldQuit);
    sigaction(SIGTERM, &forward, &oldTerm);
    sigaction(SIGHUP, &forward, &oldHup);
    const int failed = posix_spawn(&gProgram, program.c_str(), nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    int status = 0;
    if (failed == 0)
        while (waitpid(gProgram, &status, 0) < 0 && errno == EINTR) {
        }
    gProgram = 0;
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
    if (failed != 0)
        throw analysis::Error(program.string() + ": cannot run it: " + std::strerror(failed), kExitNotExecutable);
    return status;
}

// The exit status kova measure passes on, and how the program ended in words
// (empty when it succeeded).
std::pair<int, std::string> Outcome(int status) {
    if (WIFSIGNALED(status))
        return {128 + WTERMSIG(status), std::string("was ended by signal ") + std::to_string(WTERMSIG(status)) +
                                            " (" + strsignal(WTERMSIG(status)) + ")"};
    const int code = WEXITSTATUS(status);
    return {code, code == 0 ? "" : "ended with exit status " + std::to_string(code)};
}

int Measure(Session& session, MeasureOptions options) {
    const fs::path program = FindProgram(options.command.front());
    const fs::path library = MeasuringLibrary();
    if (options.application.empty()) options.application = program.filename().string();
    // A missing server is reported now, not by every task of the program.
    StandardDatabase& db = session.Measurement();
    const int hosts = VirtualMachineHosts();
    if (options.p == 0) options.p = hosts;

    char pattern[] = "/tmp/kova-measure-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) throw analysis::Error(std::string("cannot create a file in /tmp: ") + std::strerror(errno));
    close(fd);
    const fs::path announcements = pattern;
    int status = 0;
    try {
        status = RunProgram(program, options.command, MeasuringEnvironment(options, library, announcements));
    } catch (...) {
        fs::remove(announcements);
        throw;
    }
    const Announced announced = ReadAnnouncements(announcements);
    fs::remove(announcements);
    AwaitTasks(announced.tasks);

    const auto [exitStatus, failure] = Outcome(status);
    const std::string name = options.command.front();
    if (announced.experiments.empty()) {
        std::cerr << "kova measure: " << name
                  << " made no call of the shared PVM library (libpvm3.so), so nothing was measured" << std::endl;
        return exitStatus != 0 ? exitStatus : analysis::kExitNotFound;
    }
    for (int id : announced.experiments) {
        const std::string idText = std::to_string(id);
        if (db.QueryFirst("SELECT COUNT(*) FROM Experiments WHERE ID = " + idText) == "0") {
            std::cerr << "kova measure: experiment " << id
                      << " is not stored: a similar experiment at least as fast is kept (policy " << options.policy
                      << ")" << std::endl;
            continue;
        }
        if (!failure.empty()) {
            // The flag tells every analysis that this run did not end as it should.
            db.Query("UPDATE Experiments SET errorFlags = errorFlags | 1, errors = " +
                     db.QuotedValue(CutToWidth("the program " + failure)) + " WHERE ID = " + idText);
            std::cerr << "kova measure: " << name << " " << failure << "; experiment " << id
                      << " is flagged EXP_CRASHED" << std::endl;
        }
        std::cerr << "kova measure: experiment " << id << " stored (" << options.application << ", p=" << options.p
                  << ", W=" << options.W << ")" << std::endl;
    }
    return exitStatus;
}

}  // namespace

void AddMeasureCommands(CLI::App& app, Session& session) {
    auto options = std::make_shared<MeasureOptions>();
    CLI::App* command = app.add_subcommand(
        "measure", "runs an unmodified PVM program on this host of the virtual machine and measures every task");
    command->add_option("--application", options->application, "the application's name (default: the program's)");
    command->add_option("--p", options->p, "the number of machines p (default: the virtual machine's hosts)")
        ->check(CLI::PositiveNumber);
    command->add_option("--W", options->W, "the problem size W (default 0)")->check(CLI::NonNegativeNumber);
    command->add_option("--policy", options->policy, "what happens to similar stored experiments")
        ->check(CLI::IsMember({"replace-if-faster", "replace-if-successful", "ask-user", "do-not-replace"}))
        ->capture_default_str();
    command->add_option("PROGRAM", options->command, "the program and its arguments, after --")->required();
    command->callback([&session, options] {
        const int status = Measure(session, *options);
        std::cout.flush();
        std::exit(status);
    });
}
