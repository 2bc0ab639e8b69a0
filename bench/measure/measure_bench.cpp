// measure_bench: what kova measure costs an unmodified PVM program. It runs
// pvm_stream (a master streaming to one slave, every task at about RATE messages
// per second with fixed work per message) plain and under kova measure, in
// alternating pairs, and prints the median run times and their ratio; then the
// fixed cost of one measured run of a master and two slaves that do nothing, as
// the median difference of pairs. The machine's load average is printed with the
// figures. The stored experiments (application "MeasureBench") are removed.
//
//   measure_bench [-n PAIRS] [-m MESSAGES] [-r RATE]     (on a PVM virtual machine)
//     -n  pairs of runs of each kind (default 5)
//     -m  messages per task (default 20000)
//     -r  messages per second per task of the plain run (default 20000)
#include "work.h"

#include <KOVAInstrumentation.h>
#include <databaseaddress.h>
#include <standarddatabase.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {


// Wall seconds of one run of the command, its output discarded; a failed run ends
// the benchmark.
double Seconds(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ) == 0) waitpid(pid, &status, 0);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&quiet);
    if (status != 0) {
        std::fprintf(stderr, "measure_bench: %s failed (wait status %d)\n", command.front().c_str(), status);
        std::exit(1);
    }
    return took.count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string LoadAverage() {
    std::string one, five, fifteen;
    std::ifstream("/proc/loadavg") >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

struct Pairs {
    std::vector<double> plain, measured;
};

// Runs the load plain and measured in alternating order, pairs times.
Pairs RunPairs(int pairs, const std::vector<std::string>& load, const std::string& kova) {
    std::vector<std::string> measured = {kova, "measure", "--application", "MeasureBench", "--"};
    measured.insert(measured.end(), load.begin(), load.end());
    Pairs times;
    for (int pair = 0; pair < pairs; ++pair) {
        if (pair % 2 == 0) times.plain.push_back(Seconds(load));
        times.measured.push_back(Seconds(measured));
        if (pair % 2 != 0) times.plain.push_back(Seconds(load));
    }
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = 5, messages = 20000, rate = 20000, option;
    while ((option = getopt(argc, argv, "n:m:r:")) != -1) {
        switch (option) {
            case 'n': pairs = std::atoi(optarg); break;
            case 'm': messages = std::atoi(optarg); break;
            case 'r': rate = std::atoi(optarg); break;
            default: std::printf("usage: measure_bench [-n PAIRS] [-m MESSAGES] [-r RATE]\n"); return 2;
        }
    }
    if (pairs <= 0 || messages <= 0 || rate <= 0) {
        std::printf("measure_bench: the values must be positive\n");
        return 2;
    }
    const std::filesystem::path bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string kova = (bin / "kova").string(), load = (bin / "pvm_stream").string();
    std::printf("load average before: %s\n", LoadAverage().c_str());

    // The work leaves a tenth of each message's time to the PVM call itself.
    const long iterations = IterationsFor(0.9e6 / rate);
    const std::vector<std::string> stream = {load, "-m", std::to_string(messages), "-w", std::to_string(iterations)};
    const Pairs streamed = RunPairs(pairs, stream, kova);
    const double plain = Median(streamed.plain), measured = Median(streamed.measured);
    std::vector<double> ratios;
    for (int k = 0; k < pairs; ++k) ratios.push_back(streamed.measured[k] / streamed.plain[k]);
    std::printf("%d messages per task, master and one slave (%d pairs)\n", messages, pairs);
    std::printf("  plain     %8.3f s median, %6.0f messages per second per task\n", plain, messages / plain);
    std::printf("  measured  %8.3f s median\n", measured);
    std::printf("  ratio     %8.3f median of the pairs' ratios (goal 1.05)\n", Median(ratios));

    const Pairs idle = RunPairs(pairs, {load, "-m", "0", "-s", "2"}, kova);
    std::vector<double> costs;
    for (int k = 0; k < pairs; ++k) costs.push_back((idle.measured[k] - idle.plain[k]) * 1e3);
    std::printf("master and two idle slaves (%d pairs)\n", pairs);
    std::printf("  plain     %8.1f ms median\n", Median(idle.plain) * 1e3);
    std::printf("  measured  %8.1f ms median\n", Median(idle.measured) * 1e3);
    std::printf("  fixed cost %7.1f ms median of the pairs' differences (goal 20)\n", Median(costs));
    std::printf("load average after: %s\n", LoadAverage().c_str());

    const DatabaseAddress address = MeasurementDatabaseAddress();
    StandardDatabase db("KOVAUser", "", "KOVAData", address.host, address.port, address.socket);
    for (const std::string& id : db.QueryStrings("SELECT ID FROM Experiments WHERE name = 'MeasureBench'"))
        DeleteExperiment(std::stoi(id), db);
    return 0;
}
