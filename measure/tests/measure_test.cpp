// kova measure and the installed probe as a user meets them: PVM's own example
// programs, built from pvm-examples' sources, measured unmodified on the virtual
// cluster; the C and Fortran examples built against an installed prefix with
// pkg-config and with find_package; the database address taken at run time; bad
// input.
#include "measure/tests/measured_run.h"

#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <kova_site.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

const std::string KOVA = std::string(KOVA_BIN_DIR) + "/kova";

// PVM's example programs, built once from their sources (unchanged) into a folder
// that every host of a virtual cluster sees; it is PVM's executable path of the
// runs that measure them.
const fs::path& PvmExamples() {
    static ScratchFolder folder("pvm-examples");
    static bool built = false;
    if (!built) {
        built = true;
        // hitc includes '../include/fpvm3.h', relative to its source.
        Build(folder.path(),
              "tar xzf /usr/share/doc/pvm-examples/examples.tar.gz && mkdir -p include && "
              "cp /usr/include/fpvm3.h include/ && "
              "for p in master1 slave1 timing timing_slave hello hello_other; do gcc -w -o $p examples/$p.c -lpvm3 || "
              "exit; done && gcc -w -static -o master1_static examples/master1.c -lpvm3 -ltirpc && "
              "for p in hitc hitc_slave; do gfortran -w -o $p examples/$p.f -lfpvm3 -lpvm3 || exit; done");
    }
    return folder.path();
}

// A prefix with the project installed, once, in the build tree.
fs::path InstalledPrefix() {
    static ScratchFolder folder("installed");
    static bool installed = false;
    if (!installed) {
        installed = true;
        Build(folder.path(), "cmake --install " + ShellQuoted(KOVA_BINARY_DIR) + " --prefix prefix >/dev/null");
    }
    return folder.path() / "prefix";
}

// A run of kova measure (or of a program given whole) on a three-host cluster
// whose executable path is bin.
ClusterRun OnCluster(const std::string& commandLine, const fs::path& bin, const std::string& environment = "") {
    ClusterOptions options;
    options.binFolder = bin;
    options.workingFolder = bin;
    return RunOnCluster(3, environment + " " + commandLine, options);
}

const std::string EXPERIMENT = " FROM Phases WHERE expID = ";

}  // namespace

TEST(MeasurePvmExamples, MasterAndSlavesOfAnotherExecutableAreMeasuredWithEveryMessageMatched) {
    const ClusterRun run = OnCluster(ShellQuoted(KOVA) + " measure -- master1", PvmExamples());
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    // Standard output is the program's own.
    EXPECT_EQ(run.output.find(" *** "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Spawning 9 worker tasks ... SUCCESSFUL\n"), std::string::npos) << run.output;
    EXPECT_EQ(CountOccurrences(run.output, "I got "), 9);
    EXPECT_NE(run.errors.find("(master1, p=3, W=0)"), std::string::npos) << run.errors;
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    const std::string exp = std::to_string(id);
    EXPECT_EQ(Number("SELECT nbrProcesses FROM Experiments WHERE ID = " + exp), 10);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp), 10);
    // The multicast is one send per slave (tag 0), then each slave sends to its
    // neighbour (tag 22) and the result to the master (tag 5); the tag is the
    // quantum count, every receive names its real source.
    for (int tag : {0, 22, 5}) {
        const std::string quantum = " AND nbrQuantums = " + std::to_string(tag);
        EXPECT_EQ(Number("SELECT COUNT(*)" + EXPERIMENT + exp + " AND typeID = 5" + quantum), 9) << tag;
        EXPECT_EQ(Number("SELECT COUNT(*)" + EXPERIMENT + exp + " AND typeID = 6" + quantum), 9) << tag;
    }
    EXPECT_EQ(Number("SELECT COUNT(*)" + EXPERIMENT + exp + " AND typeID = 6 AND commPartnerTid NOT IN "
                     "(SELECT pvmTid FROM Processes WHERE expID = " + exp + ")"),
              0);
    // Each receive is preceded by its wait.
    EXPECT_EQ(Number("SELECT COUNT(*)" + EXPERIMENT + exp + " AND typeID = 6 AND NOT EXISTS (SELECT 1 FROM Phases i "
                     "WHERE i.expID = Phases.expID AND i.processID = Phases.processID AND i.nbr = Phases.nbr - 1 "
                     "AND i.typeID = 2)"),
              0);
    EXPECT_EQ(Number("SELECT COUNT(*)" + EXPERIMENT + exp + " AND typeID = 7"), 9);
    // Each task is stored with its executable: the spawning master's and its nine slaves'.
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp + " AND executable = 'slave1'"), 9);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp + " AND executable = 'master1' AND ID IN "
                     "(SELECT processID" + EXPERIMENT + exp + " AND typeID = 7)"),
              1);
    ExpectEveryMessageMatched(id, 27);
}

