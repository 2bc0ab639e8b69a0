// The scaling study as a self-contained HTML page: every metric (the overhead of each
// phase type too) over p with its points and models, drawn out to the largest
// predicted p, the predictions with their intervals, the overhead by phase type, the
// isoefficiency and the table of runs.
#pragma once
#include <series.h>

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

// What another command adds to the page: entries of the payload, and a script that
// runs after the page's own and draws them.
struct ScalingPageAddition {
    nlohmann::json payload = nlohmann::json::object();
    std::string_view script;
};

std::string ScalingPage(const scaling::Study& study, const ScalingPageAddition& addition = {});
