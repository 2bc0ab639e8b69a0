// The connection to the measurement database (MySQL protocol) and the
// vocabulary of column types and quoting that the SQL convertor uses.
#pragma once

#include "databaseerror.h"

#include <mysql.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Column type of each persistent attribute type.
enum FieldType {
    TP_BOOL = 0,
    TP_INT = 1,
    TP_UINT = 2,
    TP_TIME = 3,
    TP_FLOAT = 4,
    TP_DOUBLE = 5,
    TP_CHAR = 6,
    TP_STRING = 7
};

FieldType Attribute2FieldType(const bool&);
FieldType Attribute2FieldType(const int&);
FieldType Attribute2FieldType(const unsigned int&);
FieldType Attribute2FieldType(const long long&);
FieldType Attribute2FieldType(const float&);
FieldType Attribute2FieldType(const double&);
FieldType Attribute2FieldType(const char&);
FieldType Attribute2FieldType(const std::string&);

// The column type text of a table definition ("int", "varchar(50)", ...).
std::string FieldType2String(FieldType type);
// True for the types whose values are written between single quotes.
bool FieldTypeNeedsQuotes(FieldType type);

// Widest text, in bytes, that a TP_STRING column holds.
constexpr std::size_t STRING_COLUMN_WIDTH = 50;

// str between single quotes, with quotes, backslashes and NUL bytes escaped so
// that the server reads back exactly str (for connections in the server's default
// escaping mode; StandardDatabase::QuotedValue asks the connection instead).
std::string QuotedString(const std::string& str);
// str cut to at most width bytes, never in the middle of a UTF-8 sequence.
std::string CutToWidth(const std::string& str, std::size_t width = STRING_COLUMN_WIDTH);
// The current local time as asctime writes it ("Tue Mar  4 09:05:07 2025").
std::string StringWithDateAndTime();

class StandardDatabase;

// Statements joined into one text that runs as one transaction:
// "START TRANSACTION; s1; s2; ...; COMMIT". Built in place and reused, so that a
// batch written again and again allocates nothing once its buffers have grown.
class StatementBatch {
public:
    StatementBatch();
    // Empties the batch and keeps its buffers.
    void Clear();
    // Starts the next statement; its text is then appended to Text().
    std::string& BeginStatement();
    // Ends the statement begun last.
    void EndStatement();
    std::size_t NbrStatements() const { return mStatements.size(); }
    // The text of statement i (from 0), without separators.
    std::string Statement(std::size_t i) const;
    std::string& Text() { return mText; }

private:
    friend class StandardDatabase;
    std::string mText;
    // Where each statement lies in mText: begin and end offsets.
    std::vector<std::pair<std::size_t, std::size_t>> mStatements;
};

// Pool predicate: matches the connection of one user, server and database.
class Db_Equal {
public:
    std::string mUser;
    std::string mDbServer;
    std::string mDbName;

    Db_Equal(const std::string& user, const std::string& db_name, const std::string& db_server);
    bool operator()(const StandardDatabase* db) const;
};

// One open connection to a database server. It runs the SQL that other parts
// build and offers a few ready-made queries. Connected from construction to
// destruction. Every failure throws DatabaseError with the server's message. Connections can be shared
// through a process-wide pool keyed by user, server and database.
class StandardDatabase {
public:
    std::string mDbServer;
    std::string mDbName;
    std::string mUser;
    // Pool users of this object; 0 for one constructed directly.
    int mNbrUsed;
    static std::vector<StandardDatabase*> msDbConnections;

    // Connects to db_name on db_server; port 0 is the client library's default. A
    // failed connection throws DatabaseError "Failed to connect to the database
    // server <db_name>" with the client's message.
    // The password is used for connecting only. A unix_socket names the socket
    // of a server on this host, which the client library uses when db_server is
    // "localhost".
    StandardDatabase(const std::string& user, const std::string& password, const std::string& db_name,
                     const std::string& db_server, unsigned int port = 0, const std::string& unix_socket = "");
    ~StandardDatabase();
    StandardDatabase(const StandardDatabase&) = delete;
    StandardDatabase& operator=(const StandardDatabase&) = delete;

    // The pooled connection for user, server and database, created on first use;
    // each call counts one more user. The password does not take part in the match.
    static StandardDatabase* GetDbConnection(const std::string& user, const std::string& password,
                                             const std::string& db_name, const std::string& db_server,
                                             unsigned int port = 0);
    // Releases one use of a pooled connection; the last one closes it. Null is ignored.
    static void EndOfUseOfDbConnection(StandardDatabase* dbConnection);

