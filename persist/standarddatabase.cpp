#include "persist/standarddatabase.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include <mysqld_error.h>
#include <unistd.h>

std::vector<StandardDatabase*> StandardDatabase::msDbConnections;

namespace {

// Seconds a connection attempt may take before it counts as failed.
constexpr unsigned int CONNECT_TIMEOUT_SECONDS = 10;

// Column types whose values are written bare: decimal up to int24, and year.
bool IsNumericField(enum_field_types type) {
    return type <= MYSQL_TYPE_INT24 || type == MYSQL_TYPE_YEAR;
}

// True for a plain decimal number ("-12", "3.5", "1e+06"), the only text that
// may stand bare in a statement.
bool IsNumberLiteral(const char* text) {
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    bool digits = false;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p, digits = true;
    if (*p == '.') {
        ++p;
        while (std::isdigit(static_cast<unsigned char>(*p))) ++p, digits = true;
    }
    if (!digits) return false;
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    }
    return *p == '\0';
}

bool IsTextField(enum_field_types type) {
    return type == MYSQL_TYPE_VARCHAR || type == MYSQL_TYPE_VAR_STRING || type == MYSQL_TYPE_STRING;
}

// Widest value, in bytes of this connection's character set (one byte per
// character), that a text column holds.
std::size_t TextFieldWidth(const MYSQL_FIELD& field) {
    const MARIADB_CHARSET_INFO* charset = mariadb_get_charset_by_nr(field.charsetnr);
    const unsigned int bytesPerCharacter = charset && charset->char_maxlen > 0 ? charset->char_maxlen : 1;
    return field.length / bytesPerCharacter;
}

}  // namespace

FieldType Attribute2FieldType(const bool&) { return TP_BOOL; }
FieldType Attribute2FieldType(const int&) { return TP_INT; }
FieldType Attribute2FieldType(const unsigned int&) { return TP_UINT; }
FieldType Attribute2FieldType(const long long&) { return TP_TIME; }
FieldType Attribute2FieldType(const float&) { return TP_FLOAT; }
FieldType Attribute2FieldType(const double&) { return TP_DOUBLE; }
FieldType Attribute2FieldType(const char&) { return TP_CHAR; }
FieldType Attribute2FieldType(const std::string&) { return TP_STRING; }

std::string FieldType2String(FieldType type) {
    switch (type) {
    case TP_BOOL: return "bool";
    case TP_INT: return "int";
    case TP_UINT: return "int unsigned";
    case TP_TIME: return "bigint";
    case TP_FLOAT: return "float";
    case TP_DOUBLE: return "double";
    case TP_CHAR: return "char";
    case TP_STRING: return "varchar(50)";
    }
    return "";
}

bool FieldTypeNeedsQuotes(FieldType type) { return type == TP_CHAR || type == TP_STRING; }

std::string QuotedString(const std::string& str) {
    std::string quoted = "'";
    for (char c : str) {
        switch (c) {
        case '\'': quoted += "\\'"; break;
        case '\\': quoted += "\\\\"; break;
        case '\0': quoted += "\\0"; break;
        default: quoted += c;
        }
    }
    return quoted + "'";
}

std::string CutToWidth(const std::string& str, std::size_t width) {
    if (str.size() <= width) return str;
    const auto byte = [&str](std::size_t at) { return static_cast<unsigned char>(str[at]); };
    const auto continues = [&byte](std::size_t at) { return (byte(at) & 0xC0) == 0x80; };
    // Only a UTF-8 sequence that the cut splits is dropped: a lead byte followed by
    // fewer of its (at most three) continuation bytes than it announces. Other bytes
    // 0x80-0xBF (latin1 text) stay.
    if (!continues(width)) return str.substr(0, width);
    std::size_t lead = width;
    while (lead > 0 && width - lead < 3 && continues(lead - 1)) --lead;
    if (lead == 0) return str.substr(0, width);
    const unsigned char first = byte(lead - 1);
    const std::size_t length = first >= 0xF0 && first <= 0xF7 ? 4 : first >= 0xE0 && first <= 0xEF ? 3
                               : first >= 0xC0 && first <= 0xDF ? 2 : 0;
    const std::size_t kept = width - lead + 1;
    return str.substr(0, length > kept ? lead - 1 : width);
}

