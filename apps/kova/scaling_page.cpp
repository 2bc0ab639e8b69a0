#include "scaling_page.h"

#include <outputs.h>
#include <page.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <sstream>

namespace report::assets {
// The page script (apps/kova/scaling.js), embedded at build time.
extern const std::string_view kScalingJs;
}  // namespace report::assets

namespace {

// The model's values on a fine grid of p between the smallest and largest measured
// p, for drawing its curve.
nlohmann::json Curve(const scaling::Model& model, const std::vector<scaling::Point>& points) {
    double low = points.front().p, high = low;
    for (const scaling::Point& point : points) {
        low = std::min(low, point.p);
        high = std::max(high, point.p);
    }
    nlohmann::json curve = nlohmann::json::array();
    const int steps = 60;
    for (int k = 0; k <= steps; ++k) {
        const double p = low + (high - low) * k / steps;
        curve.push_back({p, model.Evaluate(p)});
    }
    return curve;
}

}  // namespace

std::string ScalingPage(const scaling::Study& study) {
    nlohmann::json payload = scaling::StudyJson(study);
    for (std::size_t k = 0; k < study.models.size(); ++k)
        if (study.models[k].model) payload["models"][k]["curve"] = Curve(*study.models[k].model, study.models[k].points);
    std::ostringstream page;
    report::WritePage(page, "Scaling of " + study.application, payload, report::assets::kScalingJs,
                      report::GenerationTime());
    return page.str();
}
