// The expansion of phase blocks into rows, on hand-made blocks with known
// phases: the rows it stores, whole or not at all, once.
#include "measure/block.h"
#include "measure/blockstore.h"
#include "measure/recording.h"

#include "probe/KOVAData.h"
#include "tests/support/measurementdb.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace recording;

namespace {

PhaseRecord Record(int type, long long endNs, int partner = -1, int tag = 0, long long bytes = 0) {
    PhaseRecord record = {};
    record.end = endNs;
    record.type = static_cast<std::uint8_t>(type);
    record.partner = partner;
    record.tag = tag;
    record.bytes = bytes;
    record.askedSource = record.askedTag = kNotKnown;
    record.instance = record.root = -1;
    record.group = -1;
    return record;
}

struct Task {
    int id = 0;
    std::uint32_t flags = 0;
    long long firstPhase = 1, previousEnd = 0;
    int sequence = 0;
    long long startOffset = 0, bound = 0;
    std::vector<PhaseRecord> records;
    std::vector<std::string> groups;
};

std::string Bytes(int expID, const Task& task) {
    BlockHeader header = {};
    std::memcpy(header.magic, kBlockMagic, sizeof kBlockMagic);
    header.flags = task.flags;
    header.experiment = expID;
    header.task = task.id;
    header.parent = task.flags & kMasterTask ? 0 : 100;
    header.sequence = task.sequence;
    header.records = static_cast<std::uint32_t>(task.records.size());
    header.groups = static_cast<std::uint32_t>(task.groups.size());
    header.firstPhase = task.firstPhase;
    header.previousEnd = task.previousEnd;
    header.startSec = 1000;
    header.startUsec = 1000;
    header.startOffset = header.endOffset = task.startOffset;
    header.startBound = header.endBound = task.bound;
    header.recordedCalls = static_cast<std::int64_t>(task.records.size()) * 10;
    header.nsPerCall = 42.5;
    std::strcpy(header.host, task.flags & kMasterTask ? "node1" : "node2");
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char*>(task.records.data()), task.records.size() * sizeof(PhaseRecord));
    for (const std::string& group : task.groups) bytes += group + std::string(kGroupNameBytes - group.size(), '\0');
    return bytes;
}

class BlockStore : public testing::Test {
protected:
    void SetUp() override {
        mDb = ConnectToMeasurementDb();
        DeleteExperimentsOf(*mDb, kName);
    }
    void TearDown() override { DeleteExperimentsOf(*mDb, kName); }

    int NewExperiment() {
        mDb->Query("INSERT INTO Experiments (name, user, p, W, statusData, errorFlags, errors) VALUES ('" +
                   std::string(kName) + "', 'tester', 2, 0, 0, 0, '')");
        return static_cast<int>(mDb->LastInsertID());
    }
    void Store(int expID, const Task& task, const std::string& spawned = "", std::string bytes = "") {
        if (bytes.empty()) bytes = Bytes(expID, task);
        mDb->Query("INSERT INTO PhaseBlocks (expID, processID, seq, final, spawned, data) VALUES (" +
                   std::to_string(expID) + ", " + std::to_string(task.id) + ", " + std::to_string(task.sequence) +
                   ", " + std::to_string(task.flags & kFinalBlock ? 1 : 0) + ", '" + spawned + "', " +
                   mDb->QuotedValue(bytes) + ")");
    }
    long long Number(const std::string& query) { return SelectNumber(*mDb, query); }
    void ExpandsTheKnownRowsWholeOrNotAtAllAndOnce(MYSQL* db);
    std::vector<std::string> Column(const std::string& query) { return mDb->QueryStrings(query); }

    static constexpr const char* kName = "BlockStoreTest";
    std::unique_ptr<StandardDatabase> mDb;
};

