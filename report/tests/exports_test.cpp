// The exports and the HTML page on analysed models: each read back (Perfetto JSON
// parsed, OTF2 through otf2-print, CSV rows, the page's payload) and compared with
// the model; and outputs that cannot be written.
#include "analysis/analyse.h"
#include "report/csv_export.h"
#include "analysis/error.h"
#include "report/html_report.h"
#include "report/otf2_export.h"
#include "report/output_path.h"
#include "report/page.h"
#include "report/perfetto_export.h"
#include "analysis/synthetic.h"

#include "report/tests/otf2_events.h"

#include <gtest/gtest.h>
#include <kova_site.h>
#include <nlohmann/json.hpp>
#include "tests/support/testsupport.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <thread>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <tuple>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using analysis::ExperimentModel;
using nlohmann::json;

// Three processes on two hosts: the master sends tag 1 to B and tag 2 to C; B
// waits, receives, works and sends tag 3 to C; C receives both and never takes a
// second tag-2 message of the master. Comments hold CSV and HTML specials. With
// outsidePartner, C ends by sending to tid 999, a task of no process here; analysed
// with Ts = 1000 µs, or without a sequential reference.
// With probeCosts, the master's probe recorded 5 calls of 2 µs and the first
// slave's 4 of 1 µs: 14 µs of probe cost in their phases.
ExperimentModel ThreeProcesses(bool outsidePartner = false, std::optional<analysis::Time> ts = 1000,
                               bool probeCosts = false) {
    ExperimentModel model;
    model.header.id = 42;
    model.header.application = "hand <made>";
    model.header.user = "tester";
    model.header.p = 3;
    model.header.nbrProcesses = 3;
    model.header.statusData = analysis::kFinished;
    const int tids[] = {100, 200, 300};
    const char* hosts[] = {"node1", "node2", "node2"};
    for (int k = 0; k < 3; ++k) {
        analysis::ProcessModel process;
        process.id = process.tid = tids[k];
        process.host = hosts[k];
        process.start = 1'000'000'000 + 10 * k;
        process.hasTotals = true;
        model.processes.push_back(process);
    }
    int next[3] = {1, 1, 1};
    auto add = [&](int k, int type, analysis::Time duration, int tag = 0, int partner = -1,
                   const std::string& comment = "") {
        model.phases.Add(k, next[k]++, type, duration, tag, 0, partner, type == analysis::kSend, comment);
        model.processes[k].totals[type] += duration;
    };
    add(0, analysis::kWork, 100, 0, -1, "set-up, \"quoted\"");
    add(0, analysis::kSend, 10, 1, 200);
    add(0, analysis::kSend, 10, 2, 300);
    add(0, analysis::kSend, 10, 2, 300);
    add(0, analysis::kWork, 400);
    add(1, analysis::kIdle, 150);
    add(1, analysis::kRecv, 5, 1, 100);
    add(1, analysis::kWork, 200, 0, -1, "</script><!-- x");
    add(1, analysis::kSend, 5, 3, 300);
    add(2, analysis::kIdle, 120);
    add(2, analysis::kRecv, 5, 2, 100);
    add(2, analysis::kIdle, 250);
    add(2, analysis::kRecv, 5, 3, 200);
    add(2, analysis::kWork, 50);
    if (outsidePartner) add(2, analysis::kSend, 5, 4, 999);
    model.header.Tp = 560;
    // Message lengths where the measurement recorded them: the sends of tag 1 and 3
    // (the receive of tag 3 too), and only the receive of the tag-2 message.
    for (const auto& [phase, bytes] : std::map<int, int64_t>{{1, 4096}, {8, 12}, {12, 12}, {10, 640}}) {
        analysis::PhaseDetail detail;
        detail.bytes = bytes;
        model.phases.SetDetail(phase, detail);
    }
    if (probeCosts) {
        for (auto [k, calls, ns] : {std::tuple{0, 5, 2000.0}, std::tuple{1, 4, 1000.0}}) {
            model.processes[k].hasProbeCosts = true;
            model.processes[k].recordedCalls = calls;
            model.processes[k].nsPerCall = ns;
        }
    }
    model.IndexPhases();
    analysis::Analyse(model, ts);
    return model;
}

// Two processes with the types that the basic table does not name: wrong calls (-1,
// -7), a program's own types (15, 70000) beside work and a message.
ExperimentModel OddTypes() {
    ExperimentModel model;
    model.header.id = 43;
    model.header.application = "odd types";
    model.header.p = 2;
    model.header.nbrProcesses = 2;
    model.header.statusData = analysis::kFinished;
    for (int k = 0; k < 2; ++k) {
        analysis::ProcessModel process;
        process.id = process.tid = 500 + k;
        process.host = "node" + std::to_string(k + 1);
        process.start = 2'000'000'000;
        process.hasTotals = true;
        model.processes.push_back(process);
    }
    int next[2] = {1, 1};
    auto add = [&](int k, int type, analysis::Time duration, int partner = -1) {
        model.phases.Add(k, next[k]++, type, duration, 0, 0, partner, type == analysis::kSend, "");
        model.processes[k].totals[type] += duration;
    };
    add(0, -1, 20);
    add(0, analysis::kWork, 30);
    add(0, 70000, 10);
    add(0, analysis::kSend, 5, 501);
    add(1, -7, 15);
    add(1, 15, 10);
    add(1, analysis::kIdle, 40);
    add(1, analysis::kRecv, 5, 500);
    model.header.Tp = 70;
    model.IndexPhases();
    analysis::Analyse(model, std::nullopt);
    return model;
}

