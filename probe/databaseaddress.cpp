#include "probe/databaseaddress.h"

#include "probe/pvmexport.h"

#include <kova_site.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

// The variable's value, or null when it is unset or empty.
const char* Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The login name of a user id, or "uid N".
std::string UserName(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry != nullptr ? entry->pw_name : "uid " + std::to_string(uid);
}

}  // namespace

bool TrustedSocketFolder(const std::string& socket, std::string& reason) {
    const std::size_t slash = socket.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : socket.substr(0, slash);
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0) {
        reason = folder + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(status.st_mode))
        reason = folder + " is a symbolic link";
    else if (!S_ISDIR(status.st_mode))
        reason = folder + " is not a folder";
    else if (status.st_uid != geteuid() && status.st_uid != 0)
        reason = folder + " belongs to " + UserName(status.st_uid) + ", not to " + UserName(geteuid());
    else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        reason = folder + " is writable by others than its owner";
    else
        return true;
    return false;
}

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
        std::string reason;
        if (!TrustedSocketFolder(socket, reason))
            throw std::invalid_argument(std::string("KOVA_DB_SOCKET names a socket in a folder that is not this "
                                                    "user's own, so it is not used: '") +
                                        socket + "' (" + reason + ")");
        address.host = "localhost";
        address.socket = socket;
    }
    return address;
}

void ExportDatabaseAddress() { ExportToSpawnedTasks({"KOVA_DB_HOST", "KOVA_DB_PORT", "KOVA_DB_SOCKET"}); }
