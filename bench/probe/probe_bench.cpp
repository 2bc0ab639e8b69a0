// Benchmarks of the probe's intrusion into the measured program: the cost of
// ending a phase (the C++ probe's EndOfPhase, and the C face's kova_phase, which
// records with the recording core) against one clock reading, and the cost of handing a batch of
// phase rows to the database against one multi-row INSERT of the same rows sent
// and awaited. Prints the medians and their ratios after Google Benchmark's own table.
#include "probe/probestate.h"
#include <kova/kova.h>
#include <kova_site.h>
#include "persist/standarddatabase.h"

#include <benchmark/benchmark.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

const int PHASES_PER_REPETITION = 20000;
const int BATCH_ROWS = 1000;

std::unique_ptr<StandardDatabase> Connect() {
    return std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
}

void BM_GetTimeOfDay(benchmark::State& state) {
    for (auto _ : state) {
        timeval now;
        gettimeofday(&now, nullptr);
        benchmark::DoNotOptimize(now);
    }
}

// EndOfPhase on a measuring sequential probe. A repetition lasts far less than the
// batch period, so no batch write falls into the timed loop; the recorded phases are
// dropped before Stop, as a batch write would empty the list.
void BM_EndOfPhase(benchmark::State& state) {
    const std::string app = "ProbeBench" + std::to_string(getpid());
    KOVAProbe probe(app, 1, KOVAProbe::DO_NOT_REPLACE, PHASES_PER_REPETITION, "benchmark");
    for (auto _ : state) benchmark::DoNotOptimize(probe.EndOfPhase(PH_WORK));
    if (probe.state().mTimeLastSave != 0) state.SkipWithError("a batch write fell into the timed loop");
    probe.state().mPhases.clear();
    const int expID = probe.GetExperimentID();
    // The probe's report of the stored experiment would break up the table.
    std::ostringstream report;
    std::streambuf* console = std::cout.rdbuf(report.rdbuf());
    probe.Stop();
    std::cout.rdbuf(console);
    auto db = Connect();
    DeleteExperiment(expID, *db);
}

// kova_phase on a measuring sequential master of the C face: a record in the
// task's buffer (full buffers go to the database from a thread of their own).
// One master serves every repetition; main stores and removes its experiment.
int gCFaceExperiment = 0;
void BM_KovaPhase(benchmark::State& state) {
    if (gCFaceExperiment == 0)
        gCFaceExperiment = kova_master(("ProbeBench" + std::to_string(getpid())).c_str(), 1, 0, KOVA_DO_NOT_REPLACE);
    for (auto _ : state) benchmark::DoNotOptimize(kova_phase(KOVA_WORK));
}

// Appending a phase record alone, to a standard list and to the probe's list.
template <class List> void BM_AppendPhase(benchmark::State& state) {
    List phases;
    int nbr = 0;
    for (auto _ : state) {
        phases.emplace_back(1, 0, ++nbr, PH_WORK, TIME{5}, 0, 0, "");
        if (nbr % 1000 == 0) {
            state.PauseTiming();
            phases.clear();
            state.ResumeTiming();
        }
    }
}

PhaseList BatchOf(int expID) {
    PhaseList phases;
    for (int nbr = 1; nbr <= BATCH_ROWS; ++nbr)
        phases.emplace_back(expID, 262146, nbr, nbr % 2 ? PH_WORK : PH_COMM_SEND, TIME{1000 + nbr}, 262147,
                            nbr % 2 == 0, 3, "");
    return phases;
}

// Experiment numbers no probe hands out, one per written batch.
int NextBatchID() {
    static int next = -2000000;
    return next--;
}

// Removes a written batch outside the timed region, and gives the server's
// background clean-up of the deleted rows time to finish before the next one.
void RemoveBatch(benchmark::State& state, int expID, StandardDatabase& db) {
    state.PauseTiming();
    DeleteExperiment(expID, db);
    usleep(20000);
    state.ResumeTiming();
}

// Writes a batch of phase rows through the probe's reused convertor per iteration.
// awaited: the server's answer is waited for inside the timed region; otherwise only
// the hand-off is timed, and reading the result, which the probe does at its next
// batch, is not.
void PhaseBatch(benchmark::State& state, bool awaited) {
    auto db = Connect();
    InsertBatchConvertor convertor(db.get());
    for (auto _ : state) {
        state.PauseTiming();
        const int expID = NextBatchID();
        PhaseList phases = BatchOf(expID);
        state.ResumeTiming();
        convertor.AddAll(phases);
        if (awaited) {
            convertor.Write();
        } else {
            convertor.Send();
            state.PauseTiming();
            db->AwaitBatch();
            state.ResumeTiming();
        }
        RemoveBatch(state, expID, *db);
    }
    state.SetItemsProcessed(state.iterations() * BATCH_ROWS);
}

// The probe's batch path as the measured program sees it: built and handed over.
void BM_HandOffPhaseBatch(benchmark::State& state) { PhaseBatch(state, false); }

// The same batch sent and awaited.
void BM_WritePhaseBatch(benchmark::State& state) { PhaseBatch(state, true); }

