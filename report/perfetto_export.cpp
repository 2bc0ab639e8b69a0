#include "perfetto_export.h"

#include "output_path.h"

#include <nlohmann/json.hpp>

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

}  // namespace

void WritePerfetto(const analysis::ExperimentModel& model, std::ostream& out) {
    const analysis::PhaseColumns& ph = model.phases;
    const analysis::Findings& f = model.findings;
    // Message and wait state of each phase, -1 for none.
    std::vector<int32_t> messageOf(ph.Size(), -1), waitOf(ph.Size(), -1);
    for (std::size_t m = 0; m < f.messages.size(); ++m) {
        if (f.messages[m].recvPhase < 0) continue;
        messageOf[f.messages[m].sendPhase] = static_cast<int32_t>(m);
        messageOf[f.messages[m].recvPhase] = static_cast<int32_t>(m);
    }
    for (std::size_t w = 0; w < f.waitStates.size(); ++w) waitOf[f.waitStates[w].phase] = static_cast<int32_t>(w);
    std::vector<std::string> names, categories;
    auto typeName = [&](int type, std::vector<std::string>& cache, bool category) -> const std::string& {
        if (static_cast<std::size_t>(type) >= cache.size()) cache.resize(type + 1);
        if (cache[type].empty()) cache[type] = analysis::PhaseTypeName(category ? analysis::PhaseTypeCategory(type) : type);
        return cache[type];
    };

    out << "{\"displayTimeUnit\":\"ms\",\"otherData\":" << HeaderJson(model) << ",\"traceEvents\":[\n";
    // One serializer for all events (operator<< would set up one per event).
    nlohmann::detail::serializer<json> serializer(nlohmann::detail::output_adapter<char>(out), ' ');
    bool first = true;
    auto emit = [&](const json& event) {
        if (!first) out.write(",\n", 2);
        first = false;
        serializer.dump(event, false, false, 0);
    };
    for (std::size_t k = 0; k < model.processes.size(); ++k) {
        const analysis::ProcessModel& p = model.processes[k];
        const std::string name = p.host + " t" + std::to_string(p.tid);
        emit({{"ph", "M"}, {"name", "process_name"}, {"pid", p.id}, {"tid", p.id}, {"args", {{"name", name}}}});
        emit({{"ph", "M"}, {"name", "process_sort_index"}, {"pid", p.id}, {"tid", p.id}, {"args", {{"sort_index", k}}}});
    }
    // One event object per shape, reused: a phase sets its values in place, so that
    // writing it allocates nothing. Shapes: plain, message phase, and message phase
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
    Shape plain(false, nullptr), message(true, nullptr), flowOut(true, "flow_out"), flowIn(true, "flow_in");
    for (std::size_t i = 0; i < ph.Size(); ++i) {
        Shape& shape = ph.partnerTid[i] < 0 ? plain
                       : messageOf[i] < 0   ? message
                       : ph.sending[i]      ? flowOut
                                            : flowIn;
        const int id = model.processes[ph.process[i]].id;
        *shape.pid = id;
        *shape.tid = id;
        *shape.ts = ph.shownStart[i];
        *shape.dur = ph.duration[i];
        *shape.name = typeName(ph.type[i], names, false);
        *shape.cat = typeName(ph.type[i], categories, true);
        *shape.nbr = ph.nbr[i];
        if (shape.partner) {
            *shape.partner = ph.partnerTid[i];
            *shape.quantums = ph.quantums[i];
            *shape.delay = ph.commDelay[i];
        }
        if (shape.bind) *shape.bind = messageOf[i];
        if (ph.comment[i] == 0 && waitOf[i] < 0) {
            emit(shape.event);
            continue;
        }
        // Rare: a comment or a wait state; written from a copy of the shape.
        json event = shape.event;
        json& args = event["args"];
        if (ph.comment[i] != 0) args["comment"] = ph.comments[ph.comment[i]];
        if (waitOf[i] >= 0) {
            const analysis::WaitState& w = f.waitStates[waitOf[i]];
            args["wait"] = {{"pattern", analysis::WaitPatternName(w.pattern)}, {"time", w.waitTime}};
            if (w.causePhase >= 0) {
                args["wait"]["cause_process"] = model.processes[ph.process[w.causePhase]].id;
                args["wait"]["cause_nbr"] = ph.nbr[w.causePhase];
            }
        }
        emit(event);
    }
    out << "\n]}\n";
}

void ExportPerfetto(const analysis::ExperimentModel& model, const std::filesystem::path& path) {
    WriteFileAtomically(path, [&](std::ostream& out) { WritePerfetto(model, out); });
}

}  // namespace report
