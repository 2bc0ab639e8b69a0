#include "databaseaddress.h"

#include <kova_site.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace {

const char* const ADDRESS_VARIABLES[] = {"KOVA_DB_HOST", "KOVA_DB_PORT", "KOVA_DB_SOCKET"};

// The variable's value, or null when it is unset or empty.
const char* Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

DatabaseAddress MeasurementDatabaseAddress() {
    DatabaseAddress address{KOVA_DB_HOST, KOVA_DB_PORT, ""};
    if (const char* host = Setting("KOVA_DB_HOST")) address.host = host;
    if (const char* port = Setting("KOVA_DB_PORT")) {
        char* end = nullptr;
        errno = 0;
        const long number = std::strtol(port, &end, 10);
        if (errno != 0 || *end != '\0' || number < 1 || number > 65535)
            throw std::invalid_argument(std::string("KOVA_DB_PORT is not a TCP port (1 to 65535): '") + port + "'");
        address.port = static_cast<unsigned int>(number);
    }
    if (const char* socket = Setting("KOVA_DB_SOCKET")) {
        address.host = "localhost";
        address.socket = socket;
    }
    return address;
}

void ExportDatabaseAddress() {
    const char* exported = std::getenv("PVM_EXPORT");
    std::string list = exported != nullptr ? exported : "";
    const std::string before = list;
    for (const char* name : ADDRESS_VARIABLES) {
        if (Setting(name) == nullptr) continue;
        if ((":" + list + ":").find(std::string(":") + name + ":") != std::string::npos) continue;
        list += (list.empty() ? "" : ":") + std::string(name);
    }
    if (list != before) setenv("PVM_EXPORT", list.c_str(), 1);
}
