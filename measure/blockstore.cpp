#include "measure/blockstore.h"

#include "measure/block.h"
#include "measure/blockrow.h"

#include "probe/KOVAData.h"
#include "probe/replacement.h"
#include "probe/databaseaddress.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

namespace recording {
namespace {

// Largest INSERT statement of an expansion, far below the server's packet limit.
constexpr std::size_t kStatementBytes = 1 << 20;
// The server's error of a table that does not exist.
constexpr unsigned kNoSuchTable = 1146;

void Run(MYSQL* db, const std::string& statement) {
    if (mysql_real_query(db, statement.data(), statement.size()) != 0)
        throw StoreError(std::string("the measurement database refused the phase rows: ") + mysql_error(db));
    if (MYSQL_RES* result = mysql_store_result(db)) mysql_free_result(result);
}

// The rows of a query, each column as text (NULL as "").
std::vector<std::vector<std::string>> Rows(MYSQL* db, const std::string& query) {
    std::vector<std::vector<std::string>> rows;
    if (mysql_real_query(db, query.data(), query.size()) != 0) {
        // A database made before the measuring libraries has no blocks.
        if (mysql_errno(db) == kNoSuchTable) return rows;
        throw StoreError(std::string("the measurement database cannot be read: ") + mysql_error(db));
    }
    MYSQL_RES* result = mysql_use_result(db);
    if (result == nullptr) {
        if (mysql_errno(db) != 0) throw StoreError(std::string("the measurement database cannot be read: ") + mysql_error(db));
        return rows;
    }
    const unsigned columns = mysql_num_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        const unsigned long* lengths = mysql_fetch_lengths(result);
        std::vector<std::string>& values = rows.emplace_back();
        for (unsigned c = 0; c < columns; ++c) values.emplace_back(row[c] != nullptr ? std::string(row[c], lengths[c]) : "");
    }
    const bool failed = mysql_errno(db) != 0;
    mysql_free_result(result);
    if (failed) throw StoreError(std::string("the measurement database cannot be read: ") + mysql_error(db));
    return rows;
}

std::string Quoted(MYSQL* db, const std::string& text) {
    std::string out(text.size() * 2 + 3, '\0');
    out[0] = '\'';
    const unsigned long length = mysql_real_escape_string(db, &out[1], text.data(), text.size());
    out.resize(length + 1);
    out += '\'';
    return out;
}

// Hands a text to LOAD DATA LOCAL INFILE from memory.
struct InfileSource {
    const std::string* text;
    std::size_t at;
};
int InfileInit(void** source, const char*, void* text) {
    *source = new InfileSource{static_cast<const std::string*>(text), 0};
    return 0;
}
int InfileRead(void* source, char* buffer, unsigned int length) {
    auto* from = static_cast<InfileSource*>(source);
    const std::size_t n = std::min<std::size_t>(length, from->text->size() - from->at);
    std::memcpy(buffer, from->text->data() + from->at, n);
    from->at += n;
    return static_cast<int>(n);
}
void InfileEnd(void* source) { delete static_cast<InfileSource*>(source); }
int InfileError(void*, char* message, unsigned int length) {
    std::snprintf(message, length, "the rows could not be read");
    return 2000;
}

// Rows of one table, sent as they fill (up to kStatementBytes): by LOAD DATA LOCAL
// INFILE from memory when the connection allows it (the server's cheapest way in),
// else as multi-row INSERTs.
class Inserter {
public:
    Inserter(MYSQL* db, const std::string& table, const std::string& columns, bool load)
        : mDB(db), mLoad(load) {
        mHead = load ? "LOAD DATA LOCAL INFILE 'rows' INTO TABLE " + table + " CHARACTER SET binary (" + columns + ")"
                     : "INSERT INTO " + table + " (" + columns + ") VALUES (";
        mText.reserve(kStatementBytes + 4096);
    }
    // Starts a row; then Number/Real/Text for each column, then End.
    Inserter& Row() {
        if (!mLoad) mText += mText.empty() ? mHead : ",(";
        mFirst = true;
        return *this;
    }
    Inserter& Number(long long value) {
        Separate();
        char digits[24];
        mText.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        return *this;
    }
    Inserter& Real(double value) {
        Separate();
        char digits[32];
        mText.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        return *this;
    }
    Inserter& Text(const std::string& value) {
        Separate();
        if (!mLoad) {
            mText += Quoted(mDB, value);
            return *this;
        }
        for (char c : value) {
            switch (c) {
                case '\\': mText += "\\\\"; break;
                case '\t': mText += "\\t"; break;
                case '\n': mText += "\\n"; break;
                case '\0': mText += "\\0"; break;
                default: mText += c;
            }
        }
        return *this;
    }
    void End() {
        mText += mLoad ? '\n' : ')';
        if (mText.size() >= kStatementBytes) Flush();
    }
    void Flush() {
        if (mText.empty()) return;
        if (mLoad) {
            mysql_set_local_infile_handler(mDB, InfileInit, InfileRead, InfileEnd, InfileError, &mText);
            Run(mDB, mHead);
        } else {
            Run(mDB, mText);
        }
        mText.clear();
    }

private:
    void Separate() {
        if (!mFirst) mText += mLoad ? '\t' : ',';
        mFirst = false;
    }
    MYSQL* mDB;
    bool mLoad;
    std::string mHead;
    std::string mText;
    bool mFirst = true;
};

// Whether the connection may load rows from memory: an empty load tells.
bool LoadsLocally(MYSQL* db) {
    static const std::string none;
    mysql_set_local_infile_handler(db, InfileInit, InfileRead, InfileEnd, InfileError,
                                   const_cast<std::string*>(&none));
    static const char load[] = "LOAD DATA LOCAL INFILE 'rows' INTO TABLE ProbeCosts (expID)";
    if (mysql_real_query(db, load, sizeof load - 1) != 0) return false;
    if (MYSQL_RES* result = mysql_store_result(db)) mysql_free_result(result);
    return true;
}

// One task's blocks in order.
struct TaskBlocks {
    std::vector<Block> blocks;
    bool final = false;
};

std::string LockName(int expID) { return RunningExperimentLockName(expID); }

// Whether the experiment's run still measures on another connection.
bool RunsElsewhere(MYSQL* db, int expID) {
    const auto rows = Rows(db, "SELECT IS_USED_LOCK(" + Quoted(db, LockName(expID)) + ") <> CONNECTION_ID()");
    return !rows.empty() && rows[0][0] == "1";
}

void Expand(MYSQL* db, int expID, const std::string& failure, const std::map<int, ClockOffset>& measuredLater,
            Expansion& done) {
    const std::string id = std::to_string(expID);
    const auto experiment = Rows(db, "SELECT statusData FROM Experiments WHERE ID = " + id + " FOR UPDATE");
    std::map<int, TaskBlocks> tasks;
    std::set<int> spawned;
    for (auto& row : Rows(db, "SELECT processID, data FROM PhaseBlocks WHERE expID = " + id + " ORDER BY processID, seq")) {
        std::string error;
        std::optional<Block> block = DecodeBlock(row[1].data(), row[1].size(), error);
        if (!block) throw StoreError("a phase block of task " + row[0] + " of experiment " + id + " is damaged: " + error);
        TaskBlocks& task = tasks[block->header.task];
        for (const PhaseRecord& record : block->records)
            if (record.type == PH_SPAWN && record.partner > 0) spawned.insert(record.partner);
        if (block->header.flags & kFinalBlock) task.final = true;
        task.blocks.push_back(std::move(*block));
    }
    if (tasks.empty()) return;
    if (experiment.empty()) {
        // The experiment was removed meanwhile: its blocks go too.
        Run(db, "DELETE FROM PhaseBlocks WHERE expID = " + id);
        return;
    }
    // Rows of these tasks from an earlier expansion that was not committed cannot
    // exist; those of tasks expanded before (a task that stored late) stay.
    std::string these;
    for (const auto& entry : tasks) these += (these.empty() ? "" : ", ") + std::to_string(entry.first);
    const std::string ofThese = " WHERE expID = " + id + " AND " + std::string("processID IN (") + these + ")";
    Run(db, "DELETE FROM Processes WHERE expID = " + id + " AND ID IN (" + these + ")");
    for (const char* table : {"Phases", "PhaseDurations", "ClockOffsets", "PhaseDetails", "ProbeCosts"})
        Run(db, std::string("DELETE FROM ") + table + ofThese);

    const bool load = LoadsLocally(db);
    Inserter processes(db, "Processes", "expID, ID, processor, pvmTid, startTimeSec, startTimeMicroSec, executable",
                       load);
    Inserter phases(db, "Phases", "expID, processID, nbr, typeID, duration, startTime, nbrQuantums, nbrOperations, "
                    "commPartnerTid, commIsSending, commDelay, comment", load);
    Inserter totals(db, "PhaseDurations", "expID, processID, phaseTypeID, duration, ratio", load);
    Inserter offsets(db, "ClockOffsets", "expID, processID, startOffset, endOffset, endTime, startBound, endBound",
                     load);
    Inserter details(db, "PhaseDetails", "expID, processID, nbr, askedSource, askedTag, bytes, groupName, instance, "
                     "collective, root", load);
    Inserter costs(db, "ProbeCosts", "expID, processID, recordedCalls, nsPerCall", load);

    std::set<int> announced = spawned;
    std::vector<std::string> problems;
    long long Tp = -1, longest = 0;
    for (auto& [tid, task] : tasks) {
        announced.insert(tid);
        if (task.final) ++done.stored;
        const BlockHeader& first = task.blocks.front().header;
        BlockHeader& last = task.blocks.back().header;
        if (const auto later = measuredLater.find(tid); later != measuredLater.end() && !(last.flags & kOffsetsKnown)) {
            last.startOffset = last.endOffset = later->second.offset;
            last.startBound = last.endBound = later->second.bound;
            last.flags |= kOffsetsKnown;
        }
        long long startSec = first.startSec, startUsec = first.startUsec;
        if (last.flags & kOffsetsKnown) {
            long long start = startSec * 1000000 + startUsec - last.startOffset;
            startSec = start / 1000000;
            startUsec = start % 1000000;
            if (startUsec < 0) {
                startUsec += 1000000;
                --startSec;
            }
        }
        processes.Row().Number(expID).Number(tid).Text(std::string(first.host, strnlen(first.host, sizeof first.host)))
            .Number(tid).Number(startSec).Number(startUsec)
            .Text(std::string(first.executable, strnlen(first.executable, sizeof first.executable))).End();
        ++done.processes;
        long long byType[NBR_BASIC_PHASE_TYPES] = {};
        long long nbr = 0, endUs = 0;
        for (const Block& block : task.blocks) {
            // A block lost in the middle: the phases after it would not tile the task's time.
            if (block.header.firstPhase != nbr + 1) {
                problems.push_back("phases of task " + std::to_string(tid) + " are missing");
                task.final = false;
                break;
            }
            for (const PhaseRecord& record : block.records) {
                ++nbr;
                const long long end = record.end / 1000;
                const long long duration = end - endUs;
                endUs = end;
                if (record.type < NBR_BASIC_PHASE_TYPES) byType[record.type] += duration;
                const bool message = record.type == PH_COMM_SEND || record.type == PH_COMM_RECV;
                const bool partnered = message || record.type == PH_SPAWN;
                phases.Row().Number(expID).Number(tid).Number(nbr).Number(record.type).Number(duration).Number(0)
                    .Number(message ? record.tag : 0).Number(0).Number(partnered ? record.partner : -1)
                    .Number(record.type == PH_COMM_SEND ? 1 : 0).Number(0).Text("").End();
                const bool collective = record.type == PH_SYNC && (record.group >= 0 || record.collective != 0);
                if (message || collective) {
                    details.Row().Number(expID).Number(tid).Number(nbr).Number(record.askedSource)
                        .Number(record.askedTag).Number(record.bytes)
                        .Text(record.group >= 0 ? block.groups[static_cast<std::size_t>(record.group)] : "")
                        .Number(record.instance).Text(kCollectiveNames[record.collective]).Number(record.root).End();
                }
            }
        }
        done.phases += nbr;
        for (int type = 0; type < NBR_BASIC_PHASE_TYPES; ++type)
            if (byType[type] != 0) totals.Row().Number(expID).Number(tid).Number(type).Number(byType[type]).Real(0).End();
        if ((last.flags & kOffsetsKnown) && !(last.flags & kMasterTask))
            offsets.Row().Number(expID).Number(tid).Number(last.startOffset).Number(last.endOffset).Number(endUs)
                .Number(last.startBound).Number(last.endBound).End();
        costs.Row().Number(expID).Number(tid).Number(last.recordedCalls).Real(last.nsPerCall).End();
        if (last.flags & kMasterTask) Tp = std::max<long long>(endUs, last.endTime);
        if (first.parent == 0) longest = std::max(longest, endUs);
    }
    for (Inserter* rows : {&processes, &phases, &totals, &offsets, &details, &costs}) rows->Flush();
    done.announced = static_cast<int>(announced.size());
    std::string errors = failure;
    auto add = [&errors](const std::string& text) { errors += (errors.empty() ? "" : "; ") + text; };
    if (done.stored < done.announced)
        add("announced " + std::to_string(done.announced) + ", stored " + std::to_string(done.stored));
    for (const std::string& problem : problems) add(problem);
    const int flags = errors.empty() ? 0 : Experiment::EXP_CRASHED | (failure.empty() ? Experiment::PROCESS_CRASHED : 0);
    std::string update = "UPDATE Experiments SET nbrProcesses = (SELECT COUNT(*) FROM Processes WHERE expID = " +
                         id + ")" + (Tp >= 0 ? ", Tp = " + std::to_string(Tp) : ", Tp = GREATEST(Tp, " +
                         std::to_string(longest) + ")") +
                         ", statusData = " + std::to_string(Experiment::EXP_FINISHED) +
                         ", errorFlags = COALESCE(errorFlags, 0) | " + std::to_string(flags);
    if (!errors.empty()) update += ", errors = " + Quoted(db, CutToWidth(errors));
    Run(db, update + " WHERE ID = " + id);
    Run(db, "DELETE FROM PhaseBlocks WHERE expID = " + id);
    done.expanded = true;
}

}  // namespace