TEST(MeasurePvmExamples, FortranPoolOfTasksIsMeasuredWithEveryMessageMatched) {
    // The application's name holds an escape sequence: it is stored as given and
    // printed escaped, never sent to the terminal raw.
    const ClusterRun run = OnCluster(
        ShellQuoted(KOVA) + " measure --application \"hitc$(printf '\\033')[2J-pool\" --W 140 -- hitc", PvmExamples());
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    EXPECT_NE(run.output.find("Program Finished"), std::string::npos) << run.output;
    EXPECT_NE(run.errors.find("stored (hitc\\e[2J-pool, p="), std::string::npos) << run.errors;
    EXPECT_EQ(run.errors.find('\033'), std::string::npos) << run.errors;
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    EXPECT_EQ(Number("SELECT W FROM Experiments WHERE ID = " + std::to_string(id) +
                     " AND name = CONCAT('hitc', CHAR(27), '[2J-pool')"),
              140);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + std::to_string(id)), 4);
    // The multicast to three slaves, then 30 results and 30 replies.
    ExpectEveryMessageMatched(id, 63);
}

TEST(MeasurePvmExamples, FailingProgramPassesOnItsStatusAndItsExperimentIsFlagged) {
    // timing always ends with exit status 1, after killing its echo slave, whose
    // wildcard pvm_recv(-1, -1) answers every message it takes.
    const ClusterRun run = OnCluster(ShellQuoted(KOVA) + " measure -- timing", PvmExamples());
    ASSERT_EQ(run.clusterStatus, 0) << run.clusterErrors;
    EXPECT_EQ(run.status, 1) << run.errors;
    EXPECT_NE(run.output.find("RTT Avg uSec"), std::string::npos) << run.output;
    EXPECT_NE(run.errors.find("kova measure: timing ended with exit status 1; experiment "), std::string::npos)
        << run.errors;
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    const std::string exp = std::to_string(id);
    auto db = ConnectToMeasurementDb();
    EXPECT_EQ(db->QueryFirst("SELECT errors FROM Experiments WHERE ID = " + exp),
              "the program ended with exit status 1");
    EXPECT_EQ(SelectNumber(*db, "SELECT errorFlags & 1 FROM Experiments WHERE ID = " + exp), 1);
    EXPECT_EQ(SelectNumber(*db, "SELECT statusData FROM Experiments WHERE ID = " + exp), 1);
    // The probe's experiment number never reached the slave's wildcard receive,
    // else it would have been echoed and received with its tag.
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*)" + EXPERIMENT + exp + " AND nbrQuantums = 4596"), 0);
    // The master's 20 round trips and 5 x 20 bandwidth messages, each answered.
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*)" + EXPERIMENT + exp +
                                " AND typeID = 6 AND processID IN (SELECT processID" + EXPERIMENT + exp +
                                " AND typeID = 7)"),
              1 + 20 + 5 * 20);
    EXPECT_EQ(Analysed(id)["errorFlags"].get<int>() & 1, 1);
}

TEST(MeasureBadInput, MissingProgramNoVirtualMachineAndWrongOptionsEndClearly) {
    const CommandResult missing = RunKova("measure -- no-such-program-of-kova");
    EXPECT_EQ(missing.status, 127);
    EXPECT_EQ(missing.errors, "kova: no-such-program-of-kova: no such program in PATH\n");
    ScratchFolder folder("measure-input", ScratchFolder::SystemTemp);
    const std::string text = (folder.path() / "notes.txt").string();
    std::ofstream(text) << "not a program\n";
    const CommandResult notExecutable = RunKova("measure -- " + ShellQuoted(text));
    EXPECT_EQ(notExecutable.status, 126);
    EXPECT_EQ(notExecutable.errors, "kova: " + text + ": not an executable program\n");
    EXPECT_EQ(RunKova("measure --p 0 -- true").status, 2);
    EXPECT_EQ(RunKova("measure --policy sometimes -- true").status, 2);
    EXPECT_EQ(RunKova("measure").status, 2);

    // PVM looks for its daemon in PVM_TMP: an empty folder holds none.
    ScratchFolder noDaemon("no-pvmd", ScratchFolder::SystemTemp);
    const CommandResult noMachine = RunCommand("PVM_ALLOW_ROOT=1 PVM_TMP=" + ShellQuoted(noDaemon.path().string()) +
                                                   " " + ShellQuoted(KOVA) + " measure -- true",
                                               ErrorStream::Apart);
    EXPECT_EQ(noMachine.status, 125);
    EXPECT_NE(noMachine.errors.find("kova: no PVM virtual machine runs on this host"), std::string::npos)
        << noMachine.errors;
    if (geteuid() == 0) {
        const CommandResult root = RunCommand("env -u PVM_ALLOW_ROOT " + ShellQuoted(KOVA) + " measure -- true",
                                              ErrorStream::Apart);
        EXPECT_EQ(root.status, 125);
        EXPECT_EQ(root.errors, "kova: PVM runs as root only with PVM_ALLOW_ROOT set in the environment\n");
    }

    const CommandResult wrongPort = RunCommand("KOVA_DB_PORT=http " + ShellQuoted(KOVA) + " measure -- true",
                                               ErrorStream::Apart);
    EXPECT_EQ(wrongPort.status, 2);
    EXPECT_EQ(wrongPort.errors, "kova: KOVA_DB_PORT is not a TCP port (1 to 65535): 'http'\n");
    for (const std::string bound : {"4k", "1023", "262145"}) {
        const CommandResult wrongBound = RunCommand(
            "KOVA_MEASURE_BLOCK_PHASES=" + bound + " " + ShellQuoted(KOVA) + " measure -- true", ErrorStream::Apart);
        EXPECT_EQ(wrongBound.status, 2) << bound;
        EXPECT_EQ(wrongBound.errors,
                  "kova: KOVA_MEASURE_BLOCK_PHASES must be a number of phases from 1024 to 262144, not '" + bound + "'\n");
    }
}

