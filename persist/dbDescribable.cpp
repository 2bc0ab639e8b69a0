#include "persist/dbDescribable.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <type_traits>

std::string WhereClause::msClause;

WhereClause::WhereClause(const std::string& whereClause) { msClause = whereClause; }

namespace {

[[noreturn]] void DescribeError() {
    throw DatabaseError("Describe error : I expect 1 DescribeObjectID and 1 DescribeClassName call", "", "");
}

// Assigns a column's text to an attribute.
void ParseValue(const char* text, unsigned long, bool& value) { value = std::atoi(text) != 0; }
void ParseValue(const char* text, unsigned long, int& value) { value = std::atoi(text); }
void ParseValue(const char* text, unsigned long, unsigned int& value) {
    value = static_cast<unsigned int>(std::strtoul(text, nullptr, 10));
}
void ParseValue(const char* text, unsigned long, long long& value) { value = std::strtoll(text, nullptr, 10); }
void ParseValue(const char* text, unsigned long, float& value) { value = static_cast<float>(std::atof(text)); }
void ParseValue(const char* text, unsigned long, double& value) { value = std::atof(text); }
void ParseValue(const char* text, unsigned long length, char& value) { value = length > 0 ? text[0] : '\0'; }
void ParseValue(const char* text, unsigned long length, std::string& value) { value.assign(text, length); }

// Appends value to out as it stands in a statement: numbers as the default
// formatting of an output stream writes them (floating point in general format
// with 6 significant digits), bools as 1 or 0, texts and characters quoted and
// escaped by the connection, texts cut to the column width.
template <class T> void AppendSqlValue(StandardDatabase& db, std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        if (value.size() <= STRING_COLUMN_WIDTH) {
            db.AppendQuoted(out, value.data(), value.size());
        } else {
            const std::string cut = CutToWidth(value);
            db.AppendQuoted(out, cut.data(), cut.size());
        }
    } else if constexpr (std::is_same_v<T, char>) {
        db.AppendQuoted(out, &value, 1);
    } else if constexpr (std::is_same_v<T, bool>) {
        out += value ? '1' : '0';
    } else if constexpr (std::is_floating_point_v<T>) {
        // MariaDB has no infinite or not-a-number values; such a result is stored as NULL.
        if (!std::isfinite(value)) {
            out += "NULL";
            return;
        }
        char text[32];
        const int length = std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
        out.append(text, static_cast<std::size_t>(length));
    } else {
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        out.append(text, end);
    }
}

}  // namespace

DbConvertor::DbConvertor(StandardDatabase* db) : mDB(db) {}

void DbConvertor::Pass(Describable& obj, DescribeActionEn action) {
    mDescribeAction = action;
    mDescribeStatementNbr = 0;
    obj.Describe(this);
    if (mDescribeStatementNbr < 3) DescribeError();
}

void DbConvertor::Separate(std::ostringstream& list, bool& first, const char* separator) {
    if (!first) list << separator;
    first = false;
}

bool DbConvertor::IsKeyColumn(const std::string& name) const {
    return std::find(mPk.begin(), mPk.end(), name) != mPk.end();
}

void DbConvertor::DescribeClassName(const std::string& class_name, const std::string&) {
    mDescribeStatementNbr = 2;
    mClassName = class_name;
    switch (mDescribeAction) {
    case CREATE:
        query_ = std::make_unique<std::ostringstream>();
        *query_ << "CREATE TABLE " << class_name << " ( ";
        break;
    case WHERE_PK:
        *query_ << " FROM " << class_name << " WHERE ";
        break;
    case WRITE:
        query_ = std::make_unique<std::ostringstream>();
        *query_ << "INSERT INTO " << class_name << " (";
        query_values = std::make_unique<std::ostringstream>();
        *query_values << " ) VALUES (";
        break;
    case UPDATE:
        query_update = std::make_unique<std::ostringstream>();
        *query_update << "UPDATE " << class_name << " SET ";
        query_ = std::make_unique<std::ostringstream>();
        break;
    case SELECT:
        query_ = std::make_unique<std::ostringstream>();
        *query_ << "SELECT ";
        query_values = std::make_unique<std::ostringstream>();
        break;
    case TABLE_NAME:
    case READ:
        break;
    }
    mFirstAttribute = true;
    mFirstPkAttribute = true;
}

