#include "summary.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace analysis {

namespace {

constexpr std::size_t kShownWaitStates = 5;

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
    out << "status: " << StatusName(header.statusData) << "\n";
    out << "flags: " << ErrorFlagNames(header.errorFlags) << "\n";
    for (const std::string& problem : findings.problems) out << "  " << problem << "\n";
    out << "Tp: " << Seconds(header.Tp) << "\n";
    if (header.errorFlags & kTseqNotInDb) {
        out << "Ts: no sequential reference stored\n";
    } else {
        out << "Ts: " << Seconds(header.Ts) << "\n";
        out << "speedup: " << header.speedup << "\nefficiency: " << header.efficiency << "\n";
    }
    const std::size_t received = findings.messages.size() - findings.UnreceivedCount();
    out << "messages: " << received << " received, " << findings.UnreceivedCount() << " never received";
    if (findings.repairedMessages > 0)
        out << ", " << findings.repairedMessages << " moved by the clock repair (largest " << findings.largestRepair
            << " us)";
    out << "\n";
    for (const auto& [pair, count] : findings.unreceived)
        out << "  unreceived from process " << model.processes[pair.first].id << " to process "
            << model.processes[pair.second].id << ": " << count << "\n";
    out << "wait states: " << findings.waitStates.size() << "\n";
    for (std::size_t k = 0; k < std::min(kShownWaitStates, findings.waitStates.size()); ++k) {
        const WaitState& wait = findings.waitStates[k];
        out << "  " << WaitPatternName(wait.pattern) << " " << wait.waitTime << " us at "
            << PhasePlace(model, wait.phase);
        if (wait.causePhase >= 0) out << ", caused by " << PhasePlace(model, wait.causePhase);
        out << "\n";
    }
    out << "critical path: " << Seconds(findings.criticalPathLength) << "\n";
    for (std::size_t type = 0; type < findings.criticalPathByType.size(); ++type)
        if (findings.criticalPathByType[type] > 0)
            out << "  " << PhaseTypeName(static_cast<int>(type)) << ": " << findings.criticalPathByType[type]
                << " us\n";
    for (std::size_t p = 0; p < findings.criticalPathByProcess.size(); ++p)
        if (findings.criticalPathByProcess[p] > 0)
            out << "  process " << model.processes[p].id << " (" << model.processes[p].host
                << "): " << findings.criticalPathByProcess[p] << " us\n";
    return out.str();
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
    json["Ts"] = header.Ts;
    json["speedup"] = header.speedup;
    json["efficiency"] = header.efficiency;
    const int unreceived = findings.UnreceivedCount();
    json["messages"] = {{"received", findings.messages.size() - unreceived},
                        {"unreceived", unreceived},
                        {"clockViolations", findings.clockViolations},
                        {"repaired", findings.repairedMessages},
                        {"largestRepair", findings.largestRepair}};
    nlohmann::json waits = nlohmann::json::array();
    for (std::size_t k = 0; k < std::min(kShownWaitStates, findings.waitStates.size()); ++k) {
        const WaitState& wait = findings.waitStates[k];
        nlohmann::json entry = {{"pattern", WaitPatternName(wait.pattern)},
                                {"waitTime", wait.waitTime},
                                {"processID", model.processes[model.phases.process[wait.phase]].id},
                                {"nbr", model.phases.nbr[wait.phase]}};
        if (wait.causePhase >= 0) {
            entry["causeProcessID"] = model.processes[model.phases.process[wait.causePhase]].id;
            entry["causeNbr"] = model.phases.nbr[wait.causePhase];
        }
        waits.push_back(entry);
    }
    json["waitStates"] = {{"count", findings.waitStates.size()}, {"largest", waits}};
    nlohmann::json byType = nlohmann::json::object(), byProcess = nlohmann::json::object();
    for (std::size_t type = 0; type < findings.criticalPathByType.size(); ++type)
        if (findings.criticalPathByType[type] > 0)
            byType[PhaseTypeName(static_cast<int>(type))] = findings.criticalPathByType[type];
    for (std::size_t p = 0; p < findings.criticalPathByProcess.size(); ++p)
        if (findings.criticalPathByProcess[p] > 0)
            byProcess[std::to_string(model.processes[p].id)] = findings.criticalPathByProcess[p];
    json["criticalPath"] = {{"length", findings.criticalPathLength}, {"byType", byType}, {"byProcess", byProcess}};
    return json;
}

}  // namespace analysis