std::vector<std::string> BlockTableStatements() {
    return {"CREATE TABLE IF NOT EXISTS PhaseBlocks (expID int NOT NULL, processID int NOT NULL, seq int NOT NULL, "
            "final tinyint NOT NULL DEFAULT 0, spawned mediumtext, data longblob NOT NULL, "
            "PRIMARY KEY (expID, processID, seq))",
            "CREATE TABLE IF NOT EXISTS PhaseDetails (expID int NOT NULL, processID int NOT NULL, nbr int NOT NULL, "
            "askedSource int NOT NULL DEFAULT -2, askedTag int NOT NULL DEFAULT -2, bytes bigint NOT NULL DEFAULT 0, "
            "groupName varchar(64) NOT NULL DEFAULT '', instance int NOT NULL DEFAULT -1, "
            "collective varchar(16) NOT NULL DEFAULT '', root int NOT NULL DEFAULT -1, "
            "PRIMARY KEY (expID, processID, nbr))",
            "CREATE TABLE IF NOT EXISTS ProbeCosts (expID int NOT NULL, processID int NOT NULL, "
            "recordedCalls bigint NOT NULL DEFAULT 0, nsPerCall double NOT NULL DEFAULT 0, "
            "PRIMARY KEY (expID, processID))"};
}

MYSQL* ConnectBounded(unsigned seconds, std::string& error) {
    DatabaseAddress address;
    try {
        address = MeasurementDatabaseAddress();
    } catch (const std::invalid_argument& wrong) {
        error = wrong.what();
        return nullptr;
    }
    MYSQL* db = mysql_init(nullptr);
    if (db == nullptr) {
        error = "no memory for a database connection";
        return nullptr;
    }
    mysql_options(db, MYSQL_OPT_CONNECT_TIMEOUT, &seconds);
    // The expansion loads its rows from memory.
    const unsigned loadLocally = 1;
    mysql_options(db, MYSQL_OPT_LOCAL_INFILE, &loadLocally);
    mysql_options(db, MYSQL_OPT_READ_TIMEOUT, &seconds);
    mysql_options(db, MYSQL_OPT_WRITE_TIMEOUT, &seconds);
    const bool socket = !address.socket.empty();
    if (mysql_real_connect(db, socket ? "localhost" : address.host.c_str(), "KOVAUser", "", "KOVAData", address.port,
                           socket ? address.socket.c_str() : nullptr, 0) == nullptr) {
        error = mysql_error(db);
        mysql_close(db);
        return nullptr;
    }
    return db;
}

