// The server's storage: one SQLite file per mSQL database in a data directory.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace msqld {

// A column as the protocol describes it.
struct FieldDescription {
    std::string name;
    std::string table;  // "" for a computed column
    int type = 0;       // mSQL type code
    int length = 0;
    bool notNull = false;
    bool unique = false;
};

// One value of a result row.
struct Cell {
    bool null = false;
    std::string text;
};

// Bounds that keep one statement from running for ever and the results from
// exhausting the server's memory. A result counts every cell, NULLs too, with what
// it costs to hold it and its packet.
struct StatementLimits {
    std::chrono::milliseconds time{60000};
    size_t resultBytes = 64u << 20;   // of one statement's result
    size_t heldBytes = 256u << 20;    // of all the results the sessions hold at once
};

// The memory for results that the sessions share: a result takes its part while it
// is built and gives it back when its session has sent it (or has hung up).
class ResultBudget {
public:
    explicit ResultBudget(size_t bytes) : mFree(bytes) {}
    // Takes bytes; false (taking nothing) when fewer are free.
    bool take(size_t bytes);
    void giveBack(size_t bytes);

private:
    std::mutex mMutex;
    size_t mFree;
};

// The part of the budget that one result holds, given back when it ends.
class BudgetShare {
public:
    explicit BudgetShare(ResultBudget* budget = nullptr) : mBudget(budget) {}
    ~BudgetShare() { release(); }
    BudgetShare(BudgetShare&& other) noexcept : mBudget(other.mBudget), mBytes(other.mBytes) { other.mBytes = 0; }
    BudgetShare& operator=(BudgetShare&& other) noexcept;
    // Grows the share to bytes in all; false when the budget has not that much free.
    bool growTo(size_t bytes);
    void release();

private:
    ResultBudget* mBudget;
    size_t mBytes = 0;
};

// The outcome of one statement.
struct StatementResult {
    bool ok = false;
    std::string error;          // set when !ok
    bool hasColumns = false;    // a select: fields and rows hold its result
    long long changes = 0;      // rows changed, for any other statement
    std::vector<FieldDescription> fields;
    std::vector<std::vector<Cell>> rows;
    BudgetShare memory;         // what the rows hold of the server's result budget
};

// A session's connection to one database, an SQLite file: each session has its own,
// so a long statement of one client never holds up the others (their writes wait
// for each other, each at most a statement's time). Runs one statement at a time.
class Database {
public:
    // Opens the file at path, which must exist; null with a message otherwise.
    static std::unique_ptr<Database> open(const std::string& path, const StatementLimits& limits,
                                          ResultBudget& budget, std::string& error);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs one statement of the client's (mSQL dialect).
    StatementResult execute(std::string_view statement);
    // Names of the tables, sorted.
    std::vector<std::string> tableNames(std::string& error);
    // The columns of a table in their order; false when there is no such table.
    bool describeTable(const std::string& table, std::vector<FieldDescription>& fields,
                       std::string& error);
    // Closes the file after the running statement; later calls fail.
    void close();

private:
    Database(sqlite3* db, const StatementLimits& limits, ResultBudget& budget);
    static int authorize(void* self, int action, const char*, const char*, const char*, const char*);
    static int progress(void* self);
    bool loadTable(const std::string& table, std::vector<FieldDescription>& fields);
    bool readTable(const std::string& table, std::vector<FieldDescription>& fields);
    std::vector<FieldDescription> describeResult(sqlite3_stmt* statement);
    bool collectRows(sqlite3_stmt* statement, StatementResult& result);

    sqlite3* mDb;
    StatementLimits mLimits;
    ResultBudget& mBudget;
    std::mutex mMutex;
    bool mClientStatement = false;  // the authorizer checks a client's statement
    std::chrono::steady_clock::time_point mDeadline;
    bool mRunning = false;           // the progress handler watches mDeadline
    bool mTimedOut = false;
};

// The data directory: validates database names and opens connections to them.
class Storage {
public:
    Storage(std::string dataDir, StatementLimits limits);

    // A new connection to the database of that name; null with a message when the
    // name is not valid or there is no such database.
    std::shared_ptr<Database> open(const std::string& name, std::string& error);
    // Names of the databases of the data directory, sorted.
    std::vector<std::string> databaseNames() const;
    // Closes every open database (at shutdown).
    void closeAll();

    // True for a name of letters, digits and underscores (at most 64).
    static bool validName(std::string_view name);

private:
    std::string mDataDir;
    StatementLimits mLimits;
    ResultBudget mBudget;
    std::mutex mMutex;
    std::vector<std::weak_ptr<Database>> mOpen;
};

}  // namespace msqld
