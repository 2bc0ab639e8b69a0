// kova: lists, analyses and shows the experiments stored by the measurement probe.
#include "apps/kova/commands.h"
#include "apps/kova/terminal_text.h"

#include "analysis/error.h"
#include <kova/version.h>
#include "persist/databaseerror.h"

#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{"kova: the stored experiments of the measurement probe"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "kova " KOVA_VERSION);
    Session session;
    app.add_option_function<std::string>(
           "--source",
           [&session](const std::string& source) {
               session.mSource = source == "legacy" ? analysis::Source::kLegacy : analysis::Source::kMeasurement;
           },
           "database to read: kova (the measurement database, default) or legacy (tourga's)")
        ->check(CLI::IsMember({"kova", "legacy"}));
    AddAnalyseCommands(app, session);
    AddScalingCommands(app, session);
    AddReportCommands(app, session);
    AddMeasureCommands(app, session);
    AddStudyCommands(app, session);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : analysis::kExitUsage;
    } catch (const analysis::Error& e) {
        std::cerr << "kova: " << Printable(e.what()) << std::endl;
        return e.ExitStatus();
    } catch (const DatabaseError& e) {
        std::cerr << "kova: the database failed: " << PrintableLines(e.what()) << std::endl;
        return analysis::kExitFailure;
    }
    return 0;
}
