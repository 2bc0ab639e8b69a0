// Where the probe finds the measurement database: the address compiled into the
// build, unless the environment names another (KOVA_DB_HOST, KOVA_DB_PORT,
// KOVA_DB_SOCKET), so that a program built elsewhere reaches another server
// without being rebuilt.
#pragma once

#include <string>

struct DatabaseAddress {
    std::string host;
    unsigned int port = 0;
    // A UNIX socket of a server on this host; when set the connection goes through
    // it (the host is then "localhost" and the port is not used).
    std::string socket;
};

// The compiled-in address with the overrides that the environment sets (an empty
// variable counts as unset). A port that is not a number from 1 to 65535, or a
// socket in a folder that TrustedSocketFolder refuses, throws std::invalid_argument
// with a message that names the variable and its value.
DatabaseAddress MeasurementDatabaseAddress();

// Whether the folder of a UNIX socket may be trusted to hold a server of this
// user's choosing: a folder, not a symbolic link, owned by this user or by root,
// and writable by nobody else. Otherwise why not, in a few words, in reason. Another
// user's folder (such as one made first under /tmp with the name of this project's
// socket folder) may hold that user's server, which must never get measurements.
bool TrustedSocketFolder(const std::string& socket, std::string& reason);

// Adds the address variables that are set to PVM_EXPORT, so that the tasks this
// process spawns reach the same server.
void ExportDatabaseAddress();
