#include "perfetto_export.h"

#include "output_path.h"

#include <nlohmann/json.hpp>

#include <algorithm>
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

// What the slices need beside the phase columns and the model's message table: each
// phase's wait state (-1 for none), and the name and category of every type that
// occurs, by a dense slot (type IDs are any int: a wrong call's is negative).
struct Lookup {
    explicit Lookup(const analysis::ExperimentModel& model) : waitOf(model.phases.Size(), -1) {
        const analysis::Findings& f = model.findings;
        for (std::size_t w = 0; w < f.waitStates.size(); ++w)
            waitOf[f.waitStates[w].phase] = static_cast<int32_t>(w);
        for (int type : model.phases.type) {
            if (!slots.emplace(type, names.size()).second) continue;
            names.push_back(analysis::PhaseTypeName(type));
            categories.push_back(analysis::PhaseTypeName(analysis::PhaseTypeCategory(type)));
        }
    }
    std::size_t Slot(int type) const { return slots.at(type); }
    std::vector<int32_t> waitOf;
    std::unordered_map<int, std::size_t> slots;
    std::vector<std::string> names, categories;
};

// One complete-event object of a shape, reused: a phase sets its values in place, so
// that writing it allocates nothing. Shapes: plain, message phase, and message phase
// that starts or ends a flow.
struct Shape {
    json event;
    json *pid, *tid, *ts, *dur, *name, *cat, *nbr, *partner = nullptr, *tag = nullptr, *delay = nullptr,
                                                    *bind = nullptr;
    Shape(bool message, const char* flow) {
        event = {{"ph", "X"}, {"pid", 0}, {"tid", 0}, {"ts", 0}, {"dur", 0}, {"name", ""}, {"cat", ""},
                 {"args", {{"nbr", 0}}}};
        if (message) event["args"].update({{"partner", 0}, {"tag", 0}, {"delay", 0}});
        if (flow) event.update({{"bind_id", 0}, {flow, true}});
        pid = &event["pid"], tid = &event["tid"], ts = &event["ts"], dur = &event["dur"];
        name = &event["name"], cat = &event["cat"], nbr = &event["args"]["nbr"];
        if (message) {
            partner = &event["args"]["partner"], tag = &event["args"]["tag"];
            delay = &event["args"]["delay"];
        }
        if (flow) bind = &event["bind_id"];
    }
};

// The complete events of phases [begin, end), each after ",\n".
std::string SliceEvents(const analysis::ExperimentModel& model, const Lookup& lookup, std::size_t begin,
                        std::size_t end) {
    const analysis::PhaseColumns& ph = model.phases;
    const analysis::Findings& f = model.findings;
    std::string text;
    text.reserve((end - begin) * 160);
    nlohmann::detail::serializer<json> serializer(nlohmann::detail::output_adapter<char>(text), ' ');
    Shape plain(false, nullptr), message(true, nullptr), flowOut(true, "flow_out"), flowIn(true, "flow_in");
    std::size_t lastSlot = 0;
    for (std::size_t i = begin; i < end; ++i) {
        // Only a received message draws a flow.
        int32_t m = f.messageOf[i];
        if (m >= 0 && f.messages[m].recvPhase < 0) m = -1;
        Shape& shape = ph.partnerTid[i] < 0 ? plain : m < 0 ? message : ph.sending[i] ? flowOut : flowIn;
        const int id = model.processes[ph.process[i]].id;
        *shape.pid = id;
        *shape.tid = id;
        *shape.ts = ph.shownStart[i];
        *shape.dur = ph.ShownDuration(i);
        const std::size_t slot = i > begin && ph.type[i] == ph.type[i - 1] ? lastSlot : lookup.Slot(ph.type[i]);
        lastSlot = slot;
        *shape.name = lookup.names[slot];
        *shape.cat = lookup.categories[slot];
        *shape.nbr = ph.nbr[i];
        if (shape.partner) {
            *shape.partner = ph.partnerTid[i];
            *shape.tag = ph.tag[i];
            *shape.delay = model.CommDelay(i);
        }
        if (shape.bind) *shape.bind = m;
        text += ",\n";
        if (ph.comment[i] == 0 && lookup.waitOf[i] < 0) {
            serializer.dump(shape.event, false, false, 0);
            continue;
        }
        // Rare: a comment or a wait state; written from a copy of the shape.
        json event = shape.event;
        json& args = event["args"];
        if (ph.comment[i] != 0) args["comment"] = ph.comments[ph.comment[i]];
        if (lookup.waitOf[i] >= 0) {
            const analysis::WaitState& w = f.waitStates[lookup.waitOf[i]];
            args["wait"] = {{"pattern", analysis::WaitPatternName(w.pattern)}, {"time", w.waitTime},
                            {"transfer", w.transferTime}};
            if (w.causePhase >= 0) {
                args["wait"]["cause_process"] = model.processes[ph.process[w.causePhase]].id;
                args["wait"]["cause_nbr"] = ph.nbr[w.causePhase];
            }
        }
        serializer.dump(event, false, false, 0);
    }
    return text;
}

}  // namespace

void WritePerfetto(const analysis::ExperimentModel& model, std::ostream& out) {
    out << "{\"displayTimeUnit\":\"ms\",\"otherData\":" << HeaderJson(model) << ",\"traceEvents\":[\n";
    // Process names first; every slice event then follows a ",\n".
    for (std::size_t k = 0; k < model.processes.size(); ++k) {
        const analysis::ProcessModel& p = model.processes[k];
        const std::string name = p.host + " t" + std::to_string(p.tid);
        out << (k == 0 ? "" : ",\n")
            << json{{"ph", "M"}, {"name", "process_name"}, {"pid", p.id}, {"tid", p.id}, {"args", {{"name", name}}}}
            << ",\n"
            << json{{"ph", "M"}, {"name", "process_sort_index"}, {"pid", p.id}, {"tid", p.id},
                    {"args", {{"sort_index", k}}}};
    }
    // The slices in chunks, serialised on every core, written in order.
    const Lookup lookup(model);
    const std::size_t n = model.phases.Size(), chunk = 1 << 16;
    const std::size_t workers = std::max(1u, std::thread::hardware_concurrency());
    for (std::size_t first = 0; first < n; first += chunk * workers) {
        std::vector<std::future<std::string>> parts;
        for (std::size_t begin = first; begin < std::min(n, first + chunk * workers); begin += chunk)
            parts.push_back(std::async(std::launch::async, SliceEvents, std::cref(model), std::cref(lookup), begin,
                                       std::min(n, begin + chunk)));
        for (auto& part : parts) out << part.get();
    }
    out << "\n]}\n";
}

void ExportPerfetto(const analysis::ExperimentModel& model, const std::filesystem::path& path) {
    WriteFileAtomically(path, [&](std::ostream& out) { WritePerfetto(model, out); });
}

}  // namespace report