// A long send (a large message, 0-100 µs) whose receive starts at 50 µs and ends at
// 60 µs, before the send phase ends.
ExperimentModel OverlappingMessage() {
    ExperimentModel model;
    model.header.id = 44;
    model.header.application = "overlap";
    model.header.p = 2;
    model.header.nbrProcesses = 2;
    model.header.statusData = analysis::kFinished;
    for (int k = 0; k < 2; ++k) {
        analysis::ProcessModel process;
        process.id = process.tid = 600 + k;
        process.host = "node" + std::to_string(k + 1);
        process.start = 3'000'000'000;
        process.hasTotals = true;
        model.processes.push_back(process);
    }
    int next[2] = {1, 1};
    auto add = [&](int k, int type, analysis::Time duration, int partner = -1) {
        model.phases.Add(k, next[k]++, type, duration, 7, 0, partner, type == analysis::kSend, "");
        model.processes[k].totals[type] += duration;
    };
    add(0, analysis::kSend, 100, 601);
    add(0, analysis::kWork, 20);
    add(1, analysis::kIdle, 50);
    add(1, analysis::kRecv, 10, 600);
    add(1, analysis::kWork, 60);
    model.header.Tp = 120;
    model.IndexPhases();
    analysis::Analyse(model, std::nullopt);
    return model;
}

ExperimentModel Synthetic() {
    ExperimentModel model = analysis::MakeSyntheticPipeline(4, 2000);
    analysis::Analyse(model, std::nullopt);
    return model;
}

std::size_t ReceivedMessages(const ExperimentModel& model) {
    std::size_t received = 0;
    for (const auto& m : model.findings.messages) received += m.recvPhase >= 0;
    return received;
}

class Exports : public ::testing::TestWithParam<const char*> {
protected:
    ExperimentModel Model() const {
        const std::string name = GetParam();
        if (name == "hand") return ThreeProcesses();
        if (name == "odd types") return OddTypes();
        if (name == "overlap") return OverlappingMessage();
        return Synthetic();
    }
    ScratchFolder folder{"report-exports", ScratchFolder::SystemTemp};
};

TEST(HandModel, AnalysisFoundWhatTheExportsShow) {
    const ExperimentModel model = ThreeProcesses();
    EXPECT_EQ(model.findings.messages.size(), 4u);
    EXPECT_EQ(ReceivedMessages(model), 3u);
    EXPECT_FALSE(model.findings.waitStates.empty());
}

TEST_P(Exports, PerfettoHasOneSlicePerPhaseAndOneFlowPerReceivedMessage) {
    const ExperimentModel model = Model();
    const fs::path path = folder.path() / "trace.json";
    report::ExportPerfetto(model, path);
    const json trace = json::parse(ReadFile(path));
    ASSERT_TRUE(trace.contains("traceEvents"));
    const auto& ph = model.phases;

    std::map<int, std::string> names;
    std::vector<json> slices;
    std::map<long long, json> flowOut, flowIn;
    for (const json& event : trace["traceEvents"]) {
        if (event["ph"] == "M" && event["name"] == "process_name") names[event["pid"]] = event["args"]["name"];
        if (event["ph"] != "X") continue;
        slices.push_back(event);
        if (event.contains("flow_out")) {
            EXPECT_TRUE(flowOut.emplace(event["bind_id"], event).second);
        }
        if (event.contains("flow_in")) {
            EXPECT_TRUE(flowIn.emplace(event["bind_id"], event).second);
        }
    }
    ASSERT_EQ(names.size(), model.processes.size());
    for (const auto& process : model.processes)
        EXPECT_EQ(names[process.id], process.host + " t" + std::to_string(process.tid));

    // Slices in the model's order, on the analysis's shown clock.
    ASSERT_EQ(slices.size(), ph.Size());
    for (std::size_t i = 0; i < ph.Size(); ++i) {
        const json& s = slices[i];
        ASSERT_EQ(s["pid"], model.processes[ph.process[i]].id) << i;
        ASSERT_EQ(s["ts"], ph.shownStart[i]) << i;
        ASSERT_EQ(s["dur"], ph.ShownDuration(i)) << i;
        ASSERT_EQ(s["name"], analysis::PhaseTypeName(ph.type[i])) << i;
        ASSERT_EQ(s["args"]["nbr"], ph.nbr[i]) << i;
        if (ph.comment[i] != 0) {
            EXPECT_EQ(s["args"]["comment"], ph.comments[ph.comment[i]]);
        }
    }
    // A flow from every received message's send slice to its receive slice.
    ASSERT_EQ(flowOut.size(), ReceivedMessages(model));
    ASSERT_EQ(flowIn.size(), flowOut.size());
    for (const auto& m : model.findings.messages) {
        if (m.recvPhase < 0) continue;
        const json& out = slices[m.sendPhase];
        const json& in = slices[m.recvPhase];
        ASSERT_TRUE(out.contains("flow_out") && in.contains("flow_in"));
        EXPECT_EQ(out["bind_id"], in["bind_id"]);
        EXPECT_EQ(in["args"]["delay"], m.delay);
    }
    // Wait states in the idle slices' args.
    for (const auto& w : model.findings.waitStates) {
        const json& wait = slices[w.phase]["args"]["wait"];
        EXPECT_EQ(wait["pattern"], analysis::WaitPatternName(w.pattern));
        EXPECT_EQ(wait["time"], w.waitTime);
        if (w.causePhase >= 0) {
            EXPECT_EQ(wait["cause_nbr"], ph.nbr[w.causePhase]);
        }
    }
}

// A window of a quarter of the run on two of four processes: exactly the phases of
// those processes that overlap it, their names, and the flows whose ends it keeps.
TEST(Perfetto, AWindowKeepsThePhasesThatOverlapItAndTheFlowsWithBothEnds) {
    const ExperimentModel model = Synthetic();
    const auto& ph = model.phases;
    analysis::Time length = 0;
    for (std::size_t i = 0; i < ph.Size(); ++i) length = std::max(length, ph.ShownEnd(i));
    report::PerfettoWindow window;
    window.from = length / 4;
    window.to = length / 2;
    window.processes = {model.processes[1].id, model.processes[2].id};
    std::ostringstream out;
    report::WritePerfetto(model, out, window);
    const json trace = json::parse(out.str());

    std::set<std::pair<int, long long>> slices, expected;
    std::set<int> named;
    std::map<long long, int> flowEnds;
    for (const json& event : trace["traceEvents"]) {
        if (event["ph"] == "M" && event["name"] == "process_name") named.insert(event["pid"].get<int>());
        if (event["ph"] != "X") continue;
        slices.insert({event["pid"].get<int>(), event["ts"].get<long long>()});
        if (event.contains("bind_id")) ++flowEnds[event["bind_id"].get<long long>()];
    }
    const auto kept = [&](int i) {
        return window.processes.count(model.processes[ph.process[i]].id) > 0 && ph.shownStart[i] <= window.to &&
               ph.ShownEnd(i) >= window.from;
    };
    std::size_t flows = 0;
    for (std::size_t i = 0; i < ph.Size(); ++i)
        if (kept(i)) expected.insert({model.processes[ph.process[i]].id, ph.shownStart[i]});
    for (const auto& m : model.findings.messages) flows += m.recvPhase >= 0 && kept(m.sendPhase) && kept(m.recvPhase);
    EXPECT_EQ(named, window.processes);
    ASSERT_FALSE(expected.empty());
    EXPECT_LT(expected.size(), ph.Size() / 4);
    EXPECT_EQ(slices, expected);
    EXPECT_GT(flows, 0u);
    EXPECT_EQ(flowEnds.size(), flows);
    for (const auto& [id, ends] : flowEnds) EXPECT_EQ(ends, 2) << "flow " << id;
}

