// Helpers shared by the probe's tests: a connection to the measurement database,
// row queries, names unique per test, and a child-process runner that feeds
// standard input and collects standard output.
#pragma once

#include <standarddatabase.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// A new connection to the measurement database of this build.
std::unique_ptr<StandardDatabase> ConnectToMeasurementDb();

// An application name unique to the running test and process (at most 50 chars).
std::string UniqueAppName(const std::string& prefix = "ProbeTest");

// One row as column name -> text, and all rows of a query.
using Row = std::map<std::string, std::string>;
std::vector<Row> SelectRows(StandardDatabase& db, const std::string& query);
long long SelectNumber(StandardDatabase& db, const std::string& query);

// Deletes every experiment of that application name with all rows stored for it.
void DeleteExperimentsOf(StandardDatabase& db, const std::string& appName);

// How a child process ended and what it wrote on standard output.
struct ChildResult {
    bool exited = false;  // false when a signal ended it
    int exitCode = 0;
    std::string output;
};

// Runs body in a forked child with input on its standard input (then end of
// input) and its standard output collected; a child that returns from body exits
// with 0; one that runs longer than 60 s is killed.
ChildResult RunInChild(const std::function<void()>& body, const std::string& input = "");

// Number of times needle occurs in text.
int CountOccurrences(const std::string& text, const std::string& needle);
