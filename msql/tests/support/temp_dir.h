// Temporary directories of tests and benchmarks.
#pragma once

#include <string>

namespace msqltest {

// Creates a fresh directory under the system's temporary directory.
std::string makeTempDir(const std::string& prefix);
// Removes a directory with everything in it.
void removeTree(const std::string& path);

}  // namespace msqltest
