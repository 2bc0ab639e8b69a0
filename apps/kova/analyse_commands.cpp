// kova list and kova analyse.
#include "apps/kova/commands.h"
#include "apps/kova/terminal_text.h"

#include "analysis/error.h"
#include "analysis/summary.h"

#include <iostream>
#include <nlohmann/json.hpp>

void AddAnalyseCommands(CLI::App& app, Session& session) {
    struct ListOptions {
        std::string user, application;
    };
    auto list = std::make_shared<ListOptions>();
    CLI::App* listCommand = app.add_subcommand("list", "the stored experiments, one line each");
    listCommand->add_option("--user", list->user, "only this user's experiments");
    listCommand->add_option("--application", list->application, "only this application's experiments");
    listCommand->callback([&session, list] {
        const auto headers = session.List(list->user, list->application);
        if (headers.empty()) std::cout << "no experiments stored" << std::endl;
        // Escaped field by field, so that a name with a NUL byte is shown whole.
        for (analysis::ExperimentHeader header : headers) {
            MakePrintable(header);
            std::cout << analysis::ListLine(header) << "\n";
        }
        std::cout.flush();
    });

    struct AnalyseOptions {
        int expID = 0;
        int sequentialID = 0;
        bool json = false;
    };
    auto analyse = std::make_shared<AnalyseOptions>();
    CLI::App* analyseCommand =
        app.add_subcommand("analyse", "checks, totals, matches messages, finds wait states, delay costs, the critical path and where the time went");
    analyseCommand->add_option("EXPID", analyse->expID, "the experiment")->required();
    CLI::Option* sequential =
        analyseCommand->add_option("--sequential", analyse->sequentialID, "the sequential reference experiment");
    analyseCommand->add_flag("--other-reference", session.mAllowOtherReference,
                             "take a --sequential reference of another application or W than the experiment's");
    analyseCommand->add_flag("--json", analyse->json, "print the summary as JSON");
    analyseCommand->callback([&session, analyse, sequential] {
        std::optional<int> sequentialID;
        if (sequential->count() > 0) sequentialID = analyse->sequentialID;
        analysis::ExperimentModel model = session.Analyse(analyse->expID, sequentialID);
        if (analyse->json) {
            std::cout << analysis::SummaryJson(model).dump(2) << std::endl;
        } else {
            MakePrintable(model);
            std::cout << analysis::SummaryText(model) << std::flush;
        }
    });
}
