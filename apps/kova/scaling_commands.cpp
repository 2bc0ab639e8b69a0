// kova scaling and kova compare: how one application scales over its stored runs,
// and two runs side by side.
#include "apps/kova/commands.h"
#include "apps/kova/scaling_runs.h"
#include "apps/kova/terminal_text.h"

#include "analysis/error.h"
#include "scaling/rank_test.h"
#include "analysis/totals.h"
#include "analysis/wait_states.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace {

using analysis::ExperimentHeader;
using analysis::ExperimentModel;

bool Finished(const ExperimentHeader& header) { return header.statusData >= analysis::kFinished && header.Tp > 0; }

std::string Micro(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

std::string Signed(double value) { return (value >= 0 ? "+" : "") + Micro(value); }

// Runs similar to the header's (user, project, application, version, p, W) with a
// parallel time, by ID.
std::vector<ExperimentHeader> SimilarRuns(Session& session, const ExperimentHeader& of) {
    std::vector<ExperimentHeader> similar;
    for (const ExperimentHeader& header : session.List(of.user, of.application))
        if (header.project == of.project && header.version == of.version && header.p == of.p && header.W == of.W &&
            Finished(header))
            similar.push_back(header);
    return similar;
}

std::vector<double> Times(const std::vector<ExperimentHeader>& runs) {
    std::vector<double> times;
    for (const ExperimentHeader& header : runs) times.push_back(static_cast<double>(header.Tp));
    return times;
}

// Whether B is slower than A beyond the spread of the stored runs of A's
// configuration, by a rank test of those runs against the runs of B's.
std::string SpreadVerdict(Session& session, const ExperimentHeader& a, const ExperimentHeader& b) {
    const std::vector<ExperimentHeader> runsA = SimilarRuns(session, a), runsB = SimilarRuns(session, b);
    const std::vector<double> timesA = Times(runsA), timesB = Times(runsB);
    auto range = [](const std::vector<double>& times) {
        const auto [low, high] = std::minmax_element(times.begin(), times.end());
        return Micro(*low) + " to " + Micro(*high) + " us";
    };
    std::ostringstream out;
    out << "Stored runs of the configuration: A " << runsA.size() << ", B " << runsB.size() << "\n";
    const bool sameConfiguration = std::any_of(runsA.begin(), runsA.end(), [&](const ExperimentHeader& h) {
        return h.id == b.id;
    });
    if (sameConfiguration) {
        const int rank = static_cast<int>(std::count_if(timesA.begin(), timesA.end(),
                                                        [&](double t) { return t < static_cast<double>(b.Tp); })) + 1;
        out << "A and B are runs of one configuration (Tp " << range(timesA) << "); B is " << rank << " of "
            << timesA.size() << " from the fastest: a rank test needs two configurations\n";
        return out.str();
    }
    if (timesA.size() < 2) {
        out << "A's configuration has " << timesA.size()
            << " stored run: no spread to judge B against (store several runs: policy DO_NOT_REPLACE, or a sweep "
               "that keeps every run)\n";
        return out.str();
    }
    const scaling::RankTest test = scaling::MannWhitneyGreater(timesA, timesB);
    out << "A's runs: Tp " << range(timesA) << "; B's runs: Tp " << range(timesB) << "\n";
    char figures[96];
    std::snprintf(figures, sizeof figures, "(Mann-Whitney U = %.1f, one-sided p = %.3g%s)", test.U, test.pValue,
                  test.exact ? ", exact" : "");
    out << (test.pValue < 0.05 ? "B is slower than A beyond the spread of A's runs "
                               : "B is not slower than A beyond the spread of A's runs ")
        << figures << "\n";
    return out.str();
}

std::string ProcessTotals(const char* label, const ExperimentModel& model) {
    std::ostringstream out;
    for (const analysis::ProcessModel& process : model.processes) {
        out << "  " << label << " process " << process.id << " (" << process.host << "):";
        for (const auto& [type, total] : process.totals)
            if (total != 0) out << " " << analysis::PhaseTypeName(type) << " " << total;
        out << "\n";
    }
    return out.str();
}

std::string Comparison(Session& session, const ExperimentModel& a, const ExperimentModel& b) {
    std::ostringstream out;
    for (const auto& [label, model] : {std::pair{"A", &a}, std::pair{"B", &b}}) {
        const ExperimentHeader& h = model->header;
        out << label << ": experiment " << h.id << ", " << h.application << " of " << h.user << ", p = " << h.p
            << ", W = " << h.W << ", " << model->processes.size() << " processes, " << analysis::StatusName(h.statusData)
            << ", flags: " << analysis::ErrorFlagNames(h.errorFlags) << "\n";
    }
    const double tpA = static_cast<double>(a.header.Tp), tpB = static_cast<double>(b.header.Tp);
    out << "Tp: A " << Micro(tpA) << " us, B " << Micro(tpB) << " us, B - A " << Signed(tpB - tpA) << " us";
    if (tpA > 0) {
        char ratio[32];
        std::snprintf(ratio, sizeof ratio, " (B/A %.3f)", tpB / tpA);
        out << ratio;
    }
    out << "\n\nTime by phase type over all processes (us):\n";
    const std::map<std::string, double> totalsA = analysis::ExperimentTotals(a), totalsB = analysis::ExperimentTotals(b);
    std::map<std::string, int> types;
    for (const auto& totals : {totalsA, totalsB})
        for (const auto& [type, time] : totals) types[type] = 0;
    char line[160];
    std::snprintf(line, sizeof line, "  %-12s %14s %14s %14s\n", "type", "A", "B", "B - A");
    out << line;
    for (const auto& [type, unused] : types) {
        const double ta = totalsA.count(type) ? totalsA.at(type) : 0, tb = totalsB.count(type) ? totalsB.at(type) : 0;
        std::snprintf(line, sizeof line, "  %-12s %14s %14s %14s\n", type.c_str(), Micro(ta).c_str(),
                      Micro(tb).c_str(), Signed(tb - ta).c_str());
        out << line;
    }
    out << "\nTime by phase type per process (us):\n" << ProcessTotals("A", a) << ProcessTotals("B", b);

    out << "\nWait states by pattern (count, time in us):\n";
    const auto waitsA = analysis::WaitsByPattern(a), waitsB = analysis::WaitsByPattern(b);
    for (analysis::WaitPattern waitPattern : analysis::kWaitPatterns) {
        const char* pattern = analysis::WaitPatternName(waitPattern);
        const auto wa = waitsA.count(pattern) ? waitsA.at(pattern) : std::pair<int, double>{0, 0};
        const auto wb = waitsB.count(pattern) ? waitsB.at(pattern) : std::pair<int, double>{0, 0};
        std::snprintf(line, sizeof line, "  %-24s A %5d %12s   B %5d %12s\n", pattern, wa.first,
                      Micro(wa.second).c_str(), wb.first, Micro(wb.second).c_str());
        out << line;
    }
    out << "Unreceived messages: A " << a.findings.UnreceivedCount() << ", B " << b.findings.UnreceivedCount() << "\n\n";
    out << SpreadVerdict(session, a.header, b.header);
    return out.str();
}

}  // namespace

