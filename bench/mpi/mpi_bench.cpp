// mpi_bench: what kova measure costs an unmodified MPI program (Open MPI). It
// runs mpi_pingpong's ping-pong of two ranks on this host, about RATE messages
// per second per rank (fixed work per message), plain and under kova measure in
// alternating order, and prints the median of the program's own run times (rank
// 0, MPI_Init to MPI_Finalize) and of the whole commands, with the medians of the
// pairs' ratios; then the probe's cost per recorded MPI call, as the median over
// pairs of the difference per call of a rank that calls MPI_Barrier on
// MPI_COMM_SELF CALLS times (in CPU time of its thread, which other load on the
// machine does not stretch), beside the core's calibrated cost per record. The
// machine's load average is printed with the figures; the stored experiments
// (application "MpiBench") are removed.
//
//   mpi_bench [-n PAIRS] [-m MESSAGES] [-w WORK_US] [-c CALLS]
//     -n  pairs of runs (default 5)
//     -m  messages each rank sends (default 20000; 0: no ping-pong)
//     -w  CPU work per message sent, in microseconds (default 20)
//     -c  recorded calls of the cost run (default 1000000)
#include "probe/replacement.h"
#include "probe/databaseaddress.h"
#include "persist/standarddatabase.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Run {
    double program = 0;  // the program's own wall seconds
    double cpu = 0;      // the CPU seconds of rank 0's thread meanwhile
    double command = 0;  // the whole command's wall seconds
};

// One run of the shell command; the program prints its own seconds last.
Run Once(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    std::FILE* out = popen((command + " 2>/dev/null").c_str(), "r");
    Run run;
    char line[256];
    while (out != nullptr && std::fgets(line, sizeof line, out) != nullptr)
        std::sscanf(line, "%lf %lf", &run.program, &run.cpu);
    const int status = out != nullptr ? pclose(out) : -1;
    run.command = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != 0 || run.program <= 0) {
        std::fprintf(stderr, "mpi_bench: %s failed (status %d)\n", command.c_str(), status);
        std::exit(1);
    }
    return run;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string LoadAverage() {
    std::string one, five, fifteen;
    std::ifstream("/proc/loadavg") >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Plain and measured runs of the program's arguments in alternating order.
std::pair<std::vector<Run>, std::vector<Run>> Pairs(int pairs, const std::string& launch, const std::string& kova,
                                                    const std::string& arguments) {
    std::vector<Run> plain, measured;
    const std::string program = launch + " " + arguments;
    for (int pair = 0; pair < pairs; ++pair) {
        auto measure = [&] { measured.push_back(Once(kova + " measure --application MpiBench -- " + program)); };
        if (pair % 2) measure();
        plain.push_back(Once(program));
        if (pair % 2 == 0) measure();
    }
    return {plain, measured};
}

// The ping-pong's pairs and their figures.
void PingPong(int pairs, const std::string& launch, const std::string& kova, long messages, double work) {
    const auto [plain, measured] =
        Pairs(pairs, launch, kova, "pingpong " + std::to_string(messages) + " " + std::to_string(work));
    std::vector<double> plainProgram, measuredProgram, programRatios, commandRatios, plainCommand, measuredCommand;
    for (int pair = 0; pair < pairs; ++pair) {
        plainProgram.push_back(plain[pair].program);
        measuredProgram.push_back(measured[pair].program);
        plainCommand.push_back(plain[pair].command);
        measuredCommand.push_back(measured[pair].command);
        programRatios.push_back(measured[pair].program / plain[pair].program);
        commandRatios.push_back(measured[pair].command / plain[pair].command);
    }
    std::printf("MPI ping-pong of 2 ranks, %ld messages sent per rank, %.0f us of work per message, %d pairs:\n",
                messages, work, pairs);
    std::printf("  plain          program %7.3f s median (%6.0f messages per second per rank), command %7.3f s\n",
                Median(plainProgram), messages / Median(plainProgram), Median(plainCommand));
    std::printf("  kova measure   program %7.3f s median, command %7.3f s\n", Median(measuredProgram),
                Median(measuredCommand));
    std::printf("  ratio          program %7.3f median of the pairs (goal 1.05), command %7.3f\n",
                Median(programRatios), Median(commandRatios));
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = 5;
    long messages = 20000, calls = 1000000;
    double work = 20;
    for (int opt; (opt = getopt(argc, argv, "n:m:w:c:")) != -1;) {
        if (opt == 'n') pairs = std::atoi(optarg);
        else if (opt == 'm') messages = std::atol(optarg);
        else if (opt == 'w') work = std::atof(optarg);
        else if (opt == 'c') calls = std::atol(optarg);
        else {
            std::fprintf(stderr, "usage: mpi_bench [-n PAIRS] [-m MESSAGES] [-w WORK_US] [-c CALLS]\n");
            return 2;
        }
    }
    const std::filesystem::path bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string kova = (bin / "kova").string();
    // Open MPI refuses root unless told.
    setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 1);
    setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 1);
    const std::string mpirun = "mpirun.openmpi --oversubscribe";
    const std::string program = (bin / "mpi_pingpong").string();
    std::printf("load average before: %s\n", LoadAverage().c_str());

    if (messages > 0) PingPong(pairs, mpirun + " -np 2 " + program, kova, messages, work);
    const auto [plainCalls, measuredCalls] =
        Pairs(pairs, mpirun + " -np 1 " + program, kova, "calls " + std::to_string(calls));
    std::vector<double> perCall;
    for (std::size_t pair = 0; pair < plainCalls.size(); ++pair)
        perCall.push_back((measuredCalls[pair].cpu - plainCalls[pair].cpu) / calls * 1e9);
    const DatabaseAddress address = MeasurementDatabaseAddress();
    StandardDatabase db("KOVAUser", "", "KOVAData", address.host, address.port, address.socket);
    std::vector<double> calibrated;
    for (const std::string& cost : db.QueryStrings("SELECT nsPerCall FROM ProbeCosts WHERE expID IN (SELECT ID FROM "
                                                   "Experiments WHERE name = 'MpiBench')"))
        calibrated.push_back(std::atof(cost.c_str()));
    std::printf("probe's cost per recorded MPI call (MPI_Barrier on MPI_COMM_SELF, %ld calls, CPU time of the "
                "program's thread): %.0f ns median of %d pairs (goal 500); the core's calibrated cost per record "
                "%.1f ns median of %zu ranks\n",
                calls, Median(perCall), pairs, Median(calibrated), calibrated.size());
    std::printf("load average after: %s\n", LoadAverage().c_str());
    for (const std::string& id : db.QueryStrings("SELECT ID FROM Experiments WHERE name = 'MpiBench'"))
        DeleteExperiment(std::stoi(id), db);
    return 0;
}