void DbConvertor::DescribeObjectID(int nbrAttributes, const char* attribute_name, ...) {
    if (++mDescribeStatementNbr != 3) DescribeError();
    std::vector<std::string> names{attribute_name};
    std::va_list further;
    va_start(further, attribute_name);
    for (int i = 1; i < nbrAttributes; ++i) names.emplace_back(va_arg(further, const char*));
    va_end(further);

    switch (mDescribeAction) {
    case CREATE:
        query_prim_key = std::make_unique<std::ostringstream>();
        *query_prim_key << " PRIMARY KEY (" << names[0];
        for (std::size_t i = 1; i < names.size(); ++i) *query_prim_key << ", " << names[i];
        *query_prim_key << ") ";
        break;
    case WHERE_PK:
    case WRITE:
    case UPDATE:
        if (mPk.empty()) mPk = names;
        break;
    default:
        break;
    }
}

template <class T> std::string DbConvertor::FormattedValue(const T& value) {
    std::string formatted;
    AppendSqlValue(*mDB, formatted, value);
    return formatted;
}

template <class T> void DbConvertor::DescribeAttributeImpl(T& value, const std::string& name, bool notNull) {
    if (++mDescribeStatementNbr <= 3) DescribeError();
    const FieldType type = Attribute2FieldType(value);
    switch (mDescribeAction) {
    case CREATE:
        Separate(*query_, mFirstAttribute, ", ");
        *query_ << name << " " << FieldType2String(type) << (notNull ? " NOT NULL" : "");
        break;
    case TABLE_NAME:
        break;
    case WHERE_PK:
        if (IsKeyColumn(name)) {
            Separate(*query_, mFirstAttribute, " AND ");
            const std::string formatted = FormattedValue(value);
            *query_ << name << " = " << (FieldTypeNeedsQuotes(type) ? formatted : "'" + formatted + "'");
        }
        break;
    case WRITE:
    case SELECT:
        if (!mFirstAttribute) {
            *query_ << ", ";
            *query_values << ", ";
        }
        mFirstAttribute = false;
        *query_ << name;
        *query_values << FormattedValue(value);
        break;
    case UPDATE:
        if (IsKeyColumn(name)) {
            *query_ << (mFirstPkAttribute ? " WHERE " : " AND ") << name << " = " << FormattedValue(value);
            mFirstPkAttribute = false;
        } else {
            Separate(*query_update, mFirstAttribute, ", ");
            *query_update << name << " = " << FormattedValue(value);
        }
        break;
    case READ:
        ++_col;
        if (_query_row[_col] != nullptr) {
            const char* text = _query_row[_col];
            ParseValue(text, _lengths != nullptr ? _lengths[_col] : std::strlen(text), value);
        }
        break;
    }
}

void DbConvertor::DescribeAttribute(bool& value, const std::string& name, bool notNull) {
    DescribeAttributeImpl(value, name, notNull);
}
void DbConvertor::DescribeAttribute(int& value, const std::string& name, bool notNull) {
    DescribeAttributeImpl(value, name, notNull);
}
void DbConvertor::DescribeAttribute(unsigned int& value, const std::string& name, bool notNull) {
    DescribeAttributeImpl(value, name, notNull);
}
void DbConvertor::DescribeAttribute(long long& value, const std::string& name, bool notNull) {
    DescribeAttributeImpl(value, name, notNull);
}
void DbConvertor::DescribeAttribute(float& value, const std::string& name, bool notNull) {
    DescribeAttributeImpl(value, name, notNull);
}
void DbConvertor::DescribeAttribute(double& value, const std::string& name, bool notNull) {
    DescribeAttributeImpl(value, name, notNull);
}
void DbConvertor::DescribeAttribute(char& value, const std::string& name, bool notNull) {
    DescribeAttributeImpl(value, name, notNull);
}
void DbConvertor::DescribeAttribute(std::string& value, const std::string& name, bool notNull) {
    DescribeAttributeImpl(value, name, notNull);
}

std::string DbConvertor::CreateWriteQuery(Describable& obj) {
    std::string query;
    if (!obj.mWritten) {
        Pass(obj, WRITE);
        *query_values << ");";
        *query_ << query_values->str();
        query_values.reset();
        query = query_->str();
        query_.reset();
    } else {
        Pass(obj, UPDATE);
        // Without a key condition the update would change every row of the table.
        if (mFirstPkAttribute) DescribeError();
        *query_ << "; ";
        *query_update << query_->str();
        query = query_update->str();
        query_update.reset();
        query_.reset();
    }
    return query;
}

