// Tests of scripts/vcluster.sh, run as a user runs it: real namespaces, real pvmds,
// the real MariaDB server, and the probe program vcluster_probe as the PVM task.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kova_site.h"
#include "tests/support/testsupport.h"

namespace fs = std::filesystem;

namespace {

const std::string kScripts = std::string(KOVA_SOURCE_DIR) + "/scripts";
const std::string kBin = std::string(KOVA_BINARY_DIR) + "/bin";

// Lines of the form "key=value" that the test commands print about their cluster.
std::string Field(const std::string& text, const std::string& key)
{
    std::smatch match;
    if (std::regex_search(text, match, std::regex("(^|\n)" + key + "=([^\n]*)")))
        return match[2];
    return "";
}

// A run of vcluster.sh in its own process, its output captured in files.
class ClusterRun {
public:
    struct Options {
        std::string cwd;
        std::string input;                         // fed to standard input
        std::map<std::string, std::string> env;    // added to the environment
    };

    ClusterRun(const std::vector<std::string>& args, const Options& options)
    {
        const std::string files = options.cwd + "/.run." + std::to_string(++count_);
        const fs::path in = files + ".in";
        std::ofstream(in) << options.input;
        out_ = files + ".out";
        err_ = files + ".err";
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(options.cwd.c_str()) != 0)
                _exit(99);
            // This build's servers and programs, unless the test names others.
            setenv("KOVA_STATE_DIR", KOVA_STATE_DIR, 1);
            setenv("KOVA_BUILD_DIR", KOVA_BINARY_DIR, 1);
            for (const auto& [name, value] : options.env)
                setenv(name.c_str(), value.c_str(), 1);
            Redirect(in, O_RDONLY, 0);
            Redirect(out_, O_WRONLY | O_CREAT | O_TRUNC, 1);
            Redirect(err_, O_WRONLY | O_CREAT | O_TRUNC, 2);
            std::vector<std::string> words = {"bash", kScripts + "/vcluster.sh"};
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& word : words)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            execvp("bash", argv.data());
            _exit(98);
        }
    }

    // Waits for the end of the run; the exit status, or 128 + signal.
    int Wait()
    {
        int status = 0;
        waitpid(pid_, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Waits (up to a minute) until the run's standard output contains 'text'.
    bool AwaitOutput(const std::string& text) const
    {
        for (int i = 0; i < 600; ++i) {
            if (Out().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    pid_t Pid() const { return pid_; }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }
    const fs::path& ErrorFile() const { return err_; }

private:
    static void Redirect(const fs::path& path, int flags, int fd)
    {
        int opened = open(path.c_str(), flags, 0644);
        if (opened < 0 || dup2(opened, fd) < 0)
            _exit(97);
        close(opened);
    }

    static inline int count_ = 0;
    fs::path out_, err_;
    pid_t pid_ = -1;
};

// Processes that are still in the given network namespace ("net:[inode]").
std::vector<int> ProcessesInNamespace(const std::string& netns)
{
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code error;
        if (fs::read_symlink(entry.path() / "ns/net", error).string() == netns)
            found.push_back(std::stoi(name));
    }
    return found;
}

// Processes whose working directory or command line lies in the given folder.
std::vector<int> ProcessesUsing(const std::string& folder)
{
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos || std::stoi(name) == getpid())
            continue;
        std::error_code error;
        const std::string cwd = fs::read_symlink(entry.path() / "cwd", error).string();
        std::string cmdline = ReadFile(entry.path() / "cmdline");
        if (cwd.rfind(folder, 0) == 0 || cmdline.find(folder) != std::string::npos)
            found.push_back(std::stoi(name));
    }
    return found;
}

// A shell command for the cluster that first prints its run folder and network namespace.
std::string Announcing(const std::string& command)
{
    return "echo run=$VCLUSTER_RUN_DIR; echo netns=$(readlink /proc/self/ns/net); " + command;
}