TEST(MeasureBadInput, ProgramThatIsNoPvmProgramRunsUnchangedAndNothingIsMeasured) {
    const ClusterRun run = OnCluster(ShellQuoted(KOVA) + " measure -- sh -c 'echo hello; exit 0'", PvmExamples());
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.output, "hello\n");
    EXPECT_EQ(run.errors, "kova measure: sh made no call of the shared PVM library (libpvm3.so), so nothing was "
                          "measured\n");
    const ClusterRun failing = OnCluster(ShellQuoted(KOVA) + " measure -- sh -c 'exit 7'", PvmExamples());
    EXPECT_EQ(failing.status, 7);
}

TEST(MeasureDatabaseAddress, EveryTaskTakesTheAddressFromTheEnvironment) {
    // A cluster that reaches the server only on another port than the compiled one,
    // and through the server's socket.
    ScratchFolder state("other-port");
    fs::create_directories(state.path() / "forward");
    const std::string socket = ReadFile(fs::path(KOVA_STATE_DIR) / "forward" / std::to_string(KOVA_DB_PORT));
    ASSERT_FALSE(socket.empty());
    const int otherPort = KOVA_DB_PORT + 1000;
    std::ofstream(state.path() / "forward" / std::to_string(otherPort)) << socket;
    ClusterOptions options;
    options.binFolder = options.workingFolder = PvmExamples();
    options.stateFolder = state.path();
    const std::string socketPath = socket.substr(0, socket.find('\n'));
    for (const std::string& address :
         {"KOVA_DB_PORT=" + std::to_string(otherPort), "KOVA_DB_PORT=1 KOVA_DB_SOCKET=" + ShellQuoted(socketPath)}) {
        const ClusterRun run = RunOnCluster(3, address + " " + ShellQuoted(KOVA) + " measure -- master1", options);
        ASSERT_EQ(run.status, 0) << address << "\n" << run.output << run.errors;
        const int id = StoredExperiment(run.errors);
        ASSERT_GT(id, 0);
        EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + std::to_string(id)), 10) << address;
        ExpectEveryMessageMatched(id, 27);
    }
}

TEST(InstalledProbe, CFortranAndCppExamplesBuildBothWaysAgainstThePrefixAndAreMeasured) {
    const fs::path prefix = InstalledPrefix();
    ASSERT_TRUE(fs::exists(prefix / "include/kova/kova.h"));
    EXPECT_EQ(RunCommand(ShellQuoted((prefix / "bin/kova").string()) + " --version").output,
              std::string("kova ") + KOVA_VERSION_TEXT + "\n");
    ScratchFolder work("own-programs");
    const std::string examples = ShellQuoted(KOVA_EXAMPLES_DIR);
    const std::string pkgConfig =
        "export PKG_CONFIG_PATH=" + ShellQuoted((prefix / "lib/pkgconfig").string()) + " && ";
    fs::create_directories(work.path() / "pkg-config");
    fs::create_directories(work.path() / "cmake");
    // The installed headers are the probe's face alone; the C++ one builds with no
    // MariaDB header in reach: a mysql.h that stops the compiler comes first in the
    // search path.
    std::set<std::string> headers;
    for (const auto& entry : fs::recursive_directory_iterator(prefix / "include"))
        if (entry.is_regular_file()) headers.insert(fs::relative(entry.path(), prefix / "include").string());
    EXPECT_EQ(headers, (std::set<std::string>{"kova/KOVAInstrumentation.h", "kova/fkova.h", "kova/kova.h",
                                               "kova/version.h"}));
    fs::create_directories(work.path() / "no-mariadb");
    std::ofstream(work.path() / "no-mariadb/mysql.h") << "#error the probe's headers need no mysql.h\n";
    Build(work.path() / "pkg-config",
          pkgConfig + "gcc -Wall -Wextra -Werror -o kova_example " + examples +
              "/kova_example.c $(pkg-config --cflags --libs kova) && "
              "g++ -std=c++17 -Wall -Wextra -Werror -I../no-mariadb -o kovapp_example " + examples +
              "/kovapp_example.cpp $(pkg-config --cflags --libs kova) && "
              "gfortran -Wall -o fkova_example " + examples +
              "/fkova_example.f -I/usr/include $(pkg-config --cflags --libs kova) -lfpvm3 -lpvm3");
    Build(work.path() / "cmake", "cmake -S " + examples + " -B build -DCMAKE_PREFIX_PATH=" +
                                     ShellQuoted(prefix.string()) + " -DCMAKE_CXX_FLAGS=-I" +
                                     ShellQuoted((work.path() / "no-mariadb").string()) +
                                     " >/dev/null && cmake --build build >/dev/null && "
                                     "cp build/kova_example build/kovapp_example .");

    for (const auto& [bin, program] : {std::pair{work.path() / "pkg-config", "kova_example"},
                                       {work.path() / "pkg-config", "kovapp_example"},
                                       {work.path() / "pkg-config", "fkova_example"},
                                       {work.path() / "cmake", "kova_example"},
                                       {work.path() / "cmake", "kovapp_example"}}) {
        // No kova measure waits for the slaves here: the run waits until they have
        // ended, so that their probes have stored what they measured.
        ClusterOptions options;
        options.binFolder = bin;
        options.workingFolder = bin;
        options.awaitProgram = program;
        const ClusterRun run = RunOnCluster(3, program, options);
        ASSERT_EQ(run.status, 0) << program << run.output << run.errors;
        std::smatch found;
        ASSERT_TRUE(std::regex_search(run.output, found, std::regex("experiment +([0-9]+)"))) << run.output;
        const int id = std::stoi(found[1]);
        EXPECT_EQ(CountLines(Lines(std::regex_replace(run.output, std::regex(" +"), " ")), " square 4") +
                      CountLines(Lines(std::regex_replace(run.output, std::regex(" +"), " ")), "square 4"),
                  1)
            << run.output;
        EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + std::to_string(id)), 3) << program;
        // The master: two spawns, two sends and two receives after their work and
        // waits; each slave: its wait, receive, work and send.
        EXPECT_EQ(Number("SELECT COUNT(*)" + EXPERIMENT + std::to_string(id)), 10 + 2 * 4) << program;
        ExpectEveryMessageMatched(id, 4);
    }

    // The installed kova measures as the built one does.
    const ClusterRun measured =
        OnCluster(ShellQuoted((prefix / "bin/kova").string()) + " measure -- master1", PvmExamples());
    ASSERT_EQ(measured.status, 0) << measured.errors;
    ExpectEveryMessageMatched(StoredExperiment(measured.errors), 27);
}

