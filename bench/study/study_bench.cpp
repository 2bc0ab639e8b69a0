// study_bench: what kova study adds to each run of a program. study_law with p = 2
// and W = 0 (a master, one slave, 20 ms asleep) runs RUNS times plain, then as one
// study of RUNS runs of one configuration, then that study again (it finds every run
// stored and only models them: the study's fixed cost), then RUNS times under kova
// measure alone. kova's own time per run is the study's time per run, less the fixed
// cost, less the program's plain run; the part of it that kova measure takes is
// printed beside it. The stored experiments (application "StudyBench") are removed.
//
//   study_bench [-n RUNS]     (on a PVM virtual machine, default 20 runs)
#include "bench/common/program_runs.h"

#include "probe/replacement.h"
#include "probe/databaseaddress.h"
#include "persist/standarddatabase.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const char* const kApplication = "StudyBench";

void RemoveExperiments() {
    const DatabaseAddress address = MeasurementDatabaseAddress();
    StandardDatabase db("KOVAUser", "", "KOVAData", address.host, address.port, address.socket);
    for (const std::string& id :
         db.QueryStrings(std::string("SELECT ID FROM Experiments WHERE name = '") + kApplication + "'"))
        DeleteExperiment(std::stoi(id), db);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 20, option;
    while ((option = getopt(argc, argv, "n:")) != -1) {
        if (option != 'n') {
            std::printf("usage: study_bench [-n RUNS]\n");
            return 2;
        }
        runs = std::atoi(optarg);
    }
    if (runs <= 0) {
        std::printf("study_bench: RUNS must be positive\n");
        return 2;
    }
    const std::filesystem::path bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string kova = (bin / "kova").string(), program = (bin / "study_law").string();
    RemoveExperiments();
    std::printf("load average before: %s\n", LoadAverage().c_str());

    std::vector<double> plain, measured;
    for (int k = 0; k < runs; ++k) plain.push_back(Seconds("study_bench", {program, "2", "0"}));
    const std::vector<std::string> study = {kova, "study", "--application", kApplication, "--p", "2",
                                            "--repeat", std::to_string(runs), "--", program, "{p}", "0"};
    const double studied = Seconds("study_bench", study), fixed = Seconds("study_bench", study);
    RemoveExperiments();
    for (int k = 0; k < runs; ++k)
        measured.push_back(Seconds("study_bench", {kova, "measure", "--application", kApplication, "--", program, "2", "0"}));
    RemoveExperiments();

    const double perRun = (studied - fixed) / runs;
    std::printf("study_law p = 2, W = 0 (%d runs of each kind)\n", runs);
    std::printf("  plain run                 %8.1f ms median\n", Median(plain) * 1e3);
    std::printf("  kova measure run          %8.1f ms median\n", Median(measured) * 1e3);
    std::printf("  kova study, per run       %8.1f ms (%.2f s for %d runs, less the fixed cost)\n", perRun * 1e3,
                studied - fixed, runs);
    std::printf("  kova study, fixed cost    %8.1f ms (a second call: every run stored, modelled)\n", fixed * 1e3);
    std::printf("  kova's own time per run   %8.1f ms (study per run - plain run; goal 50)\n",
                (perRun - Median(plain)) * 1e3);
    std::printf("    of which kova measure   %8.1f ms (measure run - plain run)\n",
                (Median(measured) - Median(plain)) * 1e3);
    std::printf("    and the study around it %8.1f ms (study per run - measure run)\n",
                (perRun - Median(measured)) * 1e3);
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return 0;
}
