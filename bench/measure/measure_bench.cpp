// measure_bench: what kova measure costs an unmodified PVM program. It runs
// pvm_stream (a master streaming to one slave, every task at about RATE messages
// per second with fixed work per message) plain, under PVM's own buffered tracing
// (to a tracer task of the benchmark's own: this process) and under kova
// measure, in rotating order, each round with the slave on one host (the next
// one in turn), and prints the median run times and ratios; then the fixed cost
// of a measured run of a master and 2, and 8, slaves that do nothing, as the
// median difference of pairs; then, for one measured run of about 100 000
// phases, the database server's CPU seconds while the program ran (its tasks
// store binary blocks) and while kova expanded them into rows (what storing rows
// during the run cost the server before), the expansion's time per 100 000 rows
// and the probe's calibrated cost per recorded call. The machine's load average
// is printed with the figures. The stored experiments (application
// "MeasureBench") are removed.
//
//   measure_bench [-n ROUNDS] [-m MESSAGES] [-r RATE]     (on a PVM virtual machine)
//     -n  rounds of runs of each kind (default 5)
//     -m  messages per task (default 20000)
//     -r  messages per second per task of the plain run (default 20000)
#include "bench/common/work.h"

#include "probe/replacement.h"
#include "probe/databaseaddress.h"
#include "persist/standarddatabase.h"

#include <pvm3.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// The message tag of the trace events pvm_stream sends to its tracer.
constexpr int TAG_TRACE = 666;

double Monotonic() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

