#include "analysis/metric_tree.h"

#include "analysis/wait_states.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

namespace analysis {

namespace {

MetricNode Node(std::string name, std::vector<MetricNode> children = {}) {
    MetricNode node{std::move(name), 0, {}};
    for (MetricNode& child : children) {
        if (child.time == 0 && child.children.empty()) continue;
        node.time += child.time;
        node.children.push_back(std::move(child));
    }
    return node;
}

MetricNode Leaf(std::string name, Time time) { return {std::move(name), time, {}}; }

void Lines(const MetricNode& node, double root, int depth, std::ostringstream& out) {
    char share[32];
    std::snprintf(share, sizeof share, "%.1f %%", root > 0 ? 100.0 * node.time / root : 0.0);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f s", node.time / 1e6);
    out << std::string(2 * depth, ' ') << node.name << ": " << seconds << " (" << share << ")\n";
    for (const MetricNode& child : node.children) Lines(child, root, depth + 1, out);
}

nlohmann::json Json(const MetricNode& node, double root) {
    nlohmann::json children = nlohmann::json::array();
    for (const MetricNode& child : node.children) children.push_back(Json(child, root));
    return {{"name", node.name},
            {"time", node.time},
            {"share", root > 0 ? node.time / root : 0.0},
            {"children", std::move(children)}};
}

}  // namespace

void BuildMetricTree(ExperimentModel& model) { model.findings.metricTree = MetricTreeOf(model, {}); }

MetricNode MetricTreeOf(const ExperimentModel& model, const TypeTimes& taken) {
    const PhaseColumns& phases = model.phases;
    const Findings& findings = model.findings;
    TypeTimes byType;
    for (const auto& [type, time] : taken) byType[type] -= time;
    for (std::size_t i = 0; i < phases.Size(); ++i)
        if (phases.type[i] != kIdle) byType[phases.type[i]] += phases.ShownDuration(i);
    // A wait in a collective lies in its sync phase: it counts as a wait, not as sync.
    for (const WaitState& wait : findings.waitStates)
        if (IsCollectivePattern(wait.pattern)) byType[phases.type[wait.phase]] -= wait.waitTime;
    std::vector<MetricNode> overhead, communication, other;
    Time work = 0;
    for (const auto& [type, time] : byType) {
        if (type == kWork) work += time;
        else if (PhaseTypeCategory(type) == kComp) overhead.push_back(Leaf(PhaseTypeName(type), time));
        else if (PhaseTypeCategory(type) == kComm) communication.push_back(Leaf(PhaseTypeName(type), time));
        else other.push_back(Leaf(PhaseTypeName(type), time));
    }
    std::vector<MetricNode> waits;
    Time unexplained = 0;
    for (WaitPattern pattern : kWaitPatterns) {
        Time time = 0;
        for (const WaitState& wait : findings.waitStates)
            if (wait.pattern == pattern) time += wait.waitTime;
        if (pattern == WaitPattern::kUnexplained) unexplained = time;
        else waits.push_back(Leaf(WaitPatternName(pattern), time));
    }
    std::vector<MetricNode> top;
    top.push_back(Leaf("work", work));
    top.push_back(Node("overhead", std::move(overhead)));
    top.push_back(Node("communication", std::move(communication)));
    top.push_back(Node("waits", std::move(waits)));
    top.push_back(Leaf("transfer", findings.transferTime));
    top.push_back(Leaf("unexplained idle", unexplained));
    top.push_back(Node("other phase types", std::move(other)));
    return Node("time of all processes", std::move(top));
}

std::string MetricTreeText(const MetricNode& root) {
    std::ostringstream out;
    Lines(root, static_cast<double>(root.time), 0, out);
    return out.str();
}

nlohmann::json MetricTreeJson(const MetricNode& root) { return Json(root, static_cast<double>(root.time)); }

}  // namespace analysis
