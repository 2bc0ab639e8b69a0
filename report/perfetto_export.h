// Perfetto export: trace-event JSON ({"traceEvents": [...]}) that Perfetto and
// chrome://tracing open. Every process is a trace process (pid = its ID) named
// "<host> t<tid>" by a process_name metadata event; every phase is a complete event
// ("ph":"X", ts and dur in µs since the master's start on the shown clock, where the
// slices of a track tile it, name = its phase type, cat = the type's top-level
// category, or its own for a program's type or a wrong call; args: nbr, tag, partner and
// delay of a message phase, comment, and the wait state of an idle phase); every
// received message binds its send slice to its receive slice by one flow
// (bind_id = the message's index, flow_out on the send, flow_in on the receive).
// A window keeps the phases of some processes that overlap a stretch of time, and
// the flows whose two ends it keeps.
#pragma once
#include <model.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <ostream>
#include <set>

namespace report {

// The part of a run a trace shows.
struct PerfettoWindow {
    analysis::Time from = std::numeric_limits<analysis::Time>::min();  // µs since the master's start
    analysis::Time to = std::numeric_limits<analysis::Time>::max();    // phases that begin before it
    std::set<int> processes;                                           // process IDs; empty: every process
};

// The largest trace that a browser viewer (the Perfetto UI, chrome://tracing) opens.
constexpr std::uint64_t kBrowserViewerBytes = 500'000'000;

void WritePerfetto(const analysis::ExperimentModel& model, std::ostream& out, const PerfettoWindow& window = {});
// The trace's size in bytes, estimated from a sample of its slices.
std::uint64_t EstimatePerfettoBytes(const analysis::ExperimentModel& model, const PerfettoWindow& window = {});
// Writes the trace to the file path, complete or not at all. A trace larger than
// sizeLimit bytes is refused (analysis::Error, kExitFailure, saying how to narrow it)
// and nothing is written.
void ExportPerfetto(const analysis::ExperimentModel& model, const std::filesystem::path& path,
                    const PerfettoWindow& window = {},
                    std::uint64_t sizeLimit = std::numeric_limits<std::uint64_t>::max());

}  // namespace report
