#include "tests/support/measurementdb.h"

#include "tests/support/testsupport.h"

#include "probe/replacement.h"
#include "probe/databaseaddress.h"
#include <kova_site.h>

#include <cstdlib>

std::unique_ptr<StandardDatabase> ConnectToMeasurementDb() {
    const DatabaseAddress address = MeasurementDatabaseAddress();
    return std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", address.host, address.port, address.socket);
}

std::vector<Row> SelectRows(StandardDatabase& db, const std::string& query) {
    std::vector<Row> rows;
    MYSQL_RES* result = db.QueryRows(query);
    if (result == nullptr) return rows;
    const unsigned int columns = mysql_num_fields(result);
    MYSQL_FIELD* fields = mysql_fetch_fields(result);
    while (MYSQL_ROW values = mysql_fetch_row(result)) {
        Row row;
        for (unsigned int i = 0; i < columns; ++i) row[fields[i].name] = values[i] != nullptr ? values[i] : "NULL";
        rows.push_back(row);
    }
    mysql_free_result(result);
    return rows;
}

long long SelectNumber(StandardDatabase& db, const std::string& query) {
    return std::atoll(db.QueryFirst(query).c_str());
}

void DeleteExperimentsOf(StandardDatabase& db, const std::string& application, const std::string& user) {
    // Stored names are cut to the column's width.
    std::string query = "SELECT ID FROM Experiments WHERE name = " + db.QuotedValue(CutToWidth(application));
    if (!user.empty()) query += " AND user = " + db.QuotedValue(user);
    for (const std::string& id : db.QueryStrings(query)) DeleteExperiment(std::atoi(id.c_str()), db);
}

std::string LatestExperiment(StandardDatabase& db, const std::string& application, const std::string& condition) {
    return db.QueryFirst("SELECT MAX(ID) FROM Experiments WHERE name = " + db.QuotedValue(CutToWidth(application)) +
                         " AND user = " + db.QuotedValue(LoginName()) + (condition.empty() ? "" : " AND " + condition));
}
