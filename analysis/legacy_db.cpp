#include "analysis/legacy_db.h"

#include "analysis/error.h"
#include "analysis/stored_text.h"

#include <kova_site.h>
#include "msql/msql.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace analysis {

namespace {

const char* const kDatabase = "parallel_performance";
constexpr Time kDay = 86400LL * 1000000;

using Row = std::vector<std::string>;

// A read-only connection to the legacy database. The mSQL client keeps one pending
// result per process, so every select is stored and read before the next.
class LegacyConnection {
public:
    LegacyConnection() : mSock(msqlConnect(KOVA_MSQL_HOST)) {
        if (mSock < 0)
            throw Error(std::string("cannot reach the legacy database server at ") + KOVA_MSQL_HOST + ": " +
                        msqlErrMsg);
        if (msqlSelectDB(mSock, kDatabase) < 0) {
            const std::string why = msqlErrMsg;
            msqlClose(mSock);
            throw Error(std::string("cannot select the legacy database ") + kDatabase + ": " + why);
        }
    }
    ~LegacyConnection() { msqlClose(mSock); }
    LegacyConnection(const LegacyConnection&) = delete;
    LegacyConnection& operator=(const LegacyConnection&) = delete;

    // Every row of a select as UTF-8 text, NULL values as "".
    std::vector<Row> Rows(const std::string& select) {
        if (msqlQuery(mSock, select.c_str()) < 0)
            throw Error("the legacy database refused \"" + select + "\": " + msqlErrMsg);
        m_result* result = msqlStoreResult();
        std::vector<Row> rows;
        if (!result) return rows;
        while (m_row row = msqlFetchRow(result)) {
            Row& values = rows.emplace_back();
            for (int k = 0; k < msqlNumFields(result); ++k)
                values.push_back(row[k] ? Utf8FromStored(row[k]) : std::string());
        }
        msqlFreeResult(result);
        return rows;
    }

private:
    int mSock;
};

long long Number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// The legacy recorder's five kinds, in the column order of its summary rows.
enum LegacyKind { kCalculating, kPartitioning, kCommunication, kSynchronisation, kBlocking, kNbrKinds };

const char* const kSummaryColumns = "Experiment_No, CPU_No, calculating, partitioning, communication, "
                                    "synchronisation, blocking, host, start_seconds, start_useconds, tid";

// A summary row of table analysis.
struct Summary {
    int experiment = 0;
    int cpu = 0;
    Time totals[kNbrKinds] = {};
    std::string host;
    Time start = 0;  // µs since midnight on the master's clock
    int tid = 0;

    explicit Summary(const Row& row)
        : experiment(static_cast<int>(Number(row[0]))), cpu(static_cast<int>(Number(row[1]))), host(row[7]),
          start(Number(row[8]) * 1000000 + Number(row[9])), tid(static_cast<int>(Number(row[10]))) {
        for (int kind = 0; kind < kNbrKinds; ++kind) totals[kind] = Number(row[2 + kind]);
    }
    Time Total() const {
        Time sum = 0;
        for (Time total : totals) sum += total;
        return sum;
    }
};

// The phase type of a legacy phase. Communication without a partner has no known
// direction and stays in the communication category; blocking is waiting.
int PhaseType(const std::string& name, int partnerTid, bool sent) {
    if (name == "comp") return kWork;
    if (name == "part") return kPart;
    if (name == "sync") return kSync;
    if (name == "blok") return kIdle;
    if (name == "comm") return partnerTid == 0 ? kComm : sent ? kSend : kRecv;
    return -1;
}

ExperimentHeader Header(const Row& row, const std::vector<Summary>& summaries) {
    ExperimentHeader header;
    header.source = Source::kLegacy;
    header.id = static_cast<int>(Number(row[0]));
    header.p = static_cast<int>(Number(row[1]));
    header.user = row[2];
    header.date = row[3];
    while (!header.date.empty() && (header.date.back() == '\n' || header.date.back() == ' ')) header.date.pop_back();
    header.application = row[4];
    header.comment = row[5];
    header.Ts = Number(row[6]);
    header.speedup = static_cast<float>(std::atof(row[7].c_str()));
    header.W = static_cast<int>(Number(row[8]));
    header.nbrProcesses = static_cast<int>(summaries.size());
    bool hasMaster = false;
    for (const Summary& summary : summaries)
        if (summary.cpu == 0) {
            hasMaster = true;
            header.Tp = summary.Total();
        }
    // The last process to finish writes the totals once all p summary rows are there.
    header.statusData = hasMaster && header.nbrProcesses >= header.p && header.p > 0 ? kFinished : kStarted;
    if (header.Ts > 0 && header.p > 0) header.efficiency = header.speedup / header.p;
    return header;
}

const char* const kExperimentColumns =
    "Experiment_No, Number_of_CPUs, user, datum, Experiment_name, Comments, sequential_time, speed_up, W";

std::vector<Summary> Summaries(LegacyConnection& db, const std::string& where) {
    std::vector<Summary> summaries;
    for (const Row& row : db.Rows(std::string("SELECT ") + kSummaryColumns + " FROM analysis" + where))
        summaries.emplace_back(row);
    return summaries;
}

}  // namespace