TEST(InstalledProbe, CallInTheWrongOrderEndsWithTheProbesMessageAlsoFromTheStaticLibrary) {
    const fs::path prefix = InstalledPrefix();
    ScratchFolder work("wrong-order", ScratchFolder::SystemTemp);
    std::ofstream(work.path() / "wrong.c") << "#include <kova/kova.h>\n"
                                              "int main(void) { kova_phase(KOVA_WORK); return 0; }\n";
    const std::string include = ShellQuoted((prefix / "include").string());
    const std::string archive = ShellQuoted((prefix / "lib/libkova.a").string());
    Build(work.path(), "gcc -I" + include + " -o wrong wrong.c " + archive + " -lmariadb -lpvm3 -lstdc++ -lm");
    const CommandResult wrong = RunCommand(ShellQuoted((work.path() / "wrong").string()));
    EXPECT_EQ(wrong.status, 255);
    EXPECT_EQ(wrong.output, " *** Error with KOVAInstrumentation!!\n"
                            " ***  you called kova_phase() before kova_master() or kova_slave()\n"
                            "error in kova_phase \n");
}

namespace {

// A MariaDB server of the test's own, on a UNIX socket in a short folder, with
// the measurement tables; the tests kill and stop it. The virtual cluster reaches
// it at 127.0.0.1:port() through the state folder's forward entry.
class PrivateServer {
public:
    PrivateServer() : mState("private-server") {
        char pattern[] = "/tmp/kova-fault-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        mFolder = pattern;
        const std::string folder = ShellQuoted(mFolder.string());
        const CommandResult installed = RunCommand(
            "mariadb-install-db --no-defaults --datadir=" + folder + "/data --user=\"$(id -un)\" "
            "--auth-root-authentication-method=socket --skip-test-db >" + folder + "/install.log 2>&1");
        if (installed.status != 0) return;
        if (!Start()) return;
        const CommandResult setUp = RunCommand(
            "mariadb --no-defaults --socket=" + ShellQuoted(Socket()) + " -uroot -e \"CREATE DATABASE KOVAData; "
            "CREATE USER 'KOVAUser'@'localhost' IDENTIFIED BY ''; GRANT ALL PRIVILEGES ON KOVAData.* TO "
            "'KOVAUser'@'localhost';\" && " + Address() + " " + ShellQuoted(std::string(KOVA_BIN_DIR) + "/kovaschema"));
        fs::create_directories(mState.path() / "forward");
        std::ofstream(mState.path() / "forward" / std::to_string(port())) << Socket() << "\n";
        mReady = setUp.status == 0;
    }
    ~PrivateServer() {
        Signal(SIGCONT);
        Signal(SIGKILL);
        if (!mFolder.empty()) fs::remove_all(mFolder);
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    bool ready() const { return mReady; }
    // Starts the server (again); true when it answers.
    bool Start() {
        const std::string folder = ShellQuoted(mFolder.string());
        RunCommand("mariadbd --no-defaults --datadir=" + folder + "/data --socket=" + ShellQuoted(Socket()) +
                   " --pid-file=" + folder + "/pid --skip-networking --user=\"$(id -un)\" "
                   "--innodb-buffer-pool-size=16M --log-error=" + folder + "/error.log </dev/null >/dev/null 2>&1 &");
        for (int i = 0; i < 300 && !AcceptsConnections(Socket()); ++i) usleep(50000);
        return AcceptsConnections(Socket());
    }
    // Kills the server as a crash does and waits until it is gone.
    void Kill() {
        const pid_t pid = Pid();
        Signal(SIGKILL);
        for (int i = 0; i < 500 && pid > 0 && kill(pid, 0) == 0; ++i) usleep(10000);
        fs::remove(Socket());
    }
    void Signal(int signal) {
        if (const pid_t pid = Pid(); pid > 0) kill(pid, signal);
    }
    // The environment that points kova and the tasks at this server from the cluster.
    std::string ClusterAddress() const { return "KOVA_DB_PORT=" + std::to_string(port()); }
    const fs::path& stateFolder() const { return mState.path(); }
    // A number of the first query's first column, through the socket; -1 when the
    // server does not answer.
    long long Number(const std::string& query) const {
        const CommandResult result = RunCommand(Address() + " mariadb --no-defaults --socket=" + ShellQuoted(Socket()) +
                                                " -uKOVAUser -N -B KOVAData -e " + ShellQuoted(query));
        return result.status == 0 && !result.output.empty() ? std::atoll(result.output.c_str()) : -1;
    }

private:
    int port() const { return KOVA_DB_PORT + 2000; }
    std::string Socket() const { return (mFolder / "s.sock").string(); }
    std::string Address() const { return "KOVA_DB_PORT=1 KOVA_DB_SOCKET=" + ShellQuoted(Socket()); }
    pid_t Pid() const {
        pid_t pid = 0;
        std::ifstream(mFolder / "pid") >> pid;
        return pid;
    }

    ScratchFolder mState;
    fs::path mFolder;
    bool mReady = false;
};

// A run of fault_tasks (this build's bin folder is PVM's executable path).
ClusterRun FaultTasks(const std::string& arguments, const std::string& environment = "",
                      const fs::path& stateFolder = {}) {
    ClusterOptions options;
    options.binFolder = KOVA_BIN_DIR;
    options.stateFolder = stateFolder;
    options.awaitProgram = "fault_tasks";
    return RunOnCluster(3, environment + " " + ShellQuoted(KOVA) + " measure -- fault_tasks " + arguments, options);
}

}  // namespace

// The database down or stopped at the start, killed or stopped in the middle of a
// run that stores blocks while it runs: the program's output and status stay its
// own, kova says that the measurement is lost, and nothing is stored as finished.
TEST(MeasureServerFaults, TheProgramRunsOnAsPlainAndNothingIsStoredAsFinished) {
    PrivateServer server;
    ASSERT_TRUE(server.ready());
    enum Moment { DownAtStart, StoppedAtStart, KilledWhileRunning, StoppedWhileRunning };
    for (Moment moment : {DownAtStart, StoppedAtStart, KilledWhileRunning, StoppedWhileRunning}) {
        if (moment == DownAtStart) server.Kill();
        if (moment == StoppedAtStart) server.Signal(SIGSTOP);
        std::atomic<bool> ended{false};
        std::thread fault;
        if (moment == KilledWhileRunning || moment == StoppedWhileRunning) {
            // Once the experiment exists, the tasks run and have connected.
            const std::string started = "SELECT COUNT(*) FROM Experiments WHERE statusData = 0";
            const long long before = server.Number(started);
            fault = std::thread([&, started, before] {
                while (!ended && server.Number(started) <= before)
                    usleep(20000);
                usleep(400000);
                if (moment == KilledWhileRunning)
                    server.Kill();
                else
                    server.Signal(SIGSTOP);
            });
        }
        // Chunks of 4096 phases: the tasks store blocks all through the run.
        const ClusterRun run =
            FaultTasks("stream 40000", server.ClusterAddress() + " KOVA_MEASURE_BLOCK_PHASES=4096", server.stateFolder());
        ended = true;
        if (fault.joinable()) fault.join();
        ASSERT_EQ(run.clusterStatus, 0) << moment << run.clusterErrors;
        EXPECT_EQ(run.status, 0) << moment << run.errors;
        EXPECT_EQ(run.output, "slave received 40000 messages\n") << moment;
        EXPECT_NE(run.errors.find("kova measure: the measurement"), std::string::npos) << moment << run.errors;
        EXPECT_NE(run.errors.find("is lost"), std::string::npos) << moment << run.errors;
        EXPECT_EQ(run.errors.find("stored ("), std::string::npos) << moment << run.errors;
        server.Signal(SIGCONT);
        if (moment == DownAtStart || moment == KilledWhileRunning) {
            ASSERT_TRUE(server.Start());
        }
        EXPECT_EQ(server.Number("SELECT COUNT(*) FROM Experiments WHERE statusData > 0 AND errorFlags & 1 = 0"), 0)
            << moment;
    }
}

// Tasks whose phases fit their first chunk hand their only block to kova measure
// and never connect to the database; tasks that record more store their full
// chunks themselves while they run. Both runs are stored whole.
TEST(MeasureLastBlocks, ShortTasksNeverConnectAndLongOnesStoreWhileTheyRun) {
    PrivateServer server;
    ASSERT_TRUE(server.ready());
    const std::string connections =
        "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'CONNECTIONS'";
    auto connectionsOf = [&](const std::string& arguments, int messages, const std::string& environment) {
        const long long before = server.Number(connections);
        const ClusterRun run = FaultTasks(arguments, server.ClusterAddress() + environment, server.stateFolder());
        const long long after = server.Number(connections);
        EXPECT_EQ(run.status, 0) << arguments << run.errors;
        const int id = StoredExperiment(run.errors);
        EXPECT_GT(id, 0) << arguments << run.errors;
        const std::string exp = std::to_string(id);
        EXPECT_EQ(server.Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp), 2) << arguments;
        EXPECT_EQ(server.Number("SELECT errorFlags FROM Experiments WHERE ID = " + exp), 0) << arguments;
        // The count of messages, the messages and the slave's answer.
        EXPECT_EQ(server.Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp + " AND typeID = 5"), messages + 2)
            << arguments;
        EXPECT_EQ(server.Number("SELECT COUNT(*) FROM ClockOffsets WHERE expID = " + exp), 1) << arguments;
        return after - before;
    };
    const long long shortRun = connectionsOf("stream 100", 100, "");
    // Chunks of 4096 phases, which kova measure passes on to the slave.
    const long long longRun = connectionsOf("stream 20000", 20000, " KOVA_MEASURE_BLOCK_PHASES=4096");
    // The long run's two tasks each opened one connection of their own.
    EXPECT_EQ(longRun - shortRun, 2);
}

