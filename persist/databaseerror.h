// The one error of the persistence layer: a connection that could not be made, a
// statement the server refused or a reply that was lost, a record that describes
// itself wrongly. The layer never ends the process; the program decides.
#pragma once

#include <stdexcept>
#include <string>

class DatabaseError : public std::runtime_error {
public:
    // what() is the report as the layer words it: heading and statement on one line,
    // the server's message on the next ("Query failed: SELECT ...\nTable ... doesn't
    // exist"); code is the client library's error number (0 when the server gave none).
    DatabaseError(const std::string& heading, const std::string& statement, const std::string& serverMessage,
                  unsigned int code = 0)
        : std::runtime_error(heading + statement + (serverMessage.empty() ? "" : "\n" + serverMessage)),
          mServerMessage(serverMessage), mCode(code) {}

    const std::string& serverMessage() const { return mServerMessage; }
    unsigned int code() const { return mCode; }

private:
    std::string mServerMessage;
    unsigned int mCode;
};
