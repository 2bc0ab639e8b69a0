#include "analysis/summary.h"

#include "analysis/metric_tree.h"
#include "analysis/totals.h"
#include "analysis/wait_states.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace analysis {

namespace {

constexpr std::size_t kShownWaitStates = 5;
constexpr std::size_t kShownDelayCosts = 5;
constexpr const char* kNotKnown = "not known";

std::string Seconds(Time us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f s", us / 1e6);
    return text;
}

// "process 262146 (node2) phase 17", the place of a phase in words.
std::string PhasePlace(const ExperimentModel& model, int32_t phase) {
    const ProcessModel& process = model.processes[model.phases.process[phase]];
    return "process " + std::to_string(process.id) + " (" + process.host + ") phase " +
           std::to_string(model.phases.nbr[phase]);
}

// "any", "not known" or the number a receive asked for.
std::string AskedText(int32_t asked) {
    if (asked == kAskedAny) return "any";
    if (asked == kAskedNotKnown) return kNotKnown;
    return std::to_string(asked);
}

// The receive whose request a wait shows: the one after a late-sender idle phase.
int32_t ReceiveOfWait(const ExperimentModel& model, const WaitState& wait) {
    const PhaseColumns& phases = model.phases;
    if (wait.causePhase < 0 || IsCollectivePattern(wait.pattern) || phases.LastOfProcess(wait.phase)) return -1;
    return wait.phase + 1;
}

}  // namespace

std::string ListLine(const ExperimentHeader& header) {
    char line[512];
    std::snprintf(line, sizeof line, "%6d  %-12s %-14s p=%-3d W=%-8d processes=%-3d Tp=%-14s %-18s flags: %s",
                  header.id, header.user.c_str(), header.application.c_str(), header.p, header.W,
                  header.nbrProcesses, Seconds(header.Tp).c_str(), StatusName(header.statusData).c_str(),
                  ErrorFlagNames(header.errorFlags).c_str());
    return line;
}