// pvm_kill (SIGTERM) at random moments of a slave that allocates and prints in a
// loop: its phases up to the signal are kept every time.
TEST(MeasureKilledTask, PhasesOfASlaveKilledAtARandomMomentAreKept) {
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 4; ++round) {
        const int ms = std::uniform_int_distribution<int>(30, 600)(random);
        const ClusterRun run = FaultTasks("kill " + std::to_string(ms));
        ASSERT_EQ(run.status, 0) << ms << run.errors;
        EXPECT_EQ(run.output, "killed the slave\n");
        const int id = StoredExperiment(run.errors);
        ASSERT_GT(id, 0) << run.errors;
        const std::string exp = std::to_string(id);
        EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp), 2) << ms;
        EXPECT_EQ(Number("SELECT statusData FROM Experiments WHERE ID = " + exp), 1);
        EXPECT_EQ(Number("SELECT errorFlags FROM Experiments WHERE ID = " + exp), 0) << ms << run.errors;
        // The slave's phases reach up to the signal and tile its time.
        const std::string slave = " AND processID NOT IN (SELECT s.processID FROM Phases s WHERE s.expID = " + exp +
                                  " AND s.typeID = 7)";
        EXPECT_GT(Number("SELECT SUM(duration)" + EXPERIMENT + exp + slave), ms * 1000LL / 3) << ms;
        EXPECT_EQ(Number("SELECT SUM(duration)" + EXPERIMENT + exp + slave),
                  Number("SELECT SUM(duration) FROM PhaseDurations WHERE expID = " + exp + slave));
        EXPECT_EQ(Number("SELECT COUNT(*) FROM PhaseBlocks WHERE expID = " + exp), 0);
        // Its clock offset, which it could not measure itself, is measured from the master's host.
        EXPECT_EQ(Number("SELECT COUNT(*) FROM ClockOffsets WHERE expID = " + exp + slave), 1) << ms;
    }
}

