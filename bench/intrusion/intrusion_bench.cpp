// intrusion_bench: how much the probe disturbs the program it measures. A small
// measured program ends phases at a chosen rate with fixed work between them, once
// with the probe measuring and once with an inactive probe (the same binary), and
// prints each process's wall time and own CPU time, and the ratios. Before that it
// measures the fixed cost of a run: the same program doing almost nothing (one phase
// per process), measuring against inactive, timed from before the master's probe is
// built until the master has every slave's report, sent after the slave's Stop. Each
// block of runs prints the machine's load average. Run alone it is one process with
// the database wherever the build's server is; with -p 3, on a PVM virtual machine,
// it is a master with two slaves on node2 and node3.
//
//   intrusion_bench [-r PHASES_PER_SECOND] [-s SECONDS] [-n REPEATS] [-f REPEATS] [-p 1|3]
//     -r  phases each process ends per second (default 20000)
//     -s  seconds of work per run (default 5)
//     -n  busy runs of each kind, alternating, the medians are compared (default 1)
//     -f  fixed-cost runs of each kind, alternating (default 0)
//     -p  processes: 1, or 3 (master and two slaves, needs PVM) (default 1)
// The stored experiments (application "IntrusionBench") are removed afterwards.
#include "bench/common/work.h"

#include "probe/KOVAInstrumentation.h"
#include "probe/replacement.h"
#include <kova_site.h>
#include "persist/standarddatabase.h"

#include <pvm3.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int TAG_START = 11;
const int TAG_RESULT = 12;

struct Options {
    int rate = 20000;
    int seconds = 5;
    int repeats = 1;
    int fixedRepeats = 0;
    int processes = 1;
};

// What one process measured of one run.
struct Figures {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds of this process's own CPU time
    // Seconds of CPU time spent inside the probe's calls (EndOfPhase and Stop), the
    // clock readings around them included; less disturbed by other load than cpu.
    double inProbe = 0;
    // Seconds spent building the probe (a slave's includes its wait for the
    // experiment number) and in its Stop.
    double setUp = 0;
    double stop = 0;
};

double CpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
    timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}


// Ends phases phases, each after the same fixed work, on probe; Stop included.
Figures RunPhases(KOVAProbe& probe, long phases, long iterations) {
    Chrono wall;
    const double cpuStart = CpuSeconds();
    double inProbe = 0;
    for (long phase = 0; phase < phases; ++phase) {
        Work(iterations);
        const double before = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        probe.EndOfPhase(PH_WORK);
        inProbe += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
    }
    const double before = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    Chrono stop;
    probe.Stop();
    const double stopped = stop.GetTime() * 1e-6;
    inProbe += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
    Figures figures{wall.GetTime() * 1e-6, CpuSeconds() - cpuStart, inProbe};
    figures.stop = stopped;
    return figures;
}

std::string LoadAverage() {
    FILE* file = fopen("/proc/loadavg", "r");
    char text[64] = "unknown";
    if (file != nullptr) {
        if (fscanf(file, "%63[^\n]", text) != 1) snprintf(text, sizeof text, "unknown");
        fclose(file);
    }
    return text;
}

[[noreturn]] void Usage(const char* problem) {
    printf("intrusion_bench: %s\nusage: intrusion_bench [-r PHASES_PER_SECOND] [-s SECONDS] [-n REPEATS] [-f REPEATS] "
           "[-p 1|3]\n",
           problem);
    exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    int option;
    while ((option = getopt(argc, argv, "r:s:n:f:p:")) != -1) {
        const long value = optarg ? strtol(optarg, nullptr, 0) : 0;
        switch (option) {
            case 'r': options.rate = static_cast<int>(value); break;
            case 's': options.seconds = static_cast<int>(value); break;
            case 'n': options.repeats = static_cast<int>(value); break;
            case 'f': options.fixedRepeats = static_cast<int>(value); break;
            case 'p': options.processes = static_cast<int>(value); break;
            default: Usage("unknown option");
        }
    }
    if (options.rate <= 0 || options.seconds <= 0 || options.repeats < 0 || options.fixedRepeats < 0)
        Usage("values must be positive");
    if (options.processes != 1 && options.processes != 3) Usage("-p takes 1 or 3");
    return options;
}

void PvmCheck(int result, const char* call) {
    if (result < 0) {
        pvm_perror(const_cast<char*>(call));
        pvm_exit();
        exit(1);
    }
}

// Builds the probe of a run (measuring or inactive) with make, runs the phases on it
// and notes how long building it took.
template <class Make> Figures RunWithProbe(bool measuring, long phases, long iterations, Make make) {
    Chrono setUp;
    std::unique_ptr<KOVAProbe> probe = measuring ? make() : std::make_unique<KOVAProbe>();
    const double setUpSeconds = setUp.GetTime() * 1e-6;
    Figures figures = RunPhases(*probe, phases, iterations);
    figures.setUp = setUpSeconds;
    return figures;
}

