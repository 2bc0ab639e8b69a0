#include "apps/kova/scaling_runs.h"

#include "apps/kova/scaling_page.h"
#include "apps/kova/terminal_text.h"

#include "report/output_path.h"
#include "scaling/scaling_study.h"
#include "analysis/totals.h"

#include <iostream>
#include <stdexcept>

namespace {

// Checks an option's word while the command line is parsed, with the library's message.
template <typename Check>
CLI::Validator Checked(Check check, const std::string& description) {
    return CLI::Validator(
        [check](std::string& text) {
            try {
                check(text);
                return std::string();
            } catch (const std::invalid_argument& e) {
                return std::string(e.what());
            }
        },
        description);
}

// Why a stored run cannot enter a series, empty when it can.
std::string LeftOutBecause(const analysis::ExperimentHeader& header) {
    if (header.errorFlags & analysis::kExpCrashed) return "crashed";
    if (header.errorFlags & analysis::kProcessCrashed) return "a process crashed";
    if (header.statusData < analysis::kFinished || header.Tp <= 0) return "never finished";
    return "";
}

}  // namespace

scaling::StudySettings StudyOptions::Settings() const {
    return scaling::MakeStudySettings(aggregate, predictions, ownModels);
}

void AddStudyOptions(CLI::App& command, StudyOptions& options) {
    command
        .add_option("--aggregate", options.aggregate,
                    "how the runs of one configuration make its Tp: median (default) or fastest")
        ->check(CLI::IsMember({"median", "fastest"}));
    command
        .add_option("--predict", options.predictions,
                    "predict every metric at p (and W; without W at every measured W) with its 95% prediction "
                    "interval; repeatable")
        ->check(Checked([](const std::string& text) { scaling::ParsePredictionRequest(text); }, "p=P[,W=W]"));
    command
        .add_option("--own-model", options.ownModels,
                    "predict this derived metric (speedup, efficiency, karpFlatt, overhead) by its own model "
                    "instead of from the predicted Tp and Ts; repeatable")
        ->check(Checked([](const std::string& metric) { scaling::MakeStudySettings("median", {}, {metric}); },
                        "METRIC"));
}

std::vector<scaling::Run> LoadScalingRuns(Session& session, const std::string& application, const std::string& user) {
    std::vector<scaling::Run> runs;
    for (const analysis::ExperimentHeader& header : session.List(user, application)) {
        scaling::Run run;
        run.expID = header.id;
        run.p = header.p;
        run.W = header.W;
        run.leftOut = LeftOutBecause(header);
        if (run.leftOut.empty()) {
            const analysis::ExperimentModel model = session.Load(header.id);
            run.Tp = static_cast<double>(header.Tp);
            run.Ts = (header.errorFlags & analysis::kTseqNotInDb) ? 0 : static_cast<double>(header.Ts);
            run.totals = analysis::ExperimentTotals(model);
            if (static_cast<std::size_t>(model.master) < model.processes.size() && model.processes[model.master].hasProbeCosts)
                run.probeCost = model.processes[model.master].ProbeCost();
        }
        runs.push_back(std::move(run));
    }
    return runs;
}

void WriteStudy(const scaling::Study& study, const std::string& format, const std::string& path,
                const nlohmann::json& additions) {
    std::string text;
    if (format == "html") {
        text = ScalingPage(study, additions);
    } else if (format == "json") {
        nlohmann::json json = scaling::StudyJson(study);
        json.update(additions);
        text = json.dump(2) + "\n";
    } else {
        text = scaling::StudyOutput(study, format);
    }
    if (!path.empty()) {
        report::WriteFileAtomically(path, [&text](std::ostream& out) { out << text; });
        return;
    }
    std::cout << (format == "text" ? PrintableLines(text) : text) << std::flush;
}