// Wall seconds of one run of the command, its output discarded (standard error
// into errorFile when one is given). While it runs, trace events are taken as
// this process's tracer when traced; a failed run ends the benchmark.
double Seconds(const std::vector<std::string>& command, bool traced = false, const std::string& errorFile = "") {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, errorFile.empty() ? "/dev/null" : errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ) == 0) {
        if (!traced) {
            waitpid(pid, &status, 0);
        } else {
            while (waitpid(pid, &status, WNOHANG) == 0) {
                timeval wait = {0, 2000};
                pvm_trecv(-1, TAG_TRACE, &wait);
            }
        }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&quiet);
    if (traced) {
        // The events still buffered when the tasks ended.
        timeval quietFor = {0, 200000};
        while (pvm_trecv(-1, TAG_TRACE, &quietFor) > 0) quietFor = {0, 200000};
    }
    if (status != 0) {
        std::fprintf(stderr, "measure_bench: %s failed (wait status %d)\n", command.front().c_str(), status);
        std::exit(1);
    }
    return took.count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string LoadAverage() {
    std::string one, five, fifteen;
    std::ifstream("/proc/loadavg") >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The hosts of the virtual machine other than this one (this one alone when
// there is no other).
std::vector<std::string> SlaveHosts() {
    int hosts = 0, architectures = 0;
    pvmhostinfo* info = nullptr;
    std::vector<std::string> names;
    if (pvm_config(&hosts, &architectures, &info) < 0) return names;
    const int here = pvm_tidtohost(pvm_mytid());
    for (int h = 0; h < hosts; ++h)
        if (info[h].hi_tid != here) names.push_back(info[h].hi_name);
    if (names.empty() && hosts > 0) names.push_back(info[0].hi_name);
    return names;
}

// What kova measure reports of a run (KOVA_MEASURE_REPORT_TIMES), in monotonic seconds.
struct KovaTimes {
    double programStart = 0, programEnd = 0, expansionStart = 0, expansionEnd = 0;
    long long phases = 0;
};

// A run under kova measure: the program's own time, and kova measure's whole with
// the wait for the tasks and the expansion.
struct Measured {
    double program = 0, whole = 0;
    KovaTimes times;
};

Measured RunMeasured(const std::vector<std::string>& command) {
    const std::string errors = (std::filesystem::temp_directory_path() / "measure_bench.err").string();
    setenv("KOVA_MEASURE_REPORT_TIMES", "1", 1);
    Measured run;
    run.whole = Seconds(command, false, errors);
    unsetenv("KOVA_MEASURE_REPORT_TIMES");
    std::ifstream in(errors);
    KovaTimes& t = run.times;
    for (std::string line; std::getline(in, line);)
        if (std::sscanf(line.c_str(), "kova measure: times: program %lf to %lf, expansion %lf to %lf, %lld", &t.programStart,
                        &t.programEnd, &t.expansionStart, &t.expansionEnd, &t.phases) == 5)
            break;
    std::filesystem::remove(errors);
    run.program = t.phases > 0 ? t.programEnd - t.programStart : run.whole;
    return run;
}

struct Rounds {
    std::vector<double> plain, traced, measured, measuredWhole;
};

// Runs the load plain, traced and measured, rounds times in rotating order, each
// round with its slaves on one host.
Rounds RunRounds(int rounds, std::vector<std::string> load, const std::string& kova, bool withTracing) {
    const std::vector<std::string> hosts = SlaveHosts();
    char tracer[16];
    std::snprintf(tracer, sizeof tracer, "%x", pvm_mytid());
    Rounds times;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> plain = load;
        if (!hosts.empty()) plain.insert(plain.end(), {"-H", hosts[round % hosts.size()]});
        std::vector<std::string> measured = {kova, "measure", "--application", "MeasureBench", "--"};
        measured.insert(measured.end(), plain.begin(), plain.end());
        std::vector<std::string> traced = plain;
        traced.insert(traced.end(), {"-t", tracer});
        for (int k = 0; k < 3; ++k) {
            switch ((round + k) % 3) {
                case 0: times.plain.push_back(Seconds(plain)); break;
                case 1: {
                    const Measured run = RunMeasured(measured);
                    times.measured.push_back(run.program);
                    times.measuredWhole.push_back(run.whole);
                    break;
                }
                default:
                    if (withTracing) times.traced.push_back(Seconds(traced, true));
            }
        }
    }
    return times;
}

double Ratio(const std::vector<double>& of, const std::vector<double>& to) {
    std::vector<double> ratios;
    for (std::size_t k = 0; k < of.size() && k < to.size(); ++k) ratios.push_back(of[k] / to[k]);
    return Median(ratios);
}

// The database server's CPU seconds so far, sampled every millisecond while it lives.
class ServerCpu {
public:
    explicit ServerCpu(StandardDatabase& db) {
        // Inside a virtual cluster, whose /proc shows only its processes, the
        // server's stat file is open under the name it gives.
        if (const char* open = std::getenv("KOVA_DB_SERVER_STAT")) {
            mStat = open;
        } else {
            pid_t pid = 0;
            std::ifstream(db.QueryFirst("SELECT @@pid_file")) >> pid;
            mStat = "/proc/" + std::to_string(pid) + "/stat";
        }
        mThread = std::thread([this] {
            while (!mStop) {
                const double cpu = Read(), now = Monotonic();
                {
                    std::lock_guard<std::mutex> lock(mMutex);
                    mSamples.emplace_back(now, cpu);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~ServerCpu() {
        mStop = true;
        mThread.join();
    }
    bool known() const { return Read() >= 0; }
    // The CPU seconds between the two moments (monotonic seconds).
    double Between(double from, double to) {
        std::lock_guard<std::mutex> lock(mMutex);
        return At(to) - At(from);
    }

private:
    double Read() const {
        std::ifstream in(mStat);
        std::string field;
        unsigned long long user = 0, system = 0;
        for (int k = 1; k <= 15 && in >> field; ++k) {
            if (k == 14) user = std::stoull(field);
            if (k == 15) system = std::stoull(field);
        }
        return in ? static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK)) : -1;
    }
    double At(double moment) const {
        double cpu = mSamples.empty() ? 0 : mSamples.front().second;
        for (const auto& [time, value] : mSamples)
            if (time <= moment) cpu = value;
        return cpu;
    }
    std::string mStat;
    std::vector<std::pair<double, double>> mSamples;
    std::mutex mMutex;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5, messages = 20000, rate = 20000, option;
    while ((option = getopt(argc, argv, "n:m:r:")) != -1) {
        switch (option) {
            case 'n': rounds = std::atoi(optarg); break;
            case 'm': messages = std::atoi(optarg); break;
            case 'r': rate = std::atoi(optarg); break;
            default: std::printf("usage: measure_bench [-n ROUNDS] [-m MESSAGES] [-r RATE]\n"); return 2;
        }
    }
    if (rounds <= 0 || messages <= 0 || rate <= 0) {
        std::printf("measure_bench: the values must be positive\n");
        return 2;
    }
    if (pvm_mytid() < 0) {
        std::printf("measure_bench: no PVM virtual machine runs here\n");
        return 1;
    }
    const std::filesystem::path bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string kova = (bin / "kova").string(), load = (bin / "pvm_stream").string();
    std::printf("load average before: %s\n", LoadAverage().c_str());

    // The work leaves a tenth of each message's time to the PVM call itself.
    const long iterations = IterationsFor(0.9e6 / rate);
    const std::vector<std::string> stream = {load, "-m", std::to_string(messages), "-w", std::to_string(iterations)};
    const Rounds streamed = RunRounds(rounds, stream, kova, true);
    std::printf("%d messages per task, master and one slave, the slave's host fixed per round (%d rounds)\n",
                messages, rounds);
    const double plain = Median(streamed.plain);
    std::printf("  plain           %8.3f s median, %6.0f messages per second per task\n", plain, messages / plain);
    std::printf("  PVM tracing     %8.3f s median, ratio %5.3f (16 KiB trace buffer)\n", Median(streamed.traced),
                Ratio(streamed.traced, streamed.plain));
    std::printf("  kova measure    %8.3f s median, ratio %5.3f (goal 1.03), the program's own time\n",
                Median(streamed.measured), Ratio(streamed.measured, streamed.plain));
    std::printf("                  %8.3f s median, ratio %5.3f, kova measure's whole (the wait, the expansion)\n",
                Median(streamed.measuredWhole), Ratio(streamed.measuredWhole, streamed.plain));

    for (int slaves : {2, 8}) {
        const Rounds idle = RunRounds(rounds, {load, "-m", "0", "-s", std::to_string(slaves)}, kova, false);
        std::vector<double> costs;
        for (int k = 0; k < rounds; ++k) costs.push_back((idle.measured[k] - idle.plain[k]) * 1e3);
        std::printf("master and %d idle slaves (%d rounds)\n", slaves, rounds);
        std::printf("  plain     %8.1f ms median\n", Median(idle.plain) * 1e3);
        std::vector<double> wholeCosts;
        for (int k = 0; k < rounds; ++k) wholeCosts.push_back((idle.measuredWhole[k] - idle.plain[k]) * 1e3);
        std::printf("  measured  %8.1f ms median\n", Median(idle.measured) * 1e3);
        std::printf("  fixed cost %7.1f ms median of the pairs' differences (goal %d), the program's own time\n",
                    Median(costs), slaves == 2 ? 10 : 25);
        std::printf("  fixed cost %7.1f ms with kova measure's wait and expansion\n", Median(wholeCosts));
    }

    const DatabaseAddress address = MeasurementDatabaseAddress();
    StandardDatabase db("KOVAUser", "", "KOVAData", address.host, address.port, address.socket);
    {
        // Master and slave record about five phases per message between them.
        ServerCpu server(db);
        const double launched = Monotonic();
        const Measured run =
            RunMeasured({kova, "measure", "--application", "MeasureBench", "--", load, "-m", "20000", "-w", "0"});
        const KovaTimes& t = run.times;
        const long long phases = t.phases;
        if (phases > 0) {
            std::printf("one measured run of %lld phases\n", phases);
            const double expansion = t.expansionEnd - t.expansionStart;
            std::printf("  expansion %6.3f s, %6.3f s per 100 000 rows (goal 0.7, LOAD DATA)\n", expansion,
                        expansion * 1e5 / static_cast<double>(phases));
        }
        if (phases > 0 && server.known()) {
            std::printf("  server CPU while the program ran      %6.3f s (blocks)\n",
                        server.Between(launched, t.programEnd));
            std::printf("  server CPU while kova expanded them   %6.3f s (the rows: what the run cost before)\n",
                        server.Between(t.expansionStart, t.expansionEnd));
        } else {
            std::printf("  the server's CPU cannot be read here (a virtual cluster has a /proc of its own)\n");
        }
    }
    std::vector<double> costs;
    for (const std::string& cost : db.QueryStrings("SELECT nsPerCall FROM ProbeCosts WHERE expID IN (SELECT ID FROM "
                                                   "Experiments WHERE name = 'MeasureBench')"))
        costs.push_back(std::atof(cost.c_str()));
    std::printf("probe's cost per recorded call: %.1f ns median of %zu tasks (goal 100)\n", Median(costs),
                costs.size());
    std::printf("load average after: %s\n", LoadAverage().c_str());

    for (const std::string& id : db.QueryStrings("SELECT ID FROM Experiments WHERE name = 'MeasureBench'"))
        DeleteExperiment(std::stoi(id), db);
    pvm_exit();
    return 0;
}
