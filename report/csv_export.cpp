#include "csv_export.h"

#include "output_path.h"

namespace report {

namespace {

// A comment as one CSV field: quoted, with its quotes doubled, when it needs it.
void WriteField(std::ostream& out, const std::string& text) {
    if (text.find_first_of(",\"\n\r") == std::string::npos) {
        out << text;
        return;
    }
    out << '"';
    for (char c : text) {
        if (c == '"') out << '"';
        out << c;
    }
    out << '"';
}

}  // namespace

void WritePhasesCsv(const analysis::ExperimentModel& model, std::ostream& out) {
    const analysis::PhaseColumns& ph = model.phases;
    out << "process,host,tid,nbr,type,start,shown_start,duration,tag,operations,partner_tid,comm_delay,"
           "comment\n";
    for (std::size_t i = 0; i < ph.Size(); ++i) {
        const analysis::ProcessModel& process = model.processes[ph.process[i]];
        out << process.id << ',' << process.host << ',' << process.tid << ',' << ph.nbr[i] << ',' << ph.type[i]
            << ',' << ph.start[i] << ',' << ph.shownStart[i] << ',' << ph.duration[i] << ',' << ph.tag[i] << ','
            << ph.operations[i] << ',' << ph.partnerTid[i] << ',' << model.CommDelay(i) << ',';
        WriteField(out, ph.comments[ph.comment[i]]);
        out << '\n';
    }
}

void WriteMessagesCsv(const analysis::ExperimentModel& model, std::ostream& out) {
    const analysis::PhaseColumns& ph = model.phases;
    out << "send_process,send_nbr,recv_process,recv_nbr,send_time,recv_time,delay\n";
    for (const analysis::Message& m : model.findings.messages) {
        out << model.processes[m.sendProcess].id << ',' << ph.nbr[m.sendPhase] << ','
            << model.processes[m.recvProcess].id << ',' << (m.recvPhase < 0 ? -1 : ph.nbr[m.recvPhase]) << ','
            << m.sendTime << ',' << m.recvTime << ',' << m.delay << '\n';
    }
}

void WriteWaitStatesCsv(const analysis::ExperimentModel& model, std::ostream& out) {
    const analysis::PhaseColumns& ph = model.phases;
    out << "process,nbr,pattern,wait_time,transfer_time,cause_process,cause_nbr\n";
    for (const analysis::WaitState& w : model.findings.waitStates) {
        const bool caused = w.causePhase >= 0;
        out << model.processes[ph.process[w.phase]].id << ',' << ph.nbr[w.phase] << ','
            << analysis::WaitPatternName(w.pattern) << ',' << w.waitTime << ',' << w.transferTime << ','
            << (caused ? model.processes[ph.process[w.causePhase]].id : -1) << ','
            << (caused ? ph.nbr[w.causePhase] : -1) << '\n';
    }
}

void WriteDelayCostsCsv(const analysis::ExperimentModel& model, std::ostream& out) {
    out << "cause_process,cause,short_term,long_term\n";
    for (const analysis::DelayCost& c : model.findings.delayCosts)
        out << model.processes[c.cause.process].id << ',' << analysis::CostCauseName(c.cause) << ',' << c.shortTerm
            << ',' << c.longTerm << '\n';
}

void ExportCsv(const analysis::ExperimentModel& model, const std::filesystem::path& folder) {
    OutputPath output(folder, OutputPath::kFolder);
    const std::pair<const char*, void (*)(const analysis::ExperimentModel&, std::ostream&)> files[] = {
        {"phases.csv", WritePhasesCsv}, {"messages.csv", WriteMessagesCsv}, {"wait_states.csv", WriteWaitStatesCsv},
        {"delay_costs.csv", WriteDelayCostsCsv}};
    for (const auto& [name, write] : files)
        WriteFileAtomically(output.Temporary() / name, [&](std::ostream& out) { write(model, out); });
    output.Commit();
}

}  // namespace report