bool StoreBlock(MYSQL* db, int expID, const char* bytes, std::size_t length, const std::string& spawned,
                std::string& error) {
    BlockHeader header;
    if (length < sizeof header || std::memcmp(bytes, kBlockMagic, sizeof kBlockMagic) != 0) {
        error = "not a phase block";
        return false;
    }
    std::memcpy(&header, bytes, sizeof header);
    if (header.experiment != expID || BlockBytes(header.records, header.groups) != length) {
        error = "a block of another experiment, or cut short";
        return false;
    }
    std::unique_ptr<MYSQL_STMT, decltype(&mysql_stmt_close)> statement(mysql_stmt_init(db), mysql_stmt_close);
    if (!statement || mysql_stmt_prepare(statement.get(), kInsertBlock, sizeof kInsertBlock - 1) != 0)
        throw StoreError(std::string("cannot store a phase block: ") + mysql_error(db));
    BlockRow row(expID, header.task, header.sequence, (header.flags & kFinalBlock) != 0, spawned.data(),
                 spawned.size(), bytes, length);
    if (mysql_stmt_bind_param(statement.get(), row.bind) != 0 || mysql_stmt_execute(statement.get()) != 0)
        throw StoreError(std::string("cannot store a phase block: ") + mysql_stmt_error(statement.get()));
    return true;
}

