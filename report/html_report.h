// The HTML report of an analysed experiment: one self-contained page (see page.h)
// with the header figures (application, user, date, p, W, processes, Tp, the run's
// length (first start to last end) where it differs from Tp, Ts, speedup,
// efficiency, status and error flags in words, unreceived and clock-repaired
// messages; a missing sequential reference as a note), the space-time timeline (one
// lane per process grouped by host and named by the process (the master by the
// application) and its host, its tid on hover; phases coloured by the phase-type
// tree, a line per received message, late-sender waits linked to their cause, the
// critical path; aggregated bands where phases are denser than pixels, the detail
// when zoomed in), each process's time by phase type, the wait states grouped by
// pattern, waiting process and causing process (a group opens its single waits), the
// critical path's profile, the delay costs by cause and the tasks outside the
// experiment that phases name as partners.
// The page is a pure function of the model apart from its generation line.
#pragma once
#include "analysis/model.h"

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <ostream>
#include <string>

namespace report {

// What the report's page script draws, in compact columns (see report/web/report.js):
// phase durations and types per phase, shown starts only where a phase does not start
// where the one before it on its process ended, phase indices delta-encoded.
nlohmann::json ReportPayload(const analysis::ExperimentModel& model);

// Colour of a phase type: a hue per top-level category of the type tree (blue for
// computation, orange for communication, grey for idle, purple for the rest), a
// shade per type within it.
std::string PhaseTypeColour(int type);

void WriteHtmlReport(const analysis::ExperimentModel& model, std::ostream& out, const std::string& generated);
// Writes the report to the file path, complete or not at all.
void ExportHtmlReport(const analysis::ExperimentModel& model, const std::filesystem::path& path);

}  // namespace report