std::string SummaryText(const ExperimentModel& model) {
    const ExperimentHeader& header = model.header;
    const Findings& findings = model.findings;
    std::ostringstream out;
    out << "experiment " << header.id << ": " << header.application << " of " << header.user << ", p = " << header.p
        << ", W = " << header.W << ", " << model.processes.size() << " processes, " << model.phases.Size()
        << " phases\n";
    out << "where the time went:\n" << MetricTreeText(findings.metricTree);
    const Compensation& compensation = findings.compensation;
    if (compensation.known) {
        char share[32];
        const double measured = static_cast<double>(findings.metricTree.time);
        std::snprintf(share, sizeof share, "%.2f %%", measured > 0 ? 100.0 * compensation.total / measured : 0.0);
        out << "without the probe's own cost (" << Seconds(compensation.total) << ", " << share
            << " of the measured time, taken out):\n"
            << MetricTreeText(compensation.metricTree);
    }
    out << "status: " << StatusName(header.statusData) << "\n";
    out << "flags: " << ErrorFlagNames(header.errorFlags) << "\n";
    for (const std::string& problem : findings.problems) out << "  " << problem << "\n";
    out << "Tp: " << Seconds(header.Tp);
    if (findings.tpFromPhases) out << " (the end of the master's last stored phase: the master stored no end)";
    out << "\n";
    if (findings.runLength != header.Tp)
        out << "run length: " << Seconds(findings.runLength)
            << " (from the first process's start to the last process's end)\n";
    if (!SpeedupKnown(header)) {
        out << "Ts: no sequential reference stored\n";
        out << "speedup: " << kNotKnown << "\nefficiency: " << kNotKnown << "\n";
    } else {
        out << "Ts: " << Seconds(header.Ts) << "\n";
        out << "speedup: " << header.speedup << "\nefficiency: " << header.efficiency << "\n";
    }
    const std::size_t received = findings.messages.size() - findings.UnreceivedCount();
    out << "messages: " << received << " received, " << findings.UnreceivedCount() << " never received";
    if (findings.repairedMessages > 0)
        out << ", " << findings.repairedMessages << " moved by the clock repair (largest " << findings.largestRepair
            << " us)";
    if (findings.withinClockBounds > 0)
        out << ", " << findings.withinClockBounds << " before their send within the clocks' error bounds";
    out << "\n";
    for (const auto& [pair, count] : findings.unreceived)
        out << "  unreceived from process " << model.processes[pair.first].id << " to process "
            << model.processes[pair.second].id << ": " << count << "\n";
    if (!findings.collectives.empty()) {
        out << "collectives: " << findings.collectives.size();
        if (findings.incompleteCollectives > 0) out << " (" << findings.incompleteCollectives << " never completed)";
        out << "\n";
    }
    out << "wait states: " << findings.waitStates.size() << " (";
    bool firstPattern = true;
    for (const auto& [pattern, entry] : WaitsByPattern(model)) {
        out << (firstPattern ? "" : ", ") << pattern << " " << entry.first;
        firstPattern = false;
    }
    out << "), transfer " << findings.transferTime << " us\n";
    for (std::size_t k = 0; k < std::min(kShownWaitStates, findings.waitStates.size()); ++k) {
        const WaitState& wait = findings.waitStates[k];
        out << "  " << WaitPatternName(wait.pattern) << " " << wait.waitTime << " us at "
            << PhasePlace(model, wait.phase);
        if (wait.causePhase >= 0) out << ", caused by " << PhasePlace(model, wait.causePhase);
        const int32_t receive = ReceiveOfWait(model, wait);
        if (receive >= 0 && model.phases.Detail(receive).askedSource != kAskedNotKnown)
            out << " (asked source " << AskedText(model.phases.Detail(receive).askedSource) << ", tag "
                << AskedText(model.phases.Detail(receive).askedTag) << ")";
        out << "\n";
    }
    out << "delay costs (short-term + long-term):\n";
    for (std::size_t k = 0; k < std::min(kShownDelayCosts, findings.delayCosts.size()); ++k) {
        const DelayCost& cost = findings.delayCosts[k];
        char line[160];
        std::snprintf(line, sizeof line, "  process %d (%s) %s: %.0f + %.0f us\n", model.processes[cost.cause.process].id,
                      model.processes[cost.cause.process].host.c_str(), CostCauseName(cost.cause).c_str(),
                      cost.shortTerm, cost.longTerm);
        out << line;
    }
    out << "critical path: " << Seconds(findings.criticalPathLength) << "\n";
    for (const auto& [type, time] : findings.criticalPathByType)
        if (time > 0) out << "  " << PhaseTypeName(type) << ": " << time << " us\n";
    for (std::size_t p = 0; p < findings.criticalPathByProcess.size(); ++p)
        if (findings.criticalPathByProcess[p] > 0)
            out << "  process " << model.processes[p].id << " (" << model.processes[p].host
                << "): " << findings.criticalPathByProcess[p] << " us\n";
    return out.str();
}

nlohmann::json CompensationJson(const ExperimentModel& model) {
    const Findings& findings = model.findings;
    const Compensation& compensation = findings.compensation;
    nlohmann::json compensated = {{"known", compensation.known}};
    if (compensation.known) {
        nlohmann::json byProcess = nlohmann::json::object(), totals = nlohmann::json::object();
        for (std::size_t p = 0; p < model.processes.size(); ++p)
            if (model.processes[p].hasProbeCosts) byProcess[std::to_string(model.processes[p].id)] = compensation.byProcess[p];
        for (const auto& [type, total] : findings.experimentTotals) {
            const auto taken = compensation.byType.find(type);
            totals[PhaseTypeName(type)] = {{"measured", total},
                                           {"compensated", total - (taken == compensation.byType.end() ? 0 : taken->second)}};
        }
        const double measured = static_cast<double>(findings.metricTree.time);
        compensated["correction"] = compensation.total;
        compensated["share"] = measured > 0 ? compensation.total / measured : 0.0;
        compensated["byProcess"] = std::move(byProcess);
        compensated["totals"] = std::move(totals);
        compensated["metricTree"] = MetricTreeJson(compensation.metricTree);
    }
    return compensated;
}