std::string StringWithDateAndTime() {
    const std::time_t now = std::time(nullptr);
    std::string text = std::asctime(std::localtime(&now));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

Db_Equal::Db_Equal(const std::string& user, const std::string& db_name, const std::string& db_server)
    : mUser(user), mDbServer(db_server), mDbName(db_name) {}

bool Db_Equal::operator()(const StandardDatabase* db) const {
    return db->mUser == mUser && db->mDbServer == mDbServer && db->mDbName == mDbName;
}

StandardDatabase::StandardDatabase(const std::string& user, const std::string& password, const std::string& db_name,
                                   const std::string& db_server, unsigned int port, const std::string& unix_socket)
    : mDbServer(db_server), mDbName(db_name), mUser(user), mNbrUsed(0) {
    mysql_init(&mMysql);
    ConnectToDatabase(password, port, unix_socket);
}

StandardDatabase::~StandardDatabase() { CloseDatabaseConnection(); }

void StandardDatabase::ConnectToDatabase(const std::string& password, unsigned int port,
                                         const std::string& unix_socket) {
    mysql_options(&mMysql, MYSQL_OPT_CONNECT_TIMEOUT, &CONNECT_TIMEOUT_SECONDS);
    // latin1 maps every byte to one character, so any text is stored byte for byte
    // and a column's width in characters is its width in bytes.
    mysql_options(&mMysql, MYSQL_SET_CHARSET_NAME, "latin1");
    // Multi-statement texts let QueryBatch send many statements in one round trip.
    if (mysql_real_connect(&mMysql, mDbServer.c_str(), mUser.c_str(), password.c_str(), mDbName.c_str(), port,
                           unix_socket.empty() ? nullptr : unix_socket.c_str(), CLIENT_MULTI_STATEMENTS) == nullptr) {
        const DatabaseError failure("Failed to connect to the database server ", mDbName, mysql_error(&mMysql),
                                    mysql_errno(&mMysql));
        mysql_close(&mMysql);
        throw failure;
    }
}

void StandardDatabase::CloseDatabaseConnection() { mysql_close(&mMysql); }

StandardDatabase* StandardDatabase::GetDbConnection(const std::string& user, const std::string& password,
                                                    const std::string& db_name, const std::string& db_server,
                                                    unsigned int port) {
    auto found = std::find_if(msDbConnections.begin(), msDbConnections.end(), Db_Equal(user, db_name, db_server));
    StandardDatabase* db = nullptr;
    if (found != msDbConnections.end()) {
        db = *found;
    } else {
        db = new StandardDatabase(user, password, db_name, db_server, port);
        msDbConnections.push_back(db);
    }
    ++db->mNbrUsed;
    return db;
}

void StandardDatabase::EndOfUseOfDbConnection(StandardDatabase* dbConnection) {
    if (dbConnection == nullptr) return;
    if (--dbConnection->mNbrUsed != 0) return;
    auto found = std::find(msDbConnections.begin(), msDbConnections.end(), dbConnection);
    if (found != msDbConnections.end()) msDbConnections.erase(found);
    delete dbConnection;
}

void StandardDatabase::SetStatementLog(std::ostream* log) { mStatementLog = log; }

bool StandardDatabase::SendOnly(const std::string& text) {
    if (mStatementLog != nullptr) *mStatementLog << text << std::endl;
    return mysql_send_query(&mMysql, text.data(), text.size()) == 0;
}

bool StandardDatabase::Send(const std::string& query) {
    AwaitBatch();
    return SendOnly(query) && mysql_read_query_result(&mMysql) == 0;
}

void StandardDatabase::Fail(const std::string& heading, const std::string& statement) {
    throw DatabaseError(heading, statement, mysql_error(&mMysql), mysql_errno(&mMysql));
}

bool StandardDatabase::DiscardFurtherResults() {
    int status;
    while ((status = mysql_next_result(&mMysql)) == 0) {
        if (MYSQL_RES* result = mysql_store_result(&mMysql)) mysql_free_result(result);
    }
    return status < 0;
}

MYSQL_RES* StandardDatabase::QueryRows(const std::string& query) {
    if (!Send(query)) {
        Fail("Query failed: ", query);
    }
    MYSQL_RES* result = mysql_store_result(&mMysql);
    if ((result == nullptr && mysql_errno(&mMysql) != 0) || !DiscardFurtherResults()) {
        Fail("Query failed: ", query);
    }
    return result;
}

MYSQL_RES* StandardDatabase::QueryRowsStreamed(const std::string& query) {
    MYSQL_RES* result = nullptr;
    if (!Send(query) || ((result = mysql_use_result(&mMysql)) == nullptr && mysql_errno(&mMysql) != 0)) {
        Fail("Query failed: ", query);
    }
    return result;
}

int StandardDatabase::Query(const std::string& query) {
    if (!Send(query)) {
        Fail("Query failed: ", query);
    }
    int count = 1;
    if (const char* info = mysql_info(&mMysql)) {
        if (const char* colon = std::strchr(info, ':')) count = colon[1] != '\0' ? std::atoi(colon + 2) : 0;
    }
    if (MYSQL_RES* result = mysql_store_result(&mMysql)) mysql_free_result(result);
    if (!DiscardFurtherResults()) {
        Fail("Query failed: ", query);
    }
    return count;
}

StatementBatch::StatementBatch() { Clear(); }

void StatementBatch::Clear() {
    mText.assign("START TRANSACTION");
    mStatements.clear();
}

std::string& StatementBatch::BeginStatement() {
    mText += "; ";
    mStatements.emplace_back(mText.size(), mText.size());
    return mText;
}

void StatementBatch::EndStatement() { mStatements.back().second = mText.size(); }

std::string StatementBatch::Statement(std::size_t i) const {
    return mText.substr(mStatements[i].first, mStatements[i].second - mStatements[i].first);
}

int StandardDatabase::QueryBatch(const std::vector<std::string>& statements) {
    StatementBatch batch;
    for (const std::string& statement : statements) {
        const std::size_t end = statement.find_last_not_of("; \t\r\n");
        batch.BeginStatement().append(statement, 0, end == std::string::npos ? 0 : end + 1);
        batch.EndStatement();
    }
    SendBatch(batch);
    return AwaitBatch();
}

void StandardDatabase::SendBatch(StatementBatch& batch) {
    AwaitBatch();
    if (batch.NbrStatements() == 0) return;
    batch.mText += "; COMMIT";
    std::swap(batch, mPendingBatch);
    batch.Clear();
    if (!SendOnly(mPendingBatch.mText)) {
        Fail("Query failed: ", "START TRANSACTION");
    }
    mBatchPending = true;
}

int StandardDatabase::AwaitBatch() {
    // A batch that lost a deadlock or waited too long for a row lock is rolled back
    // whole and sent again as it was.
    constexpr int MAX_ATTEMPTS = 5;
    for (int attempt = 1;; ++attempt) {
        if (!mBatchPending) return 0;
        mBatchPending = false;
        // Result i of the text: 0 opens the transaction, 1..n are the statements, n + 1 commits.
        const std::size_t nbrStatements = mPendingBatch.NbrStatements();
        long long total = 0;
        std::size_t failed = std::string::npos;
        if (mysql_read_query_result(&mMysql) != 0) {
            failed = 0;
        } else {
            for (std::size_t i = 0;; ++i) {
                if (MYSQL_RES* result = mysql_store_result(&mMysql)) {
                    mysql_free_result(result);
                } else if (i >= 1 && i <= nbrStatements) {
                    total += static_cast<long long>(mysql_affected_rows(&mMysql));
                }
                const int status = mysql_next_result(&mMysql);
                if (status < 0) break;
                if (status > 0) {
                    failed = i + 1;
                    break;
                }
            }
        }
        if (failed == std::string::npos) return static_cast<int>(total);
        const unsigned int code = mysql_errno(&mMysql);
        if ((code == ER_LOCK_DEADLOCK || code == ER_LOCK_WAIT_TIMEOUT) && attempt < MAX_ATTEMPTS) {
            if (Send("ROLLBACK")) DiscardFurtherResults();
            usleep(10000 * attempt);
            mBatchPending = SendOnly(mPendingBatch.mText);
            if (mBatchPending) continue;
        }
        const std::string failedStatement = failed == 0                ? "START TRANSACTION"
                                            : failed <= nbrStatements ? mPendingBatch.Statement(failed - 1)
                                                                      : "COMMIT";
        const DatabaseError failure("Query failed: ", failedStatement, mysql_error(&mMysql), mysql_errno(&mMysql));
        // The server stops a multi-statement text at its first failure, inside the
        // open transaction; rolling back keeps nothing of the batch.
        if (Send("ROLLBACK")) DiscardFurtherResults();
        throw failure;
    }
}

std::string StandardDatabase::QuotedValue(const std::string& value) {
    std::string quoted;
    AppendQuoted(quoted, value.data(), value.size());
    return quoted;
}

void StandardDatabase::AppendQuoted(std::string& out, const char* value, std::size_t length) {
    const std::size_t start = out.size();
    // The escaped text takes at most two bytes per byte, and its terminating NUL one more.
    out.resize(start + 2 * length + 3);
    out[start] = '\'';
    const unsigned long escaped = mysql_real_escape_string(&mMysql, &out[start + 1], value, length);
    out[start + 1 + escaped] = '\'';
    out.resize(start + escaped + 2);
}

std::string StandardDatabase::FieldValue(const MYSQL_FIELD* field, const char* value) {
    if (value == nullptr) return "NULL";
    if (field != nullptr && IsNumericField(field->type) && IsNumberLiteral(value)) return value;
    if (field != nullptr && IsTextField(field->type)) return QuotedValue(CutToWidth(value, TextFieldWidth(*field)));
    return QuotedValue(value);
}

void StandardDatabase::InsertRecord(const std::string& table_name, int nbrValues, ...) {
    AwaitBatch();
    std::string query = "INSERT INTO " + table_name + " VALUES (";
    MYSQL_RES* fields = mysql_list_fields(&mMysql, table_name.c_str(), nullptr);
    const int nbrFields = fields != nullptr ? static_cast<int>(mysql_num_fields(fields)) : 0;
    std::va_list values;
    va_start(values, nbrValues);
    for (int i = 0; i < nbrValues; ++i) {
        if (i > 0) query += ", ";
        const char* value = va_arg(values, const char*);
        query += FieldValue(fields != nullptr ? mysql_fetch_field(fields) : nullptr, value);
    }
    va_end(values);
    for (int i = std::max(nbrValues, 0); i < nbrFields; ++i) {
        if (i > 0) query += ", ";
        query += "DEFAULT";
    }
    query += ")";
    if (fields != nullptr) mysql_free_result(fields);
    Query(query);
}

long long StandardDatabase::LastInsertID() { return static_cast<long long>(mysql_insert_id(&mMysql)); }

unsigned long StandardDatabase::ConnectionID() { return mysql_thread_id(&mMysql); }

MYSQL* StandardDatabase::Handle() { return &mMysql; }

std::string StandardDatabase::QueryFirst(const std::string& query) {
    MYSQL_RES* result = QueryRows(query);
    if (result == nullptr) return "";
    std::string first;
    if (MYSQL_ROW row = mysql_fetch_row(result)) {
        if (row[0] != nullptr) first.assign(row[0], mysql_fetch_lengths(result)[0]);
    }
    mysql_free_result(result);
    return first;
}

std::vector<std::string> StandardDatabase::QueryStrings(const std::string& query) {
    std::vector<std::string> strings;
    MYSQL_RES* result = QueryRows(query);
    if (result == nullptr) return strings;
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        strings.emplace_back(row[0] != nullptr ? std::string(row[0], mysql_fetch_lengths(result)[0]) : std::string());
    }
    mysql_free_result(result);
    return strings;
}