// A master that spawns a slave, sends to it, waits for its answer and meets at a
// barrier; a slave whose phases lie in two blocks, on a host whose clock is
// 1.5 ms ahead.
void StoreRun(const std::function<void(const Task&, const std::string&)>& store) {
    Task master;
    master.id = 100;
    master.flags = kFinalBlock | kMasterTask | kOffsetsKnown;
    master.groups = {"workers"};
    PhaseRecord receive = Record(PH_COMM_RECV, 9200000, 200, 8, 4);
    receive.askedSource = receive.askedTag = kAny;
    PhaseRecord barrier = Record(PH_SYNC, 9300000);
    barrier.group = 0;
    barrier.instance = 0;
    barrier.collective = static_cast<std::uint8_t>(CollectiveNumber("barrier"));
    master.records = {Record(PH_WORK, 5000000), Record(PH_SPAWN, 6000000, 200), Record(PH_COMM_SEND, 6500000, 200, 7, 40),
                      Record(PH_IDLE, 9000000), receive, barrier, Record(PH_WORK, 10000000)};
    Task early;
    early.id = 200;
    early.sequence = 1;
    early.records = {Record(PH_WORK, 1000000), Record(PH_IDLE, 3000000)};
    Task late = early;
    late.sequence = 2;
    late.flags = kFinalBlock | kOffsetsKnown;
    late.firstPhase = 3;
    late.previousEnd = 3000000;
    late.startOffset = 1500;
    late.bound = 20;
    PhaseRecord taken = Record(PH_COMM_RECV, 3100000, 100, 7, 40);
    taken.askedSource = 100;
    taken.askedTag = 7;
    late.records = {taken, Record(PH_COMM_SEND, 3500000, 100, 8, 4), Record(PH_WORK, 4000000)};
    store(master, "200");
    store(early, "");
    store(late, "");
}

}  // namespace

// The expansion through db (kova measure's connection loads its rows from memory,
// the one of the other commands inserts them).
void BlockStore::ExpandsTheKnownRowsWholeOrNotAtAllAndOnce(MYSQL* db) {
    const int expID = NewExperiment();
    const std::string exp = std::to_string(expID);
    StoreRun([&](const Task& task, const std::string& spawned) { Store(expID, task, spawned); });
    // A damaged block (cut short) stops the expansion before anything is visible.
    Task damaged;
    damaged.id = 300;
    damaged.records = {Record(PH_WORK, 1000)};
    const std::string whole = Bytes(expID, damaged);
    Store(expID, damaged, "", whole.substr(0, whole.size() - 8));
    const Census census = TakeCensus(db, expID);
    EXPECT_EQ(census.announced, (std::set<int>{100, 200, 300}));
    EXPECT_EQ(census.stored, (std::set<int>{100, 200}));
    EXPECT_THROW(ExpandExperiment(db, expID), StoreError);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp), 0);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Processes WHERE expID = " + exp), 0);
    EXPECT_EQ(Number("SELECT statusData FROM Experiments WHERE ID = " + exp), 0);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM PhaseBlocks WHERE expID = " + exp), 4);

    mDb->Query("DELETE FROM PhaseBlocks WHERE expID = " + exp + " AND processID = 300");
    const Expansion done = ExpandExperiment(db, expID);
    EXPECT_TRUE(done.expanded);
    EXPECT_EQ(done.processes, 2);
    EXPECT_EQ(done.phases, 12);
    EXPECT_EQ(done.announced, 2);
    EXPECT_EQ(done.stored, 2);
    EXPECT_EQ(Column("SELECT duration FROM Phases WHERE expID = " + exp + " AND processID = 100 ORDER BY nbr"),
              (std::vector<std::string>{"5000", "1000", "500", "2500", "200", "100", "700"}));
    EXPECT_EQ(Column("SELECT CONCAT(nbr, ' ', typeID, ' ', duration, ' ', commPartnerTid, ' ', nbrQuantums, ' ', "
                     "commIsSending) FROM Phases WHERE expID = " + exp + " AND processID = 200 ORDER BY nbr"),
              (std::vector<std::string>{"1 3 1000 -1 0 0", "2 2 2000 -1 0 0", "3 6 100 100 7 0", "4 5 400 100 8 1",
                                        "5 3 500 -1 0 0"}));
    EXPECT_EQ(Column("SELECT CONCAT(processID, ' ', nbr, ' ', askedSource, ' ', askedTag, ' ', bytes, ' [', "
                     "groupName, '] ', instance, ' [', collective, '] ', root) FROM PhaseDetails WHERE expID = " +
                     exp + " ORDER BY processID, nbr"),
              (std::vector<std::string>{"100 3 -2 -2 40 [] -1 [] -1", "100 5 -1 -1 4 [] -1 [] -1",
                                        "100 6 -2 -2 0 [workers] 0 [barrier] -1", "200 3 100 7 40 [] -1 [] -1",
                                        "200 4 -2 -2 4 [] -1 [] -1"}));
    // The slave's start lies on the master's clock; its offset keeps its bound.
    EXPECT_EQ(Column("SELECT CONCAT(ID, ' ', processor, ' ', startTimeSec, ' ', startTimeMicroSec) FROM Processes "
                     "WHERE expID = " + exp + " ORDER BY ID"),
              (std::vector<std::string>{"100 node1 1000 1000", "200 node2 999 999500"}));
    EXPECT_EQ(Column("SELECT CONCAT(processID, ' ', startOffset, ' ', startBound, ' ', endTime) FROM ClockOffsets "
                     "WHERE expID = " + exp),
              (std::vector<std::string>{"200 1500 20 4000"}));
    EXPECT_EQ(Column("SELECT CONCAT(processID, ' ', recordedCalls, ' ', nsPerCall) FROM ProbeCosts WHERE expID = " +
                     exp + " ORDER BY processID"),
              (std::vector<std::string>{"100 70 42.5", "200 30 42.5"}));
    EXPECT_EQ(Number("SELECT SUM(duration) FROM PhaseDurations WHERE expID = " + exp + " AND processID = 200"), 4000);
    EXPECT_EQ(Number("SELECT duration FROM PhaseDurations WHERE expID = " + exp + " AND processID = 100 AND "
                     "phaseTypeID = 2"), 2500);
    EXPECT_EQ(Column("SELECT CONCAT(Tp, ' ', nbrProcesses, ' ', statusData, ' ', errorFlags) FROM Experiments WHERE "
                     "ID = " + exp),
              (std::vector<std::string>{"10000 2 1 0"}));
    EXPECT_EQ(Number("SELECT COUNT(*) FROM PhaseBlocks WHERE expID = " + exp), 0);

    // Once: a second expansion finds nothing to do.
    EXPECT_FALSE(ExpandExperiment(db, expID).expanded);
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp), 12);
}

