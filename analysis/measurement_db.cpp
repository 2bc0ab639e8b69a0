#include "analysis/measurement_db.h"

#include "analysis/error.h"
#include "analysis/records.h"
#include "analysis/stored_text.h"

#include "probe/KOVAData.h"
#include "probe/replacement.h"
#include "persist/bulkread.h"
#include "persist/dbDescribable.h"
#include "persist/standarddatabase.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <sstream>
#include <thread>
#include <cmath>
#include <cstdio>
#include <limits>
#include <unordered_map>

namespace analysis {

namespace {

ExperimentHeader HeaderOf(const Experiment& row) {
    ExperimentHeader header;
    header.source = Source::kMeasurement;
    header.id = row.mID;
    header.project = Utf8FromStored(row.mProject);
    header.application = Utf8FromStored(row.mName);
    header.version = Utf8FromStored(row.mVersion);
    header.user = Utf8FromStored(row.mUser);
    header.date = Utf8FromStored(row.mDate);
    header.comment = Utf8FromStored(row.mComment);
    header.p = row.mP;
    header.W = row.mW;
    header.nbrProcesses = row.mNbrProcesses;
    header.Tp = row.mTp;
    header.Ts = row.mTs;
    header.speedup = row.mSpeedup;
    header.efficiency = row.mEfficiency;
    header.statusData = row.mStatusData;
    header.errorFlags = row.mErrorFlags;
    header.errors = Utf8FromStored(row.mErrors);
    return header;
}

bool TableExists(StandardDatabase& db, const std::string& table) {
    return !db.QueryFirst("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() "
                          "AND TABLE_NAME = '" + table + "'")
                .empty();
}

// The server's error codes of a transaction that lost a lock conflict.
constexpr unsigned int kDeadlock = 1213, kLockWaitTimeout = 1205;

// The length of a message in bytes, from its send's details or else its receive's; 0
// when not known.
long long MessageBytes(const PhaseColumns& phases, const Message& message) {
    const long long sent = phases.Detail(message.sendPhase).bytes;
    return sent > 0 || message.recvPhase < 0 ? sent : phases.Detail(message.recvPhase).bytes;
}

// Multi-row statements of one table, sent whenever the text grows past a limit.
class RowWriter {
public:
    RowWriter(StandardDatabase& db, std::string head, std::string tail = "")
        : mDb(db), mHead(std::move(head)), mTail(std::move(tail)) {}
    // Starts a row; append its values with Value and end it with EndRow.
    void BeginRow() {
        mText += mRows == 0 ? mHead + " VALUES (" : ",(";
        mFirstValue = true;
    }
    void Value(long long value) {
        Comma();
        char digits[24];
        mText.append(digits, std::snprintf(digits, sizeof digits, "%lld", value));
    }
    void Value(double value) {
        Comma();
        char digits[32];
        mText.append(digits, std::snprintf(digits, sizeof digits, "%.9g", value));
    }
    void Text(const char* value) {
        Comma();
        (mText += '\'') += value;
        mText += '\'';
    }
    void EndRow() {
        mText += ')';
        if (++mRows >= kRowsPerStatement) Flush();
    }
    void Flush() {
        if (mRows == 0) return;
        mDb.Query(mText + mTail);
        mText.clear();
        mRows = 0;
    }
private:
    static constexpr int kRowsPerStatement = 10000;
    void Comma() {
        if (!mFirstValue) mText += ',';
        mFirstValue = false;
    }
    StandardDatabase& mDb;
    std::string mHead, mTail, mText;
    int mRows = 0;
    bool mFirstValue = true;
};

// The findings of each pass, written in one transaction by StoreFindings.
void WriteExperimentRow(StandardDatabase& db, const ExperimentHeader& header) {
    Experiment row;
    DbConvertor convertor(&db);
    row.mID = header.id;
    if (!convertor.ReadObj(row)) throw Error("experiment " + std::to_string(header.id) + " vanished while it was analysed");
    row.mTp = header.Tp;
    row.mTs = header.Ts;
    row.mSpeedup = header.speedup;
    row.mEfficiency = header.efficiency;
    row.mStatusData = header.statusData;
    row.mErrorFlags = header.errorFlags;
    row.mErrors = header.errors;
    convertor.WriteObj(row);
}

void WriteTotals(StandardDatabase& db, const ExperimentModel& model) {
    const std::string expID = std::to_string(model.header.id);
    db.Query("DELETE FROM PhaseDurations WHERE expID = " + expID + " AND processID = -1");
    RowWriter rows(db, "INSERT INTO PhaseDurations (expID, processID, phaseTypeID, duration, ratio)",
                   " ON DUPLICATE KEY UPDATE ratio = VALUES(ratio)");
    const auto& findings = model.findings;
    for (const ProcessModel& process : model.processes) {
        if (!process.hasTotals) continue;
        for (const auto& [type, total] : process.totals) {
            if (total == 0) continue;
            const auto ratio = process.ratios.find(type);
            rows.BeginRow();
            rows.Value(static_cast<long long>(model.header.id));
            rows.Value(static_cast<long long>(process.id));
            rows.Value(static_cast<long long>(type));
            rows.Value(total);
            rows.Value(static_cast<double>(ratio == process.ratios.end() ? 0.0f : ratio->second));
            rows.EndRow();
        }
    }
    Time measured = 0;
    for (const auto& [type, total] : findings.experimentTotals) measured += total;
    for (const auto& [type, total] : findings.experimentTotals) {
        if (total == 0) continue;
        rows.BeginRow();
        rows.Value(static_cast<long long>(model.header.id));
        rows.Value(-1LL);
        rows.Value(static_cast<long long>(type));
        rows.Value(total);
        rows.Value(measured > 0 ? static_cast<double>(total) / measured : 0.0);
        rows.EndRow();
    }
    rows.Flush();
}

void WritePhaseTimes(StandardDatabase& db, const ExperimentModel& model) {
    RowWriter rows(db, "INSERT INTO Phases (expID, processID, nbr, startTime, commDelay)",
                   " ON DUPLICATE KEY UPDATE startTime = VALUES(startTime), commDelay = VALUES(commDelay)");
    const PhaseColumns& phases = model.phases;
    for (std::size_t i = 0; i < phases.Size(); ++i) {
        rows.BeginRow();
        rows.Value(static_cast<long long>(model.header.id));
        rows.Value(static_cast<long long>(model.processes[phases.process[i]].id));
        rows.Value(static_cast<long long>(phases.nbr[i]));
        rows.Value(phases.start[i]);
        // The stored column is 32-bit: a longer delay is kept at its limit.
        rows.Value(std::clamp<Time>(model.CommDelay(i), std::numeric_limits<int32_t>::min(),
                                    std::numeric_limits<int32_t>::max()));
        rows.EndRow();
    }
    rows.Flush();
}

void WriteMessages(StandardDatabase& db, const ExperimentModel& model) {
    const std::string expID = std::to_string(model.header.id);
    db.Query("DELETE FROM Messages WHERE expID = " + expID);
    RowWriter rows(db, "INSERT INTO Messages (expID, sendProcessID, sendNbr, recvProcessID, recvNbr, sendTime, "
                       "recvTime, delay, askedSource, askedTag, bytes)");
    const PhaseColumns& phases = model.phases;
    for (const Message& message : model.findings.messages) {
        rows.BeginRow();
        rows.Value(static_cast<long long>(model.header.id));
        rows.Value(static_cast<long long>(model.processes[message.sendProcess].id));
        rows.Value(static_cast<long long>(phases.nbr[message.sendPhase]));
        rows.Value(static_cast<long long>(model.processes[message.recvProcess].id));
        rows.Value(static_cast<long long>(message.recvPhase >= 0 ? phases.nbr[message.recvPhase] : -1));
        rows.Value(message.sendTime);
        rows.Value(message.recvTime);
        rows.Value(message.delay);
        const PhaseDetail& asked = message.recvPhase >= 0 ? phases.Detail(message.recvPhase) : PhaseDetail{};
        rows.Value(static_cast<long long>(message.recvPhase >= 0 ? asked.askedSource : kAskedNotKnown));
        rows.Value(static_cast<long long>(message.recvPhase >= 0 ? asked.askedTag : kAskedNotKnown));
        rows.Value(static_cast<long long>(MessageBytes(phases, message)));
        rows.EndRow();
    }
    rows.Flush();
}

void WriteWaitStates(StandardDatabase& db, const ExperimentModel& model) {
    const std::string expID = std::to_string(model.header.id);
    db.Query("DELETE FROM WaitStates WHERE expID = " + expID);
    RowWriter rows(db, "INSERT INTO WaitStates (expID, processID, nbr, pattern, waitTime, causeProcessID, causeNbr)");
    const PhaseColumns& phases = model.phases;
    for (const WaitState& wait : model.findings.waitStates) {
        rows.BeginRow();
        rows.Value(static_cast<long long>(model.header.id));
        rows.Value(static_cast<long long>(model.processes[phases.process[wait.phase]].id));
        rows.Value(static_cast<long long>(phases.nbr[wait.phase]));
        rows.Text(WaitPatternName(wait.pattern));
        rows.Value(wait.waitTime);
        const bool caused = wait.causePhase >= 0;
        rows.Value(static_cast<long long>(caused ? model.processes[phases.process[wait.causePhase]].id : -1));
        rows.Value(static_cast<long long>(caused ? phases.nbr[wait.causePhase] : -1));
        rows.EndRow();
    }
    rows.Flush();
}

// Calls onRow with the fields of every row of a query, streamed; the fields of a NULL
// value are null. A failing query is an Error.
template <typename OnRow>
void ForEachRow(StandardDatabase& db, const std::string& query, OnRow&& onRow) {
    MYSQL_RES* result = nullptr;
    try {
        result = db.QueryRowsStreamed(query);
    } catch (const DatabaseError& failure) {
        throw Error("reading the measurement database failed: " + failure.serverMessage());
    }
    if (result == nullptr) return;
    while (MYSQL_ROW row = mysql_fetch_row(result)) onRow(row);
    const bool failed = mysql_errno(db.Handle()) != 0;
    const std::string message = failed ? mysql_error(db.Handle()) : "";
    mysql_free_result(result);
    if (failed) throw Error("reading the measurement database failed: " + message);
}

long long Number(const char* field) { return field == nullptr ? 0 : std::atoll(field); }

// The phase of process index p with number nbr, -1 when it has none.
int32_t PhaseOf(const ExperimentModel& model, int p, int nbr) {
    const ProcessModel& process = model.processes[p];
    const auto begin = model.phases.nbr.begin() + process.firstPhase, end = begin + process.nbrPhases;
    const auto found = std::lower_bound(begin, end, nbr);
    return found != end && *found == nbr ? static_cast<int32_t>(found - model.phases.nbr.begin()) : -1;
}

// PhaseDetails of the experiment: what receives asked for, message lengths and the
// collectives' groups, instances, kinds and roots. A row of no stored phase is counted.
void ReadPhaseDetails(StandardDatabase& db, int expID, const std::unordered_map<int, int>& indexOfID,
                      ExperimentModel& model) {
    int orphans = 0, unknownKinds = 0;
    ForEachRow(db,
               "SELECT processID, nbr, askedSource, askedTag, bytes, groupName, instance, collective, root "
               "FROM PhaseDetails WHERE expID = " + std::to_string(expID),
               [&](MYSQL_ROW row) {
                   const auto process = indexOfID.find(static_cast<int>(Number(row[0])));
                   const int32_t phase =
                       process == indexOfID.end() ? -1 : PhaseOf(model, process->second, static_cast<int>(Number(row[1])));
                   if (phase < 0) {
                       ++orphans;
                       return;
                   }
                   PhaseDetail detail;
                   detail.askedSource = row[2] == nullptr ? kAskedNotKnown : static_cast<int32_t>(Number(row[2]));
                   detail.askedTag = row[3] == nullptr ? kAskedNotKnown : static_cast<int32_t>(Number(row[3]));
                   detail.bytes = std::max<long long>(0, Number(row[4]));
                   const std::string kind = row[7] == nullptr ? "" : row[7];
                   detail.collective = CollectiveOfName(kind);
                   if (detail.collective == Collective::kNone && !kind.empty()) ++unknownKinds;
                   if (detail.collective != Collective::kNone) {
                       detail.group = model.phases.InternGroup(Utf8FromStored(row[5] == nullptr ? "" : row[5]));
                       detail.instance = static_cast<int32_t>(Number(row[6]));
                       detail.root = row[8] == nullptr ? -1 : static_cast<int32_t>(Number(row[8]));
                   }
                   model.phases.SetDetail(static_cast<std::size_t>(phase), detail);
               });
    if (orphans > 0)
        model.loadProblems.push_back(std::to_string(orphans) + " phase details belong to no stored phase");
    if (unknownKinds > 0)
        model.loadProblems.push_back(std::to_string(unknownKinds) +
                                          " phase details name a collective of an unknown kind");
}

bool ColumnExists(StandardDatabase& db, const std::string& table, const std::string& column) {
    return !db.QueryFirst("SELECT COLUMN_NAME FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() "
                          "AND TABLE_NAME = '" + table + "' AND COLUMN_NAME = '" + column + "'")
                .empty();
}

// The executables of the experiment's processes (stored by kova measure only).
void ReadExecutables(StandardDatabase& db, int expID, const std::unordered_map<int, int>& indexOfID,
                     ExperimentModel& model) {
    ForEachRow(db, "SELECT ID, executable FROM Processes WHERE expID = " + std::to_string(expID),
               [&](MYSQL_ROW row) {
                   const auto process = indexOfID.find(static_cast<int>(Number(row[0])));
                   if (process == indexOfID.end() || row[1] == nullptr) return;
                   model.processes[process->second].executable = Utf8FromStored(row[1]);
               });
}

// ProbeCosts of the experiment: each task's recorded calls and cost per call.
void ReadProbeCosts(StandardDatabase& db, int expID, const std::unordered_map<int, int>& indexOfID,
                    ExperimentModel& model) {
    ForEachRow(db, "SELECT processID, recordedCalls, nsPerCall FROM ProbeCosts WHERE expID = " + std::to_string(expID),
               [&](MYSQL_ROW row) {
                   const auto process = indexOfID.find(static_cast<int>(Number(row[0])));
                   if (process == indexOfID.end()) return;
                   ProcessModel& target = model.processes[process->second];
                   target.hasProbeCosts = true;
                   target.recordedCalls = std::max<long long>(0, Number(row[1]));
                   const double ns = row[2] == nullptr ? 0.0 : std::atof(row[2]);
                   target.nsPerCall = std::isfinite(ns) && ns > 0 ? ns : 0.0;
               });
}

}  // namespace

std::vector<ExperimentHeader> ListExperiments(StandardDatabase& db, const std::string& user,
                                              const std::string& application) {
    // A name matches as given and in its latin1 form, as a latin1 program stored it.
    const auto matching = [&db](const std::string& column, const std::string& name) {
        std::string values = db.QuotedValue(name);
        if (const auto latin1 = Latin1Form(name)) values += ", " + db.QuotedValue(*latin1);
        return " AND " + column + " IN (" + values + ")";
    };
    std::string where = "WHERE 1 = 1";
    if (!user.empty()) where += matching("user", user);
    if (!application.empty()) where += matching("name", application);
    std::vector<ExperimentHeader> headers;
    ReadEachRow<Experiment>(db, where + " ORDER BY ID", [&](const Experiment& row) { headers.push_back(HeaderOf(row)); });
    return headers;
}

// The master's probe holds its lock while it measures.
static bool IsStillRunning(StandardDatabase& db, int expID) {
    return !db.QueryFirst("SELECT IS_USED_LOCK(" + db.QuotedValue(RunningExperimentLockName(expID)) + ")").empty();
}

ExperimentModel LoadExperiment(StandardDatabase& db, int expID) {
    ExperimentModel model;
    Experiment row;
    row.mID = expID;
    if (!DbConvertor(&db).ReadObj(row))
        throw Error("there is no experiment " + std::to_string(expID) + " in the measurement database", kExitNotFound);
    model.header = HeaderOf(row);
    if (model.header.statusData == kStarted && IsStillRunning(db, expID))
        throw Error("experiment " + std::to_string(expID) + " is still running; analyse it when it has finished",
                    kExitRunning);

    const std::string where = "WHERE expID = " + std::to_string(expID);
    std::unordered_map<int, int> indexOfID;
    ReadEachRow<Process>(db, where + " ORDER BY ID", [&](const Process& stored) {
        ProcessModel process;
        process.id = stored.mID;
        process.host = Utf8FromStored(stored.mProcessor);
        process.tid = stored.mMyTid;
        process.start = static_cast<Time>(stored.mStartTime_sec) * 1000000 + stored.mStartTime_usec;
        indexOfID.emplace(process.id, static_cast<int>(model.processes.size()));
        model.processes.push_back(std::move(process));
    });
    ReadEachRow<PhaseDuration>(db, where + " AND processID <> -1", [&](const PhaseDuration& total) {
        auto found = indexOfID.find(total.mProcessID);
        if (found == indexOfID.end()) return;
        ProcessModel& process = model.processes[found->second];
        process.totals[total.mPhaseTypeID] += total.mDuration;
        process.hasTotals = true;
    });
    const long long count = std::atoll(db.QueryFirst("SELECT COUNT(*) FROM Phases " + where).c_str());
    model.phases.Reserve(static_cast<std::size_t>(count));
    int orphanRows = 0;
    ReadEachRow<Phase>(db, where + " ORDER BY processID, nbr", [&](const Phase& phase) {
        auto found = indexOfID.find(phase.mProcessID);
        if (found == indexOfID.end()) {
            ++orphanRows;
            return;
        }
        model.phases.Add(found->second, phase.mNbr, phase.mType, phase.mDuration, phase.mNbrQuantums,
                         phase.mNbrOperations, phase.mCommPartner, phase.mCommIsSending,
                         Utf8FromStored(phase.mComment));
    });
    if (orphanRows > 0)
        model.loadProblems.push_back(std::to_string(orphanRows) + " phase rows belong to no stored process");
    if (TableExists(db, "ClockOffsets")) {
        ReadEachRow<ClockOffset>(db, where, [&](const ClockOffset& offsets) {
            auto found = indexOfID.find(offsets.mProcessID);
            if (found == indexOfID.end()) return;
            ProcessModel& process = model.processes[found->second];
            process.hasClockOffsets = true;
            process.startOffset = offsets.mStartOffset;
            process.endOffset = offsets.mEndOffset;
            process.endTime = offsets.mEndTime;
            process.startBound = offsets.mStartBound;
            process.endBound = offsets.mEndBound;
        });
    }
    model.IndexPhases();
    if (TableExists(db, "PhaseDetails")) ReadPhaseDetails(db, expID, indexOfID, model);
    if (TableExists(db, "ProbeCosts")) ReadProbeCosts(db, expID, indexOfID, model);
    if (ColumnExists(db, "Processes", "executable")) ReadExecutables(db, expID, indexOfID, model);
    return model;
}

std::optional<Time> FindSequentialTime(StandardDatabase& db, const ExperimentHeader& header,
                                       std::optional<int> sequentialID, bool allowOther) {
    if (sequentialID) {
        Experiment reference;
        reference.mID = *sequentialID;
        const std::string name = "experiment " + std::to_string(*sequentialID);
        if (!DbConvertor(&db).ReadObj(reference))
            throw Error("there is no sequential experiment " + std::to_string(*sequentialID), kExitNotFound);
        if (reference.mStatusData == kStarted || reference.mTp <= 0)
            throw Error("sequential experiment " + std::to_string(*sequentialID) + " has not finished");
        if (reference.mP != 1)
            throw Error(name + " is not sequential (p = " + std::to_string(reference.mP) +
                            "); a sequential reference has p = 1",
                        kExitBadReference);
        const std::string referenceName = Utf8FromStored(reference.mName);
        const std::string referenceUser = Utf8FromStored(reference.mUser);
        if ((referenceName != header.application || referenceUser != header.user) && !allowOther)
            throw Error(name + " is " + referenceName + " of " + referenceUser + ", not " + header.application +
                            " of " + header.user + "; give --other-reference to take it all the same",
                        kExitBadReference);
        if (reference.mW != header.W && !allowOther)
            throw Error(name + " has W = " + std::to_string(reference.mW) + ", experiment " +
                            std::to_string(header.id) + " has W = " + std::to_string(header.W) +
                            "; give --other-reference to take it all the same",
                        kExitBadReference);
        return reference.mTp;
    }
    const std::string fastest = db.QueryFirst(
        "SELECT MIN(s.Tp) FROM Experiments s, Experiments e WHERE e.ID = " + std::to_string(header.id) +
        " AND s.p = 1 AND s.statusData >= 1 AND s.Tp > 0 AND s.user = e.user AND s.name = e.name AND s.W = " +
        std::to_string(header.W));
    if (fastest.empty()) return std::nullopt;
    return std::atoll(fastest.c_str());
}

void StoreFindings(StandardDatabase& db, const ExperimentModel& model) {
    // Read committed takes no gap locks, so analyses of different experiments at once
    // do not lock each other out; a deadlock or lock wait timeout that happens all the
    // same (with a probe storing) rolls back and is tried again.
    constexpr int kAttempts = 8;
    for (int attempt = 1;; ++attempt) {
        try {
            db.Query("SET TRANSACTION ISOLATION LEVEL READ COMMITTED");
            db.Query("START TRANSACTION");
            WriteExperimentRow(db, model.header);
            const int pass = model.findings.lastPass;
            if (pass >= kTotalsCalc) WriteTotals(db, model);
            if (pass >= kCommPointersSet) {
                WritePhaseTimes(db, model);
                WriteMessages(db, model);
            }
            if (pass >= kBlockingCausesCalc) WriteWaitStates(db, model);
            db.Query("COMMIT");
            return;
        } catch (const DatabaseError& failure) {
            try {
                db.Query("ROLLBACK");
            } catch (const DatabaseError&) {
                // The connection is gone; the server drops the open transaction itself.
            }
            if ((failure.code() == kDeadlock || failure.code() == kLockWaitTimeout) && attempt < kAttempts) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt));
                continue;
            }
            throw Error("the findings could not be stored (" + failure.serverMessage() +
                        "); nothing of them was kept");
        }
    }
}

}  // namespace analysis
