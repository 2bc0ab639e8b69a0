#include "report/perfetto_export.h"

#include "analysis/error.h"
#include "report/output_path.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <future>
#include <thread>
#include <unordered_map>

namespace report {

using nlohmann::json;

namespace {

// The header of the experiment, for the trace's otherData.
json HeaderJson(const analysis::ExperimentModel& model) {
    const analysis::ExperimentHeader& h = model.header;
    return {{"experiment", h.id}, {"application", h.application}, {"user", h.user}, {"date", h.date},
            {"p", h.p},           {"W", h.W},                     {"Tp", h.Tp},     {"Ts", h.Ts},
            {"status", analysis::StatusName(h.statusData)},         {"errors", analysis::ErrorFlagNames(h.errorFlags)}};
}

// What the slices need beside the phase columns and the model's message table: which
// phases and processes the window keeps, each phase's wait state (-1 for none), and
// the name and category of every type that occurs as JSON strings, by a dense slot
// (type IDs are any int: a wrong call's is negative).
struct Lookup {
    Lookup(const analysis::ExperimentModel& model, const PerfettoWindow& window)
        : waitOf(model.phases.Size(), -1), kept(model.phases.Size(), 0), keptProcess(model.processes.size(), 0) {
        const analysis::PhaseColumns& ph = model.phases;
        const analysis::Findings& f = model.findings;
        for (std::size_t w = 0; w < f.waitStates.size(); ++w)
            waitOf[f.waitStates[w].phase] = static_cast<int32_t>(w);
        for (std::size_t k = 0; k < model.processes.size(); ++k)
            keptProcess[k] = window.processes.empty() || window.processes.count(model.processes[k].id) > 0;
        for (std::size_t i = 0; i < ph.Size(); ++i) {
            kept[i] = keptProcess[ph.process[i]] && ph.shownStart[i] <= window.to && ph.ShownEnd(i) >= window.from;
            keptCount += kept[i];
        }
        for (int type : ph.type) {
            if (!slots.emplace(type, names.size()).second) continue;
            names.push_back(json(analysis::PhaseTypeName(type)).dump());
            categories.push_back(json(analysis::PhaseTypeName(analysis::PhaseTypeCategory(type))).dump());
        }
    }
    std::size_t Slot(int type) const { return slots.at(type); }
    std::vector<int32_t> waitOf;
    std::vector<uint8_t> kept, keptProcess;
    std::size_t keptCount = 0;
    std::unordered_map<int, std::size_t> slots;
    std::vector<std::string> names, categories;
};

// Appends "key":value.
void Field(std::string& text, const char* key, long long value) {
    text += '"';
    text += key;
    text += "\":";
    char digits[24];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// The complete events of the kept phases among [begin, end), each after ",\n".
std::string SliceEvents(const analysis::ExperimentModel& model, const Lookup& lookup, std::size_t begin,
                        std::size_t end) {
    const analysis::PhaseColumns& ph = model.phases;
    const analysis::Findings& f = model.findings;
    std::string text;
    text.reserve((end - begin) * 170);
    for (std::size_t i = begin; i < end; ++i) {
        if (!lookup.kept[i]) continue;
        // Only a received message whose two ends are kept draws a flow.
        int32_t m = f.messageOf[i];
        if (m >= 0 && (f.messages[m].recvPhase < 0 || !lookup.kept[f.messages[m].sendPhase] ||
                       !lookup.kept[f.messages[m].recvPhase]))
            m = -1;
        const int id = model.processes[ph.process[i]].id;
        const std::size_t slot = lookup.Slot(ph.type[i]);
        text += ",\n{\"ph\":\"X\",";
        Field(text, "pid", id);
        text += ',';
        Field(text, "tid", id);
        text += ',';
        Field(text, "ts", ph.shownStart[i]);
        text += ',';
        Field(text, "dur", ph.ShownDuration(i));
        text += ",\"name\":";
        text += lookup.names[slot];
        text += ",\"cat\":";
        text += lookup.categories[slot];
        if (m >= 0) {
            text += ',';
            Field(text, "bind_id", m);
            text += ph.sending[i] ? ",\"flow_out\":true" : ",\"flow_in\":true";
        }
        text += ",\"args\":{";
        Field(text, "nbr", ph.nbr[i]);
        if (ph.partnerTid[i] >= 0) {
            text += ',';
            Field(text, "partner", ph.partnerTid[i]);
            text += ',';
            Field(text, "tag", ph.tag[i]);
            text += ',';
            Field(text, "delay", model.CommDelay(i));
        }
        // Rare: a comment or a wait state.
        if (ph.comment[i] != 0) text += ",\"comment\":" + json(ph.comments[ph.comment[i]]).dump();
        if (lookup.waitOf[i] >= 0) {
            const analysis::WaitState& w = f.waitStates[lookup.waitOf[i]];
            json wait = {{"pattern", analysis::WaitPatternName(w.pattern)}, {"time", w.waitTime},
                         {"transfer", w.transferTime}};
            if (w.causePhase >= 0) {
                wait["cause_process"] = model.processes[ph.process[w.causePhase]].id;
                wait["cause_nbr"] = ph.nbr[w.causePhase];
            }
            text += ",\"wait\":" + wait.dump();
        }
        text += "}}";
    }
    return text;
}

constexpr std::size_t kChunk = 1 << 16;

std::uint64_t EstimatedBytes(const analysis::ExperimentModel& model, const Lookup& lookup) {
    // The slices of the first kept phases, scaled to all kept ones, plus the process names.
    std::size_t end = 0, sampled = 0;
    while (end < model.phases.Size() && sampled < kChunk) sampled += lookup.kept[end++];
    const double perSlice = sampled == 0 ? 0 : double(SliceEvents(model, lookup, 0, end).size()) / sampled;
    return static_cast<std::uint64_t>(perSlice * static_cast<double>(lookup.keptCount)) +
           300 * model.processes.size() + 1000;
}

void Write(const analysis::ExperimentModel& model, const Lookup& lookup, std::ostream& out) {
    out << "{\"displayTimeUnit\":\"ms\",\"otherData\":" << HeaderJson(model) << ",\"traceEvents\":[\n";
    // Process names first; every slice event then follows a ",\n".
    bool first = true;
    for (std::size_t k = 0; k < model.processes.size(); ++k) {
        if (!lookup.keptProcess[k]) continue;
        const analysis::ProcessModel& p = model.processes[k];
        const std::string name = p.host + " t" + std::to_string(p.tid);
        out << (first ? "" : ",\n")
            << json{{"ph", "M"}, {"name", "process_name"}, {"pid", p.id}, {"tid", p.id}, {"args", {{"name", name}}}}
            << ",\n"
            << json{{"ph", "M"}, {"name", "process_sort_index"}, {"pid", p.id}, {"tid", p.id},
                    {"args", {{"sort_index", k}}}};
        first = false;
    }
    // The slices in chunks, serialised on every core, written in order.
    const std::size_t n = model.phases.Size();
    const std::size_t workers = std::max(1u, std::thread::hardware_concurrency());
    for (std::size_t from = 0; from < n; from += kChunk * workers) {
        std::vector<std::future<std::string>> parts;
        for (std::size_t begin = from; begin < std::min(n, from + kChunk * workers); begin += kChunk)
            parts.push_back(std::async(std::launch::async, SliceEvents, std::cref(model), std::cref(lookup), begin,
                                       std::min(n, begin + kChunk)));
        for (auto& part : parts) out << part.get();
    }
    out << "\n]}\n";
}

// The processes' IDs for a message, the first few of many.
std::string ProcessIds(const analysis::ExperimentModel& model) {
    std::string ids;
    const std::size_t shown = std::min<std::size_t>(model.processes.size(), 8);
    for (std::size_t k = 0; k < shown; ++k) ids += (k == 0 ? "" : ",") + std::to_string(model.processes[k].id);
    if (shown < model.processes.size())
        ids += ",... (" + std::to_string(model.processes.size()) + " processes)";
    return ids;
}

}  // namespace

void WritePerfetto(const analysis::ExperimentModel& model, std::ostream& out, const PerfettoWindow& window) {
    Write(model, Lookup(model, window), out);
}

std::uint64_t EstimatePerfettoBytes(const analysis::ExperimentModel& model, const PerfettoWindow& window) {
    return EstimatedBytes(model, Lookup(model, window));
}

void ExportPerfetto(const analysis::ExperimentModel& model, const std::filesystem::path& path,
                    const PerfettoWindow& window, std::uint64_t sizeLimit) {
    const Lookup lookup(model, window);
    const std::uint64_t bytes = EstimatedBytes(model, lookup);
    if (bytes > sizeLimit) {
        analysis::Time length = 0;
        for (std::size_t i = 0; i < model.phases.Size(); ++i) length = std::max(length, model.phases.ShownEnd(i));
        const auto megabytes = [](std::uint64_t b) { return std::to_string((b + 500'000) / 1'000'000) + " MB"; };
        throw analysis::Error(
            "the Perfetto trace of experiment " + std::to_string(model.header.id) + " would be about " +
                megabytes(bytes) + ", more than a browser viewer opens (" + megabytes(sizeLimit) +
                "); export a window with --from and --to (µs since the master's start; the run spans 0 to " +
                std::to_string(length) + ") and/or --processes ID,... (of " + ProcessIds(model) +
                "), or all of it with --no-size-limit for a viewer without that limit (trace_processor)",
            analysis::kExitFailure);
    }
    WriteFileAtomically(path, [&](std::ostream& out) { Write(model, lookup, out); });
}

}  // namespace report