// A master that forks a helper calling exit(): the helper stores nothing and
// leaves the master's measurement whole.
TEST(MeasureForkedChild, HelperThatExitsLeavesTheMastersMeasurementWhole) {
    const ClusterRun run = FaultTasks("fork");
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.output, "helper done\nslave received 100 messages\nhelper status 0\n");
    const int id = StoredExperiment(run.errors);
    ASSERT_GT(id, 0) << run.errors;
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + std::to_string(id)), 2);
    EXPECT_EQ(Number("SELECT errorFlags FROM Experiments WHERE ID = " + std::to_string(id)), 0);
    ExpectEveryMessageMatched(id, 102);
}

// Tasks spawned from a measured PVM console print what they print plain, and all
// are measured; a statically linked program runs unmeasured and says so.
TEST(MeasureConsoleAndStatic, ConsoleSpawnedTasksPrintAsPlainAndAreMeasured) {
    const std::string session = "(echo 'spawn -> hello'; sleep 3; echo quit) | ";
    // The console says EOF when a task's output ends, in whatever order the tasks'
    // last lines and ends reach it: those lines are compared apart, by count.
    const auto tidless = [](const std::string& text) {
        return std::regex_replace(std::regex_replace(text, std::regex("t[0-9a-f]{5,}"), "tX"),
                                  std::regex("\\[[0-9]+:tX\\] EOF\n"), "");
    };
    const auto ends = [](const std::string& text) {
        const std::regex end("\\] EOF\n");
        return std::distance(std::sregex_iterator(text.begin(), text.end(), end), std::sregex_iterator());
    };
    const ClusterRun plain = OnCluster(session + "pvm", PvmExamples());
    const ClusterRun measured = OnCluster(session + ShellQuoted(KOVA) + " measure -- pvm", PvmExamples());
    ASSERT_EQ(measured.status, plain.status) << measured.errors;
    EXPECT_NE(plain.output.find("hello, world from"), std::string::npos) << plain.output;
    EXPECT_EQ(tidless(measured.output), tidless(plain.output));
    EXPECT_EQ(ends(measured.output), ends(plain.output));
    EXPECT_GT(ends(plain.output), 0) << plain.output;
    const int id = StoredExperiment(measured.errors);
    ASSERT_GT(id, 0) << measured.errors;
    // The console, hello and the hello_other it spawns.
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + std::to_string(id)), 3);
    EXPECT_EQ(Number("SELECT errorFlags FROM Experiments WHERE ID = " + std::to_string(id)), 0) << measured.errors;

    const ClusterRun statically = OnCluster(ShellQuoted(KOVA) + " measure -- master1_static", PvmExamples());
    EXPECT_EQ(statically.status, 0) << statically.errors;
    EXPECT_EQ(CountOccurrences(statically.output, "I got "), 9);
    EXPECT_EQ(statically.errors, "kova measure: master1_static is linked statically, so no PVM call of it can be "
                                 "measured (kova measure needs the shared libpvm3.so); it runs unmeasured\n");
}