TEST_F(BlockStore, ExpansionByInsertsStoresTheKnownRowsWholeOrNotAtAllAndOnce) {
    ExpandsTheKnownRowsWholeOrNotAtAllAndOnce(mDb->Handle());
}

TEST_F(BlockStore, ExpansionByLoadingFromMemoryStoresTheKnownRowsWholeOrNotAtAllAndOnce) {
    std::string error;
    std::unique_ptr<MYSQL, void (*)(MYSQL*)> db(ConnectBounded(10, error), mysql_close);
    ASSERT_TRUE(db) << error;
    ExpandsTheKnownRowsWholeOrNotAtAllAndOnce(db.get());
}

TEST_F(BlockStore, TaskThatDidNotStoreItsLastBlockFlagsTheExperiment) {
    const int expID = NewExperiment();
    const std::string exp = std::to_string(expID);
    // The slave's last block and a second slave (spawned, never stored) are missing.
    StoreRun([&](const Task& task, const std::string& spawned) {
        if (task.id == 200 && task.sequence == 2) return;
        Task stored = task;
        if (task.id == 100) stored.records.insert(stored.records.begin() + 2, Record(PH_SPAWN, 6000000, 201));
        Store(expID, stored, task.id == 100 ? spawned + " 201" : spawned);
    });
    const Expansion done = ExpandExperiment(mDb->Handle(), expID, "the program ended with exit status 3");
    EXPECT_EQ(done.announced, 3);
    EXPECT_EQ(done.stored, 1);
    EXPECT_EQ(mDb->QueryFirst("SELECT errors FROM Experiments WHERE ID = " + exp),
              "the program ended with exit status 3; announced 3,");
    EXPECT_EQ(Number("SELECT errorFlags & 1 FROM Experiments WHERE ID = " + exp), 1);
    // What the slave stored is kept.
    EXPECT_EQ(Number("SELECT COUNT(*) FROM Phases WHERE expID = " + exp + " AND processID = 200"), 2);
}

TEST_F(BlockStore, TablesOfTheMeasuringLibrariesHaveTheirColumnsAndKeys) {
    const auto columns = [&](const std::string& table) {
        return Column("SELECT CONCAT(COLUMN_NAME, ' ', COLUMN_TYPE, IF(COLUMN_KEY = 'PRI', '*', '')) FROM "
                      "information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = '" + table +
                      "' ORDER BY ORDINAL_POSITION");
    };
    EXPECT_EQ(columns("PhaseDetails"),
              (std::vector<std::string>{"expID int(11)*", "processID int(11)*", "nbr int(11)*", "askedSource int(11)",
                                        "askedTag int(11)", "bytes bigint(20)", "groupName varchar(64)",
                                        "instance int(11)", "collective varchar(16)", "root int(11)"}));
    EXPECT_EQ(columns("ProbeCosts"), (std::vector<std::string>{"expID int(11)*", "processID int(11)*",
                                                               "recordedCalls bigint(20)", "nsPerCall double"}));
    EXPECT_EQ(columns("PhaseBlocks"),
              (std::vector<std::string>{"expID int(11)*", "processID int(11)*", "seq int(11)*", "final tinyint(4)",
                                        "spawned mediumtext", "data longblob"}));
}
