// Speed of the sequential GA's default generation (population 100, 25 % selection,
// 75 % mutation) and the share of it spent sorting the population.
#include "ga/problem.h"

#include <benchmark/benchmark.h>

#include <chrono>

namespace {

const int POPULATION = 100;
const int SELECTION = 25;
const int MUTATION = 75;

TravelSalesman& Problem()
{
    static TravelSalesman problem;
    return problem;
}

// One generation as the sequential driver runs it: Select, Reproduce, Mutate. Select
// is timed on its own; all it does beyond sorting is dropping the tail.
void BM_SequentialGeneration(benchmark::State& state)
{
    TravelSalesman& problem = Problem();
    problem.population.clear();
    problem.InitializePopulation(POPULATION);
    using Clock = std::chrono::steady_clock;
    Clock::duration selecting{}, total{};
    for (auto _ : state) {
        const Clock::time_point begin = Clock::now();
        problem.Select(SELECTION);
        const Clock::time_point selected = Clock::now();
        problem.Reproduce();
        problem.Mutate(MUTATION);
        const Clock::time_point end = Clock::now();
        selecting += selected - begin;
        total += end - begin;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["generations_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                             benchmark::Counter::kIsRate);
    state.counters["sort_share_pct"] = 100.0 * std::chrono::duration<double>(selecting).count() /
                                       std::chrono::duration<double>(total).count();
}
BENCHMARK(BM_SequentialGeneration)->Unit(benchmark::kMicrosecond);

// The sort alone on a population in the state Select finds it in: the 25 survivors
// of the previous generation followed by 75 freshly mutated copies.
void BM_SortPopulation(benchmark::State& state)
{
    TravelSalesman& problem = Problem();
    problem.population.clear();
    problem.InitializePopulation(POPULATION);
    for (auto _ : state) {
        state.PauseTiming();
        problem.Select(SELECTION);
        problem.Reproduce();
        problem.Mutate(MUTATION);
        state.ResumeTiming();
        problem.SelectSize(POPULATION);
    }
}
BENCHMARK(BM_SortPopulation)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
