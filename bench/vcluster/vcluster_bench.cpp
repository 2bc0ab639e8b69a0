// Wall-clock cost of scripts/vcluster.sh: a whole run (namespaces, pvmds, forwarders,
// teardown) of a command that does nothing, for several cluster sizes, and the same
// with one spawn round of vcluster_probe onto every other host.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "kova_site.h"

namespace {

void RunOnCluster(benchmark::State& state, const std::string& command)
{
    const std::string line = std::string("bash ") + KOVA_SOURCE_DIR + "/scripts/vcluster.sh " +
                             std::to_string(state.range(0)) + " --bin " + KOVA_BINARY_DIR +
                             "/bin -- " + command + " >/dev/null 2>&1";
    for (auto _ : state) {
        if (std::system(line.c_str()) != 0) {
            state.SkipWithError(("failed: " + line).c_str());
            break;
        }
    }
}

void BM_ClusterUpAndDown(benchmark::State& state) { RunOnCluster(state, "true"); }
void BM_ClusterWithOneSpawnRound(benchmark::State& state) { RunOnCluster(state, "vcluster_probe"); }

}  // namespace

BENCHMARK(BM_ClusterUpAndDown)->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ClusterWithOneSpawnRound)->Arg(3)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

BENCHMARK_MAIN();
