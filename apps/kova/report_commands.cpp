// kova report and kova export: the HTML report and the trace exports of an analysed
// experiment (analysed first when it is not yet).
#include "apps/kova/commands.h"

#include "report/csv_export.h"
#include "analysis/error.h"
#include "report/html_report.h"
#include "report/otf2_export.h"
#include "report/perfetto_export.h"

#include <sys/stat.h>

#include <algorithm>
#include <iostream>
#include <limits>
#include <vector>

namespace {

// Where to say what was written: standard error when the output went to the file
// that standard output is (-o /dev/stdout), so that the output stays as written.
std::ostream& Confirmation(const std::string& output) {
    struct stat written, standardOutput;
    const bool same = ::stat(output.c_str(), &written) == 0 && ::fstat(1, &standardOutput) == 0 &&
                      written.st_dev == standardOutput.st_dev && written.st_ino == standardOutput.st_ino;
    return same ? std::cerr : std::cout;
}

// The --sequential option's value, when it was given.
std::optional<int> Given(const CLI::Option* option, int value) {
    return option->count() > 0 ? std::optional<int>(value) : std::nullopt;
}

}  // namespace

void AddReportCommands(CLI::App& app, Session& session) {
    struct Options {
        int expID = 0;
        int sequentialID = 0;
        std::string output;
        std::string format;
        report::PerfettoWindow window;
        bool noSizeLimit = false;
    };

    auto report = std::make_shared<Options>();
    CLI::App* reportCommand =
        app.add_subcommand("report", "writes a self-contained HTML report of an analysed experiment");
    reportCommand->add_option("EXPID", report->expID, "the experiment")->required();
    reportCommand->add_option("-o,--output", report->output, "the HTML file (default: experiment-EXPID.html)");
    CLI::Option* reportSequential = reportCommand->add_option(
        "--sequential", report->sequentialID, "the sequential reference, when the experiment is analysed now");
    reportCommand->add_flag("--other-reference", session.mAllowOtherReference,
                            "take a --sequential reference of another application or W than the experiment's");
    reportCommand->callback([&session, report, reportSequential] {
        const analysis::ExperimentModel model =
            session.LoadAnalysed(report->expID, Given(reportSequential, report->sequentialID));
        const std::string path =
            report->output.empty() ? "experiment-" + std::to_string(report->expID) + ".html" : report->output;
        report::ExportHtmlReport(model, path);
        Confirmation(path) << "report of experiment " << report->expID << ": " << path << std::endl;
    });

    auto exportOptions = std::make_shared<Options>();
    CLI::App* exportCommand =
        app.add_subcommand("export", "writes an analysed experiment for trace viewers or as CSV files");
    exportCommand->add_option("EXPID", exportOptions->expID, "the experiment")->required();
    exportCommand->add_option("--format", exportOptions->format,
                              "perfetto (trace-event JSON file), otf2 (archive folder) or csv (folder of four files)")
        ->required()
        ->check(CLI::IsMember({"perfetto", "otf2", "csv"}));
    exportCommand->add_option("-o,--output", exportOptions->output, "the file (perfetto) or folder (otf2, csv)")
        ->required();
    CLI::Option* exportSequential = exportCommand->add_option(
        "--sequential", exportOptions->sequentialID, "the sequential reference, when the experiment is analysed now");
    exportCommand->add_flag("--other-reference", session.mAllowOtherReference,
                            "take a --sequential reference of another application or W than the experiment's");
    report::PerfettoWindow& window = exportOptions->window;
    const std::vector<CLI::Option*> windowOptions = {
        exportCommand->add_option("--from", window.from,
                                  "perfetto: only the phases that end at or after this time (µs since the master's "
                                  "start)"),
        exportCommand->add_option("--to", window.to,
                                  "perfetto: only the phases that begin at or before this time (µs since the master's "
                                  "start)"),
        exportCommand->add_option("--processes", window.processes, "perfetto: only these processes (IDs, comma-separated)")
            ->delimiter(','),
        exportCommand->add_flag("--no-size-limit", exportOptions->noSizeLimit,
                                "perfetto: write a trace larger than a browser viewer opens (" +
                                    std::to_string(report::kBrowserViewerBytes / 1'000'000) + " MB)")};
    exportCommand->callback([&session, exportOptions, exportSequential, windowOptions] {
        const Options& o = *exportOptions;
        for (const CLI::Option* option : windowOptions)
            if (option->count() > 0 && o.format != "perfetto")
                throw analysis::Error(option->get_name() + " applies to --format perfetto only", analysis::kExitUsage);
        if (o.window.from > o.window.to)
            throw analysis::Error("--from is after --to", analysis::kExitUsage);
        const analysis::ExperimentModel model = session.LoadAnalysed(o.expID, Given(exportSequential, o.sequentialID));
        if (o.format == "perfetto") {
            for (int id : o.window.processes)
                if (std::none_of(model.processes.begin(), model.processes.end(),
                                 [id](const analysis::ProcessModel& p) { return p.id == id; }))
                    throw analysis::Error("experiment " + std::to_string(o.expID) + " has no process " +
                                              std::to_string(id),
                                          analysis::kExitUsage);
            report::ExportPerfetto(model, o.output, o.window,
                                   o.noSizeLimit ? std::numeric_limits<std::uint64_t>::max()
                                                 : report::kBrowserViewerBytes);
        }
        if (o.format == "otf2") report::ExportOtf2(model, o.output);
        if (o.format == "csv") report::ExportCsv(model, o.output);
        std::ostream& confirmation = Confirmation(o.output);
        confirmation << o.format << " export of experiment " << o.expID << ": " << o.output;
        if (o.format == "otf2") confirmation << "/" << report::kOtf2ArchiveName << ".otf2";
        confirmation << std::endl;
    });
}