namespace {

// A run of cface_tasks, a program instrumented by hand with the C face, on the
// virtual cluster (this build's bin folder is PVM's executable path).
ClusterRun CFaceTasks(const std::string& arguments, const std::string& environment = "",
                      const fs::path& stateFolder = {}) {
    ClusterOptions options;
    options.binFolder = KOVA_BIN_DIR;
    options.stateFolder = stateFolder;
    options.awaitProgram = "cface_tasks";
    return RunOnCluster(3, environment + " cface_tasks " + arguments, options);
}

// The experiment that the master of cface_tasks printed, or -1.
int PrintedExperiment(const std::string& output) {
    std::smatch found;
    return std::regex_search(output, found, std::regex("^experiment ([0-9]+)\n")) ? std::stoi(found[1]) : -1;
}

}  // namespace

// While a program of the C face runs, its phases are blocks (the long run's full
// chunks among them) and no Phases row; after the master's kova_stop they are
// rows, the blocks are gone and Tp reaches to kova_stop.
TEST(CFaceRecording, PhasesAreBlocksWhileTheProgramRunsAndRowsAfterKovaStop) {
    const std::string latest = "SELECT COALESCE(MAX(ID), 0) FROM Experiments";
    const long long before = Number(latest);
    std::atomic<bool> ended{false};
    long long phasesMidRun = -1, blocksMidRun = -1;
    std::thread watch([&] {
        for (; !ended; usleep(50000)) {
            const long long id = Number(latest + " WHERE name = 'cface_tasks'");
            if (id <= before) continue;
            const long long blocks = Number("SELECT COUNT(*) FROM PhaseBlocks WHERE expID = " + std::to_string(id));
            if (blocks < 2) continue;
            phasesMidRun = Number("SELECT COUNT(*)" + EXPERIMENT + std::to_string(id));
            blocksMidRun = blocks;
            return;
        }
    });
    const int messages = 20000;
    // Chunks of 4096 phases, which the master passes on to its slave.
    const ClusterRun run = CFaceTasks("stream " + std::to_string(messages) + " 3000", "KOVA_MEASURE_BLOCK_PHASES=4096");
    ended = true;
    watch.join();
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    const int id = PrintedExperiment(run.output);
    ASSERT_GT(id, 0) << run.output;
    const std::string exp = std::to_string(id);
    EXPECT_EQ(run.output, "experiment " + exp + "\nmaster received " + std::to_string(messages) + " messages\n *** KOVA Instrumentation: "
                          "experiment " + exp + " written to database \n");
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(phasesMidRun, 0);
    EXPECT_GE(blocksMidRun, 2);
    // The master: its spawn, its work and send, a wait and a receive per message; the
    // slave: its wait and receive, a work and a send phase per message.
    EXPECT_EQ(Number("SELECT COUNT(*)" + EXPERIMENT + exp), 3 + 2 * messages + 2 + 2 * messages);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM PhaseBlocks WHERE expID = " + exp), 0);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp), 2);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM ClockOffsets WHERE expID = " + exp), 1);
    EXPECT_EQ(Number("SELECT statusData FROM Experiments WHERE ID = " + exp), 1);
    EXPECT_EQ(Number("SELECT errorFlags FROM Experiments WHERE ID = " + exp), 0);
    EXPECT_EQ(Number("SELECT nbrProcesses FROM Experiments WHERE ID = " + exp), 2);
    // The master's pause after its last phase lies in Tp, not in a phase.
    const std::string master = " AND processID IN (SELECT processID" + EXPERIMENT + exp + " AND typeID = 7)";
    EXPECT_GE(Number("SELECT Tp FROM Experiments WHERE ID = " + exp) -
                  Number("SELECT SUM(duration)" + EXPERIMENT + exp + master),
              3000000);
    ExpectEveryMessageMatched(id, messages + 1);
}

// A master process that measures two experiments one after the other stores both
// whole: the second kova_master begins a fresh measurement.
TEST(CFaceRecording, ASecondKovaMasterInTheSameProcessIsMeasuredToo) {
    const int messages = 300;
    const ClusterRun run = CFaceTasks("twice " + std::to_string(messages));
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    std::vector<int> ids;
    const std::regex experiment("experiment ([0-9]+)\n");
    for (auto line = std::sregex_iterator(run.output.begin(), run.output.end(), experiment);
         line != std::sregex_iterator(); ++line)
        ids.push_back(std::stoi((*line)[1]));
    ASSERT_EQ(ids.size(), 2u) << run.output;
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_EQ(run.errors, "");
    for (const int id : ids) {
        const std::string exp = std::to_string(id);
        EXPECT_EQ(Number("SELECT COUNT(*)" + EXPERIMENT + exp), 3 + 2 * messages + 2 + 2 * messages) << exp;
        EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp), 2) << exp;
        EXPECT_EQ(Number("SELECT statusData FROM Experiments WHERE ID = " + exp), 1) << exp;
        EXPECT_EQ(Number("SELECT errorFlags FROM Experiments WHERE ID = " + exp), 0) << exp;
        ExpectEveryMessageMatched(id, messages + 1);
    }
}

