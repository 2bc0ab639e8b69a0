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
// variable counts as unset). A port that is not a number from 1 to 65535 throws
// std::invalid_argument with a message that names the variable and its value.
DatabaseAddress MeasurementDatabaseAddress();

// Adds the address variables that are set to PVM_EXPORT, so that the tasks this
// process spawns reach the same server.
void ExportDatabaseAddress();
