#include "report/html_report.h"

#include "analysis/metric_tree.h"
#include "analysis/summary.h"
#include "analysis/totals.h"
#include "report/output_path.h"
#include "report/page.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <set>
#include <tuple>

namespace report {

using nlohmann::json;
using analysis::ExperimentModel;
using analysis::Time;

namespace {

// Differences of consecutive values, the first against 0.
template <typename T>
json DeltaEncoded(const std::vector<T>& values) {
    json out = json::array();
    long long previous = 0;
    for (T value : values) {
        out.push_back(static_cast<long long>(value) - previous);
        previous = value;
    }
    return out;
}

json Header(const ExperimentModel& model) {
    const analysis::ExperimentHeader& h = model.header;
    const analysis::Findings& f = model.findings;
    const int unreceived = f.UnreceivedCount();
    return {{"id", h.id},
            {"source", h.source == analysis::Source::kLegacy ? "legacy" : "kova"},
            {"project", h.project},
            {"application", h.application},
            {"version", h.version},
            {"user", h.user},
            {"date", h.date},
            {"comment", h.comment},
            {"p", h.p},
            {"W", h.W},
            {"processes", h.nbrProcesses},
            {"Tp", h.Tp},
            {"runLength", f.runLength},
            {"Ts", h.Ts},
            {"speedupKnown", analysis::SpeedupKnown(h)},
            {"speedup", h.speedup},
            {"efficiency", h.efficiency},
            {"status", h.statusData},
            {"statusName", analysis::StatusName(h.statusData)},
            {"errorFlags", h.errorFlags},
            // A missing sequential reference is no fault of the run: a note, not a flag.
            {"errorNames", analysis::ErrorFlagNames(h.errorFlags & ~analysis::kTseqNotInDb)},
            {"referenceMissing", (h.errorFlags & analysis::kTseqNotInDb) != 0},
            {"errors", h.errors},
            {"problems", f.problems},
            {"unreceived", unreceived},
            {"clockViolations", f.clockViolations},
            {"withinClockBounds", f.withinClockBounds},
            {"transferTime", f.transferTime},
            {"repairedMessages", f.repairedMessages},
            {"largestRepair", f.largestRepair},
            {"totalRepair", f.totalRepair},
            {"driftCorrected", f.driftCorrected},
            {"unknownPartners", f.unknownPartners},
            {"unmatchedReceives", f.unmatchedReceives}};
}

// Lanes in display order: by host, then tid.
std::vector<int> LaneOrder(const ExperimentModel& model) {
    std::vector<int> order(model.processes.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const auto& pa = model.processes[a];
        const auto& pb = model.processes[b];
        return std::tie(pa.host, pa.tid) < std::tie(pb.host, pb.tid);
    });
    return order;
}

}  // namespace

std::string PhaseTypeColour(int type) {
    const int category = analysis::PhaseTypeCategory(type);
    // Hue and saturation per category; lightness steps with the type's place in it.
    int hue = 275, saturation = 45;
    if (category == analysis::kComp) hue = 212, saturation = 62;
    if (category == analysis::kComm) hue = 28, saturation = 85;
    if (category == analysis::kIdle) hue = 0, saturation = 0;
    int depth = 0, rank = 0;
    for (int t = type; analysis::PhaseTypeParent(t) >= 0; t = analysis::PhaseTypeParent(t)) ++depth;
    for (int sibling = 0; sibling < type && sibling < analysis::kNbrBasicTypes; ++sibling)
        if (analysis::PhaseTypeParent(sibling) == analysis::PhaseTypeParent(type) && depth > 0) ++rank;
    const int lightness = category == analysis::kIdle ? 78 : 34 + 10 * depth + 9 * rank;
    char colour[40];
    std::snprintf(colour, sizeof colour, "hsl(%d,%d%%,%d%%)", hue, saturation, std::min(lightness, 82));
    return colour;
}

