// Requests of the mSQL protocol as the server receives them.
#pragma once

#include <string>
#include <string_view>

namespace msqld {

// Command numbers of the requests that the server serves.
enum Command {
    CMD_QUIT = 1,
    CMD_INIT_DB = 2,
    CMD_QUERY = 3,
    CMD_DB_LIST = 4,
    CMD_TABLE_LIST = 5,
    CMD_FIELD_LIST = 6,
};

// One request: "<command>:<argument>\n". The argument is everything after the
// first colon up to the closing line break, so a statement may hold colons and
// line breaks of its own.
struct Request {
    int command = 0;
    std::string argument;
};

// Parses the text of a request packet; false (with a message for the client)
// when it is not of that form.
bool parseRequest(std::string_view text, Request& request, std::string& error);

}  // namespace msqld
