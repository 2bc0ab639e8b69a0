#include "apps/kova/scaling_page.h"

#include "scaling/outputs.h"
#include "report/page.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <sstream>

namespace report::assets {
// The page script (apps/kova/scaling.js), embedded at build time.
extern const std::string_view kScalingJs;
}  // namespace report::assets

namespace {

const int kCurveSteps = 80;

// The values of a model over p from the smallest measured p to `high` at W, for
// drawing its curve.
nlohmann::json Curve(const scaling::Model& model, double low, double high, double W) {
    nlohmann::json curve = nlohmann::json::array();
    for (int k = 0; k <= kCurveSteps; ++k) {
        const double p = low + (high - low) * k / kCurveSteps;
        curve.push_back({p, model.Evaluate(p, W)});
    }
    return curve;
}

}  // namespace

std::string ScalingPage(const scaling::Study& study, const nlohmann::json& additions) {
    nlohmann::json payload = scaling::StudyJson(study);
    payload.update(additions);
    // Curves run out to the largest predicted p, models over p and W at every measured
    // and every predicted W.
    double highest = 0;
    std::set<double> Ws;
    for (const scaling::Row& row : study.rows) Ws.insert(row.W);
    for (const scaling::PredictionResult& result : study.predictions) {
        highest = std::max(highest, result.p);
        Ws.insert(result.W);
    }
    for (std::size_t k = 0; k < study.models.size(); ++k) {
        const scaling::MetricModel& model = study.models[k];
        if (!model.model || model.points.empty()) continue;
        double low = model.points.front().p, high = low;
        for (const scaling::Point& point : model.points) {
            low = std::min(low, point.p);
            high = std::max(high, point.p);
        }
        high = std::max(high, highest);
        if (!model.overPAndW) {
            payload["models"][k]["curve"] = Curve(*model.model, low, high, model.W);
            continue;
        }
        nlohmann::json curves = nlohmann::json::array();
        for (double W : Ws) curves.push_back({{"W", W}, {"curve", Curve(*model.model, low, high, W)}});
        payload["models"][k]["curves"] = curves;
    }
    std::ostringstream page;
    report::WritePage(page, "Scaling of " + study.application, payload, report::assets::kScalingJs,
                      report::GenerationTime());
    return page.str();
}
