// Helpers of the tests that read the measurement database: the connection, rows
// and numbers of a query, and removing the experiments a test stored.
#pragma once

#include "persist/standarddatabase.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

// A new connection to this build's measurement database (KOVAUser on KOVAData).
std::unique_ptr<StandardDatabase> ConnectToMeasurementDb();

// One row as column name -> text ("NULL" for a NULL value).
using Row = std::map<std::string, std::string>;

// All rows of a query (none when it fails).
std::vector<Row> SelectRows(StandardDatabase& db, const std::string& query);

// The first column of a query's first row as a number (0 when there is none).
long long SelectNumber(StandardDatabase& db, const std::string& query);

// The newest experiment of application stored for this login name, with condition
// (such as "p > 1") on its row when not empty; "" when there is none.
std::string LatestExperiment(StandardDatabase& db, const std::string& application, const std::string& condition = "");

// Removes every experiment of that application name, of that user only unless the
// user is empty, with all the rows stored for it.
void DeleteExperimentsOf(StandardDatabase& db, const std::string& application, const std::string& user = "");
