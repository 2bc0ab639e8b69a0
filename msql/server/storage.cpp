// SQLite-backed databases of the server.
#include "msql/server/storage.h"

#include "msql/server/statement.h"

#include "msql/msql.h"
#include "msql/src/wire.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace msqld {

namespace {

// Marks the statements of one client request for the authorizer.
struct ClientStatementScope {
    explicit ClientStatementScope(bool& flag) : flag(flag) { flag = true; }
    ~ClientStatementScope() { flag = false; }
    bool& flag;
};

// Finalizes a prepared statement when it goes out of scope.
struct Finalizer {
    sqlite3_stmt* statement = nullptr;
    ~Finalizer() { sqlite3_finalize(statement); }
};

// The mSQL type code and length of a declared SQLite column type such as
// "char(32)" or "int"; type 0 when the declaration says nothing known.
FieldDescription typeOfDeclaration(const char* declared)
{
    FieldDescription field;
    if (declared == nullptr)
        return field;
    std::string text(declared);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    size_t open = text.find('(');
    std::string base = text.substr(0, std::min(open, text.find(' ')));
    int declaredLength = open == std::string::npos ? 0 : std::atoi(text.c_str() + open + 1);
    static const struct {
        const char* name;
        int type;
        int length;
    } known[] = {{"int", INT_TYPE, 4},       {"integer", INT_TYPE, 4}, {"bigint", INT_TYPE, 8},
                 {"smallint", INT_TYPE, 4},  {"uint", UINT_TYPE, 4},   {"char", CHAR_TYPE, 0},
                 {"varchar", CHAR_TYPE, 0},  {"text", TEXT_TYPE, 0},   {"real", REAL_TYPE, 8},
                 {"double", REAL_TYPE, 8},   {"float", REAL_TYPE, 8},  {"date", DATE_TYPE, 4},
                 {"time", TIME_TYPE, 4},     {"money", MONEY_TYPE, 4}};
    for (const auto& k : known) {
        if (base == k.name) {
            field.type = k.type;
            field.length = declaredLength > 0 ? declaredLength : k.length;
            break;
        }
    }
    return field;
}

// The type of a computed column, from the kind of value it gave.
int typeOfValue(int sqliteType)
{
    switch (sqliteType) {
    case SQLITE_INTEGER:
        return INT_TYPE;
    case SQLITE_FLOAT:
        return REAL_TYPE;
    default:
        return CHAR_TYPE;
    }
}

bool onlyBlank(const char* text)
{
    for (; *text; text++)
        if (!std::isspace(static_cast<unsigned char>(*text)) && *text != ';')
            return false;
    return true;
}

}  // namespace

// The longest value a database holds or a statement makes: one that, as the only
// item of a row ("131065:" and its bytes), just fills a packet. Larger ones could
// neither be sent nor ever be read back, and would cost memory and disk.
constexpr int MAX_VALUE_BYTES = MSQL_PKT_LEN - 7;
static_assert(MAX_VALUE_BYTES >= 100000 && MAX_VALUE_BYTES < 1000000, "the length takes six digits");

bool ResultBudget::take(size_t bytes)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (bytes > mFree)
        return false;
    mFree -= bytes;
    return true;
}

void ResultBudget::giveBack(size_t bytes)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mFree += bytes;
}

BudgetShare& BudgetShare::operator=(BudgetShare&& other) noexcept
{
    if (this != &other) {
        release();
        mBudget = other.mBudget;
        mBytes = other.mBytes;
        other.mBytes = 0;
    }
    return *this;
}

bool BudgetShare::growTo(size_t bytes)
{
    if (bytes <= mBytes)
        return true;
    if (mBudget == nullptr || !mBudget->take(bytes - mBytes))
        return false;
    mBytes = bytes;
    return true;
}

void BudgetShare::release()
{
    if (mBudget && mBytes > 0)
        mBudget->giveBack(mBytes);
    mBytes = 0;
}

Database::Database(sqlite3* db, const StatementLimits& limits, ResultBudget& budget)
    : mDb(db), mLimits(limits), mBudget(budget)
{
    sqlite3_limit(mDb, SQLITE_LIMIT_LENGTH, MAX_VALUE_BYTES);
    sqlite3_set_authorizer(mDb, &Database::authorize, this);
    sqlite3_progress_handler(mDb, 1000, &Database::progress, this);
}

std::unique_ptr<Database> Database::open(const std::string& path, const StatementLimits& limits,
                                         ResultBudget& budget, std::string& error)
{
    sqlite3* db = nullptr;
    // The handle's own locking is left out: the Database runs one statement at a time.
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        error = std::string("Can't open database: ") + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    // A write waits for the one under way, which ends within a statement's time.
    sqlite3_busy_timeout(db, static_cast<int>(limits.time.count()) + 1000);
    // WAL lets readers run beside the writer; NORMAL synchronisation keeps every
    // committed statement across a crash of the server.
    char* message = nullptr;
    if (sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                     &message) != SQLITE_OK) {
        error = std::string("Can't open database: ") + (message ? message : "unknown error");
        sqlite3_free(message);
        sqlite3_close(db);
        return nullptr;
    }
    return std::unique_ptr<Database>(new Database(db, limits, budget));
}

