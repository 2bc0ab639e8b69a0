// The phase blocks that measured tasks store (table PhaseBlocks), read back by
// kova: who stored what, and the expansion of an experiment's blocks into its
// rows (Processes, Phases, PhaseDurations, ClockOffsets, PhaseDetails,
// ProbeCosts) in one transaction, which also removes the blocks. An expansion
// that is interrupted leaves nothing of itself; the next one does it whole.
// kova measure also stores here the last blocks that tasks hand it.
#pragma once

#include "measure/recording.h"

#include <mysql.h>

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace recording {

// A failure of the database while reading or expanding blocks.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The statements that create the tables of the measuring libraries (PhaseBlocks,
// PhaseDetails, ProbeCosts) unless they exist.
std::vector<std::string> BlockTableStatements();

// A connection to the measurement database at the address of the environment,
// with bounded connect, read and write times (seconds); null, with the reason in
// error, when there is none.
MYSQL* ConnectBounded(unsigned seconds, std::string& error);

// Stores a block that a task of experiment expID handed to kova measure instead
// of storing it itself (spawned: the ids of the tasks its spawn phases started).
// Returns false, storing nothing, when the bytes are no block of that experiment
// (error says why). Throws StoreError when the database fails.
bool StoreBlock(MYSQL* db, int expID, const char* bytes, std::size_t length, const std::string& spawned,
                std::string& error);

// What the stored blocks of an experiment tell of its tasks.
struct Census {
    // Every task that stored a block or was spawned by one that did.
    std::set<int> announced;
    // The tasks that stored their last block.
    std::set<int> stored;
    bool HasBlocks() const { return !announced.empty(); }
};
Census TakeCensus(MYSQL* db, int expID);

// Waits, at most seconds, until every task that the experiment's stored blocks
// announce has stored its last block or has ended (running(id) false); the last
// block of a task that ended may still be on its way, so that is waited for a
// little longer. pause(milliseconds) waits between two looks (and may store
// blocks that arrive meanwhile); false from it ends the wait at once. Returns the
// tasks that still run when the time is up. Throws StoreError.
std::vector<int> AwaitTasks(MYSQL* db, int expID, int seconds, const std::function<bool(int id)>& running,
                            const std::function<bool(int milliseconds)>& pause);

// The tasks whose last block came without their clock offsets (a task ended by
// SIGTERM cannot measure them), for kova measure to measure them from the
// master's host.
std::vector<int> TasksWithoutOffsets(MYSQL* db, int expID);

// What an expansion did.
struct Expansion {
    bool expanded = false;
    int processes = 0;
    long long phases = 0;
    int announced = 0;
    int stored = 0;
};

// Expands the experiment's blocks unless another connection's kova measure or
// probe still runs it; failure (the program's outcome, or "") is added to its
// errors, and the experiment is flagged crashed when failure is not empty or a
// task announced did not store its last block ("announced N, stored M").
// Nothing happens without blocks. Throws StoreError.
// offsets gives, by task, the clock offsets measured after the task ended for the
// tasks whose blocks have none.
Expansion ExpandExperiment(MYSQL* db, int expID, const std::string& failure = "",
                           const std::map<int, ClockOffset>& offsets = {});
// Expands every experiment with blocks whose run has ended.
void ExpandEndedExperiments(MYSQL* db);

}  // namespace recording