json ReportPayload(const ExperimentModel& model) {
    const analysis::PhaseColumns& ph = model.phases;
    const analysis::Findings& f = model.findings;
    json payload;
    payload["header"] = Header(model);

    const std::set<int> types(ph.type.begin(), ph.type.end());
    json typeList = json::array();
    for (int type : types)
        typeList.push_back({{"id", type},
                            {"name", analysis::PhaseTypeName(type)},
                            {"category", analysis::PhaseTypeName(analysis::PhaseTypeCategory(type))},
                            {"colour", PhaseTypeColour(type)}});
    payload["types"] = std::move(typeList);

    // Per process: its name (its executable's when stored, else the master by the
    // application's and the slaves numbered in lane order), its phases' range, first
    // shown start and time by type.
    json lanes = json::array();
    int slaves = 0;
    for (int k : LaneOrder(model)) {
        const analysis::ProcessModel& process = model.processes[k];
        std::map<std::string, Time> byType;
        for (int i = process.firstPhase; i < process.firstPhase + process.nbrPhases; ++i)
            byType[std::to_string(ph.type[i])] += ph.duration[i];
        const std::string numbered =
            k == model.master ? model.header.application : "slave " + std::to_string(++slaves);
        const std::string& name = process.executable.empty() ? numbered : process.executable;
        lanes.push_back({{"process", k},
                         {"name", name},
                         {"id", process.id},
                         {"host", process.host},
                         {"tid", process.tid},
                         {"master", k == model.master},
                         {"first", process.firstPhase},
                         {"count", process.nbrPhases},
                         {"timeByType", byType}});
    }
    payload["lanes"] = std::move(lanes);

    // Phase columns with their durations on the shown clock, where the phases of a
    // process tile its time line: a phase starts where the one before it on its
    // process ended, the first at "moved"; its number is one more unless "renumbered"
    // says otherwise.
    json type = json::array(), duration = json::array(), moved = json::array(), renumbered = json::array(),
         comments = json::array();
    std::vector<int32_t> commentPhases;
    for (std::size_t i = 0; i < ph.Size(); ++i) {
        type.push_back(ph.type[i]);
        duration.push_back(ph.ShownDuration(i));
        const bool firstOfProcess = i == 0 || ph.process[i] != ph.process[i - 1];
        if (firstOfProcess || ph.shownStart[i] != ph.ShownEnd(i - 1)) moved.push_back({i, ph.shownStart[i]});
        if (ph.nbr[i] != (firstOfProcess ? 1 : ph.nbr[i - 1] + 1)) renumbered.push_back({i, ph.nbr[i]});
        if (ph.comment[i] != 0) comments.push_back({i, ph.comment[i]});
    }
    payload["phases"] = {{"type", std::move(type)},         {"duration", std::move(duration)},
                         {"moved", std::move(moved)},       {"renumbered", std::move(renumbered)},
                         {"comments", std::move(comments)}, {"commentTexts", ph.comments}};

    // Received messages in receive order; unreceived ones by their send phase and addressee.
    std::vector<int32_t> sends, receives, lostSends, lostTo;
    json delays = json::array();
    std::vector<uint8_t> inMessage(ph.Size(), 0);
    for (const analysis::Message& m : f.messages) {
        inMessage[m.sendPhase] = 1;
        if (m.recvPhase < 0) {
            lostSends.push_back(m.sendPhase);
            lostTo.push_back(m.recvProcess);
            continue;
        }
        inMessage[m.recvPhase] = 1;
        sends.push_back(m.sendPhase);
        receives.push_back(m.recvPhase);
        delays.push_back(m.delay);
    }
    // Message phases whose partner no message names (unknown partner, unmatched
    // receive), and the partners that are no process of the experiment (servers such
    // as PVM's group server, tasks of other experiments) with how many phases name them.
    json partners = json::array();
    std::map<int, int> outside;
    for (std::size_t i = 0; i < ph.Size(); ++i) {
        if (ph.partnerTid[i] < 0 || inMessage[i]) continue;
        partners.push_back({i, ph.partnerTid[i]});
        if (model.ProcessOfTid(ph.partnerTid[i]) < 0) ++outside[ph.partnerTid[i]];
    }
    json outsidePartners = json::array();
    for (const auto& [tid, count] : outside) outsidePartners.push_back({tid, count});
    payload["outsidePartners"] = std::move(outsidePartners);
    payload["messages"] = {{"send", DeltaEncoded(sends)},
                           {"recv", DeltaEncoded(receives)},
                           {"delay", std::move(delays)},
                           {"unreceivedSend", DeltaEncoded(lostSends)},
                           {"unreceivedTo", lostTo},
                           {"otherPartners", std::move(partners)}};
    json unreceivedPairs = json::array();
    for (const auto& [pair, count] : f.unreceived) unreceivedPairs.push_back({pair.first, pair.second, count});
    payload["unreceived"] = std::move(unreceivedPairs);

    // Wait states by idle phase, with their cause (the matching send phase, -1 for none).
    std::vector<const analysis::WaitState*> waits;
    for (const analysis::WaitState& w : f.waitStates) waits.push_back(&w);
    std::sort(waits.begin(), waits.end(), [](auto* a, auto* b) { return a->phase < b->phase; });
    std::vector<int32_t> waitPhases, causePhases;
    json waitTimes = json::array(), transferTimes = json::array(), patterns = json::array();
    for (const analysis::WaitState* w : waits) {
        waitPhases.push_back(w->phase);
        causePhases.push_back(w->causePhase);
        waitTimes.push_back(w->waitTime);
        transferTimes.push_back(w->transferTime);
        patterns.push_back(static_cast<int>(w->pattern));
    }
    // Pattern k of the payload is named patternNames[k].
    json patternNames = json::array();
    for (std::size_t k = 0; k < std::size(analysis::kWaitPatterns); ++k)
        patternNames.push_back(analysis::WaitPatternName(static_cast<analysis::WaitPattern>(k)));
    payload["waits"] = {{"phase", DeltaEncoded(waitPhases)},
                        {"time", std::move(waitTimes)},
                        {"transfer", std::move(transferTimes)},
                        {"pattern", std::move(patterns)},
                        {"cause", DeltaEncoded(causePhases)},
                        {"patternNames", std::move(patternNames)}};

    json segments = json::array();
    for (const analysis::PathSegment& s : f.criticalPath) segments.push_back({s.process, s.begin, s.end});
    json pathByType = json::object();
    for (const auto& [type, time] : f.criticalPathByType)
        if (time != 0) pathByType[std::to_string(type)] = time;
    payload["criticalPath"] = {{"length", f.criticalPathLength},
                               {"segments", std::move(segments)},
                               {"byType", std::move(pathByType)},
                               {"byProcess", f.criticalPathByProcess}};
    json costs = json::array();
    for (const analysis::DelayCost& c : f.delayCosts)
        costs.push_back({c.cause.process, analysis::CostCauseName(c.cause), c.shortTerm, c.longTerm});
    payload["delayCosts"] = std::move(costs);
    payload["metricTree"] = analysis::MetricTreeJson(f.metricTree);
    payload["compensation"] = analysis::CompensationJson(model);
    return payload;
}

void WriteHtmlReport(const ExperimentModel& model, std::ostream& out, const std::string& generated) {
    const std::string title =
        "KOVA experiment " + std::to_string(model.header.id) + ": " + model.header.application;
    WritePage(out, title, ReportPayload(model), ReportScript(), generated);
}

void ExportHtmlReport(const ExperimentModel& model, const std::filesystem::path& path) {
    const std::string generated = GenerationTime();
    WriteFileAtomically(path, [&](std::ostream& out) { WriteHtmlReport(model, out, generated); });
}

}  // namespace report
