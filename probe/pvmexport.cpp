#include "probe/pvmexport.h"

#include <cstdlib>

std::string WithExported(const std::string& exported, const std::vector<std::string>& names) {
    std::string list = exported;
    for (const std::string& name : names)
        if ((":" + list + ":").find(":" + name + ":") == std::string::npos) list += (list.empty() ? "" : ":") + name;
    return list;
}

void ExportToSpawnedTasks(const std::vector<std::string>& names) {
    std::vector<std::string> set;
    for (const std::string& name : names) {
        const char* value = std::getenv(name.c_str());
        if (value != nullptr && *value != '\0') set.push_back(name);
    }
    const char* exported = std::getenv("PVM_EXPORT");
    const std::string before = exported != nullptr ? exported : "";
    const std::string list = WithExported(before, set);
    if (list != before) setenv("PVM_EXPORT", list.c_str(), 1);
}
