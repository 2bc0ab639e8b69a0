// kova measure: runs an unmodified PVM program with the measuring library
// preloaded into every task (or an MPI launcher that preloads the MPI one into
// every rank, see mpi_launch.h), then reports the experiment the tasks stored.
#include "apps/kova/commands.h"
#include "apps/kova/mpi_launch.h"
#include "apps/kova/terminal_text.h"

#include "measure/block.h"
#include "measure/blockstore.h"
#include "measure/hostclock.h"

#include "probe/replacement.h"
#include "probe/databaseaddress.h"
#include "probe/pvmexport.h"
#include "persist/dbDescribable.h"
#include "analysis/error.h"
#include "persist/standarddatabase.h"

#include <pvm3.h>

#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
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
// Longest connect, read or write of kova measure's own database connection.
constexpr unsigned kDatabaseSeconds = 10;

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

// The measuring library of the program's communication library (PVM's, or the
// MPI of its launcher), at the same place relative to kova in the build tree as
// in an installed prefix.
fs::path MeasuringLibrary(Mpi mpi) {
    fs::path relative = KOVA_MEASURE_LIBRARY;
    if (mpi != Mpi::kNone) relative.replace_filename(MpiMeasuringLibrary(mpi));
    const fs::path library = fs::read_symlink("/proc/self/exe").parent_path() / relative;
    if (!fs::exists(library))
        throw analysis::Error("the measuring library " + library.lexically_normal().string() +
                                  " is missing (build the target " + library.stem().string().substr(3) +
                                  ", or install kova again)",
                              kExitMeasureFailed);
    return library.lexically_normal();
}

// The running virtual machine: its number of hosts, the PVM id of this host (where
// the master runs) and kova measure's own task, which stays enrolled to collect the
// tasks' last blocks.
struct VirtualMachine {
    int hosts = 0;
    int host = 0;
    int collector = 0;
};

VirtualMachine JoinVirtualMachine() {
    // PVM itself would end the process with its own text.
    if (geteuid() == 0 && std::getenv("PVM_ALLOW_ROOT") == nullptr)
        throw analysis::Error("PVM runs as root only with PVM_ALLOW_ROOT set in the environment", kExitMeasureFailed);
    // PVM reports its own failure on standard error before this message.
    VirtualMachine machine;
    machine.collector = pvm_mytid();
    if (machine.collector < 0)
        throw analysis::Error("no PVM virtual machine runs on this host: start one (pvm, or pvmd with a host "
                              "file) and measure again",
                              kExitMeasureFailed);
    int architectures = 0;
    pvmhostinfo* info = nullptr;
    pvm_config(&machine.hosts, &architectures, &info);
    machine.host = pvm_tidtohost(machine.collector);
    // The program must not inherit kova measure's connection to its daemon.
    int* sockets = nullptr;
    for (int k = 0, count = pvm_getfds(&sockets); k < count; ++k) fcntl(sockets[k], F_SETFD, FD_CLOEXEC);
    return machine;
}

// Takes the last blocks that the tasks hand kova measure (as PVM messages, while
// the program runs and after) and stores them as the tasks would have. Once told
// that the program ended, it waits, at most kTaskWaitSeconds, until every task the
// stored blocks announce (spawn trees and other hosts included) has stored its
// last block or has left PVM, names those still running and leaves PVM. It alone
// makes PVM calls and uses the connection while it runs.
class BlockCollector {
public:
    BlockCollector(MYSQL* db, int expID) : mDb(db), mExpID(expID), mThread([this] { Run(); }) {}
    ~BlockCollector() {
        if (mThread.joinable()) Finish();
    }

    // Waits for the tasks after the program's end; throws the database's failure.
    void Finish() {
        mProgramEnded = true;
        mThread.join();
        if (mFailure) std::rethrow_exception(mFailure);
    }
    // The clock offsets measured after the end for the tasks that measured none.
    const std::map<int, recording::ClockOffset>& offsets() const { return mOffsets; }

private:
    void Run() {
        try {
            Collect();
        } catch (...) {
            mFailure = std::current_exception();
        }
        pvm_exit();
    }

