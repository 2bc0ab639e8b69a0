// The scaling study as a self-contained HTML page: every metric (the overhead of each
// phase type too) over p with its points and models, drawn out to the largest
// predicted p, the predictions with their intervals, the overhead by phase type, the
// isoefficiency and the table of runs.
#pragma once
#include "scaling/series.h"

#include <nlohmann/json.hpp>

#include <string>

// The page of the study; the additions' keys join its data (see WriteStudy).
std::string ScalingPage(const scaling::Study& study, const nlohmann::json& additions = nlohmann::json::object());