std::vector<ExperimentHeader> ListLegacyExperiments(const std::string& user, const std::string& application) {
    LegacyConnection db;
    std::map<int, std::vector<Summary>> byExperiment;
    for (Summary& summary : Summaries(db, "")) byExperiment[summary.experiment].push_back(std::move(summary));
    std::vector<ExperimentHeader> headers;
    for (const Row& row : db.Rows(std::string("SELECT ") + kExperimentColumns + " FROM experiments")) {
        ExperimentHeader header = Header(row, byExperiment[static_cast<int>(Number(row[0]))]);
        if ((user.empty() || header.user == user) && (application.empty() || header.application == application))
            headers.push_back(std::move(header));
    }
    std::sort(headers.begin(), headers.end(),
              [](const ExperimentHeader& a, const ExperimentHeader& b) { return a.id < b.id; });
    return headers;
}

ExperimentModel LoadLegacyExperiment(int expID) {
    LegacyConnection db;
    const std::string where = " WHERE Experiment_No = " + std::to_string(expID);
    const std::vector<Row> experiment = db.Rows(std::string("SELECT ") + kExperimentColumns + " FROM experiments" + where);
    if (experiment.empty()) throw Error("no legacy experiment " + std::to_string(expID), kExitNotFound);

    std::vector<Summary> summaries = Summaries(db, where);
    std::sort(summaries.begin(), summaries.end(), [](const Summary& a, const Summary& b) { return a.cpu < b.cpu; });
    ExperimentModel model;
    model.header = Header(experiment[0], summaries);

    std::vector<Row> phases = db.Rows(
        "SELECT CPU_No, phase_counter, phase, phase_length, value, partner_tid, sent FROM time_measurements" + where);

    // Processes by CPU number: those with a summary row, and any that left phases only
    // (a process that ended before writing its summary).
    std::map<int, const Summary*> summaryOfCpu;
    for (const Summary& summary : summaries) summaryOfCpu[summary.cpu] = &summary;
    std::map<int, int> processOfCpu;
    for (const Row& row : phases) summaryOfCpu.emplace(static_cast<int>(Number(row[0])), nullptr);
    const Time masterStart = summaries.empty() ? 0 : summaries.front().start;
    for (const auto& [cpu, summary] : summaryOfCpu) {
        processOfCpu[cpu] = static_cast<int>(model.processes.size());
        ProcessModel& process = model.processes.emplace_back();
        if (!summary) {
            process.id = -1 - cpu;  // no task identifier was stored for it
            process.tid = -1;
            continue;
        }
        process.id = summary->tid;
        process.tid = summary->tid;
        process.host = summary->host;
        // Seconds since midnight: a start more than half a day before the master's lies
        // after midnight.
        process.start = summary->start + (summary->start < masterStart - kDay / 2 ? kDay : 0);
        process.hasTotals = true;
        process.totals[kWork] = summary->totals[kCalculating];
        process.totals[kPart] = summary->totals[kPartitioning];
        process.totals[kComm] = summary->totals[kCommunication];
        process.totals[kSync] = summary->totals[kSynchronisation];
        process.totals[kIdle] = summary->totals[kBlocking];
    }

    std::sort(phases.begin(), phases.end(), [](const Row& a, const Row& b) {
        return std::make_pair(Number(a[0]), Number(a[1])) < std::make_pair(Number(b[0]), Number(b[1]));
    });
    model.phases.Reserve(phases.size());
    for (const Row& row : phases) {
        const int processIndex = processOfCpu.at(static_cast<int>(Number(row[0])));
        const int partner = static_cast<int>(Number(row[5]));
        const bool sent = Number(row[6]) != 0;
        const int type = PhaseType(row[2], partner, sent);
        if (type < 0)
            throw Error("legacy experiment " + std::to_string(expID) + " has a phase of unknown kind \"" + row[2] + "\"");
        const Time length = Number(row[3]);
        model.phases.Add(processIndex, static_cast<int>(Number(row[1])), type, length,
                         static_cast<int>(Number(row[4])), 0, partner == 0 ? -1 : partner, sent, std::string());
        // The stored communication total covers every direction: what the phases
        // show as sends and receives moves to those types.
        ProcessModel& process = model.processes[processIndex];
        if (process.hasTotals && (type == kSend || type == kRecv)) {
            process.totals[type] += length;
            process.totals[kComm] -= length;
        }
    }
    model.header.nbrProcesses = static_cast<int>(model.processes.size());
    model.IndexPhases();
    return model;
}

}  // namespace analysis
