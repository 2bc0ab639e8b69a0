// Loading, analysing and storing two synthetic experiments in the measurement
// database, a ping-pong of about 320 000 phases and a pipeline of 16 processes and
// about 1 000 000 phases, each beside its floor: one plain SELECT of its phase rows
// plus one multi-row write of as many result rows. Then the passes alone on a
// pipeline of about 10 000 000 phases in memory. Prints the times, the ratios to the
// floors, phases per second and the model's bytes per phase.
#include "analysis/analyse.h"
#include "analysis/measurement_db.h"
#include "analysis/synthetic.h"

#include <kova_site.h>
#include "persist/standarddatabase.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace {

using analysis::ExperimentModel;

constexpr int kProcesses = 16;
constexpr std::size_t kPhases = 1'000'000;
constexpr int kRowsPerStatement = 10000;

std::unique_ptr<StandardDatabase> Connect() {
    return std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
}

// Stores the synthetic experiment as the probe would have: experiment, processes,
// phases and totals. Returns its ID.
int StoreSynthetic(StandardDatabase& db, const ExperimentModel& model) {
    db.Query("INSERT INTO Experiments (ID, name, user, date, p, W, nbrProcesses, Tp, statusData) VALUES (0, "
             "'AnalysisBench', 'bench', 'now', " + std::to_string(model.header.p) + ", " +
             std::to_string(model.header.W) + ", " + std::to_string(model.processes.size()) + ", " +
             std::to_string(model.header.Tp) + ", 1)");
    const int expID = static_cast<int>(db.LastInsertID());
    const std::string id = std::to_string(expID);
    for (const auto& process : model.processes) {
        db.Query("INSERT INTO Processes (expID, ID, processor, pvmTid, startTimeSec, startTimeMicroSec) VALUES (" + id + ", " + std::to_string(process.id) + ", '" + process.host +
                 "', " + std::to_string(process.tid) + ", " + std::to_string(process.start / 1000000) + ", " +
                 std::to_string(process.start % 1000000) + ")");
        for (const auto& [type, total] : process.totals)
            if (total != 0)
                db.Query("INSERT INTO PhaseDurations VALUES (" + id + ", " + std::to_string(process.id) + ", " +
                         std::to_string(type) + ", " + std::to_string(total) + ", 0)");
    }
    const auto& phases = model.phases;
    std::string text;
    for (std::size_t i = 0; i < phases.Size(); ++i) {
        text += text.empty() ? "INSERT INTO Phases VALUES (" : ",(";
        text += id + "," + std::to_string(model.processes[phases.process[i]].id) + "," +
                std::to_string(phases.nbr[i]) + "," + std::to_string(phases.type[i]) + "," +
                std::to_string(phases.duration[i]) + ",0," + std::to_string(phases.tag[i]) + ",0," +
                std::to_string(phases.partnerTid[i]) + "," + std::to_string(phases.sending[i]) + ",0,'')";
        if ((i + 1) % kRowsPerStatement == 0 || i + 1 == phases.Size()) {
            db.Query(text);
            text.clear();
        }
    }
    return expID;
}

void DeleteExperiment(StandardDatabase& db, int expID) {
    const std::string where = " WHERE expID = " + std::to_string(expID);
    for (const char* table : {"Phases", "Processes", "PhaseDurations", "Messages", "WaitStates"})
        db.Query(std::string("DELETE FROM ") + table + where);
    db.Query("DELETE FROM Experiments WHERE ID = " + std::to_string(expID));
}

struct Stored {
    std::unique_ptr<StandardDatabase> db;
    int expID = 0;
    std::size_t phases = 0;
};

