// The checks of a study's model: configurations outside the study, measured after
// the fit, each beside the Tp the model predicted there with its 95 % interval.
#pragma once
#include "apps/kova/study_plan.h"

#include "scaling/series.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <vector>

namespace study {

struct Check {
    Configuration configuration;
    std::optional<scaling::Prediction> predicted;  // none when no model predicts Tp there
    bool overPAndW = false;                        // predicted by the model over p and W
    std::optional<double> measured;                // Tp of the check's runs, aggregated as the study's
    int runs = 0;

    // (measured - predicted) / predicted in percent, when both are known.
    std::optional<double> Error() const;
    // Whether the measured Tp lies inside the predicted interval.
    bool Held() const;
};

// Each check point with the Tp that `fitted` predicted there (asked for with the
// point's W) and the row of `measured` (the study of the check runs alone) at it.
std::vector<Check> Checks(const std::vector<Configuration>& points, const scaling::Study& fitted,
                          const std::optional<scaling::Study>& measured);

// [{"metric": "Tp", "p", "W", "predicted", "low", "high", "measured", "error", "held", "runs",
// "overPAndW"}], null where not known.
nlohmann::json ChecksJson(const std::vector<Check>& checks);
// A table under the heading "Checks", one line per check.
std::string ChecksText(const std::vector<Check>& checks);
// A header line and one line per check.
std::string ChecksCsv(const std::vector<Check>& checks);

}  // namespace study