void AddScalingCommands(CLI::App& app, Session& session) {
    struct ScalingOptions {
        std::string application, user, format = "text", output;
        StudyOptions study;
    };
    auto options = std::make_shared<ScalingOptions>();
    CLI::App* scalingCommand = app.add_subcommand(
        "scaling", "speedup, efficiency, Karp-Flatt fraction, overhead by phase type, their models over p (and W) "
                   "and predictions");
    scalingCommand->fallthrough();
    scalingCommand->add_option("APPLICATION", options->application, "the application")->required();
    scalingCommand->add_option("--user", options->user, "only this user's experiments");
    scalingCommand->add_option("--format", options->format, "text (default), csv, json or html")
        ->check(CLI::IsMember({"text", "csv", "json", "html"}));
    scalingCommand->add_option("-o,--output", options->output, "write to this file instead of the console");
    AddStudyOptions(*scalingCommand, options->study);
    scalingCommand->callback([&session, options] {
        const scaling::StudySettings settings = options->study.Settings();
        scaling::Study study;
        try {
            study = scaling::StudyScaling(options->application,
                                          LoadScalingRuns(session, options->application, options->user), settings);
        } catch (const std::invalid_argument& e) {
            throw analysis::Error(std::string(e.what()) + (options->user.empty() ? "" : " of user " + options->user),
                                  analysis::kExitNotFound);
        }
        WriteStudy(study, options->format, options->output);
    });

    struct CompareOptions {
        int a = 0, b = 0;
    };
    auto compare = std::make_shared<CompareOptions>();
    CLI::App* compareCommand = app.add_subcommand(
        "compare", "two experiments side by side, and whether B is slower beyond the spread of A's runs");
    compareCommand->fallthrough();
    compareCommand->add_option("EXPID_A", compare->a, "the reference experiment")->required();
    compareCommand->add_option("EXPID_B", compare->b, "the experiment compared with it")->required();
    compareCommand->callback([&session, compare] {
        const ExperimentModel a = session.LoadAnalysed(compare->a);
        const ExperimentModel b = session.LoadAnalysed(compare->b);
        std::cout << PrintableLines(Comparison(session, a, b)) << std::flush;
    });
}