class VCluster : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = std::make_unique<ScratchFolder>("vcluster-test");
        cwd_ = folder_->path().string();
    }
    // Removes the run folders that failed runs keep (vcluster.sh names them on
    // standard error), then the test's own directory.
    void TearDown() override
    {
        const std::regex kept("the logs of the run are in (\\S+)");
        for (const auto& errors : errorFiles_) {
            const std::string text = ReadFile(errors);
            for (std::sregex_iterator it(text.begin(), text.end(), kept), end; it != end; ++it)
                fs::remove_all((*it)[1].str());
        }
        folder_.reset();
    }

    ClusterRun Start(std::vector<std::string> args, ClusterRun::Options options = {})
    {
        if (options.cwd.empty())
            options.cwd = cwd_;
        args.insert(args.begin() + 1, {"--bin", kBin});
        ClusterRun run(args, options);
        errorFiles_.push_back(run.ErrorFile());
        return run;
    }

    // The cluster of a finished run left no process and no namespace behind.
    void ExpectNothingLeft(const std::string& out)
    {
        const std::string netns = Field(out, "netns"), run = Field(out, "run");
        ASSERT_NE(netns, "");
        ASSERT_NE(run, "");
        EXPECT_NE(netns, fs::read_symlink("/proc/self/ns/net").string());
        EXPECT_EQ(ProcessesInNamespace(netns), std::vector<int>{}) << netns;
        EXPECT_EQ(ProcessesUsing(run), std::vector<int>{}) << run;
    }

    std::unique_ptr<ScratchFolder> folder_;
    std::string cwd_;
    std::vector<fs::path> errorFiles_;
};

