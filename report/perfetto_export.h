// Perfetto export: trace-event JSON ({"traceEvents": [...]}) that Perfetto and
// chrome://tracing open. Every process is a trace process (pid = its ID) named
// "<host> t<tid>" by a process_name metadata event; every phase is a complete event
// ("ph":"X", ts and dur in µs since the master's start on the shown clock, where the
// slices of a track tile it, name = its phase type, cat = the type's top-level
// category, or its own for a program's type or a wrong call; args: nbr, tag, partner and
// delay of a message phase, comment, and the wait state of an idle phase); every
// received message binds its send slice to its receive slice by one flow
// (bind_id = the message's index, flow_out on the send, flow_in on the receive).
#pragma once
#include <model.h>

#include <filesystem>
#include <ostream>

namespace report {

void WritePerfetto(const analysis::ExperimentModel& model, std::ostream& out);
// Writes the trace to the file path, complete or not at all.
void ExportPerfetto(const analysis::ExperimentModel& model, const std::filesystem::path& path);

}  // namespace report
