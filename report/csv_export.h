// CSV export of an analysed experiment: four files with a header row each.
//   phases.csv      process,host,tid,nbr,type,type_name,start,shown_start,duration,
//                   tag,operations,partner_tid,comm_delay,comment (one row per phase,
//                   by process and number; the type by ID and by name; times in µs
//                   since the master's start)
//   messages.csv    send_process,send_nbr,recv_process,recv_nbr,send_time,recv_time,delay
//                   (processes by their IDs; recv_nbr -1 for an unreceived message)
//   wait_states.csv process,nbr,pattern,wait_time,transfer_time,cause_process,cause_nbr
//                   (largest first; cause -1 for an unexplained wait)
//   delay_costs.csv cause_process,cause,short_term,long_term (cause: a phase type's
//                   name or "transfer"; µs, largest total first)
#pragma once
#include <model.h>

#include <filesystem>
#include <ostream>

namespace report {

void WritePhasesCsv(const analysis::ExperimentModel& model, std::ostream& out);
void WriteMessagesCsv(const analysis::ExperimentModel& model, std::ostream& out);
void WriteWaitStatesCsv(const analysis::ExperimentModel& model, std::ostream& out);
void WriteDelayCostsCsv(const analysis::ExperimentModel& model, std::ostream& out);

// Writes the four files into the folder folder (created when missing), beside what
// it holds, replacing only earlier files of the same names; all four appear or none.
void ExportCsv(const analysis::ExperimentModel& model, const std::filesystem::path& folder);

}  // namespace report
