// OTF2 export: an archive that Vampir, Scalasca and the OTF2 tools read, written with
// the OTF2 library. Each process is one location (a CPU thread) in a location group
// of its own under its host's system-tree node; each phase type is one region; each
// phase is an enter and a leave event on the shown clock (1 tick = 1 µs; the clock's
// global offset is the master's start in µs since the epoch; where the repair lets
// a phase begin a rounding step before the previous one ended, it enters at that
// end, since a location's events must be in time order); each message is a
// point-to-point send (at the start of its send phase, to the addressee's rank) and,
// when received, a receive (at the end of its receive phase), tagged with its
// quantum count and carrying its length in bytes (0 where the measurement did not
// record it), on one communicator whose ranks are the processes in model order.
#pragma once
#include <model.h>

#include <filesystem>

namespace report {

// Name of the archive inside the export folder: <folder>/traces.otf2 is its anchor file.
constexpr const char* kOtf2ArchiveName = "traces";

// Writes the archive into the folder folder (created when missing), beside what it
// holds, replacing only an earlier archive of the same name; it appears whole or not at all.
void ExportOtf2(const analysis::ExperimentModel& model, const std::filesystem::path& folder);

}  // namespace report