// The stored experiments by name: "pingpong" and "pipeline".
Stored& TheExperiment(const std::string& name) {
    static std::map<std::string, Stored> stored;
    auto found = stored.find(name);
    if (found != stored.end()) return found->second;
    Stored s;
    s.db = Connect();
    const ExperimentModel model = name == "pingpong" ? analysis::MakeSyntheticPingPong(320'000)
                                                     : analysis::MakeSyntheticPipeline(kProcesses, kPhases);
    s.phases = model.phases.Size();
    s.expID = StoreSynthetic(*s.db, model);
    return stored.emplace(name, std::move(s)).first->second;
}

// Bytes the model holds per phase: its columns and the per-phase findings.
double BytesPerPhase(const ExperimentModel& model) {
    const auto& p = model.phases;
    auto bytes = [](const auto& column) { return column.capacity() * sizeof(column[0]); };
    const std::size_t total = bytes(p.process) + bytes(p.nbr) + bytes(p.type) + bytes(p.sending) +
                              bytes(p.duration) + bytes(p.start) + bytes(p.shownStart) + bytes(p.tag) +
                              bytes(p.operations) + bytes(p.partnerTid) + bytes(p.comment) + bytes(p.detail) +
                              bytes(model.findings.messageOf);
    return static_cast<double>(total) / p.Size();
}

std::map<std::string, double> gSeconds;
std::map<std::string, double> gBytes;

// Load, all passes, store: what `kova analyse` does.
void BM_LoadAnalyseStore(benchmark::State& state, const std::string& name) {
    Stored& stored = TheExperiment(name);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        ExperimentModel model = analysis::LoadExperiment(*stored.db, stored.expID);
        const auto loaded = std::chrono::steady_clock::now();
        analysis::Analyse(model, model.header.Tp * 10);
        const auto analysed = std::chrono::steady_clock::now();
        analysis::StoreFindings(*stored.db, model);
        const auto end = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        gSeconds[name + " analysis"] = seconds;
        state.counters["phases/s"] = stored.phases / seconds;
        state.counters["load s"] = std::chrono::duration<double>(loaded - start).count();
        state.counters["passes s"] = std::chrono::duration<double>(analysed - loaded).count();
        state.counters["store s"] = std::chrono::duration<double>(end - analysed).count();
        state.counters["model bytes/phase"] = BytesPerPhase(model);
    }
}

// The floor: one SELECT of the phase rows, read to the end, and one multi-row write of
// as many rows of five numbers into a scratch table.
void BM_Floor(benchmark::State& state, const std::string& name) {
    Stored& stored = TheExperiment(name);
    StandardDatabase& db = *stored.db;
    db.Query("CREATE TEMPORARY TABLE IF NOT EXISTS FloorRows (a int, b int, c int, d bigint, e int, "
             "PRIMARY KEY (a, b, c))");
    for (auto _ : state) {
        db.Query("DELETE FROM FloorRows");
        const auto start = std::chrono::steady_clock::now();
        const std::string query = "SELECT * FROM Phases WHERE expID = " + std::to_string(stored.expID);
        mysql_real_query(db.Handle(), query.data(), query.size());
        MYSQL_RES* result = mysql_use_result(db.Handle());
        std::size_t rows = 0;
        while (mysql_fetch_row(result)) ++rows;
        mysql_free_result(result);
        std::string text;
        for (std::size_t i = 0; i < rows; ++i) {
            text += text.empty() ? "INSERT INTO FloorRows VALUES (" : ",(";
            text += std::to_string(stored.expID) + "," + std::to_string(i % 16) + "," + std::to_string(i) + "," +
                    std::to_string(i * 7) + ",0)";
            if ((i + 1) % kRowsPerStatement == 0 || i + 1 == rows) {
                db.Query(text);
                text.clear();
            }
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        gSeconds[name + " floor"] = seconds;
        state.counters["phases/s"] = stored.phases / seconds;
    }
}

// The passes alone on about 10 000 000 phases in memory.
void BM_PassesInMemory(benchmark::State& state) {
    ExperimentModel model = analysis::MakeSyntheticPipeline(kProcesses, 10'000'000);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        analysis::Analyse(model, model.header.Tp * 10);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        gSeconds["10M passes"] = seconds;
        gBytes["10M"] = BytesPerPhase(model);
        state.counters["phases/s"] = model.phases.Size() / seconds;
        state.counters["model bytes/phase"] = gBytes["10M"];
    }
}

// Side by side in one run: each experiment's floor right before its analysis.
BENCHMARK_CAPTURE(BM_Floor, pingpong, std::string("pingpong"))
    ->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadAnalyseStore, pingpong, std::string("pingpong"))
    ->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Floor, pipeline, std::string("pipeline"))
    ->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadAnalyseStore, pipeline, std::string("pipeline"))
    ->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PassesInMemory)->UseManualTime()->Iterations(1)->Repetitions(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char* name : {"pingpong", "pipeline"}) {
        const std::string n = name;
        if (!gSeconds.count(n + " floor") || !gSeconds.count(n + " analysis")) continue;
        std::printf("%s: %zu phases, last run: analysis %.2f s, floor %.2f s, ratio %.2f (goal <= 3)\n", name,
                    TheExperiment(n).phases, gSeconds[n + " analysis"], gSeconds[n + " floor"],
                    gSeconds[n + " analysis"] / gSeconds[n + " floor"]);
        DeleteExperiment(*TheExperiment(n).db, TheExperiment(n).expID);
    }
    if (gSeconds.count("10M passes"))
        std::printf("10M phases in memory: passes %.2f s, model %.1f bytes per phase (goal <= 40)\n",
                    gSeconds["10M passes"], gBytes["10M"]);
    return 0;
}
