// The scaling study written out: an aligned text table for the console, CSV, and
// JSON in which each model is its constant and its terms with their fit error, and
// the predictions with their intervals.
#pragma once
#include "scaling/series.h"

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace scaling {

std::string StudyText(const Study& study);
// One line per configuration, then, after an empty line, one line per model and,
// after another, one line per prediction.
std::string StudyCsv(const Study& study);
nlohmann::json StudyJson(const Study& study);
// A model as {"constant", "terms": [{"coefficient", "pExponent", "pExponentText",
// "logExponent", "wExponent", ...}], "error": {...}, "text", "configurations", "runs"}.
nlohmann::json ModelJson(const Model& model);

}  // namespace scaling
