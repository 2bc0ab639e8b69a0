#include "scaling/scaling_study.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace scaling {

StudySettings MakeStudySettings(const std::string& aggregate, const std::vector<std::string>& predictions,
                                const std::vector<std::string>& ownModels) {
    StudySettings settings;
    if (aggregate == "fastest")
        settings.aggregation = Aggregation::fastest;
    else if (aggregate != "median")
        throw std::invalid_argument("--aggregate " + aggregate + ": expected median or fastest");
    for (const std::string& text : predictions) settings.predictions.push_back(ParsePredictionRequest(text));
    for (const std::string& metric : ownModels) {
        const std::vector<std::string>& derived = DerivedMetrics();
        if (std::find(derived.begin(), derived.end(), metric) == derived.end())
            throw std::invalid_argument("--own-model " + metric +
                                        ": expected speedup, efficiency, karpFlatt or overhead");
        settings.ownModels.insert(metric);
    }
    return settings;
}

std::string StudyOutput(const Study& study, const std::string& format) {
    if (format == "text") return StudyText(study);
    if (format == "csv") return StudyCsv(study);
    if (format == "json") return StudyJson(study).dump(2) + "\n";
    throw std::invalid_argument("format " + format + ": expected text, csv or json");
}

}  // namespace scaling