bool DbConvertor::WriteObj(Describable& obj) {
    const bool update = obj.mWritten;
    const int count = mDB->Query(CreateWriteQuery(obj));
    if (update) {
        mDescribeActionResult = count != 0;
    } else {
        obj.mWritten = true;
        mDescribeActionResult = true;
    }
    return mDescribeActionResult;
}

bool DbConvertor::ReadFirstRow(Describable& obj, const std::string& query) {
    _reslt = mDB->QueryRows(query);
    if (_reslt == nullptr) return false;
    _query_row = mysql_fetch_row(_reslt);
    const bool found = _query_row != nullptr;
    if (found) ReadFromRow(obj, _query_row, mysql_fetch_lengths(_reslt));
    mysql_free_result(_reslt);
    _reslt = nullptr;
    _query_row = nullptr;
    return found;
}

bool DbConvertor::ReadObj(Describable& obj) {
    Pass(obj, SELECT);
    Pass(obj, WHERE_PK);
    const std::string query = query_->str();
    query_.reset();
    query_values.reset();
    return ReadFirstRow(obj, query);
}

bool DbConvertor::ReadObj(Describable& obj, const std::string& whereClause) {
    return ReadFirstRow(obj, CreateSelectQuery(obj, whereClause));
}

std::string DbConvertor::CreateSelectQuery(Describable& obj, const std::string& whereClause) {
    Pass(obj, SELECT);
    *query_ << " FROM " << mClassName << " " << whereClause << ";";
    query_values.reset();
    const std::string query = query_->str();
    query_.reset();
    return query;
}

void DbConvertor::ReadFromRow(Describable& obj, MYSQL_ROW record, const unsigned long* lengths) {
    if (record == nullptr) return;
    _query_row = record;
    _lengths = lengths;
    _col = -1;
    Pass(obj, READ);
    _lengths = nullptr;
    obj.mWritten = true;
}

int DbConvertor::DeleteObj(Describable& obj, const std::string& whereClause) {
    query_ = std::make_unique<std::ostringstream>();
    if (whereClause.empty()) {
        *query_ << "DELETE ";
        Pass(obj, WHERE_PK);
    } else {
        Pass(obj, TABLE_NAME);
        *query_ << "DELETE FROM " << mClassName << " " << whereClause;
    }
    const std::string query = query_->str();
    query_.reset();
    const int count = mDB->Query(query);
    obj.mWritten = false;
    return count != 0 ? 1 : 0;
}

bool DbConvertor::CreateTable(Describable& obj, bool) {
    Pass(obj, TABLE_NAME);
    // The name is a LIKE pattern: its wildcards and escapes must match themselves.
    std::string pattern;
    for (char c : mClassName) {
        if (c == '_' || c == '%' || c == '\\' || c == '\'') pattern += '\\';
        pattern += c;
    }
    mDB->AwaitBatch();
    MYSQL_RES* tables = mysql_list_tables(mDB->Handle(), pattern.c_str());
    if (tables == nullptr) {
        mDB->Fail("Query failed: ", "SHOW TABLES LIKE '" + pattern + "'");
    }
    if (mysql_num_rows(tables) > 0) {
        std::cout << "CLASS " << mClassName << " is already in DB:" << std::endl;
        const unsigned int nbrColumns = mysql_num_fields(tables);
        while (MYSQL_ROW row = mysql_fetch_row(tables)) {
            for (unsigned int i = 0; i < nbrColumns; ++i) std::cout << (row[i] != nullptr ? row[i] : "") << " ";
            std::cout << std::endl;
        }
        mysql_free_result(tables);
        mDescribeActionResult = false;
        return false;
    }
    mysql_free_result(tables);
    mTableIndex = 0;
    Pass(obj, CREATE);
    *query_ << "," << query_prim_key->str() << ")";
    const std::string query = query_->str();
    query_.reset();
    query_prim_key.reset();
    mDescribeActionResult = mDB->Query(query) != 0;
    return mDescribeActionResult;
}

bool DbConvertor::DropTable(Describable& obj) {
    DeleteObj(obj);
    Pass(obj, TABLE_NAME);
    return mDB->Query("DROP TABLE " + mClassName) != 0;
}

void DbConvertor::DescribeIndex(bool, int, const char*, ...) {}

InsertBatchConvertor::InsertBatchConvertor(StandardDatabase* db) : mDB(db) {}