// A trace larger than the limit is refused with the ways to narrow it and nothing
// is written; the estimate from a sample lands near the written size.
TEST(Perfetto, ATraceLargerThanTheLimitIsRefusedAndAWindowOfItFits) {
    ExperimentModel model = analysis::MakeSyntheticPipeline(4, 300'000);
    analysis::Analyse(model, std::nullopt);
    ScratchFolder folder("report-perfetto-limit", ScratchFolder::SystemTemp);
    const fs::path whole = folder.path() / "whole.json", trace = folder.path() / "trace.json";
    report::ExportPerfetto(model, whole);
    const double estimate = static_cast<double>(report::EstimatePerfettoBytes(model));
    EXPECT_NEAR(estimate / static_cast<double>(fs::file_size(whole)), 1.0, 0.05);

    const std::uint64_t limit = fs::file_size(whole) / 3;
    try {
        report::ExportPerfetto(model, trace, {}, limit);
        ADD_FAILURE() << "no error";
    } catch (const analysis::Error& e) {
        const std::string message = e.what();
        EXPECT_EQ(e.ExitStatus(), analysis::kExitFailure);
        EXPECT_EQ(message.find("the Perfetto trace of experiment " + std::to_string(model.header.id) +
                               " would be about "),
                  0u)
            << message;
        for (const char* hint : {"--from", "--to", "--processes", "--no-size-limit"})
            EXPECT_NE(message.find(hint), std::string::npos) << hint << ": " << message;
    }
    EXPECT_FALSE(fs::exists(trace));
    report::PerfettoWindow window;
    window.processes = {model.processes[0].id};
    report::ExportPerfetto(model, trace, window, limit);
    EXPECT_LE(fs::file_size(trace), limit);
}

TEST_P(Exports, Otf2ArchiveReadsBackWithItsLocationsEventsAndMessages) {
    const ExperimentModel model = Model();
    const fs::path archive = folder.path() / "otf2";
    report::ExportOtf2(model, archive);
    const CommandResult events =
        RunCommand("otf2-print " + ShellQuoted((archive / "traces.otf2").string()), ErrorStream::Apart);
    ASSERT_EQ(events.status, 0) << events.errors;
    const CommandResult definitions =
        RunCommand("otf2-print -G " + ShellQuoted((archive / "traces.otf2").string()), ErrorStream::Apart);
    ASSERT_EQ(definitions.status, 0) << definitions.errors;

    const auto lines = events.outputLines();
    // Each message is sent where its send phase begins and received where its
    // receive phase ends, so no receive comes before its send.
    const Otf2Events messages = ReadOtf2Events(archive / "traces.otf2");
    ExpectMessagesInOrder(messages);
    std::map<std::pair<int, long long>, const Otf2Message*> sentAt;
    for (const Otf2Message& m : messages.messages) sentAt[{m.sender, m.sendTime}] = &m;
    for (const analysis::Message& m : model.findings.messages) {
        const auto found = sentAt.find({m.sendProcess, model.phases.shownStart[m.sendPhase]});
        ASSERT_TRUE(found != sentAt.end()) << "no send at the start of phase " << m.sendPhase;
        const Otf2Message& read = *found->second;
        EXPECT_EQ(read.receiver, m.recvProcess);
        EXPECT_EQ(read.received, m.recvPhase >= 0);
        if (m.recvPhase >= 0) {
            EXPECT_EQ(read.recvTime, model.phases.ShownEnd(m.recvPhase));
        }
    }
    if (GetParam() == std::string("hand")) {
        // By sender, in send order: tag 1 to B, tag 2 twice to C (the first one
        // received, its length known from the receive), tag 3 from B to C.
        std::vector<std::pair<int, long long>> lengths;
        for (const Otf2Message& m : messages.messages) lengths.push_back({m.tag, m.length});
        EXPECT_EQ(lengths, (std::vector<std::pair<int, long long>>{{1, 4096}, {2, 640}, {2, 0}, {3, 12}}));
    }
    EXPECT_EQ(LinesStartingWith(lines, "ENTER ").size(), model.phases.Size());
    EXPECT_EQ(LinesStartingWith(lines, "LEAVE ").size(), model.phases.Size());
    EXPECT_EQ(LinesStartingWith(lines, "MPI_SEND ").size(), model.findings.messages.size());
    EXPECT_EQ(LinesStartingWith(lines, "MPI_RECV ").size(), ReceivedMessages(model));
    const auto locations = LinesStartingWith(definitions.outputLines(), "LOCATION ");
    ASSERT_EQ(locations.size(), model.processes.size());
    for (const auto& process : model.processes)
        EXPECT_NE(definitions.output.find("\"" + process.host + " t" + std::to_string(process.tid) + "\""),
                  std::string::npos);
    // One region per type that occurs, named by the type, numbered in the order of the
    // type IDs; the first phase of the master enters the region of its type.
    const auto& ph = model.phases;
    const std::set<int> types(ph.type.begin(), ph.type.end());
    EXPECT_EQ(LinesStartingWith(definitions.outputLines(), "REGION ").size(), types.size());
    const int i = model.processes[0].firstPhase;
    std::ostringstream expected;
    expected << "Region: \"" << analysis::PhaseTypeName(ph.type[i]) << "\" <"
             << std::distance(types.begin(), types.find(ph.type[i])) << ">";
    const auto enters = LinesStartingWith(lines, "ENTER ");
    ASSERT_FALSE(enters.empty());
    EXPECT_NE(enters[0].find(expected.str()), std::string::npos) << enters[0];
    for (const std::string& region : LinesStartingWith(definitions.outputLines(), "REGION "))
        EXPECT_EQ(region.find("UNDEFINED"), std::string::npos) << region;
    // Events count from 0, so the global offset is 0; the realtime timestamp (ns) is
    // the master's start, which otf2-print shows as a date.
    const auto clock = LinesStartingWith(definitions.outputLines(), "CLOCK_PROPERTIES ");
    ASSERT_EQ(clock.size(), 1u);
    const std::time_t masterStart = static_cast<std::time_t>(model.processes[model.master].start / 1000000);
    char date[64];
    std::strftime(date, sizeof date, "Date: %Y-%m-%d %H:%M:%S", std::gmtime(&masterStart));
    EXPECT_NE(clock[0].find("Ticks per Seconds: 1000000, Global Offset: 0, "), std::string::npos) << clock[0];
    EXPECT_NE(clock[0].find(date), std::string::npos) << clock[0] << " " << date;
}

TEST_P(Exports, CsvFilesHaveTheirHeadersAndOneRowPerItem) {
    const ExperimentModel model = Model();
    const fs::path csv = folder.path() / "csv";
    report::ExportCsv(model, csv);
    const auto phases = Lines(ReadFile(csv / "phases.csv"));
    const auto messages = Lines(ReadFile(csv / "messages.csv"));
    const auto waits = Lines(ReadFile(csv / "wait_states.csv"));
    const auto costs = Lines(ReadFile(csv / "delay_costs.csv"));
    ASSERT_FALSE(phases.empty() || messages.empty() || waits.empty() || costs.empty());
    EXPECT_EQ(phases[0],
              "process,host,tid,nbr,type,type_name,start,shown_start,duration,tag,operations,partner_tid,comm_delay,"
              "comment");
    EXPECT_EQ(messages[0], "send_process,send_nbr,recv_process,recv_nbr,send_time,recv_time,delay");
    EXPECT_EQ(waits[0], "process,nbr,pattern,wait_time,transfer_time,cause_process,cause_nbr");
    EXPECT_EQ(costs[0], "cause_process,cause,short_term,long_term");
    EXPECT_EQ(phases.size(), model.phases.Size() + 1);
    // Every phase's type by ID and by name, the program's own and wrong calls too.
    const CommandResult types = RunCommand(
        "python3 -c 'import csv,sys; print(sorted({(int(r[\"type\"]), r[\"type_name\"]) for r in "
        "csv.DictReader(open(sys.argv[1], newline=\"\"))}))' " +
            ShellQuoted((csv / "phases.csv").string()),
        ErrorStream::Apart);
    ASSERT_EQ(types.status, 0) << types.errors;
    std::ostringstream expected;
    const std::set<int> occurring(model.phases.type.begin(), model.phases.type.end());
    expected << '[';
    for (int type : occurring)
        expected << (type == *occurring.begin() ? "" : ", ") << '(' << type << ", '"
                 << analysis::PhaseTypeName(type) << "')";
    expected << "]\n";
    EXPECT_EQ(types.output, expected.str());
    EXPECT_EQ(messages.size(), model.findings.messages.size() + 1);
    EXPECT_EQ(waits.size(), model.findings.waitStates.size() + 1);
    EXPECT_EQ(costs.size(), model.findings.delayCosts.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(Models, Exports, ::testing::Values("hand", "odd types", "overlap", "synthetic"),
                         [](const auto& info) { return std::string(info.param) == "odd types" ? "oddTypes" : info.param; });

// The payload that a page carries between its data script's tags.
json PagePayload(const std::string& page) {
    const std::string open = "<script type=\"application/json\" id=\"kova-data\">";
    const std::size_t from = page.find(open) + open.size();
    return json::parse(page.substr(from, page.find("</script>", from) - from));
}

TEST(HandModel, CsvRowsCarryTheValuesAndQuoteTheComments) {
    const ExperimentModel model = ThreeProcesses();
    ScratchFolder folder("report-csv", ScratchFolder::SystemTemp);
    report::ExportCsv(model, folder.path() / "csv");
    const auto phases = Lines(ReadFile(folder.path() / "csv" / "phases.csv"));
    const auto& ph = model.phases;
    std::ostringstream first;
    first << "100,node1,100,1,3,work," << ph.start[0] << ',' << ph.shownStart[0]
          << ",100,0,0,-1,0,\"set-up, \"\"quoted\"\"\"";
    EXPECT_EQ(phases.at(1), first.str());
    // The unreceived second tag-2 message: addressee C, receive number -1.
    const auto messages = Lines(ReadFile(folder.path() / "csv" / "messages.csv"));
    EXPECT_EQ(LinesStartingWith(messages, "100,4,300,-1,").size(), 1u);
}

TEST(HandModel, CsvRowsKeepAHostileHostNameInOneField) {
    ExperimentModel model = ThreeProcesses();
    model.processes[1].host = "node,\"2\"\nrow";
    ScratchFolder folder("report-csv-host", ScratchFolder::SystemTemp);
    report::ExportCsv(model, folder.path());
    // Python's csv module reads it back: one row per phase, 14 fields each.
    const CommandResult read = RunCommand(
        "python3 -c 'import csv,sys; rows=list(csv.reader(open(sys.argv[1], newline=\"\")));"
        " print(len(rows), set(len(r) for r in rows), sorted(set(r[1] for r in rows[1:])))' " +
            ShellQuoted((folder.path() / "phases.csv").string()),
        ErrorStream::Apart);
    ASSERT_EQ(read.status, 0) << read.errors;
    EXPECT_EQ(read.output, std::to_string(model.phases.Size() + 1) + " {14} ['node,\"2\"\\nrow', 'node1', 'node2']\n");
}

TEST(HandModel, PageIsThePayloadOfTheModelWithNothingThatEndsItsScriptEarly) {
    const ExperimentModel model = ThreeProcesses();
    std::ostringstream first, second;
    report::WriteHtmlReport(model, first, "2026-01-01 00:00:00 UTC");
    report::WriteHtmlReport(model, second, "2027-02-02 00:00:00 UTC");
    // The same model gives the same page but for the generation line.
    auto withoutGenerated = [](const std::string& page) {
        std::string kept;
        for (const auto& line : Lines(page))
            if (line.rfind("<meta name=\"generated\"", 0) != 0) kept += line + "\n";
        return kept;
    };
    EXPECT_NE(first.str(), second.str());
    EXPECT_EQ(withoutGenerated(first.str()), withoutGenerated(second.str()));

    const std::string page = first.str();
    EXPECT_EQ(page.find("</script><!--"), std::string::npos);
    EXPECT_NE(page.find("<title>KOVA experiment 42: hand &lt;made&gt;</title>"), std::string::npos);
    const json payload = PagePayload(page);
    EXPECT_EQ(payload["header"]["application"], "hand <made>");
    EXPECT_EQ(payload["phases"]["commentTexts"][payload["phases"]["comments"][1][1].get<int>()], "</script><!-- x");
    ASSERT_EQ(payload["lanes"].size(), 3u);
    EXPECT_EQ(payload["lanes"][0]["host"], "node1");
    EXPECT_TRUE(payload["lanes"][0]["master"]);
    EXPECT_EQ(payload["messages"]["send"].size(), ReceivedMessages(model));
    EXPECT_EQ(payload["messages"]["unreceivedSend"].size(), 1u);
    EXPECT_EQ(payload["phases"]["type"].size(), model.phases.Size());
    // Every phase starts where the one before it ended unless the payload moves it.
    EXPECT_EQ(payload["phases"]["moved"].size(), model.processes.size());
    // Wait states by idle phase with their causes, both delta-encoded.
    std::map<int, int> causeOf;
    for (const auto& w : model.findings.waitStates) causeOf[w.phase] = w.causePhase;
    ASSERT_EQ(payload["waits"]["phase"].size(), causeOf.size());
    long long phase = 0, cause = 0;
    auto expected = causeOf.begin();
    for (std::size_t k = 0; k < causeOf.size(); ++k, ++expected) {
        phase += payload["waits"]["phase"][k].get<long long>();
        cause += payload["waits"]["cause"][k].get<long long>();
        EXPECT_EQ(phase, expected->first);
        EXPECT_EQ(cause, expected->second);
    }
}

// What headless Chromium saw of a page (browser_check.js), its screenshot kept in
// the build's test-artifacts; extra: its further arguments.
json OpenInBrowser(const fs::path& page, const std::string& screenshot, const std::string& extra = "") {
    const fs::path artifacts = fs::path(KOVA_BINARY_DIR) / "test-artifacts";
    fs::create_directories(artifacts);
    const CommandResult run = RunCommand("node " + ShellQuoted(KOVA_SOURCE_DIR "/report/tests/browser_check.js") +
                                             " " + ShellQuoted(page.string()) + " " +
                                             ShellQuoted((artifacts / screenshot).string()) + " " + extra,
                                         ErrorStream::Apart);
    EXPECT_EQ(run.status, 0) << run.errors;
    const json seen = json::parse(run.output, nullptr, false);
    EXPECT_FALSE(seen.is_discarded() || seen.contains("failure")) << run.output;
    if (seen.is_discarded()) return json::object();
    EXPECT_EQ(seen["consoleErrors"], json::array());
    EXPECT_EQ(seen["pageErrors"], json::array());
    return seen;
}

// Lane labels as the page must show them, in lane order (by host, then tid): a
// process by its executable where known, else the master by the application's name
// and the slaves numbered; each with its host.
std::map<int, std::string> LaneLabels(const ExperimentModel& model) {
    std::vector<int> order(model.processes.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return std::tie(model.processes[a].host, model.processes[a].tid) <
               std::tie(model.processes[b].host, model.processes[b].tid);
    });
    std::map<int, std::string> labels;
    int slaves = 0;
    for (int k : order) {
        const std::string numbered =
            k == model.master ? model.header.application : "slave " + std::to_string(++slaves);
        const std::string& executable = model.processes[k].executable;
        labels[k] = (executable.empty() ? numbered : executable) + " · " + model.processes[k].host;
    }
    return labels;
}

// The report of a run without a sequential reference and with a partner outside the
// experiment, in headless Chromium: lanes named by process and host, the missing
// reference a note and no error flag, the outside task named as such.
TEST(Page, NamesLanesTheMissingReferenceAndTheTasksOutsideTheExperiment) {
    ExperimentModel model = ThreeProcesses(true, std::nullopt);
    // One slave's executable is known (as kova measure stores it), the others' not.
    model.processes[2].executable = "</td><b>worker";
    ASSERT_TRUE(model.header.errorFlags & analysis::kTseqNotInDb);
    ScratchFolder folder("report-page", ScratchFolder::SystemTemp);
    report::ExportHtmlReport(model, folder.path() / "report.html");
    const json seen = OpenInBrowser(folder.path() / "report.html", "hand-report.png");
    json labels = json::array();
    for (const auto& [process, label] : LaneLabels(model)) labels.push_back(label);
    std::sort(labels.begin(), labels.end());
    json shownLabels = seen["laneLabels"];
    std::sort(shownLabels.begin(), shownLabels.end());
    EXPECT_EQ(shownLabels, labels);
    EXPECT_EQ(seen["laneLabels"][0], "hand <made> · node1");
    EXPECT_NE(std::find(shownLabels.begin(), shownLabels.end(), "</td><b>worker · node2"), shownLabels.end());
    EXPECT_EQ(seen["figures"]["errorFlags"], std::to_string(model.header.errorFlags));
    EXPECT_EQ(seen["shownFigures"]["errorFlags"],
              analysis::ErrorFlagNames(model.header.errorFlags & ~analysis::kTseqNotInDb));
    EXPECT_EQ(seen["shownFigures"]["errorFlags"].get<std::string>().find("TSEQ"), std::string::npos);
    EXPECT_NE(seen["notes"].value("reference-note", "").find("No sequential reference"), std::string::npos)
        << seen["notes"].dump();
    EXPECT_EQ(seen["tables"]["outside-tasks"], json::parse(R"([["999", "1"]])"));
    // The run's length beside Tp, which it differs from here.
    ASSERT_NE(model.findings.runLength, model.header.Tp);
    EXPECT_EQ(seen["figures"].value("runLength", ""), std::to_string(model.findings.runLength));

    // With its reference: no note.
    report::ExportHtmlReport(ThreeProcesses(true), folder.path() / "referenced.html");
    const json referenced = OpenInBrowser(folder.path() / "referenced.html", "hand-referenced-report.png");
    EXPECT_FALSE(referenced["notes"].contains("reference-note"));
}

// A run whose probe stored its own cost, in headless Chromium: the metric tree shows
// each node's time without that cost beside the measured one, and a note says how
// large the correction was; a run without costs shows neither.
TEST(Page, ShowsTheTimesWithoutTheProbesCostBesideTheMeasuredOnes) {
    const ExperimentModel model = ThreeProcesses(false, 1000, true);
    ASSERT_TRUE(model.findings.compensation.known);
    EXPECT_EQ(model.findings.compensation.total, 14);
    EXPECT_EQ(model.findings.compensation.metricTree.time, model.findings.metricTree.time - 14);
    ScratchFolder folder("report-compensated", ScratchFolder::SystemTemp);
    report::ExportHtmlReport(model, folder.path() / "report.html");
    const json seen = OpenInBrowser(folder.path() / "report.html", "compensated-report.png");
    const json& rows = seen["tables"]["metric-tree"];
    ASSERT_FALSE(rows.empty()) << seen["tables"].dump();
    for (const json& row : rows) EXPECT_EQ(row.size(), 4u) << row.dump();
    // The whole run (between 1 and 10 ms, shown as ms with two decimals): 14 µs less
    // without the probe.
    auto shown = [](analysis::Time us) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f ms", static_cast<double>(us) / 1e3);
        return std::string(text);
    };
    ASSERT_GE(model.findings.metricTree.time, 1000);
    ASSERT_LT(model.findings.metricTree.time, 10000);
    EXPECT_EQ(rows[0][1], shown(model.findings.metricTree.time));
    EXPECT_EQ(rows[0][3], shown(model.findings.metricTree.time - 14));
    EXPECT_NE(seen["notes"].value("compensation-note", "").find("14 µs"), std::string::npos) << seen["notes"].dump();

    report::ExportHtmlReport(ThreeProcesses(), folder.path() / "plain.html");
    const json plain = OpenInBrowser(folder.path() / "plain.html", "uncompensated-report.png");
    EXPECT_FALSE(plain["notes"].contains("compensation-note"));
    for (const json& row : plain["tables"]["metric-tree"]) EXPECT_EQ(row.size(), 3u);
}

// The waits of a pipeline in headless Chromium: one row per pattern, waiting process
// and causing process with its count and total, the largest total first; a click on
// it opens its single waits.
TEST(Page, GroupsTheWaitsByPatternProcessAndCause) {
    const ExperimentModel model = Synthetic();
    const auto& ph = model.phases;
    const std::map<int, std::string> labels = LaneLabels(model);
    struct Group {
        int count = 0;
        analysis::Time total = 0;
    };
    std::map<std::tuple<std::string, std::string, std::string>, Group> groups;
    for (const auto& w : model.findings.waitStates) {
        Group& g = groups[{analysis::WaitPatternName(w.pattern), labels.at(ph.process[w.phase]),
                           w.causePhase >= 0 ? labels.at(ph.process[w.causePhase]) : "—"}];
        ++g.count;
        g.total += w.waitTime;
    }
    ASSERT_GT(model.findings.waitStates.size(), groups.size());
    ScratchFolder folder("report-waits", ScratchFolder::SystemTemp);
    report::ExportHtmlReport(model, folder.path() / "report.html");
    const json seen = OpenInBrowser(folder.path() / "report.html", "pipeline-report.png");
    const json& rows = seen["tables"]["wait-groups"];
    ASSERT_EQ(rows.size(), groups.size()) << rows.dump();
    std::map<std::tuple<std::string, std::string, std::string>, int> shown;
    for (const json& row : rows) shown[{row[0], row[1], row[2]}] = std::stoi(row[3].get<std::string>());
    analysis::Time largest = 0;
    int largestCount = 0;
    for (const auto& [key, g] : groups) {
        EXPECT_EQ(shown[key], g.count) << std::get<0>(key) << " " << std::get<1>(key) << " " << std::get<2>(key);
        if (g.total > largest) largest = g.total, largestCount = g.count;
    }
    // The first row is the largest total; its single waits open on a click.
    EXPECT_EQ(std::stoi(rows[0][3].get<std::string>()), largestCount);
    EXPECT_EQ(seen["waitDetails"].size(), static_cast<std::size_t>(std::min(largestCount, 100)));
}

// A 1 000 000-phase report in headless Chromium: at most 25 MB, no errors, a lane
// per process in bands when all of the run is shown, phases and message lines when
// zoomed in. (Its time to first draw is the benchmark's.)
TEST(MillionPhases, ReportStaysSmallAndShowsBandsThenTheDetail) {
    ExperimentModel model = analysis::MakeSyntheticPipeline(16, 1'000'000);
    analysis::Analyse(model, std::nullopt);
    ScratchFolder folder("report-million", ScratchFolder::SystemTemp);
    const fs::path page = folder.path() / "report.html";
    report::ExportHtmlReport(model, page);
    EXPECT_LE(fs::file_size(page), 25'000'000u);

    const fs::path artifacts = fs::path(KOVA_BINARY_DIR) / "test-artifacts";
    fs::create_directories(artifacts);
    const CommandResult run = RunCommand("node " + ShellQuoted(KOVA_SOURCE_DIR "/report/tests/browser_check.js") +
                                             " " + ShellQuoted(page.string()) + " " +
                                             ShellQuoted((artifacts / "million-phase-report.png").string()) +
                                             " 120000 0,0.2",
                                         ErrorStream::Apart);
    ASSERT_EQ(run.status, 0) << run.errors;
    const json seen = json::parse(run.output, nullptr, false);
    ASSERT_FALSE(seen.is_discarded() || seen.contains("failure")) << run.output;
    EXPECT_EQ(seen["consoleErrors"], json::array());
    EXPECT_EQ(seen["pageErrors"], json::array());
    EXPECT_EQ(seen["lanes"], 16);
    EXPECT_EQ(seen["bandLanes"], 16);
    EXPECT_EQ(seen["messageLines"], 0);  // too many to draw: the page says so
    EXPECT_EQ(seen["zoomed"]["bandLanes"], 0);
    EXPECT_GT(seen["zoomed"]["messageLines"], 0);
    EXPECT_EQ(seen["figures"]["processes"], "16");
}

TEST(Colours, FollowThePhaseTypeTree) {
    auto hue = [](int type) { return report::PhaseTypeColour(type).substr(0, 8); };
    EXPECT_EQ(hue(analysis::kWork), hue(analysis::kOverhead));
    EXPECT_EQ(hue(analysis::kWork), hue(analysis::kSpawn));
    EXPECT_EQ(hue(analysis::kSend), hue(analysis::kRecv));
    EXPECT_NE(hue(analysis::kWork), hue(analysis::kSend));
    EXPECT_NE(hue(analysis::kIdle), hue(analysis::kSend));
    EXPECT_NE(report::PhaseTypeColour(analysis::kWork), report::PhaseTypeColour(analysis::kOverhead));
    EXPECT_NE(report::PhaseTypeColour(analysis::kSend), report::PhaseTypeColour(analysis::kRecv));
}

TEST(OutputPaths, FailuresLeaveNothingAndKeepWhatWasThere) {
    ScratchFolder folder("report-outputs", ScratchFolder::SystemTemp);
    const ExperimentModel model = ThreeProcesses();
    // A folder that does not exist.
    try {
        report::ExportPerfetto(model, folder.path() / "missing" / "trace.json");
        ADD_FAILURE() << "no error";
    } catch (const analysis::Error& e) {
        EXPECT_EQ(e.ExitStatus(), analysis::kExitFailure);
        EXPECT_NE(std::string(e.what()).find("cannot write " + (folder.path() / "missing").string()),
                  std::string::npos)
            << e.what();
    }
    // A write that fails half-way keeps the earlier file and leaves no temporary.
    const fs::path page = folder.path() / "report.html";
    report::ExportHtmlReport(model, page);
    const std::string before = ReadFile(page);
    EXPECT_THROW(report::WriteFileAtomically(page,
                                             [](std::ostream& out) {
                                                 out << "half";
                                                 throw analysis::Error("stopped");
                                             }),
                 analysis::Error);
    EXPECT_EQ(ReadFile(page), before);
    // Only the outputs are left.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.path())) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"report.html"}));
    // A file cannot take the place of a folder, nor a folder export that of a file.
    fs::create_directory(folder.path() / "csv");
    EXPECT_THROW(report::ExportHtmlReport(model, folder.path() / "csv"), analysis::Error);
    EXPECT_THROW(report::ExportCsv(model, page), analysis::Error);
    EXPECT_EQ(ReadFile(page), before);
}

std::set<std::string> EntriesOf(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

TEST(OutputPaths, FolderExportsWriteBesideTheUsersFilesAndReplaceOnlyTheirOwn) {
    ScratchFolder scratch("report-into", ScratchFolder::SystemTemp);
    const ExperimentModel model = ThreeProcesses();
    const fs::path results = scratch.path() / "results";
    fs::create_directories(results / "mine");
    std::ofstream(results / "notes.txt") << "the user's";
    std::ofstream(results / "mine" / "data.txt") << "also the user's";
    std::ofstream(results / "phases.csv") << "an earlier export";

    report::ExportCsv(model, results);
    report::ExportOtf2(model, results);
    // Again: the earlier archive (and its folder of location files) is replaced.
    report::ExportOtf2(ThreeProcesses(), results);
    EXPECT_EQ(EntriesOf(results),
              (std::set<std::string>{"notes.txt", "mine", "phases.csv", "messages.csv", "wait_states.csv",
                                     "delay_costs.csv", "traces.otf2", "traces.def", "traces"}));
    EXPECT_EQ(ReadFile(results / "notes.txt"), "the user's");
    EXPECT_EQ(ReadFile(results / "mine" / "data.txt"), "also the user's");
    EXPECT_EQ(Lines(ReadFile(results / "phases.csv")).size(), model.phases.Size() + 1);
    ExpectMessagesInOrder(ReadOtf2Events(results / "traces.otf2"));

    // A folder of the archive's name that holds the user's files is in the way.
    const fs::path other = scratch.path() / "other";
    fs::create_directories(other / "traces");
    std::ofstream(other / "traces" / "plan.txt") << "keep";
    try {
        report::ExportOtf2(model, other);
        ADD_FAILURE() << "no error";
    } catch (const analysis::Error& e) {
        EXPECT_EQ(e.ExitStatus(), analysis::kExitFailure);
        EXPECT_NE(std::string(e.what()).find((other / "traces").string() + " is in the way"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(EntriesOf(other), (std::set<std::string>{"traces"}));
    EXPECT_EQ(EntriesOf(other / "traces"), (std::set<std::string>{"plan.txt"}));

    // The current folder as the destination.
    const fs::path here = fs::current_path();
    fs::current_path(other / "traces");
    report::ExportCsv(model, ".");
    fs::current_path(here);
    EXPECT_EQ(EntriesOf(other / "traces"),
              (std::set<std::string>{"plan.txt", "phases.csv", "messages.csv", "wait_states.csv", "delay_costs.csv"}));
}

TEST(OutputPaths, DevicesPipesAndDescriptorsAreWrittenWhereTheyStand) {
    ScratchFolder scratch("report-devices", ScratchFolder::SystemTemp);
    const ExperimentModel model = ThreeProcesses();
    std::ostringstream page;
    report::WriteHtmlReport(model, page, "now");
    auto isCharacterDevice = [](const char* path) { return fs::is_character_file(fs::symlink_status(path)); };

    report::ExportHtmlReport(model, "/dev/null");
    EXPECT_TRUE(isCharacterDevice("/dev/null"));
    try {
        report::ExportHtmlReport(model, "/dev/full");
        ADD_FAILURE() << "no error";
    } catch (const analysis::Error& e) {
        EXPECT_EQ(e.ExitStatus(), analysis::kExitFailure);
        EXPECT_EQ(std::string(e.what()), "cannot write /dev/full: No space left on device");
    }
    EXPECT_TRUE(isCharacterDevice("/dev/full"));

    // A named pipe: the reader gets the page, the pipe stays a pipe.
    const fs::path fifo = scratch.path() / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = ReadFile(fifo); });
    report::ExportHtmlReport(model, fifo);
    reader.join();
    EXPECT_GT(received.size(), 1000u);
    EXPECT_EQ(received.substr(0, 15), page.str().substr(0, 15));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));

    // A descriptor of this process named through /dev/fd: written after what it holds.
    const fs::path log = scratch.path() / "log.txt";
    std::ofstream(log) << "before\n";
    const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    report::WriteFileAtomically("/dev/fd/" + std::to_string(fd), [](std::ostream& out) { out << "after\n"; });
    close(fd);
    EXPECT_EQ(ReadFile(log), "before\nafter\n");

    // A link to a file stays a link; the file it leads to is replaced.
    const fs::path target = scratch.path() / "target.html", link = scratch.path() / "link.html";
    std::ofstream(target) << "old";
    fs::create_symlink(target, link);
    report::ExportHtmlReport(model, link);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
    EXPECT_EQ(ReadFile(target).substr(0, 15), page.str().substr(0, 15));
    EXPECT_EQ(EntriesOf(scratch.path()), (std::set<std::string>{"pipe", "log.txt", "target.html", "link.html"}));
}

// Every file below folder (hidden ones too) with its content.
std::map<std::string, std::string> Contents(const fs::path& folder) {
    std::map<std::string, std::string> contents;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        contents[fs::relative(entry.path(), folder).string()] = entry.is_regular_file() ? ReadFile(entry.path()) : "";
    return contents;
}

// Small file systems mounted in a mount namespace of this test's own process, so
// that nothing outside it sees them.
class SmallDisk : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << std::strerror(errno);
        ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    }
    void TearDown() override {
        for (auto at = mounts.rbegin(); at != mounts.rend(); ++at) umount2(at->c_str(), MNT_DETACH);
    }
    void Mount(const fs::path& source, const fs::path& at, const char* type, unsigned long flags,
               const std::string& options = "") {
        ASSERT_EQ(mount(source.c_str(), at.c_str(), type, flags, options.empty() ? nullptr : options.c_str()), 0)
            << at << ": " << std::strerror(errno);
        mounts.push_back(at);
    }
    // The exports of model into folder: HTML and Perfetto files and the CSV and OTF2 folders.
    static void ExportAll(const ExperimentModel& model, const fs::path& folder) {
        report::ExportHtmlReport(model, folder / "report.html");
        report::ExportPerfetto(model, folder / "trace.json");
        report::ExportCsv(model, folder);
        report::ExportOtf2(model, folder);
    }
    ScratchFolder scratch{"report-small-disk", ScratchFolder::SystemTemp};
    std::vector<fs::path> mounts;
};