// The same rows one statement at a time with autocommit, for comparison.
void BM_WritePhasesOneByOne(benchmark::State& state) {
    auto db = Connect();
    for (auto _ : state) {
        state.PauseTiming();
        const int expID = NextBatchID();
        PhaseList batch = BatchOf(expID);
        std::list<Phase> phases(batch.begin(), batch.end());
        state.ResumeTiming();
        *db << phases;
        RemoveBatch(state, expID, *db);
    }
    state.SetItemsProcessed(state.iterations() * BATCH_ROWS);
}

// The server's floor: the same rows in one multi-row INSERT written by hand.
void BM_MultiRowInsert(benchmark::State& state) {
    auto db = Connect();
    for (auto _ : state) {
        state.PauseTiming();
        const int expID = NextBatchID();
        std::string insert =
            "INSERT INTO Phases (expID, processID, nbr, typeID, duration, startTime, nbrQuantums, nbrOperations, "
            "commPartnerTid, commIsSending, commDelay, comment) VALUES ";
        for (const Phase& phase : BatchOf(expID)) {
            insert += phase.mNbr == 1 ? "(" : ", (";
            insert += std::to_string(phase.mExpID) + ", " + std::to_string(phase.mProcessID) + ", " +
                      std::to_string(phase.mNbr) + ", " + std::to_string(phase.mType) + ", " +
                      std::to_string(phase.mDuration) + ", 0, " + std::to_string(phase.mNbrQuantums) + ", 0, " +
                      std::to_string(phase.mCommPartner) + ", " + (phase.mCommIsSending ? "1" : "0") + ", 0, '')";
        }
        state.ResumeTiming();
        db->Query(insert);
        RemoveBatch(state, expID, *db);
    }
    state.SetItemsProcessed(state.iterations() * BATCH_ROWS);
}

BENCHMARK(BM_GetTimeOfDay)->MinTime(0.1)->Repetitions(15)->ReportAggregatesOnly(true)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_EndOfPhase)
    ->Iterations(PHASES_PER_REPETITION)
    ->Repetitions(25)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_KovaPhase)
    ->Iterations(PHASES_PER_REPETITION)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kNanosecond);
BENCHMARK_TEMPLATE(BM_AppendPhase, std::list<Phase>)->MinTime(0.1)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK_TEMPLATE(BM_AppendPhase, PhaseList)->MinTime(0.1)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_HandOffPhaseBatch)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePhaseBatch)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultiRowInsert)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePhasesOneByOne)->Iterations(3)->Repetitions(3)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

// Keeps the median real time (in each benchmark's own unit) of every benchmark.
class MedianCollector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> mMedians;
    // The median CPU time of this thread, in the same units.
    std::map<std::string, double> mCpuMedians;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.aggregate_name == "median") {
                mMedians[run.run_name.function_name] = run.GetAdjustedRealTime();
                mCpuMedians[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    auto& medians = collector.mMedians;
    auto has = [&](const char* name) { return medians.count(name) != 0; };
    if (has("BM_EndOfPhase") && has("BM_GetTimeOfDay")) {
        printf("\nEndOfPhase: %.1f ns per call (median), gettimeofday: %.1f ns; ratio %.2f (goal: at most 3)\n",
               medians["BM_EndOfPhase"], medians["BM_GetTimeOfDay"],
               medians["BM_EndOfPhase"] / medians["BM_GetTimeOfDay"]);
    }
    if (has("BM_KovaPhase")) {
        printf("kova_phase: %.1f ns per call (median)", medians["BM_KovaPhase"]);
        if (has("BM_EndOfPhase")) printf("; the probe's EndOfPhase, which it called before: %.1f ns", medians["BM_EndOfPhase"]);
        printf("\n");
    }
    if (gCFaceExperiment > 0) {
        std::ostringstream report;
        std::streambuf* console = std::cout.rdbuf(report.rdbuf());
        kova_stop();
        std::cout.rdbuf(console);
        auto db = Connect();
        DeleteExperiment(gCFaceExperiment, *db);
    }
    if (has("BM_AppendPhase<std::list<Phase>>") && has("BM_AppendPhase<PhaseList>")) {
        printf("Appending a phase: %.1f ns to a std::list, %.1f ns to the probe's list\n",
               medians["BM_AppendPhase<std::list<Phase>>"], medians["BM_AppendPhase<PhaseList>"]);
    }
    if (has("BM_HandOffPhaseBatch") && has("BM_MultiRowInsert")) {
        const double handOff = medians["BM_HandOffPhaseBatch"];
        const double floor = medians["BM_MultiRowInsert"];
        printf("Handing a batch of %d phase rows to the database: %.3f ms (%.2f us per row, client CPU %.3f ms); "
               "one multi-row INSERT of the same rows sent and awaited: %.2f ms; ratio %.3f (goal: at most 0.2)\n",
               BATCH_ROWS, handOff, handOff * 1000 / BATCH_ROWS, collector.mCpuMedians["BM_HandOffPhaseBatch"], floor,
               handOff / floor);
        if (has("BM_WritePhaseBatch"))
            printf("The batch sent and awaited: %.2f ms, ratio %.2f\n", medians["BM_WritePhaseBatch"],
                   medians["BM_WritePhaseBatch"] / floor);
        if (has("BM_WritePhasesOneByOne"))
            printf("The same rows one statement at a time (autocommit): %.2f ms, ratio %.1f\n",
                   medians["BM_WritePhasesOneByOne"], medians["BM_WritePhasesOneByOne"] / floor);
    }
    return 0;
}