MYSQL_RES* StandardDatabase::QuerySequenceRows(const std::string& query) {
    if (!Send(query)) {
        Fail("select sequence query failed: ", query);
    }
    MYSQL_RES* result = mysql_store_result(&mMysql);
    if (result == nullptr || !DiscardFurtherResults()) {
        Fail("select sequence query failed: ", query);
    }
    return result;
}

int StandardDatabase::CheckExistence(const std::string& tableName, const std::string& fieldName,
                                     const std::string& fieldValue) {
    const bool numeric = IsNumericField(GetTypeOfField(tableName, fieldName));
    const std::string value =
        numeric && IsNumberLiteral(fieldValue.c_str()) ? fieldValue : QuotedValue(fieldValue);
    MYSQL_RES* result = QuerySequenceRows("SELECT * FROM " + tableName + " WHERE " + fieldName + " = " + value);
    const int rows = static_cast<int>(mysql_num_rows(result));
    mysql_free_result(result);
    return rows;
}

long StandardDatabase::GetSequence(const std::string& table_name) {
    MYSQL_RES* result = QuerySequenceRows("SELECT _seq FROM " + table_name);
    long sequence = 0;
    if (MYSQL_ROW row = mysql_fetch_row(result)) {
        if (row[0] != nullptr) sequence = std::atol(row[0]);
    }
    mysql_free_result(result);
    return sequence;
}

long StandardDatabase::GetNextID(const std::string& tableName, const std::string& idFieldName,
                                 const std::string& whereClause) {
    std::string query = "SELECT " + idFieldName + " FROM " + tableName;
    if (!whereClause.empty()) query += " WHERE " + whereClause;
    query += " ORDER BY " + idFieldName + " DESC";
    return std::atol(QueryFirst(query).c_str()) + 1;
}

enum_field_types StandardDatabase::GetTypeOfField(const std::string& tableName, const std::string& fieldName) {
    AwaitBatch();
    enum_field_types type = MYSQL_TYPE_NULL;
    MYSQL_RES* fields = mysql_list_fields(&mMysql, tableName.c_str(), nullptr);
    if (fields == nullptr) return type;
    while (MYSQL_FIELD* field = mysql_fetch_field(fields)) {
        if (fieldName == field->name) {
            type = field->type;
            break;
        }
    }
    mysql_free_result(fields);
    return type;
}
