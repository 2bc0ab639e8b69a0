// Helpers of annpipe's end-to-end tests: how they run a command on the virtual
// cluster, and a PVM executable path that logs how the slaves were started.
#pragma once

#include "tests/support/measurementdb.h"
#include "tests/support/testsupport.h"

#include <string>

// How these tests run a command on the three-host cluster: in folder, with pvmPath
// as PVM's executable path, and until every annpipe process of the run has ended.
ClusterOptions AnnpipeRun(const std::string& folder, const std::string& pvmPath);

// Makes folder/slaves a PVM executable path whose annpipe writes its arguments,
// one line per start ("<count>:<arguments>"), to folder/slave-arguments and then
// runs the real program. Returns the path.
std::string ArgumentLoggingPath(const std::string& folder);