TEST_F(VCluster, TasksOnEveryHostReportTheirOwnHostUserAndWorkingDirectory)
{
    ClusterRun run = Start({"3", "--keep-logs", "--", "sh", "-c", Announcing("vcluster_probe")});
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    const std::string out = run.Out(), folder = Field(out, "run");
    const std::string user = LoginName();

    // The command itself runs on node1 in the caller's directory.
    EXPECT_NE(out.find("master host=node1 HOST=node1 USER=" + user + " cwd=" + cwd_ + " hosts=3\n"),
              std::string::npos)
        << out;
    for (const std::string host : {"node2", "node3"}) {
        const std::string line = "task host=" + host + " HOST=" + host + " USER=" + user +
                                 " cwd=" + folder + "/" + host + " parent=pvmd\n";
        EXPECT_NE(out.find("\n" + line), std::string::npos) << out;
        // The task wrote into its host's own working directory, which the run folder keeps.
        EXPECT_EQ(ReadFile(folder + "/" + host + "/vcluster_probe.out"), line);
    }
    EXPECT_EQ(out.find("task host=node1"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(cwd_ + "/vcluster_probe.out"));
    EXPECT_TRUE(fs::exists(folder + "/tmp/node2/pvml." + std::to_string(getuid())));
    ExpectNothingLeft(out);
}

TEST(VClusterClone, ProjectBelowTmpRunsOnEveryHost)
{
    // A copy of the scripts and of the program in a folder of this machine's /tmp,
    // which every host hides behind a /tmp of its own; the state folder is the copy's.
    const ScratchFolder clone("kova-clone", ScratchFolder::SystemTemp);
    const std::string root = clone.path().string();
    fs::create_directories(root + "/build/bin");
    fs::copy(kScripts, root + "/scripts");
    fs::copy(kBin + "/vcluster_probe", root + "/build/bin/vcluster_probe");
    const CommandResult run = RunCommand("cd " + ShellQuoted(root) +
                                         " && env -u KOVA_STATE_DIR -u KOVA_BUILD_DIR bash scripts/vcluster.sh 3 "
                                         "--keep-logs -- sh -c 'echo run=$VCLUSTER_RUN_DIR; vcluster_probe'",
                                         ErrorStream::Apart);
    ASSERT_EQ(run.status, 0) << run.output << run.errors;
    const std::string folder = Field(run.output, "run");
    EXPECT_EQ(fs::path(folder).parent_path(), fs::path(root + "/.state/vcluster")) << run.output;
    for (const std::string host : {"node2", "node3"}) {
        const std::string line = "task host=" + host + " HOST=" + host + " USER=" + LoginName() + " cwd=" + folder +
                                 "/" + host + " parent=pvmd\n";
        EXPECT_NE(run.output.find("\n" + line), std::string::npos) << run.output;
        EXPECT_EQ(ReadFile(folder + "/" + host + "/vcluster_probe.out"), line);
    }
}

TEST_F(VCluster, UncaughtTaskOutputLandsInNode1PvmdLog)
{
    // The spawned tasks' output is not caught: PVM writes it to node1's pvmd log.
    ClusterRun run = Start({"3", "--", "sh", "-c",
                     "vcluster_probe -n >/dev/null && for i in $(seq 100); do "
                     "[ $(grep -c '] task host=node' \"$VCLUSTER_PVMLOG\") -ge 2 ] && break; sleep 0.1; done; "
                     "cat \"$VCLUSTER_PVMLOG\""});
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    const std::string log = run.Out();
    EXPECT_NE(log.find("] task host=node2 HOST=node2"), std::string::npos) << log;
    EXPECT_NE(log.find("] task host=node3 HOST=node3"), std::string::npos) << log;
}

TEST_F(VCluster, OneHostClusterRunsTheCommandAlone)
{
    ClusterRun run = Start({"1", "--", "vcluster_probe"});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_EQ(run.Out(), "master host=node1 HOST=node1 USER=" + LoginName() + " cwd=" + cwd_ +
                             " hosts=1\n");
}

TEST_F(VCluster, ExitStatusOfTheCommandPassesThroughAndSuccessLeavesNoRunFolder)
{
    ClusterRun failing = Start({"2", "--", "sh", "-c", Announcing("exit 7")});
    EXPECT_EQ(failing.Wait(), 7);
    const std::string kept = Field(failing.Out(), "run");
    // A failed run keeps its logs and says where they are.
    EXPECT_TRUE(fs::is_directory(kept)) << kept;
    EXPECT_NE(failing.Err().find("the logs of the run are in " + kept), std::string::npos)
        << failing.Err();

    ClusterRun succeeding = Start({"2", "--", "sh", "-c", Announcing("true")});
    EXPECT_EQ(succeeding.Wait(), 0);
    EXPECT_FALSE(fs::exists(Field(succeeding.Out(), "run")));
    EXPECT_EQ(succeeding.Err(), "");

    ClusterRun missing = Start({"2", "--", "no-such-program-here"});
    EXPECT_EQ(missing.Wait(), 127);
    EXPECT_NE(missing.Err().find("no-such-program-here"), std::string::npos) << missing.Err();
}

TEST_F(VCluster, WrongCommandLinesAreRefusedWithUsage)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "the number of hosts is missing"},
        {{"0", "--", "true"}, "the number of hosts must be between 1 and 250, not '0'"},
        {{"251", "--", "true"}, "the number of hosts must be between 1 and 250, not '251'"},
        {{"two", "--", "true"}, "the number of hosts must be between 1 and 250, not 'two'"},
        {{"3", "true"}, "unexpected argument 'true'"},
        {{"3", "--"}, "the command is missing"},
        {{"3", "--timeout", "soon", "--", "true"}, "--timeout needs a number of seconds, not 'soon'"},
        {{"3", "--timeout"}, "--timeout needs a number of seconds"},
        {{"3", "--bin", cwd_ + "/none", "--", "true"}, "the executable directory '" + cwd_ + "/none' does not exist"},
        {{"3", "--verbose", "--", "true"}, "unknown option '--verbose'"},
    };
    for (const auto& [args, message] : cases) {
        ClusterRun run(args, {cwd_, "", {}});
        EXPECT_EQ(run.Wait(), 2) << message;
        EXPECT_NE(run.Err().find("vcluster: " + message), std::string::npos) << run.Err();
        EXPECT_NE(run.Err().find("usage: vcluster.sh N"), std::string::npos) << run.Err();
        EXPECT_EQ(run.Out(), "");
    }
    // Host file options cannot hold paths with white space.
    ClusterRun spaced({"3", "--bin", kBin, "--", "true"}, {cwd_, "", {{"KOVA_STATE_DIR", cwd_ + "/state dir"}}});
    EXPECT_EQ(spaced.Wait(), 2);
    EXPECT_NE(spaced.Err().find("must not contain white space"), std::string::npos) << spaced.Err();

    ClusterRun help({"--help"}, {cwd_, "", {}});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.Out().find("usage: vcluster.sh N [--timeout SECONDS] [--keep-logs] [--bin DIR] -- command"),
              std::string::npos)
        << help.Out();
}

TEST_F(VCluster, TimeOutEndsAHungCommandAndLeavesNothingBehind)
{
    ClusterRun run = Start({"3", "--timeout", "2", "--", "sh", "-c", Announcing("vcluster_probe >/dev/null; sleep 600")});
    EXPECT_EQ(run.Wait(), 124);
    const std::string out = run.Out();
    EXPECT_NE(run.Err().find("vcluster: time-out: the command ran longer than 2 s and is stopped"),
              std::string::npos)
        << run.Err();
    EXPECT_TRUE(fs::is_directory(Field(out, "run")));
    ExpectNothingLeft(out);
}