// A million phases on a disk of 3 MB that holds the exports of a small run: each
// export fails with the system's reason, and leaves the earlier files as they were
// and nothing of its own (the OTF2 library itself crashes on such a disk).
TEST_F(SmallDisk, ExportsThatDoNotFitFailWholeAndKeepTheEarlierFiles) {
    const fs::path disk = scratch.path() / "disk";
    fs::create_directory(disk);
    Mount("tmpfs", disk, "tmpfs", 0, "size=3000k");
    ExportAll(ThreeProcesses(), disk);
    const auto before = Contents(disk);
    ASSERT_EQ(before.count("traces.otf2"), 1u);

    ExperimentModel large = analysis::MakeSyntheticPipeline(3, 1'000'000);
    analysis::Analyse(large, std::nullopt);
    const std::vector<std::pair<std::string, std::function<void()>>> exports = {
        {"html", [&] { report::ExportHtmlReport(large, disk / "report.html"); }},
        {"perfetto", [&] { report::ExportPerfetto(large, disk / "trace.json"); }},
        {"csv", [&] { report::ExportCsv(large, disk); }},
        {"otf2", [&] { report::ExportOtf2(large, disk); }},
        {"otf2 into a new folder", [&] { report::ExportOtf2(large, disk / "new"); }}};
    for (const auto& [name, write] : exports) {
        try {
            write();
            ADD_FAILURE() << name << ": no error";
        } catch (const analysis::Error& e) {
            EXPECT_EQ(e.ExitStatus(), analysis::kExitFailure) << name;
            EXPECT_NE(std::string(e.what()).find(": No space left on device"), std::string::npos)
                << name << ": " << e.what();
        }
        EXPECT_TRUE(Contents(disk) == before) << name;
    }
}

