// Time and size of each output of an analysed synthetic experiment of 16 processes
// and about 1 000 000 phases: the Perfetto, OTF2 and CSV exports and the HTML report,
// each beside the floor of writing the same phase rows as plain CSV with one buffered
// stream (x_floor: best time of three against the floor's best of three, since other
// work on the machine slows single runs). The HTML benchmark also opens its page in headless
// Chromium (report/tests/browser_check.js) and reports the time until the timeline
// was drawn (draw_ms, from the start of loading the page).
#include "analysis/analyse.h"
#include "report/csv_export.h"
#include "report/html_report.h"
#include "report/otf2_export.h"
#include "report/perfetto_export.h"
#include "analysis/synthetic.h"

#include <kova_site.h>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const analysis::ExperimentModel& Model() {
    static const analysis::ExperimentModel model = [] {
        analysis::ExperimentModel m = analysis::MakeSyntheticPipeline(16, 1'000'000);
        analysis::Analyse(m, std::nullopt);
        return m;
    }();
    return model;
}

const fs::path& Folder() {
    static const fs::path folder = [] {
        fs::path path = fs::temp_directory_path() / ("kova-report-bench-" + std::to_string(getpid()));
        fs::create_directories(path);
        return path;
    }();
    return folder;
}

std::uintmax_t SizeOf(const fs::path& path) {
    if (!fs::is_directory(path)) return fs::file_size(path);
    std::uintmax_t size = 0;
    for (const auto& entry : fs::recursive_directory_iterator(path))
        if (entry.is_regular_file()) size += entry.file_size();
    return size;
}

// The floor: the phase rows of phases.csv, written plainly through one buffered stream.
void WriteFloor(const fs::path& path) {
    const analysis::ExperimentModel& model = Model();
    const analysis::PhaseColumns& ph = model.phases;
    std::vector<char> buffer(1 << 20);
    std::ofstream out;
    out.rdbuf()->pubsetbuf(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    out.open(path, std::ios::binary | std::ios::trunc);
    for (std::size_t i = 0; i < ph.Size(); ++i) {
        const analysis::ProcessModel& process = model.processes[ph.process[i]];
        out << process.id << ',' << process.host << ',' << process.tid << ',' << ph.nbr[i] << ',' << ph.type[i] << ','
            << ph.start[i] << ',' << ph.shownStart[i] << ',' << ph.duration[i] << ',' << ph.tag[i] << ','
            << ph.operations[i] << ',' << ph.partnerTid[i] << ',' << model.CommDelay(i) << ','
            << ph.comments[ph.comment[i]] << '\n';
    }
}

double Seconds(const std::function<void()>& run) {
    const auto begin = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

// The floor's best time of three.
double FloorSeconds() {
    static const double seconds = [] {
        double best = 1e30;
        for (int i = 0; i < 3; ++i) best = std::min(best, Seconds([] { WriteFloor(Folder() / "floor.csv"); }));
        return best;
    }();
    return seconds;
}

// Runs write into path each iteration and reports the output's size and the time
// against the floor.
void Measure(benchmark::State& state, const fs::path& path, const std::function<void(const fs::path&)>& write) {
    Model();
    const double floor = FloorSeconds();
    double best = 1e30;
    for (auto _ : state) {
        const double seconds = Seconds([&] { write(path); });
        state.SetIterationTime(seconds);
        best = std::min(best, seconds);
    }
    state.counters["phases"] = static_cast<double>(Model().phases.Size());
    state.counters["MB"] = static_cast<double>(SizeOf(path)) / 1e6;
    state.counters["best_ms"] = best * 1e3;
    state.counters["floor_ms"] = floor * 1e3;
    state.counters["x_floor"] = best / floor;
}

void BM_Floor(benchmark::State& state) {
    Measure(state, Folder() / "floor.csv", WriteFloor);
}
void BM_Csv(benchmark::State& state) {
    Measure(state, Folder() / "csv", [](const fs::path& p) { report::ExportCsv(Model(), p); });
}
void BM_Perfetto(benchmark::State& state) {
    Measure(state, Folder() / "trace.json", [](const fs::path& p) { report::ExportPerfetto(Model(), p); });
}
void BM_Otf2(benchmark::State& state) {
    Measure(state, Folder() / "otf2", [](const fs::path& p) { report::ExportOtf2(Model(), p); });
}
void BM_Html(benchmark::State& state) {
    const fs::path page = Folder() / "report.html";
    Measure(state, page, [](const fs::path& p) { report::ExportHtmlReport(Model(), p); });
    // The page in headless Chromium: time until its timeline was drawn.
    const std::string command = "node " KOVA_SOURCE_DIR "/report/tests/browser_check.js " + page.string() + " " +
                                (Folder() / "report.png").string() + " 120000";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
        pclose(pipe);
    }
    const nlohmann::json seen = nlohmann::json::parse(output, nullptr, false);
    if (seen.is_discarded() || !seen.contains("drawMs") || seen["drawMs"].is_null()) {
        state.SkipWithError(("the browser did not draw the report: " + output).c_str());
        return;
    }
    state.counters["draw_ms"] = seen["drawMs"].get<double>();
    state.counters["console_errors"] = static_cast<double>(seen["consoleErrors"].size() + seen["pageErrors"].size());
}

}  // namespace

BENCHMARK(BM_Floor)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Csv)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Perfetto)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Otf2)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Html)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(Folder(), ignored);
    return 0;
}
