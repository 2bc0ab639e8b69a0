// Loading, analysing and storing a synthetic experiment of 16 processes and about
// 1 000 000 phases in the measurement database, beside the floor: one plain SELECT
// of its phase rows plus one multi-row write of as many result rows. Prints both,
// their ratio, phases per second and the model's bytes per phase.
#include <analyse.h>
#include <measurement_db.h>
#include <synthetic.h>

#include <kova_site.h>
#include <standarddatabase.h>

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
    const int expID = static_cast<int>(mysql_insert_id(&db.mMysql));
    const std::string id = std::to_string(expID);
    for (const auto& process : model.processes) {
        db.Query("INSERT INTO Processes VALUES (" + id + ", " + std::to_string(process.id) + ", '" + process.host +
                 "', " + std::to_string(process.tid) + ", " + std::to_string(process.start / 1000000) + ", " +
                 std::to_string(process.start % 1000000) + ")");
        for (std::size_t type = 0; type < process.totals.size(); ++type)
            if (process.totals[type] != 0)
                db.Query("INSERT INTO PhaseDurations VALUES (" + id + ", " + std::to_string(process.id) + ", " +
                         std::to_string(type) + ", " + std::to_string(process.totals[type]) + ", 0)");
    }
    const auto& phases = model.phases;
    std::string text;
    for (std::size_t i = 0; i < phases.Size(); ++i) {
        text += text.empty() ? "INSERT INTO Phases VALUES (" : ",(";
        text += id + "," + std::to_string(model.processes[phases.process[i]].id) + "," +
                std::to_string(phases.nbr[i]) + "," + std::to_string(phases.type[i]) + "," +
                std::to_string(phases.duration[i]) + ",0," + std::to_string(phases.quantums[i]) + ",0," +
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

Stored& TheExperiment() {
    static Stored stored = [] {
        Stored s;
        s.db = Connect();
        const ExperimentModel model = analysis::MakeSyntheticPipeline(kProcesses, kPhases);
        s.phases = model.phases.Size();
        s.expID = StoreSynthetic(*s.db, model);
        return s;
    }();
    return stored;
}

std::map<std::string, double> gSeconds;

void Report(benchmark::State& state, const char* name, double seconds) {
    gSeconds[name] = seconds;
    state.counters["phases/s"] = TheExperiment().phases / seconds;
}

// Load, all passes, store: what `kova analyse` does.
void BM_LoadAnalyseStore(benchmark::State& state) {
    Stored& stored = TheExperiment();
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
        Report(state, "analysis", seconds);
        state.counters["load s"] = std::chrono::duration<double>(loaded - start).count();
        state.counters["passes s"] = std::chrono::duration<double>(analysed - loaded).count();
        state.counters["store s"] = std::chrono::duration<double>(end - analysed).count();
        std::size_t bytes = 0;
        const auto& p = model.phases;
        bytes += p.process.capacity() * 4 + p.nbr.capacity() * 4 + p.type.capacity() * 2 + p.sending.capacity() +
                 (p.duration.capacity() + p.start.capacity() + p.shownStart.capacity()) * 8 +
                 (p.quantums.capacity() + p.operations.capacity() + p.partnerTid.capacity() +
                  p.commDelay.capacity() + p.comment.capacity()) * 4;
        state.counters["model bytes/phase"] = static_cast<double>(bytes) / p.Size();
    }
}

// The floor: one SELECT of the phase rows, read to the end, and one multi-row write of
// as many rows of five numbers into a scratch table.
void BM_Floor(benchmark::State& state) {
    Stored& stored = TheExperiment();
    StandardDatabase& db = *stored.db;
    db.Query("CREATE TEMPORARY TABLE IF NOT EXISTS FloorRows (a int, b int, c int, d bigint, e int, "
             "PRIMARY KEY (a, b, c))");
    for (auto _ : state) {
        db.Query("DELETE FROM FloorRows");
        const auto start = std::chrono::steady_clock::now();
        const std::string query = "SELECT * FROM Phases WHERE expID = " + std::to_string(stored.expID);
        mysql_real_query(&db.mMysql, query.data(), query.size());
        MYSQL_RES* result = mysql_use_result(&db.mMysql);
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
        Report(state, "floor", seconds);
    }
}

BENCHMARK(BM_Floor)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAnalyseStore)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nphases: %zu in %d processes (model: %zu bytes per phase in its columns)\n",
                TheExperiment().phases, kProcesses, analysis::PhaseColumns::kBytesPerPhase);
    if (gSeconds.count("floor") && gSeconds.count("analysis"))
        std::printf("last run: analysis %.2f s, floor %.2f s, ratio %.2f (goal <= 3)\n", gSeconds["analysis"],
                    gSeconds["floor"], gSeconds["analysis"] / gSeconds["floor"]);
    DeleteExperiment(*TheExperiment().db, TheExperiment().expID);
    return 0;
}