// A CSV export whose third file cannot replace the earlier one (a file mounted over
// it) leaves the earlier four files, none of the new ones and no temporary.
TEST_F(SmallDisk, CsvExportThatCannotReplaceOneFileKeepsTheEarlierSet) {
    const fs::path folder = scratch.path() / "csv";
    report::ExportCsv(ThreeProcesses(), folder);
    const auto before = Contents(folder);
    Mount(folder / "phases.csv", folder / "phases.csv", nullptr, MS_BIND);
    try {
        report::ExportCsv(OddTypes(), folder);
        ADD_FAILURE() << "no error";
    } catch (const analysis::Error& e) {
        EXPECT_EQ(e.ExitStatus(), analysis::kExitFailure);
        EXPECT_EQ(std::string(e.what()), "cannot write " + (folder / "phases.csv").string() +
                                             ": Device or resource busy");
    }
    EXPECT_TRUE(Contents(folder) == before);
    // Earlier OTF2 archives are folders: the same holds for them.
    report::ExportOtf2(ThreeProcesses(), folder);
    const auto withArchive = Contents(folder);
    Mount(folder / "traces.otf2", folder / "traces.otf2", nullptr, MS_BIND);
    EXPECT_THROW(report::ExportOtf2(OddTypes(), folder), analysis::Error);
    EXPECT_TRUE(Contents(folder) == withArchive);
}

}  // namespace