TEST_F(VCluster, TerminationSignalTearsTheClusterDown)
{
    ClusterRun run = Start({"3", "--", "sh", "-c", Announcing("vcluster_probe >/dev/null; echo ready; sleep 600")});
    ASSERT_TRUE(run.AwaitOutput("ready\n")) << run.Err();
    kill(run.Pid(), SIGTERM);
    EXPECT_EQ(run.Wait(), 128 + SIGTERM);
    ExpectNothingLeft(run.Out());
}

TEST_F(VCluster, EveryHostHasItsOwnNameAddressAndTmp)
{
    const std::string rsh = kScripts + "/vcluster-rsh.sh";
    ClusterRun run = Start({"3", "--", "sh", "-c",
                            "touch /tmp/made-on-node1; getent hosts node1 node2 node3; "
                            "for h in node2 node3; do " + rsh + " $h 'echo $(hostname) $HOST $(ls /tmp | grep -c made-on-node1) $(ls /tmp/pvml.*)'; done; " +
                            rsh + " node4 true; echo status=$?"});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    // Each host's /tmp holds its own pvmd log, and not what node1 put in its /tmp.
    const std::string log = " /tmp/pvml." + std::to_string(getuid()) + "\n";
    EXPECT_EQ(run.Out(), "10.77.0.1       node1\n10.77.0.2       node2\n10.77.0.3       node3\n"
                         "node2 node2 0" + log + "node3 node3 0" + log + "status=1\n");
    EXPECT_NE(run.Err().find("vcluster-rsh: node4: unknown host"), std::string::npos) << run.Err();
}

TEST_F(VCluster, RegisteredDatabaseIsReachableFromEveryHost)
{
    // node1 through the command itself, node2 through a login on it.
    const std::string query = "mariadb -h127.0.0.1 -P" + std::to_string(KOVA_DB_PORT) +
                              " -uKOVAUser KOVAData -N -e 'select 40+2, @@hostname'";
    ClusterRun run = Start({"2", "--", "sh", "-c",
                     query + " && " + kScripts + "/vcluster-rsh.sh node2 \"hostname; " + query + "\""});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    const std::string out = run.Out();
    std::istringstream lines(out);
    std::string first, second, third;
    std::getline(lines, first);
    std::getline(lines, second);
    std::getline(lines, third);
    // The server answers from outside the cluster: its host name is none of the hosts'.
    EXPECT_EQ(first.rfind("42\t", 0), 0u) << out;
    EXPECT_EQ(first.find("node"), std::string::npos) << out;
    EXPECT_EQ(second, "node2");
    EXPECT_EQ(third, first);
}

