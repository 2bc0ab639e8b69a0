// Reading many rows of one record type without holding them all: the rows are
// streamed from the server and each is read into one reused record through its
// own description.
#pragma once
#include "persist/dbDescribable.h"

#include <string>

// Reads every row of T's table that the SQL tail selects (e.g. "WHERE expID = 3
// ORDER BY nbr") into one record and calls onRow(record) for each, in row order.
// A failing query throws DatabaseError as StandardDatabase::QueryRows does.
template <class T, class OnRow> void ReadEachRow(StandardDatabase& db, const std::string& whereClause, OnRow onRow) {
    DbConvertor convertor(&db);
    T record;
    const std::string query = convertor.CreateSelectQuery(record, whereClause);
    MYSQL_RES* result = db.QueryRowsStreamed(query);
    if (result == nullptr) return;
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        convertor.ReadFromRow(record, row, mysql_fetch_lengths(result));
        onRow(record);
    }
    if (mysql_errno(db.Handle()) != 0) {
        const DatabaseError failure("Query failed: ", query, mysql_error(db.Handle()), mysql_errno(db.Handle()));
        mysql_free_result(result);
        throw failure;
    }
    mysql_free_result(result);
}