Database::~Database()
{
    close();
}

void Database::close()
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDb)
        sqlite3_close_v2(mDb);
    mDb = nullptr;
}

// Keeps client statements inside their database: no attaching other files, no
// transactions (a client that left one open would hold every other client's writes
// back), no pragmas.
int Database::authorize(void* self, int action, const char*, const char*, const char*, const char*)
{
    if (!static_cast<Database*>(self)->mClientStatement)
        return SQLITE_OK;
    switch (action) {
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
    case SQLITE_PRAGMA:
        return SQLITE_DENY;
    default:
        return SQLITE_OK;
    }
}

int Database::progress(void* self)
{
    Database* db = static_cast<Database*>(self);
    if (db->mRunning && std::chrono::steady_clock::now() > db->mDeadline) {
        db->mTimedOut = true;
        return 1;
    }
    return 0;
}

bool Database::loadTable(const std::string& table, std::vector<FieldDescription>& fields)
{
    // The server's own catalogue statements, run while a client statement may be
    // under way, are not the client's.
    bool clientStatement = mClientStatement;
    mClientStatement = false;
    bool found = readTable(table, fields);
    mClientStatement = clientStatement;
    return found;
}

bool Database::readTable(const std::string& table, std::vector<FieldDescription>& fields)
{
    fields.clear();
    Finalizer columns;
    sqlite3_prepare_v2(mDb, "SELECT name, type, \"notnull\", pk FROM pragma_table_info(?1)", -1,
                       &columns.statement, nullptr);
    sqlite3_bind_text(columns.statement, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    int keyColumns = 0;
    size_t keyIndex = 0;
    while (sqlite3_step(columns.statement) == SQLITE_ROW) {
        FieldDescription field = typeOfDeclaration(
            reinterpret_cast<const char*>(sqlite3_column_text(columns.statement, 1)));
        field.name = reinterpret_cast<const char*>(sqlite3_column_text(columns.statement, 0));
        field.table = table;
        field.notNull = sqlite3_column_int(columns.statement, 2) != 0;
        if (sqlite3_column_int(columns.statement, 3) > 0) {
            keyColumns++;
            keyIndex = fields.size();
        }
        if (field.type == 0) {
            field.type = CHAR_TYPE;
            field.length = 0;
        }
        fields.push_back(field);
    }
    if (fields.empty())
        return false;
    if (keyColumns == 1)
        fields[keyIndex].unique = true;

    // Columns that a unique index of their own covers.
    Finalizer unique;
    sqlite3_prepare_v2(mDb,
                       "SELECT ii.name FROM pragma_index_list(?1) AS il, pragma_index_info(il.name) AS ii "
                       "WHERE il.\"unique\" AND (SELECT count(*) FROM pragma_index_info(il.name)) = 1",
                       -1, &unique.statement, nullptr);
    sqlite3_bind_text(unique.statement, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(unique.statement) == SQLITE_ROW) {
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(unique.statement, 0));
        for (auto& field : fields)
            if (name && field.name == name)
                field.unique = true;
    }
    return true;
}

std::vector<FieldDescription> Database::describeResult(sqlite3_stmt* statement)
{
    std::map<std::string, std::vector<FieldDescription>> tables;
    std::vector<FieldDescription> fields;
    int count = sqlite3_column_count(statement);
    for (int i = 0; i < count; i++) {
        const char* table = sqlite3_column_table_name(statement, i);
        const char* origin = sqlite3_column_origin_name(statement, i);
        FieldDescription field = typeOfDeclaration(sqlite3_column_decltype(statement, i));
        if (table && origin) {
            auto known = tables.find(table);
            if (known == tables.end()) {
                known = tables.emplace(table, std::vector<FieldDescription>()).first;
                loadTable(table, known->second);
            }
            for (const auto& column : known->second)
                if (column.name == origin)
                    field = column;
            field.table = table;
        }
        const char* name = sqlite3_column_name(statement, i);
        field.name = name ? name : "";
        fields.push_back(field);
    }
    return fields;
}

bool Database::collectRows(sqlite3_stmt* statement, StatementResult& result)
{
    // A cell costs its value and its item in the reply's packet; a row its vector
    // and its packet's length.
    constexpr size_t cellCost = sizeof(Cell) + 8, rowCost = sizeof(std::vector<Cell>) + MSQL_LENGTH_BYTES;
    constexpr size_t budgetStep = 64u << 10;
    result.memory = BudgetShare(&mBudget);
    size_t bytes = 0;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        bytes += rowCost + cellCost * result.fields.size();
        std::vector<Cell> row(result.fields.size());
        for (size_t i = 0; i < row.size(); i++) {
            int column = static_cast<int>(i);
            int kind = sqlite3_column_type(statement, column);
            FieldDescription& field = result.fields[i];
            if (kind == SQLITE_NULL) {
                row[i].null = true;
                continue;
            }
            const unsigned char* text = sqlite3_column_text(statement, column);
            int length = sqlite3_column_bytes(statement, column);
            row[i].text.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
            bytes += 2 * static_cast<size_t>(length);
            if (field.type == 0)
                field.type = typeOfValue(kind);
            if (field.table.empty())
                field.length = std::max(field.length, length);
        }
        result.rows.push_back(std::move(row));
        if (bytes > mLimits.resultBytes) {
            result.error = "Result too large";
            return false;
        }
        if (!result.memory.growTo((bytes / budgetStep + 1) * budgetStep)) {
            result.error = "Server busy: the results of other clients fill its memory; try again later";
            return false;
        }
    }
    if (rc != SQLITE_DONE) {
        result.error = sqlite3_errmsg(mDb);
        return false;
    }
    for (auto& field : result.fields)
        if (field.type == 0)
            field.type = CHAR_TYPE;
    return true;
}