TEST_F(VCluster, ForwardFolderEntriesAreServedOrReportedWhenUnusable)
{
    // A state folder of this test's own: an echo service on a UNIX socket (in a short
    // folder of /tmp, which the hosts' private /tmp keeps), a stale entry whose
    // server is gone, and a file that names no port.
    const ScratchFolder sockets("vcluster-sockets", ScratchFolder::SystemTemp);
    const std::string state = cwd_ + "/state", socket = sockets.path().string() + "/echo.sock";
    fs::create_directories(state + "/forward");
    std::ofstream(state + "/forward/5555") << socket << "\n";
    std::ofstream(state + "/forward/5556") << cwd_ + "/gone.sock\n";
    std::ofstream(state + "/forward/notes") << "not a port\n";
    struct EchoServer {
        pid_t pid;
        ~EchoServer()
        {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    } echo{fork()};
    if (echo.pid == 0) {
        execlp("socat", "socat", ("UNIX-LISTEN:" + socket + ",fork").c_str(), "EXEC:cat", (char*)nullptr);
        _exit(98);
    }
    for (int i = 0; i < 100 && !fs::is_socket(socket); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::is_socket(socket));

    ClusterRun run = Start({"2", "--", "sh", "-c",
                     "echo through the forwarder | socat -t5 - TCP:127.0.0.1:5555; "
                     "socat -u /dev/null TCP:127.0.0.1:5556 2>/dev/null || echo 5556 refused"},
                    {"", "", {{"KOVA_STATE_DIR", state}}});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_EQ(run.Out(), "through the forwarder\n5556 refused\n");
    EXPECT_NE(run.Err().find("vcluster: port 5556 not forwarded: '" + cwd_ + "/gone.sock' is not a listening socket"),
              std::string::npos)
        << run.Err();
    EXPECT_NE(run.Err().find("vcluster: ignoring " + state + "/forward/notes: its name is not a TCP port"),
              std::string::npos)
        << run.Err();
    // The run folder went to the given state folder, and a successful run removed it.
    EXPECT_TRUE(fs::is_directory(state + "/vcluster"));
    EXPECT_TRUE(fs::is_empty(state + "/vcluster"));
}

TEST_F(VCluster, DebugSpawnRunsTheTaskUnderGdbWhichPrintsABacktraceOnACrash)
{
    ClusterRun normal = Start({"3", "--", "vcluster_probe", "-d"});
    ASSERT_EQ(normal.Wait(), 0) << normal.Out() << normal.Err();
    for (const std::string host : {"node2", "node3"})
        EXPECT_NE(normal.Out().find("\ntask host=" + host + " HOST=" + host + " "), std::string::npos);
    EXPECT_NE(normal.Out().find(" parent=gdb\n"), std::string::npos) << normal.Out();
    EXPECT_EQ(normal.Out().find(" parent=pvmd"), std::string::npos) << normal.Out();

    ClusterRun crashing = Start({"2", "--", "vcluster_probe", "-d", "-c"});
    ASSERT_EQ(crashing.Wait(), 0) << crashing.Out() << crashing.Err();
    const std::string out = crashing.Out();
    // The caught output of the task on node2: its report, gdb's signal and the backtrace.
    EXPECT_NE(out.find("] crashing on purpose\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] Program received signal SIGSEGV"), std::string::npos) << out;
    EXPECT_NE(out.find("] *** task stopped by a signal; backtrace:"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\] #0 .*crash_on_purpose)"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\] #1 .* in run_slave)"))) << out;
}

TEST(VClusterDebugger, ExitStatusOfTheTaskPassesThrough)
{
    const std::string debugger = kScripts + "/pvm-debugger.sh";
    auto status = [&](const std::string& script) {
        const std::string command = debugger + " /bin/sh -c '" + script + "' >/dev/null 2>&1";
        const int raw = std::system(command.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    };
    EXPECT_EQ(status("exit 0"), 0);
    EXPECT_EQ(status("exit 3"), 3);
    EXPECT_EQ(status("kill -SEGV $$"), 128 + SIGSEGV);
    EXPECT_EQ(std::system((debugger + " 2>/dev/null").c_str()) >> 8, 2);
}

TEST_F(VCluster, TwoClustersAtOnceDoNotMeet)
{
    // Each command waits for the other cluster to be up before it spawns its tasks.
    auto command = [&](const std::string& mine, const std::string& other) {
        return Announcing("touch " + cwd_ + "/" + mine + "; for i in $(seq 300); do [ -e " + cwd_ + "/" +
                          other + " ] && break; sleep 0.1; done; vcluster_probe");
    };
    ClusterRun three = Start({"3", "--", "sh", "-c", command("three", "two")});
    ClusterRun two = Start({"2", "--", "sh", "-c", command("two", "three")});
    ASSERT_EQ(three.Wait(), 0) << three.Out() << three.Err();
    ASSERT_EQ(two.Wait(), 0) << two.Out() << two.Err();
    const std::string a = three.Out(), b = two.Out();
    EXPECT_NE(a.find(" hosts=3\n"), std::string::npos) << a;
    EXPECT_NE(b.find(" hosts=2\n"), std::string::npos) << b;
    EXPECT_NE(a.find("\ntask host=node3 "), std::string::npos) << a;
    EXPECT_EQ(b.find("task host=node3 "), std::string::npos) << b;
    const std::string runA = Field(a, "run"), runB = Field(b, "run");
    EXPECT_NE(runA, runB);
    EXPECT_NE(Field(a, "netns"), Field(b, "netns"));
    EXPECT_NE(a.find(" cwd=" + runA + "/node2 "), std::string::npos) << a;
    EXPECT_NE(b.find(" cwd=" + runB + "/node2 "), std::string::npos) << b;
}

TEST_F(VCluster, ConsoleReadsItsCommandsFromStandardInput)
{
    ClusterRun run = Start({"3", "--", "pvm"}, {"", "conf\nquit\n", {}});
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    const std::string out = run.Out();
    EXPECT_NE(out.find("3 hosts, 1 data format"), std::string::npos) << out;
    for (const std::string host : {"node1", "node2", "node3"})
        EXPECT_TRUE(std::regex_search(out, std::regex("\n +" + host + " +[0-9a-f]+ +LINUX64"))) << out;
}

}  // namespace