    // Takes the messages there are, waiting up to milliseconds for the first, and
    // stores their blocks; false when PVM fails. Every task is answered before any
    // block is stored, so that no task waits for another's insert.
    bool Receive(int milliseconds) {
        timeval wait = {milliseconds / 1000, milliseconds % 1000 * 1000};
        std::vector<std::pair<std::string, std::string>> blocks;
        int buffer = 0;
        while ((buffer = pvm_trecv(-1, recording::kBlockMessageTag, &wait)) > 0) {
            // The task ends once it knows that its block is here.
            int bytes = 0, tag = 0, task = 0;
            pvm_bufinfo(buffer, &bytes, &tag, &task);
            pvm_initsend(PvmDataDefault);
            pvm_send(task, recording::kBlockAnswerTag);
            int lengths[2] = {0, 0};
            if (pvm_upkint(lengths, 2, 1) >= 0 && lengths[0] > 0 && lengths[1] >= 0) {
                std::string block(static_cast<std::size_t>(lengths[0]), '\0');
                std::string spawned(static_cast<std::size_t>(lengths[1]), '\0');
                if (pvm_upkbyte(block.data(), lengths[0], 1) >= 0 &&
                    (lengths[1] == 0 || pvm_upkbyte(spawned.data(), lengths[1], 1) >= 0))
                    blocks.emplace_back(std::move(block), std::move(spawned));
            }
            pvm_freebuf(buffer);
            wait = {0, 0};
        }
        for (const auto& [block, spawned] : blocks) {
            std::string error;
            if (!recording::StoreBlock(mDb, mExpID, block.data(), block.size(), spawned, error))
                std::cerr << "kova measure: a message of phases was not stored: " << error << std::endl;
        }
        return buffer == 0;
    }

    void Collect() {
        while (!mProgramEnded)
            if (!Receive(10)) return;
        if (!Receive(0)) return;
        const std::vector<int> running = recording::AwaitTasks(
            mDb, mExpID, kTaskWaitSeconds, [](int tid) { return pvm_pstat(tid) != PvmNoTask; },
            [this](int milliseconds) { return Receive(milliseconds); });
        for (int tid : running)
            std::cerr << "kova measure: task t" << std::hex << tid << std::dec << " still runs after "
                      << kTaskWaitSeconds << " s; its phases are stored when it ends" << std::endl;
        // A task ended by SIGTERM measured no clock offset: its host's is measured
        // now, from here, on the master's host.
        mOffsets = recording::OffsetsMeasuredFromHere(recording::TasksWithoutOffsets(mDb, mExpID));
    }

    MYSQL* mDb;
    int mExpID;
    std::atomic<bool> mProgramEnded{false};
    std::exception_ptr mFailure;
    std::map<int, recording::ClockOffset> mOffsets;
    std::thread mThread;
};

// The environment of the program: the measuring library preloaded, the
// experiment and the master's host, and both passed on by PVM to every task
// spawned, with the database's address.
std::vector<std::string> MeasuringEnvironment(const fs::path& library, int expID, const VirtualMachine& machine) {
    ExportDatabaseAddress();
    std::map<std::string, std::string> settings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) settings[text.substr(0, equals)] = text.substr(equals + 1);
    }
    const std::string preloaded = settings["LD_PRELOAD"];
    settings["LD_PRELOAD"] = library.string() + (preloaded.empty() ? "" : ":" + preloaded);
    settings["KOVA_MEASURE_EXPERIMENT"] = std::to_string(expID);
    settings["KOVA_MEASURE_KOVA_PID"] = std::to_string(getpid());
    auto hex = [](int number) {
        std::ostringstream text;
        text << std::hex << number;
        return text.str();
    };
    settings["KOVA_MEASURE_MASTER_HOST"] = hex(machine.host);
    std::vector<std::string> exported = {"LD_PRELOAD", "KOVA_MEASURE_EXPERIMENT", "KOVA_MEASURE_MASTER_HOST"};
    if (machine.collector > 0) {
        settings[recording::kCollectorVariable] = hex(machine.collector);
        exported.push_back(recording::kCollectorVariable);
    }
    if (!settings[recording::kBlockPhasesVariable].empty()) exported.push_back(recording::kBlockPhasesVariable);
    settings["PVM_EXPORT"] = WithExported(settings["PVM_EXPORT"], exported);
    std::vector<std::string> environment;
    for (const auto& [name, value] : settings) environment.push_back(name + "=" + value);
    return environment;
}

std::vector<std::string> CurrentEnvironment() {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    return environment;
}

// Whether the program is an ELF executable without a program interpreter: linked
// statically, so that no preloaded library reaches its calls. Scripts and other
// files count as dynamic (their interpreter is).
bool IsStaticallyLinked(const fs::path& program) {
    std::ifstream in(program, std::ios::binary);
    Elf64_Ehdr header{};
    if (!in.read(reinterpret_cast<char*>(&header), sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64)
        return false;
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        in.seekg(static_cast<std::streamoff>(header.e_phoff + static_cast<std::uint64_t>(i) * header.e_phentsize));
        if (!in.read(reinterpret_cast<char*>(&segment), sizeof segment)) return false;
        if (segment.p_type == PT_INTERP || segment.p_type == PT_DYNAMIC) return false;
    }
    return true;
}