StatementResult Database::execute(std::string_view statement)
{
    StatementResult result;
    std::string sql = toSqlite(statement);
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDb == nullptr) {
        result.error = "Server is shutting down";
        return result;
    }
    Finalizer prepared, rest;
    const char* tail = nullptr;
    // Checked while preparing and while running: some statements (VACUUM INTO)
    // attach their file only when they run.
    ClientStatementScope scope(mClientStatement);
    int rc = sqlite3_prepare_v2(mDb, sql.c_str(), static_cast<int>(sql.size()), &prepared.statement, &tail);
    if (rc == SQLITE_OK && tail && !onlyBlank(tail))
        rc = sqlite3_prepare_v2(mDb, tail, -1, &rest.statement, nullptr);
    if (rc != SQLITE_OK) {
        result.error = sqlite3_errmsg(mDb);
        return result;
    }
    if (prepared.statement == nullptr) {
        result.error = "Empty query";
        return result;
    }
    if (rest.statement != nullptr) {
        result.error = "Only one statement per query";
        return result;
    }

    mTimedOut = false;
    mDeadline = std::chrono::steady_clock::now() + mLimits.time;
    mRunning = true;
    bool done;
    if (sqlite3_column_count(prepared.statement) > 0) {
        result.hasColumns = true;
        result.fields = describeResult(prepared.statement);
        done = collectRows(prepared.statement, result);
    } else {
        while ((rc = sqlite3_step(prepared.statement)) == SQLITE_ROW)
            ;
        done = rc == SQLITE_DONE;
        if (!done)
            result.error = sqlite3_errmsg(mDb);
        result.changes = sqlite3_changes(mDb);
    }
    mRunning = false;
    if (mTimedOut)
        result.error = "Statement ran longer than " + std::to_string(mLimits.time.count()) + " ms";
    result.ok = done && !mTimedOut;
    if (!result.ok) {
        result.rows = {};
        result.fields.clear();
        result.memory.release();
    }
    return result;
}

std::vector<std::string> Database::tableNames(std::string& error)
{
    std::vector<std::string> names;
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDb == nullptr) {
        error = "Server is shutting down";
        return names;
    }
    Finalizer list;
    sqlite3_prepare_v2(mDb,
                       "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite%' "
                       "ORDER BY name",
                       -1, &list.statement, nullptr);
    while (sqlite3_step(list.statement) == SQLITE_ROW)
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list.statement, 0)));
    return names;
}

bool Database::describeTable(const std::string& table, std::vector<FieldDescription>& fields,
                             std::string& error)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDb == nullptr) {
        error = "Server is shutting down";
        return false;
    }
    if (!loadTable(table, fields)) {
        error = "Unknown table \"" + table + "\"";
        return false;
    }
    return true;
}

Storage::Storage(std::string dataDir, StatementLimits limits)
    : mDataDir(std::move(dataDir)), mLimits(limits), mBudget(limits.heldBytes)
{
}

bool Storage::validName(std::string_view name)
{
    if (name.empty() || name.size() > 64)
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

std::shared_ptr<Database> Storage::open(const std::string& name, std::string& error)
{
    if (!validName(name)) {
        error = "Unknown database \"" + name + "\"";
        return nullptr;
    }
    std::string path = mDataDir + "/" + name + ".db";
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "Unknown database \"" + name + "\"";
        return nullptr;
    }
    std::shared_ptr<Database> db = Database::open(path, mLimits, mBudget, error);
    if (db) {
        std::lock_guard<std::mutex> lock(mMutex);
        mOpen.erase(std::remove_if(mOpen.begin(), mOpen.end(), [](const auto& open) { return open.expired(); }),
                    mOpen.end());
        mOpen.push_back(db);
    }
    return db;
}

std::vector<std::string> Storage::databaseNames() const
{
    std::vector<std::string> names;
    DIR* dir = opendir(mDataDir.c_str());
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        std::string file = entry->d_name;
        if (file.size() > 3 && file.compare(file.size() - 3, 3, ".db") == 0) {
            std::string name = file.substr(0, file.size() - 3);
            if (validName(name))
                names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void Storage::closeAll()
{
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto& open : mOpen)
        if (auto db = open.lock())
            db->close();
}

}  // namespace msqld
