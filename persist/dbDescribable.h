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