// The experiment row of the run, before the program starts, so that every task
// knows its experiment from the environment; 0, with the reason in lost, when the
// database refuses it. The connection then holds the experiment's running lock
// until kova measure has stored it.
int CreateExperiment(MYSQL* db, const MeasureOptions& options, std::string& lost) {
    auto quoted = [db](const std::string& text) {
        const std::string cut = CutToWidth(text);
        std::string out(cut.size() * 2 + 1, '\0');
        out.resize(mysql_real_escape_string(db, out.data(), cut.data(), cut.size()));
        return "'" + out + "'";
    };
    const std::string insert =
        "INSERT INTO Experiments (project, name, version, user, date, comment, p, W, nbrProcesses, Tp, Ts, speedup, "
        "efficiency, statusData, errorFlags, errors) VALUES ('', " + quoted(options.application) + ", '', " +
        quoted(GetUserID()) + ", " + quoted(DateTime()) + ", '', " + std::to_string(options.p) + ", " +
        std::to_string(options.W) + ", 0, 0, 0, 0, 0, 0, 0, '')";
    if (mysql_real_query(db, insert.data(), insert.size()) != 0) {
        lost = std::string("the measurement database refused the experiment: ") + mysql_error(db);
        return 0;
    }
    const int id = static_cast<int>(mysql_insert_id(db));
    const std::string lock = "SELECT GET_LOCK('" + RunningExperimentLockName(id) + "', 0)";
    if (mysql_real_query(db, lock.data(), lock.size()) == 0)
        if (MYSQL_RES* result = mysql_store_result(db)) mysql_free_result(result);
    return id;
}

// The policy's answer from the terminal, never from the program's input; without
// a terminal every similar experiment is kept.
std::string AskUser() {
    std::FILE* tty = std::fopen("/dev/tty", "r+");
    if (tty == nullptr) {
        std::cerr << "kova measure: no terminal to ask what to do with similar experiments: all are kept "
                     "(do-not-replace)" << std::endl;
        return "do-not-replace";
    }
    std::fputs("kova measure: what should be done with similar experiments?\n"
               "  r (replace-if-faster), s (replace-if-successful) or n (do-not-replace) ? ", tty);
    std::fflush(tty);
    std::string answer = "do-not-replace";
    for (int c; (c = std::fgetc(tty)) != EOF;) {
        if (c == 'r') answer = "replace-if-faster";
        if (c == 's') answer = "replace-if-successful";
        if (c == 'r' || c == 's' || c == 'n') break;
        if (c != '\n' && c != ' ') std::fputs("  please answer r, s or n ? ", tty);
    }
    std::fclose(tty);
    return answer;
}