Census TakeCensus(MYSQL* db, int expID) {
    Census census;
    for (const auto& row : Rows(db, "SELECT processID, final, spawned FROM PhaseBlocks WHERE expID = " +
                                        std::to_string(expID))) {
        const int task = std::atoi(row[0].c_str());
        census.announced.insert(task);
        if (row[1] == "1") census.stored.insert(task);
        std::istringstream spawned(row[2]);
        for (int child; spawned >> child;) census.announced.insert(child);
    }
    return census;
}

std::vector<int> AwaitTasks(MYSQL* db, int expID, int seconds, const std::function<bool(int id)>& running,
                            const std::function<bool(int milliseconds)>& pause) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::optional<std::chrono::steady_clock::time_point> lateBlocksUntil;
    std::vector<int> stillRunning;
    for (;;) {
        const Census census = TakeCensus(db, expID);
        stillRunning.clear();
        bool missing = false;
        for (int id : census.announced) {
            if (census.stored.count(id)) continue;
            missing = true;
            if (running(id)) stillRunning.push_back(id);
        }
        const auto now = std::chrono::steady_clock::now();
        if (stillRunning.empty() && missing && !lateBlocksUntil) lateBlocksUntil = now + std::chrono::milliseconds(300);
        const bool waitLonger = !stillRunning.empty() || (lateBlocksUntil && now < *lateBlocksUntil);
        if (!waitLonger || now > deadline) return stillRunning;
        if (!pause(10)) return {};
    }
}

