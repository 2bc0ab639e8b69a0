#include "perfetto_export.h"

#include "output_path.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <future>
#include <thread>

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

// What the slices need beside the phase columns: each phase's message (received
// ones) and wait state, -1 for none, and the names of the types and their categories.
struct Lookup {
    explicit Lookup(const analysis::ExperimentModel& model)
        : messageOf(model.phases.Size(), -1), waitOf(model.phases.Size(), -1) {
        const analysis::Findings& f = model.findings;
        for (std::size_t m = 0; m < f.messages.size(); ++m) {
            if (f.messages[m].recvPhase < 0) continue;
            messageOf[f.messages[m].sendPhase] = static_cast<int32_t>(m);
            messageOf[f.messages[m].recvPhase] = static_cast<int32_t>(m);
        }
        for (std::size_t w = 0; w < f.waitStates.size(); ++w)
            waitOf[f.waitStates[w].phase] = static_cast<int32_t>(w);
        int types = 0;
        for (int16_t type : model.phases.type) types = std::max(types, type + 1);
        for (int type = 0; type < types; ++type) {
            names.push_back(analysis::PhaseTypeName(type));
            categories.push_back(analysis::PhaseTypeName(analysis::PhaseTypeCategory(type)));
        }
    }
    std::vector<int32_t> messageOf, waitOf;
    std::vector<std::string> names, categories;
};

// One complete-event object of a shape, reused: a phase sets its values in place, so
// that writing it allocates nothing. Shapes: plain, message phase, and message phase
// that starts or ends a flow.
struct Shape {
    json event;
    json *pid, *tid, *ts, *dur, *name, *cat, *nbr, *partner = nullptr, *quantums = nullptr, *delay = nullptr,
                                                    *bind = nullptr;
    Shape(bool message, const char* flow) {
        event = {{"ph", "X"}, {"pid", 0}, {"tid", 0}, {"ts", 0}, {"dur", 0}, {"name", ""}, {"cat", ""},
                 {"args", {{"nbr", 0}}}};
        if (message) event["args"].update({{"partner", 0}, {"quantums", 0}, {"delay", 0}});
        if (flow) event.update({{"bind_id", 0}, {flow, true}});
        pid = &event["pid"], tid = &event["tid"], ts = &event["ts"], dur = &event["dur"];
        name = &event["name"], cat = &event["cat"], nbr = &event["args"]["nbr"];
        if (message) {
            partner = &event["args"]["partner"], quantums = &event["args"]["quantums"];
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
    for (std::size_t i = begin; i < end; ++i) {
        const int32_t m = lookup.messageOf[i];
        Shape& shape = ph.partnerTid[i] < 0 ? plain : m < 0 ? message : ph.sending[i] ? flowOut : flowIn;
        const int id = model.processes[ph.process[i]].id;
        *shape.pid = id;
        *shape.tid = id;
        *shape.ts = ph.shownStart[i];
        *shape.dur = ph.duration[i];
        *shape.name = lookup.names[ph.type[i]];
        *shape.cat = lookup.categories[ph.type[i]];
        *shape.nbr = ph.nbr[i];
        if (shape.partner) {
            *shape.partner = ph.partnerTid[i];
            *shape.quantums = ph.quantums[i];
            *shape.delay = ph.commDelay[i];
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
            args["wait"] = {{"pattern", analysis::WaitPatternName(w.pattern)}, {"time", w.waitTime}};
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