// A slave: receives its run's settings, works under its own probe and reports.
int RunSlave() {
    const int parent = pvm_parent();
    int settings[3];  // measuring, phases, iterations (the phases fit an int)
    PvmCheck(pvm_recv(parent, TAG_START), " calling pvm_recv");
    PvmCheck(pvm_upkint(settings, 3, 1), " calling pvm_upkint");
    const Figures figures =
        RunWithProbe(settings[0] != 0, settings[1], settings[2], [] { return std::make_unique<KOVAProbe>(true); });
    double values[5] = {figures.wall, figures.cpu, figures.inProbe, figures.setUp, figures.stop};
    pvm_initsend(PvmDataDefault);
    pvm_pkdouble(values, 5, 1);
    PvmCheck(pvm_send(parent, TAG_RESULT), " calling pvm_send");
    pvm_exit();
    return 0;
}

// One run of every process: the figures of the master, then the slaves, and the
// whole run's wall time (seconds), from before the master's probe is built until
// every slave has reported after its Stop. The slaves are spawned first and get
// their settings at once, so that each builds its probe as soon as the master
// announces it.
std::vector<Figures> RunOnce(const Options& options, bool measuring, long phases, long iterations, const char* self,
                             double& whole) {
    Chrono run;
    std::vector<int> slaves;
    for (int k = 2; k <= options.processes; ++k) {
        int tid = 0;
        std::string host = "node" + std::to_string(k);
        char processes[] = "-p3";
        char* arguments[] = {processes, nullptr};
        if (pvm_spawn(const_cast<char*>(self), arguments, PvmTaskHost, host.data(), 1, &tid) != 1) {
            printf("intrusion_bench: spawning on %s failed (%d)\n", host.c_str(), tid);
            pvm_exit();
            exit(1);
        }
        slaves.push_back(tid);
    }
    int settings[3] = {measuring ? 1 : 0, static_cast<int>(phases), static_cast<int>(iterations)};
    for (int slave : slaves) {
        pvm_initsend(PvmDataDefault);
        pvm_pkint(settings, 3, 1);
        PvmCheck(pvm_send(slave, TAG_START), " calling pvm_send");
    }
    int expID = -1;
    // The report of the stored experiment would break up the table.
    std::ostringstream report;
    std::streambuf* console = std::cout.rdbuf(report.rdbuf());
    std::vector<Figures> figures{RunWithProbe(measuring, phases, iterations, [&] {
        auto probe = std::make_unique<KOVAProbe>("IntrusionBench", options.processes, KOVAProbe::DO_NOT_REPLACE,
                                                 options.rate, "intrusion");
        for (int slave : slaves) probe->SlaveIsSpawned(slave);
        expID = probe->GetExperimentID();
        return probe;
    })};
    std::cout.rdbuf(console);
    for (int slave : slaves) {
        double values[5];
        PvmCheck(pvm_recv(slave, TAG_RESULT), " calling pvm_recv");
        PvmCheck(pvm_upkdouble(values, 5, 1), " calling pvm_upkdouble");
        Figures slaveFigures{values[0], values[1], values[2]};
        slaveFigures.setUp = values[3];
        slaveFigures.stop = values[4];
        figures.push_back(slaveFigures);
    }
    whole = run.GetTime() * 1e-6;
    if (measuring) {
        StandardDatabase db("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
        DeleteExperiment(expID, db);
    }
    return figures;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Alternating pairs of fixed-cost runs (one phase per process): the medians of the
// whole run, and of each process's set-up and Stop when measuring.
void MeasureFixedCost(const Options& options, const char* self) {
    printf("fixed cost: %d pair(s) of runs of %d process(es) with one phase each, load average %s\n",
           options.fixedRepeats, options.processes, LoadAverage().c_str());
    std::vector<double> whole[2];
    std::vector<std::vector<double>> setUp(options.processes), stop(options.processes);
    for (int repeat = 0; repeat < options.fixedRepeats; ++repeat) {
        for (int measuring = 0; measuring < 2; ++measuring) {
            double run = 0;
            const std::vector<Figures> figures = RunOnce(options, measuring != 0, 1, 0, self, run);
            whole[measuring].push_back(run);
            if (!measuring) continue;
            for (int process = 0; process < options.processes; ++process) {
                setUp[process].push_back(figures[process].setUp);
                stop[process].push_back(figures[process].stop);
            }
        }
    }
    for (int process = 0; process < options.processes; ++process)
        printf("  process %d (%s): probe set-up %.2f ms, Stop %.2f ms (medians)\n", process,
               process == 0 ? "master" : "slave", Median(setUp[process]) * 1e3, Median(stop[process]) * 1e3);
    const double measuring = Median(whole[1]), inactive = Median(whole[0]);
    printf("fixed cost of a run: %.2f ms measuring vs %.2f ms inactive (medians), %.2f ms more (goal <= 20 ms); "
           "load average %s\n",
           measuring * 1e3, inactive * 1e3, (measuring - inactive) * 1e3, LoadAverage().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options options = ParseOptions(argc, argv);
    if (options.processes > 1) {
        // Enrols in PVM; a slave (spawned with -p 3) has a parent.
        if (pvm_parent() >= 0) return RunSlave();
        if (pvm_mytid() < 0) {
            printf("intrusion_bench: -p 3 needs a PVM virtual machine (e.g. scripts/vcluster.sh 3 -- ...)\n");
            return 1;
        }
    }
    if (options.fixedRepeats > 0) MeasureFixedCost(options, argv[0]);
    if (options.repeats == 0) {
        if (options.processes > 1) pvm_exit();
        return 0;
    }
    const double workMicroseconds = 1e6 / options.rate;
    const long iterations = IterationsFor(workMicroseconds);
    const long phases = static_cast<long>(options.rate) * options.seconds;
    printf("intrusion_bench: %d process(es), %d phases/s each, %d s of work per run (%ld phases of %ld "
           "iterations, about %.1f us of CPU each), %d run(s) of each kind, load average %s\n",
           options.processes, options.rate, options.seconds, phases, iterations, workMicroseconds, options.repeats,
           LoadAverage().c_str());
    // The figures of each process, per kind of run (0 inactive, 1 measuring).
    std::vector<std::vector<double>> wall[2], cpu[2], inProbe[2];
    for (int kind = 0; kind < 2; ++kind) {
        wall[kind].resize(options.processes);
        cpu[kind].resize(options.processes);
        inProbe[kind].resize(options.processes);
    }
    for (int repeat = 0; repeat < options.repeats; ++repeat) {
        for (int measuring = 0; measuring < 2; ++measuring) {
            double whole = 0;
            const std::vector<Figures> figures = RunOnce(options, measuring != 0, phases, iterations, argv[0], whole);
            for (int process = 0; process < options.processes; ++process) {
                printf("  run %d %-9s process %d: wall %.3f s, cpu %.3f s, in probe calls %.3f s, Stop %.1f ms\n",
                       repeat + 1, measuring ? "measuring" : "inactive", process, figures[process].wall,
                       figures[process].cpu, figures[process].inProbe, figures[process].stop * 1e3);
                wall[measuring][process].push_back(figures[process].wall);
                cpu[measuring][process].push_back(figures[process].cpu);
                inProbe[measuring][process].push_back(figures[process].inProbe);
            }
        }
    }
    for (int process = 0; process < options.processes; ++process) {
        const double wallInactive = Median(wall[0][process]), wallMeasuring = Median(wall[1][process]);
        const double cpuInactive = Median(cpu[0][process]), cpuMeasuring = Median(cpu[1][process]);
        const double probeCpu = Median(inProbe[1][process]) - Median(inProbe[0][process]);
        printf("process %d (%s): wall %.3f s measuring vs %.3f s inactive, ratio %.3f (goal <= 1.05); cpu %.3f s vs "
               "%.3f s, ratio %.3f; the probe's own CPU (in its calls, beyond an inactive probe's) %.3f s, %.2f %% "
               "of the process's (goal <= 3 %%)\n",
               process, process == 0 ? "master" : "slave", wallMeasuring, wallInactive, wallMeasuring / wallInactive,
               cpuMeasuring, cpuInactive, cpuMeasuring / cpuInactive, probeCpu, 100.0 * probeCpu / cpuMeasuring);
        printf("process %d: the probe's CPU as the process's CPU beyond an inactive probe's: %.2f %%\n", process,
               100.0 * (cpuMeasuring - cpuInactive) / cpuInactive);
        // Other load only ever lengthens a run, so the shortest runs compare the probe alone.
        const double fastestMeasuring = *std::min_element(wall[1][process].begin(), wall[1][process].end());
        const double fastestInactive = *std::min_element(wall[0][process].begin(), wall[0][process].end());
        printf("process %d: shortest wall %.3f s measuring vs %.3f s inactive, ratio %.3f\n", process,
               fastestMeasuring, fastestInactive, fastestMeasuring / fastestInactive);
    }
    printf("load average at the end: %s\n", LoadAverage().c_str());
    if (options.processes > 1) pvm_exit();
    return 0;
}