// Applies the policy to the stored experiment; false when it is not kept.
bool ApplyPolicy(StandardDatabase& db, int expID, std::string policy) {
    if (policy == "ask-user") policy = AskUser();
    if (policy != "replace-if-faster" && policy != "replace-if-successful") return true;
    Experiment current;
    current.mID = expID;
    if (!DbConvertor(&db).ReadObj(current)) return true;
    const std::string lock = db.QuotedValue(ReplacementLockName(current));
    if (db.QueryFirst("SELECT GET_LOCK(" + lock + ", 60)") != "1") {
        std::cerr << "kova measure: gave up waiting 60 s for the lock of similar experiments, so none is replaced"
                  << std::endl;
        return true;
    }
    const bool stays = ReplaceSimilarExperiments(current, policy == "replace-if-faster", db);
    db.QueryFirst("SELECT RELEASE_LOCK(" + lock + ")");
    return stays;
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

double MonotonicSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

// Runs the program unmeasured, after saying why, and passes its status on.
int RunUnmeasured(const fs::path& program, const MeasureOptions& options, const std::string& why) {
    std::cerr << "kova measure: " << why << std::endl;
    return Outcome(RunProgram(program, options.command, CurrentEnvironment())).first;
}

int Measure(Session& session, MeasureOptions options) {
    const fs::path program = FindProgram(options.command.front());
    const Mpi mpi = LauncherOf(program);
    const fs::path library = MeasuringLibrary(mpi);
    const std::string name = options.command.front();
    if (options.application.empty() && mpi != Mpi::kNone)
        options.application = LaunchedProgram(options.command, [](const std::string& word) {
            try {
                FindProgram(word);
                return true;
            } catch (const analysis::Error&) {
                return false;
            }
        });
    if (options.application.empty()) options.application = program.filename().string();
    try {
        MeasurementDatabaseAddress();
    } catch (const std::invalid_argument& wrong) {
        throw analysis::Error(wrong.what(), analysis::kExitUsage);
    }
    const char* blockPhases = std::getenv(recording::kBlockPhasesVariable);
    if (blockPhases != nullptr && *blockPhases != 0 && !recording::BlockPhasesOf(blockPhases))
        throw analysis::Error(std::string(recording::kBlockPhasesVariable) + " must be a number of phases from " +
                                  std::to_string(recording::kFewestBlockPhases) + " to " +
                                  std::to_string(recording::kMostBlockPhases) + ", not '" + Printable(blockPhases) +
                                  "'",
                              analysis::kExitUsage);
    if (IsStaticallyLinked(program))
        return RunUnmeasured(program, options,
                             name + " is linked statically, so no PVM call of it can be measured (kova measure "
                                    "needs the shared libpvm3.so); it runs unmeasured");
    // An MPI program needs no virtual machine; its p is the number of ranks,
    // known once they are stored.
    VirtualMachine machine;
    if (mpi == Mpi::kNone) {
        machine = JoinVirtualMachine();
        if (options.p == 0) options.p = machine.hosts;
    }

    std::string lost;
    std::unique_ptr<MYSQL, void (*)(MYSQL*)> db(recording::ConnectBounded(kDatabaseSeconds, lost), mysql_close);
    const int id = db ? CreateExperiment(db.get(), options, lost) : 0;
    if (id == 0) {
        if (machine.collector > 0) pvm_exit();
        return RunUnmeasured(program, options,
                             "the measurement is lost: " +
                                 (db ? lost : "cannot reach the measurement database: " + lost) +
                                 "; the program runs unmeasured");
    }

    std::vector<std::string> environment = MeasuringEnvironment(library, id, machine);
    const std::vector<std::string> command =
        mpi == Mpi::kNone ? options.command : MeasuredLaunch(mpi, options.command, environment);
    std::optional<BlockCollector> collector;
    if (machine.collector > 0) collector.emplace(db.get(), id);
    const double started = MonotonicSeconds();
    int status = 0;
    try {
        status = RunProgram(program, command, environment);
    } catch (...) {
        collector.reset();
        throw;
    }
    const double ended = MonotonicSeconds();
    const auto [exitStatus, failure] = Outcome(status);
    recording::Expansion expansion;
    try {
        if (collector) collector->Finish();
        const double expanding = MonotonicSeconds();
        expansion = recording::ExpandExperiment(db.get(), id, failure.empty() ? "" : "the program " + failure,
                                                collector ? collector->offsets() : std::map<int, recording::ClockOffset>());
        // For the benchmark that sets the server's load of each step apart.
        if (std::getenv("KOVA_MEASURE_REPORT_TIMES") != nullptr)
            std::fprintf(stderr,
                         "kova measure: times: program %.6f to %.6f, expansion %.6f to %.6f, %lld phases\n",
                         started, ended, expanding, MonotonicSeconds(), expansion.phases);
    } catch (const recording::StoreError& error) {
        std::cerr << "kova measure: the measurement of experiment " << id << " is lost: " << error.what() << std::endl;
        return exitStatus;
    }
    if (!expansion.expanded) {
        const std::string remove = "DELETE FROM Experiments WHERE ID = " + std::to_string(id);
        mysql_real_query(db.get(), remove.data(), remove.size());
        std::cerr << "kova measure: " << Printable(name)
                  << (mpi == Mpi::kNone ? " made no call of the shared PVM library (libpvm3.so)"
                                        : " started no rank that called MPI_Init of a shared MPI library")
                  << ", so nothing was measured" << std::endl;
        return exitStatus != 0 ? exitStatus : analysis::kExitNotFound;
    }
    if (options.p == 0) options.p = StoreRanksAsP(db.get(), id);
    db.reset();
    if (expansion.stored < expansion.announced)
        std::cerr << "kova measure: experiment " << id << ": announced " << expansion.announced << ", stored "
                  << expansion.stored << " tasks; it is flagged EXP_CRASHED" << std::endl;
    if (!ApplyPolicy(session.Measurement(), id, options.policy)) {
        std::cerr << "kova measure: experiment " << id
                  << " is not stored: a similar experiment at least as fast is kept (policy " << options.policy
                  << ")" << std::endl;
        return exitStatus;
    }
    if (!failure.empty())
        std::cerr << "kova measure: " << Printable(name) << " " << failure << "; experiment " << id << " is flagged EXP_CRASHED"
                  << std::endl;
    std::cerr << "kova measure: experiment " << id << " stored (" << Printable(options.application) << ", p=" << options.p
              << ", W=" << options.W << ")" << std::endl;
    return exitStatus;
}

}  // namespace

void AddMeasureCommands(CLI::App& app, Session& session) {
    auto options = std::make_shared<MeasureOptions>();
    CLI::App* command = app.add_subcommand(
        "measure", "runs an unmodified PVM program on this host of the virtual machine, or an MPI program through "
                   "its launcher (mpirun, mpiexec), and measures every task");
    command->add_option("--application", options->application, "the application's name (default: the program's)");
    command->add_option("--p", options->p, "the number of machines p (default: the virtual machine's hosts, or the MPI program's ranks)")
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