nlohmann::json SummaryJson(const ExperimentModel& model) {
    const ExperimentHeader& header = model.header;
    const Findings& findings = model.findings;
    nlohmann::json json;
    json["id"] = header.id;
    json["application"] = header.application;
    json["user"] = header.user;
    json["p"] = header.p;
    json["W"] = header.W;
    json["processes"] = model.processes.size();
    json["phases"] = model.phases.Size();
    json["status"] = header.statusData;
    json["statusName"] = StatusName(header.statusData);
    json["errorFlags"] = header.errorFlags;
    json["errorFlagNames"] = ErrorFlagNames(header.errorFlags);
    json["problems"] = findings.problems;
    json["Tp"] = header.Tp;
    json["TpFromPhases"] = findings.tpFromPhases;
    json["runLength"] = findings.runLength;
    json["Ts"] = header.Ts;
    // Without a sequential reference, speedup and efficiency are not known (null).
    json["speedup"] = SpeedupKnown(header) ? nlohmann::json(header.speedup) : nlohmann::json(nullptr);
    json["efficiency"] = SpeedupKnown(header) ? nlohmann::json(header.efficiency) : nlohmann::json(nullptr);
    json["metricTree"] = MetricTreeJson(findings.metricTree);
    json["compensation"] = CompensationJson(model);
    const int unreceived = findings.UnreceivedCount();
    json["messages"] = {{"received", findings.messages.size() - unreceived},
                        {"unreceived", unreceived},
                        {"clockViolations", findings.clockViolations},
                        {"withinClockBounds", findings.withinClockBounds},
                        {"repaired", findings.repairedMessages},
                        {"repairedCollectiveExits", findings.repairedExits},
                        {"largestRepair", findings.largestRepair}};
    nlohmann::json waits = nlohmann::json::array();
    for (std::size_t k = 0; k < std::min(kShownWaitStates, findings.waitStates.size()); ++k) {
        const WaitState& wait = findings.waitStates[k];
        nlohmann::json entry = {{"pattern", WaitPatternName(wait.pattern)},
                                {"waitTime", wait.waitTime},
                                {"processID", model.processes[model.phases.process[wait.phase]].id},
                                {"nbr", model.phases.nbr[wait.phase]},
                                {"transferTime", wait.transferTime}};
        if (wait.causePhase >= 0) {
            entry["causeProcessID"] = model.processes[model.phases.process[wait.causePhase]].id;
            entry["causeNbr"] = model.phases.nbr[wait.causePhase];
        }
        const int32_t receive = ReceiveOfWait(model, wait);
        if (receive >= 0) {
            entry["askedSource"] = model.phases.Detail(receive).askedSource;
            entry["askedTag"] = model.phases.Detail(receive).askedTag;
        }
        if (IsCollectivePattern(wait.pattern)) {
            const PhaseDetail& detail = model.phases.Detail(wait.phase);
            entry["group"] = model.phases.groupNames[detail.group];
            entry["instance"] = detail.instance;
            entry["collective"] = CollectiveName(detail.collective);
        }
        waits.push_back(entry);
    }
    nlohmann::json byPattern = nlohmann::json::object();
    for (const auto& [pattern, entry] : WaitsByPattern(model))
        byPattern[pattern] = {{"count", entry.first}, {"time", entry.second}};
    json["waitStates"] = {{"count", findings.waitStates.size()},
                          {"byPattern", byPattern},
                          {"transferTime", findings.transferTime},
                          {"largest", waits}};
    nlohmann::json byKind = nlohmann::json::object();
    for (const CollectiveOp& op : findings.collectives) {
        nlohmann::json& kind = byKind[CollectiveName(op.kind)];
        if (kind.is_null()) kind = {{"count", 0}, {"incomplete", 0}};
        kind["count"] = kind["count"].get<int>() + 1;
        if (!op.complete) kind["incomplete"] = kind["incomplete"].get<int>() + 1;
    }
    json["collectives"] = {{"count", findings.collectives.size()},
                           {"incomplete", findings.incompleteCollectives},
                           {"byKind", byKind}};
    nlohmann::json costs = nlohmann::json::array();
    for (const DelayCost& cost : findings.delayCosts)
        costs.push_back({{"processID", model.processes[cost.cause.process].id},
                         {"type", CostCauseName(cost.cause)},
                         {"shortTerm", cost.shortTerm},
                         {"longTerm", cost.longTerm}});
    json["delayCosts"] = std::move(costs);
    nlohmann::json byType = nlohmann::json::object(), byProcess = nlohmann::json::object();
    for (const auto& [type, time] : findings.criticalPathByType)
        if (time > 0) byType[PhaseTypeName(type)] = time;
    for (std::size_t p = 0; p < findings.criticalPathByProcess.size(); ++p)
        if (findings.criticalPathByProcess[p] > 0)
            byProcess[std::to_string(model.processes[p].id)] = findings.criticalPathByProcess[p];
    json["criticalPath"] = {{"length", findings.criticalPathLength}, {"byType", byType}, {"byProcess", byProcess}};
    return json;
}

}  // namespace analysis
