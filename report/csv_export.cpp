#include "report/csv_export.h"

#include "csv/csv_writer.h"
#include "report/output_path.h"

namespace report {

void WritePhasesCsv(const analysis::ExperimentModel& model, std::ostream& out) {
    const analysis::PhaseColumns& ph = model.phases;
    out << "process,host,tid,nbr,type,type_name,start,shown_start,duration,tag,operations,partner_tid,comm_delay,"
           "comment\n";
    csv::Writer table(out);
    for (std::size_t i = 0; i < ph.Size(); ++i) {
        const analysis::ProcessModel& process = model.processes[ph.process[i]];
        table << process.id << process.host << process.tid << ph.nbr[i] << ph.type[i] << analysis::PhaseTypeName(ph.type[i]) << ph.start[i] << ph.shownStart[i]
            << ph.duration[i] << ph.tag[i] << ph.operations[i] << ph.partnerTid[i] << model.CommDelay(i)
            << ph.comments[ph.comment[i]];
        table.EndRow();
    }
}

void WriteMessagesCsv(const analysis::ExperimentModel& model, std::ostream& out) {
    const analysis::PhaseColumns& ph = model.phases;
    out << "send_process,send_nbr,recv_process,recv_nbr,send_time,recv_time,delay\n";
    csv::Writer table(out);
    for (const analysis::Message& m : model.findings.messages) {
        table << model.processes[m.sendProcess].id << ph.nbr[m.sendPhase] << model.processes[m.recvProcess].id
            << (m.recvPhase < 0 ? -1 : ph.nbr[m.recvPhase]) << m.sendTime << m.recvTime << m.delay;
        table.EndRow();
    }
}

void WriteWaitStatesCsv(const analysis::ExperimentModel& model, std::ostream& out) {
    const analysis::PhaseColumns& ph = model.phases;
    out << "process,nbr,pattern,wait_time,transfer_time,cause_process,cause_nbr\n";
    csv::Writer table(out);
    for (const analysis::WaitState& w : model.findings.waitStates) {
        const bool caused = w.causePhase >= 0;
        table << model.processes[ph.process[w.phase]].id << ph.nbr[w.phase] << analysis::WaitPatternName(w.pattern)
            << w.waitTime << w.transferTime << (caused ? model.processes[ph.process[w.causePhase]].id : -1)
            << (caused ? ph.nbr[w.causePhase] : -1);
        table.EndRow();
    }
}

void WriteDelayCostsCsv(const analysis::ExperimentModel& model, std::ostream& out) {
    out << "cause_process,cause,short_term,long_term\n";
    csv::Writer table(out);
    for (const analysis::DelayCost& c : model.findings.delayCosts) {
        table << model.processes[c.cause.process].id << analysis::CostCauseName(c.cause) << c.shortTerm << c.longTerm;
        table.EndRow();
    }
}

void ExportCsv(const analysis::ExperimentModel& model, const std::filesystem::path& folder) {
    OutputPath output(folder);
    const std::pair<const char*, void (*)(const analysis::ExperimentModel&, std::ostream&)> files[] = {
        {"phases.csv", WritePhasesCsv}, {"messages.csv", WriteMessagesCsv}, {"wait_states.csv", WriteWaitStatesCsv},
        {"delay_costs.csv", WriteDelayCostsCsv}};
    for (const auto& [name, write] : files)
        WriteFileAtomically(output.Temporary() / name, [&](std::ostream& out) { write(model, out); });
    output.Commit();
}

}  // namespace report
