// What the tests of kova measure share: building a test's programs and what a
// measured run stored.
#pragma once
#include "tests/support/testsupport.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>

// Runs the shell commands in folder; a failure fails the test with their output.
void Build(const std::filesystem::path& folder, const std::string& commands);
// The experiment that kova measure reports as stored, or -1.
int StoredExperiment(const std::string& errors);
// kova analyse's JSON summary of the experiment.
nlohmann::json Analysed(int id);
// The number a query of the measurement database selects.
long long Number(const std::string& query);
// Every message of the experiment was received and matched with its send.
void ExpectEveryMessageMatched(int id, int messages);
