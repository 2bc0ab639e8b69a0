// Helpers shared by the probe's tests: names unique per test, beside the helpers
// of every test (commands, child processes, the measurement database).
#pragma once

#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <string>

// An application name unique to the running test and process (at most 50 chars).
std::string UniqueAppName(const std::string& prefix = "ProbeTest");