void InsertBatchConvertor::Add(Describable& record) {
    mRow.clear();
    mFirstAttribute = true;
    mDescribeStatementNbr = 0;
    record.Describe(this);
    if (mDescribeStatementNbr < 3) DescribeError();
    std::string& text = mBatch.Text();
    text += mWritingHead ? ") VALUES (" : ", (";
    mWritingHead = false;
    text += mRow;
    text += ')';
    record.mWritten = true;
    ++mNbrRows;
    if (text.size() - mStatementBegin >= MAX_STATEMENT_BYTES) EndStatement();
    if (text.size() >= MAX_BATCH_BYTES) Send();
}

void InsertBatchConvertor::AddStatement(const std::string& statement) {
    if (mInStatement) EndStatement();
    // The batch separates its statements itself; a trailing ";" would leave an empty one.
    const std::size_t end = statement.find_last_not_of("; \t\r\n");
    mBatch.BeginStatement().append(statement, 0, end == std::string::npos ? 0 : end + 1);
    mBatch.EndStatement();
}

void InsertBatchConvertor::Send() {
    if (mInStatement) EndStatement();
    mNbrRows = 0;
    mDB->SendBatch(mBatch);
}

int InsertBatchConvertor::Write() {
    Send();
    return mDB->AwaitBatch();
}

void InsertBatchConvertor::EndStatement() {
    mBatch.EndStatement();
    mInStatement = false;
}

void InsertBatchConvertor::DescribeClassName(const std::string& class_name, const std::string&) {
    mDescribeStatementNbr = 2;
    if (mInStatement && class_name != mTable) EndStatement();
    if (mInStatement) return;
    mTable = class_name;
    std::string& text = mBatch.BeginStatement();
    mStatementBegin = text.size();
    text += "INSERT INTO ";
    text += class_name;
    text += " (";
    mInStatement = true;
    mWritingHead = true;
}

void InsertBatchConvertor::DescribeObjectID(int, const char*, ...) {
    if (++mDescribeStatementNbr != 3) DescribeError();
}

template <class T> void InsertBatchConvertor::DescribeAttributeImpl(T& value, const std::string& name) {
    if (++mDescribeStatementNbr <= 3) DescribeError();
    if (!mFirstAttribute) mRow += ", ";
    if (mWritingHead) {
        std::string& text = mBatch.Text();
        if (!mFirstAttribute) text += ", ";
        text += name;
    }
    mFirstAttribute = false;
    AppendSqlValue(*mDB, mRow, value);
}

void InsertBatchConvertor::DescribeAttribute(bool& value, const std::string& name, bool) {
    DescribeAttributeImpl(value, name);
}
void InsertBatchConvertor::DescribeAttribute(int& value, const std::string& name, bool) {
    DescribeAttributeImpl(value, name);
}
void InsertBatchConvertor::DescribeAttribute(unsigned int& value, const std::string& name, bool) {
    DescribeAttributeImpl(value, name);
}
void InsertBatchConvertor::DescribeAttribute(long long& value, const std::string& name, bool) {
    DescribeAttributeImpl(value, name);
}
void InsertBatchConvertor::DescribeAttribute(float& value, const std::string& name, bool) {
    DescribeAttributeImpl(value, name);
}
void InsertBatchConvertor::DescribeAttribute(double& value, const std::string& name, bool) {
    DescribeAttributeImpl(value, name);
}
void InsertBatchConvertor::DescribeAttribute(char& value, const std::string& name, bool) {
    DescribeAttributeImpl(value, name);
}
void InsertBatchConvertor::DescribeAttribute(std::string& value, const std::string& name, bool) {
    DescribeAttributeImpl(value, name);
}

bool InsertBatchConvertor::WriteObj(Describable& obj) {
    Add(obj);
    return true;
}

bool InsertBatchConvertor::ReadObj(Describable&) { return false; }

StandardDatabase& operator<<(StandardDatabase& db, Describable& obj) {
    DbConvertor(&db).WriteObj(obj);
    return db;
}

StandardDatabase& operator>>(StandardDatabase& db, Describable& obj) {
    DbConvertor convertor(&db);
    if (WhereClause::msClause.empty()) {
        convertor.ReadObj(obj);
    } else {
        const std::string clause = WhereClause::msClause;
        WhereClause::msClause.clear();
        convertor.ReadObj(obj, clause);
    }
    return db;
}

StandardDatabase& operator>>(StandardDatabase& db, const WhereClause&) { return db; }