// A slave that its master kills keeps every phase it ended before the signal.
TEST(CFaceRecording, ASlaveKilledByItsMasterKeepsItsPhases) {
    const ClusterRun run = CFaceTasks("kill 400");
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    const int id = PrintedExperiment(run.output);
    ASSERT_GT(id, 0) << run.output;
    const std::string exp = std::to_string(id);
    EXPECT_NE(run.output.find("killed the slave\n"), std::string::npos) << run.output;
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp), 2);
    EXPECT_EQ(Number("SELECT statusData FROM Experiments WHERE ID = " + exp), 1);
    EXPECT_EQ(Number("SELECT errorFlags FROM Experiments WHERE ID = " + exp), 0) << run.errors;
    const std::string slave = " AND processID NOT IN (SELECT s.processID FROM Phases s WHERE s.expID = " + exp +
                              " AND s.typeID = 7)";
    EXPECT_GT(Number("SELECT COUNT(*)" + EXPERIMENT + exp + slave + " AND typeID = 3"), 100);
    // Its clock offset, which it could not measure itself, is measured by the master.
    EXPECT_EQ(Number("SELECT COUNT(*) FROM ClockOffsets WHERE expID = " + exp + slave), 1);
    EXPECT_GT(Number("SELECT SUM(duration)" + EXPERIMENT + exp + slave), 400 * 1000LL / 3);
    EXPECT_EQ(Number("SELECT SUM(duration)" + EXPERIMENT + exp + slave),
              Number("SELECT SUM(duration) FROM PhaseDurations WHERE expID = " + exp + slave));
    EXPECT_EQ(Number("SELECT COUNT(*) FROM PhaseBlocks WHERE expID = " + exp), 0);
}

// The database server killed while a program of the C face runs: its output and
// exit status stay its own, each task says that its measurement is lost, and
// nothing is stored as finished.
TEST(CFaceRecording, ServerKilledWhileTheProgramRunsHarmsNothingOfIt) {
    PrivateServer server;
    ASSERT_TRUE(server.ready());
    std::atomic<bool> ended{false};
    std::thread fault([&] {
        while (!ended && server.Number("SELECT COUNT(*) FROM PhaseBlocks") <= 0) usleep(20000);
        if (!ended) server.Kill();
    });
    const ClusterRun run =
        CFaceTasks("stream 40000 0", server.ClusterAddress() + " KOVA_MEASURE_BLOCK_PHASES=4096", server.stateFolder());
    ended = true;
    fault.join();
    ASSERT_EQ(run.clusterStatus, 0) << run.clusterErrors;
    EXPECT_EQ(run.status, 0) << run.errors;
    const int id = PrintedExperiment(run.output);
    EXPECT_EQ(run.output, "experiment " + std::to_string(id) + "\nmaster received 40000 messages\n");
    EXPECT_NE(run.errors.find("the measurement could not be stored"), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find(": the measurement is lost: "), std::string::npos) << run.errors;
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.Number("SELECT COUNT(*) FROM Experiments WHERE statusData > 0"), 0);
}

// Under KOVA_REPLACE_IF_FASTER the master's kova_stop keeps the faster of two
// runs of one configuration, says which, and removes the other whole.
TEST(CFaceRecording, ReplaceIfFasterKeepsOneRunOfTheConfiguration) {
    const std::string configuration = " FROM Experiments WHERE name = 'cface_tasks' AND p = 2 AND W = 7";
    auto db = ConnectToMeasurementDb();
    DeleteExperimentsOf(*db, "cface_tasks");
    // The first run pauses 300 ms before kova_stop, the second not: it is faster,
    // and each replaces the slower runs stored.
    std::vector<int> runs;
    for (const char* pause : {"300", "0"}) {
        const ClusterRun done = CFaceTasks(std::string("stream 7 ") + pause + " faster");
        ASSERT_EQ(done.status, 0) << done.output << done.errors;
        runs.push_back(PrintedExperiment(done.output));
        ASSERT_GT(runs.back(), 0) << done.output;
        EXPECT_NE(done.output.find(" *** KOVA Instrumentation: experiment " + std::to_string(runs.back()) +
                                   " written to database (it replaces all slower similar experiments)\n"),
                  std::string::npos)
            << done.output;
    }
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*)" + configuration), 1);
    EXPECT_EQ(SelectNumber(*db, "SELECT ID" + configuration), runs[1]);
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Phases WHERE expID = " + std::to_string(runs[0])), 0);
    EXPECT_EQ(SelectNumber(*db, "SELECT COUNT(*) FROM Phases WHERE expID = " + std::to_string(runs[1])), 5 + 4 * 7);
}
