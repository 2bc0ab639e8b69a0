// Settings that the tasks a process spawns start with: PVM passes the environment
// variables that PVM_EXPORT names (a list separated by ':') on to every spawned task.
#pragma once

#include <string>
#include <vector>

// The PVM_EXPORT list exported with each of names appended that it does not hold yet.
std::string WithExported(const std::string& exported, const std::vector<std::string>& names);

// Adds those of names that are set and not empty in this process's environment to
// its PVM_EXPORT, so that the tasks it spawns from now on start with them.
void ExportToSpawnedTasks(const std::vector<std::string>& names);