std::vector<int> TasksWithoutOffsets(MYSQL* db, int expID) {
    std::vector<int> tasks;
    const std::string header = "SUBSTRING(data, 1, " + std::to_string(sizeof(BlockHeader)) + ")";
    for (const auto& row : Rows(db, "SELECT processID, " + header + " FROM PhaseBlocks WHERE final = 1 AND expID = " +
                                        std::to_string(expID))) {
        BlockHeader block;
        if (row[1].size() < sizeof block) continue;
        std::memcpy(&block, row[1].data(), sizeof block);
        if (!(block.flags & kOffsetsKnown) && !(block.flags & kMasterTask)) tasks.push_back(std::atoi(row[0].c_str()));
    }
    return tasks;
}

Expansion ExpandExperiment(MYSQL* db, int expID, const std::string& failure,
                           const std::map<int, ClockOffset>& offsets) {
    Expansion done;
    if (RunsElsewhere(db, expID)) return done;
    Run(db, "START TRANSACTION");
    try {
        Expand(db, expID, failure, offsets, done);
        Run(db, "COMMIT");
    } catch (...) {
        mysql_real_query(db, "ROLLBACK", 8);
        throw;
    }
    return done;
}

void ExpandEndedExperiments(MYSQL* db) {
    for (const auto& row : Rows(db, "SELECT DISTINCT expID FROM PhaseBlocks"))
        ExpandExperiment(db, std::atoi(row[0].c_str()));
}

}  // namespace recording