    // Result set of a statement that yields rows (null for one without rows); the
    // caller frees it with mysql_free_result. A failing statement throws
    // DatabaseError "Query failed: <statement>" with the server's message.
    MYSQL_RES* QueryRows(const std::string& query);
    // Like QueryRows, but the rows stay at the server until they are fetched, so that
    // many rows can be read without holding them all. The caller fetches every row
    // (then checks mysql_errno) and frees the result before the next statement.
    MYSQL_RES* QueryRowsStreamed(const std::string& query);
    // Runs a statement without rows. Returns the number that the server's
    // information text starts with (records of a multi-row insert, matched rows of an
    // update), else 1. A failing statement throws as QueryRows does.
    int Query(const std::string& query);
    // Runs all statements in one round trip inside one transaction and returns the
    // total of their affected rows. Each element is one statement (a trailing ";"
    // is allowed) that does not commit by itself, such as an insert or an update.
    // A batch that loses a deadlock or a row lock wait is sent again, up to five
    // times in all. On a failure nothing of the batch is kept and DatabaseError
    // names the failing statement.
    int QueryBatch(const std::vector<std::string>& statements);
    // Hands the batch to the server without waiting for it to run: the text is sent
    // and the results are read later, by AwaitBatch or by the next statement sent
    // on this connection, which awaits an outstanding batch first. The batch is
    // taken over and batch is left empty (holding the buffers of an earlier batch).
    // Nothing is sent for an empty batch. A send that fails throws DatabaseError.
    void SendBatch(StatementBatch& batch);
    // Reads the results of the batch sent last, if one is outstanding, and returns
    // the total of its affected rows (0 when none is outstanding). On a failure
    // nothing of that batch is kept and DatabaseError names the failing statement.
    int AwaitBatch();
    // Inserts one row whose first nbrValues columns are the const char* values that
    // follow, in column order; the remaining columns get their defaults.
    void InsertRecord(const std::string& table_name, int nbrValues, ...);
    // The value that the last insert gave an AUTO_INCREMENT column (0 when it gave none).
    long long LastInsertID();
    // The server's number of this connection, as KILL CONNECTION takes it.
    unsigned long ConnectionID();
    // The client library's handle of the connection, for code that calls the
    // client library itself (rows read as they stream in, the recording core).
    MYSQL* Handle();
    // First column of the first row, or "" when there is no row.
    std::string QueryFirst(const std::string& query);
    // First column of every row, in row order.
    std::vector<std::string> QueryStrings(const std::string& query);
    // Number of rows of tableName whose column fieldName equals fieldValue.
    int CheckExistence(const std::string& tableName, const std::string& fieldName,
                       const std::string& fieldValue);
    // Column _seq of the first row of table_name; 0 when the table has no row.
    long GetSequence(const std::string& table_name);
    // One more than the largest idFieldName (of the rows whereClause selects, when
    // it is not empty); 1 when there is none.
    long GetNextID(const std::string& tableName, const std::string& idFieldName,
                   const std::string& whereClause = "");
    // The client library's type code of a column; MYSQL_TYPE_NULL when the table
    // has no such column.
    enum_field_types GetTypeOfField(const std::string& tableName, const std::string& fieldName);

    // value between single quotes, escaped by the connection so that any text is
    // stored unchanged.
    std::string QuotedValue(const std::string& value);
    // Appends the length bytes at value to out as QuotedValue writes them.
    void AppendQuoted(std::string& out, const char* value, std::size_t length);
    // When log is not null, every statement sent from now on is also written to it,
    // one per line; null stops the log.
    void SetStatementLog(std::ostream* log);
    // Throws DatabaseError with heading, the statement and the connection's last error.
    [[noreturn]] void Fail(const std::string& heading, const std::string& statement);

private:
    MYSQL mMysql;
    std::ostream* mStatementLog = nullptr;
    // The batch whose results were not read yet; its text names a failed statement.
    StatementBatch mPendingBatch;
    bool mBatchPending = false;

    void ConnectToDatabase(const std::string& password, unsigned int port, const std::string& unix_socket = "");
    void CloseDatabaseConnection();
    // Sends one statement text (logged when a log is set), after reading the results
    // of an outstanding batch; true when it ran.
    bool Send(const std::string& query);
    // Sends the text without reading its result; true when it was sent.
    bool SendOnly(const std::string& text);
    // Reads and frees the results of the further statements of a multi-statement
    // text; false when one of them failed.
    bool DiscardFurtherResults();
    // The stored result of a row query of CheckExistence and GetSequence, whose
    // failures have their own heading.
    MYSQL_RES* QuerySequenceRows(const std::string& query);
    // value as it stands in an insert into field: bare when the column is numeric
    // and value a plain number, else quoted (cut to the width of a text column);
    // NULL for a null pointer.
    std::string FieldValue(const MYSQL_FIELD* field, const char* value);
};
