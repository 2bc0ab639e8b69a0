// The SQL convertor of the describe protocol and the stream operators through
// which records are written to and read from a StandardDatabase.
#pragma once

#include "describable.h"
#include "standarddatabase.h"

#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// Turns a record's Describe into SQL and runs it on a StandardDatabase: table
// creation and removal, insert, update, read by key or by a caller's SQL tail,
// delete. A convertor is a short-lived local object for records of one class;
// it learns the key column names from the first pass that needs them.
class DbConvertor : public IOConvertor {
public:
    enum DescribeActionEn { CREATE = 0, TABLE_NAME = 1, WHERE_PK = 2, WRITE = 3, UPDATE = 4, SELECT = 5, READ = 6 };

    explicit DbConvertor(StandardDatabase* db);

    void DescribeClassName(const std::string& class_name, const std::string& parent_name) override;
    void DescribeObjectID(int nbrAttributes, const char* attribute_name, ...) override;
    void DescribeAttribute(bool& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(int& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(unsigned int& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(long long& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(float& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(double& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(char& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(std::string& attribute_value, const std::string& attribute_name, bool notNull = false) override;

    // Inserts obj when obj.mWritten is false (then sets it; result true), otherwise
    // updates its row (result: the update matched a row).
    bool WriteObj(Describable& obj) override;
    // Fills obj from the row whose key columns equal obj's key attributes; false,
    // and obj unchanged, when there is none.
    bool ReadObj(Describable& obj) override;
    // Fills obj from the first row that the SQL tail (e.g. "WHERE p = 4") selects.
    bool ReadObj(Describable& obj, const std::string& whereClause);
    // The statement that WriteObj would run for obj (an insert or an update, by
    // obj.mWritten), built but not run; obj is left unchanged.
    std::string CreateWriteQuery(Describable& obj);
    // Deletes obj's row by key (empty whereClause) or the rows that whereClause
    // selects, and clears obj.mWritten. 1 when the server counted a change, else 0.
    int DeleteObj(Describable& obj, const std::string& whereClause = "");
    // The select statement for all attributes of obj's class with the given tail.
    std::string CreateSelectQuery(Describable& obj, const std::string& whereClause);
    // Assigns obj's attributes from the columns of record, in description order,
    // and sets obj.mWritten. NULL columns leave their attribute unchanged. With the
    // column lengths (mysql_fetch_lengths) texts may contain NUL bytes.
    void ReadFromRow(Describable& obj, MYSQL_ROW record, const unsigned long* lengths = nullptr);
    // Creates obj's table unless a table of that name exists (then lists it and
    // returns false). The flag has no effect.
    bool CreateTable(Describable& obj, bool keepDeletedAttributesInDB = false);
    // Deletes obj's row by key, then drops its table.
    bool DropTable(Describable& obj);
    // Accepted for completeness of record descriptions; creates no index.
    void DescribeIndex(bool unique, int nbrAttributes, const char* attribute_name, ...);

private:
    template <class T> void DescribeAttributeImpl(T& value, const std::string& name, bool notNull);
    template <class T> std::string FormattedValue(const T& value);
    // Runs obj's Describe in the given mode; a pass without its class name and key
    // breaks the protocol.
    void Pass(Describable& obj, DescribeActionEn action);
    // Writes the list separator before every item but the first of its list.
    void Separate(std::ostringstream& list, bool& first, const char* separator);
    bool IsKeyColumn(const std::string& name) const;
    // Runs a select and reads its first row into obj.
    bool ReadFirstRow(Describable& obj, const std::string& query);

    StandardDatabase* mDB;
    std::string mClassName;
    bool mDescribeActionResult = false;
    DescribeActionEn mDescribeAction = TABLE_NAME;
    std::vector<std::string> mPk;
    int mTableIndex = 0;
    int mDescribeStatementNbr = 0;
    bool mFirstAttribute = true;
    bool mFirstPkAttribute = true;
    std::unique_ptr<std::ostringstream> query_prim_key;
    std::unique_ptr<std::ostringstream> query_update;
    std::unique_ptr<std::ostringstream> query_values;
    std::unique_ptr<std::ostringstream> query_;
    MYSQL_RES* _reslt = nullptr;
    MYSQL_ROW _query_row = nullptr;
    const unsigned long* _lengths = nullptr;
    int _col = -1;
};

// The convertor of batch writes: each record given to Add becomes one row of a
// multi-row INSERT of its table, appended to one reused statement batch as the
// record's Describe runs; once the buffers have grown, adding a row allocates
// nothing. Rows of consecutive records of one table share a statement until it
// reaches MAX_STATEMENT_BYTES. Send hands the batch to the database without
// waiting for the server (StandardDatabase::SendBatch), so the rows are stored
// when their results are read; Write also waits. It only inserts new rows.
class InsertBatchConvertor : public IOConvertor {
public:
    // Largest statement, and largest batch text before Add sends it by itself;
    // well below the server's packet limit.
    static constexpr std::size_t MAX_STATEMENT_BYTES = 1 << 20;
    static constexpr std::size_t MAX_BATCH_BYTES = 8 << 20;

    explicit InsertBatchConvertor(StandardDatabase* db);

    // Appends record as a new row and counts it as written.
    void Add(Describable& record);
    template <class Records> void AddAll(Records& records) {
        for (auto& record : records) Add(record);
    }
    // Appends a statement of its own (an update, a delete; a trailing ";" is
    // allowed) to the same transaction.
    void AddStatement(const std::string& statement);
    // Rows added since the last Send.
    std::size_t NbrRows() const { return mNbrRows; }
    // Hands the rows added since the last Send to the database without waiting;
    // an earlier batch's results are read first, and a failure there throws DatabaseError.
    void Send();
    // Sends and waits for the server; returns the number of rows stored.
    int Write();

    void DescribeClassName(const std::string& class_name, const std::string& parent_name) override;
    void DescribeObjectID(int nbrAttributes, const char* attribute_name, ...) override;
    void DescribeAttribute(bool& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(int& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(unsigned int& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(long long& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(float& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(double& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(char& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    void DescribeAttribute(std::string& attribute_value, const std::string& attribute_name, bool notNull = false) override;
    // Same as Add; true.
    bool WriteObj(Describable& obj) override;
    // This convertor does not read: false.
    bool ReadObj(Describable& obj) override;

private:
    template <class T> void DescribeAttributeImpl(T& value, const std::string& name);
    void EndStatement();

    StandardDatabase* mDB;
    StatementBatch mBatch;
    // Table of the statement being built.
    std::string mTable;
    // The values of the row being described.
    std::string mRow;
    std::size_t mStatementBegin = 0;
    std::size_t mNbrRows = 0;
    int mDescribeStatementNbr = 0;
    bool mInStatement = false;
    // The statement's column list is being written (by its first row).
    bool mWritingHead = false;
    bool mFirstAttribute = true;
};

// Carries a caller's SQL tail (including the word WHERE) into the next read
// through a stream operator, which consumes it: db >> WhereClause("WHERE p = 4") >> v.
class WhereClause {
public:
    static std::string msClause;
    explicit WhereClause(const std::string& whereClause);
};

// Writes one record (insert or update).
StandardDatabase& operator<<(StandardDatabase& db, Describable& obj);
// Reads one record: by the pending WhereClause when there is one, else by key.
StandardDatabase& operator>>(StandardDatabase& db, Describable& obj);
// Lets a WhereClause be chained in front of a read; its construction set the tail.
StandardDatabase& operator>>(StandardDatabase& db, const WhereClause& whereClause);

// Writes every record of the list, in list order.
template <class T> StandardDatabase& operator<<(StandardDatabase& db, std::list<T>& records) {
    DbConvertor convertor(&db);
    for (T& record : records) convertor.WriteObj(record);
    return db;
}

// Appends one record per row that the pending WhereClause selects (all rows when
// there is none), in row order, and consumes the clause.
template <class T> StandardDatabase& operator>>(StandardDatabase& db, std::vector<T>& records) {
    DbConvertor convertor(&db);
    T prototype;
    const std::string query = convertor.CreateSelectQuery(prototype, WhereClause::msClause);
    WhereClause::msClause.clear();
    MYSQL_RES* result = db.QueryRows(query);
    if (result == nullptr) return db;
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        convertor.ReadFromRow(prototype, row, mysql_fetch_lengths(result));
        records.push_back(prototype);
    }
    mysql_free_result(result);
    return db;
}
